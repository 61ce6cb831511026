// The line form of checksum lists: a patch's ".CHK" file and the
// installation's "checksums.chk".
//
// A list is text, read line by line in text mode (CR before LF dropped). A
// line that is empty or begins with "#" says nothing. Every other line is an
// entry: the text before its first ":" and the text after that ":" to the end
// of the line, nothing trimmed. In a patch's list the first part is a file
// name relative to "Patches\" and the second its MD5 digest as 32 lower-case
// hexadecimal digits; in "checksums.chk" the first part is a local path and
// the second an opaque key. Readers decide what a line without ":" means.
//
// Header-only; no state.
#pragma once

#include <string>
#include <string_view>

enum class ChecksumLine_t { kNothing, kEntry, kNoColon };

// Splits one line (without its line end). For kEntry, `a_name` and `a_value`
// are the two parts; for kNoColon, `a_name` is empty and `a_value` the whole
// line; for kNothing both are empty.
inline ChecksumLine_t SplitChecksumLine(std::string_view a_line, std::string& a_name, std::string& a_value) {
  a_name.clear();
  a_value.clear();
  if (a_line.empty() || a_line.front() == '#') return ChecksumLine_t::kNothing;
  const std::size_t colon = a_line.find(':');
  if (colon == std::string_view::npos) {
    a_value.assign(a_line);
    return ChecksumLine_t::kNoColon;
  }
  a_name.assign(a_line.substr(0, colon));
  a_value.assign(a_line.substr(colon + 1));
  return ChecksumLine_t::kEntry;
}

// One entry as a list holds it (the writer's side, used by tests and tools).
inline std::string ChecksumLine(std::string_view a_name, std::string_view a_value) {
  std::string line(a_name);
  line += ':';
  line += a_value;
  return line;
}
