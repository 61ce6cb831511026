#include "platform/os/command_line.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace qx::os {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct ProcessCommandLine {
  std::mutex mutex;
  bool recorded = false;
  std::vector<std::string> arguments;
  std::string line;
};

ProcessCommandLine& State() {
  static auto* state = new ProcessCommandLine();
  return *state;
}

// Reads argv from the kernel when main() did not record it.
void RecordFromKernelLocked(ProcessCommandLine& state) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  state.arguments.clear();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    state.arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  state.line = JoinWindowsCommandLine(state.arguments);
  state.recorded = true;
}

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  const size_t n = line.size();

  // The program name.
  if (n == 0) return out;
  std::string program;
  if (line[0] == '"') {
    size_t close = line.find('"', 1);
    program.assign(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    i = close == std::string_view::npos ? n : close + 1;
  }
  while (i < n && !IsBlank(line[i])) program.push_back(line[i++]);
  out.push_back(std::move(program));

  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      if (line[i] == '\\') {
        size_t run = 0;
        while (i < n && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < n && line[i] == '"') {
          bool finalQuote = i + 1 == n;
          if (run % 2 == 1 && quoted && finalQuote) {
            // A folder path that ends in '\' before the closing quote.
            arg.append(run, '\\');
            ++i;
            quoted = false;
            continue;
          }
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
          // With an even run the quote is handled below as a quote.
        } else {
          arg.append(run, '\\');
        }
        continue;
      }
      if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(line[i++]);
    }
    out.push_back(std::move(arg));
  }
  return out;
}

std::string QuoteWindowsArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');  // doubled: the closing quote follows
  out.push_back('"');
  return out;
}

std::string JoinWindowsCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      const std::string& program = arguments[0];
      // The program name knows no escapes: quote it whole when it has blanks.
      bool quote = program.empty() || program.find_first_of(" \t") != std::string::npos;
      line += quote ? "\"" + program + "\"" : program;
    } else {
      line += ' ';
      line += QuoteWindowsArgument(arguments[i]);
    }
  }
  return line;
}

void SetProcessCommandLine(int argc, const char* const* argv) {
  ProcessCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.arguments.clear();
  for (int i = 0; i < argc && argv && argv[i]; ++i) state.arguments.emplace_back(argv[i]);
  state.line = JoinWindowsCommandLine(state.arguments);
  state.recorded = true;
}

const std::vector<std::string>& ProcessArguments() {
  ProcessCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.recorded) RecordFromKernelLocked(state);
  return state.arguments;
}

}  // namespace qx::os

LPSTR GetCommandLineA() {
  qx::os::ProcessCommandLine& state = qx::os::State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.recorded) qx::os::RecordFromKernelLocked(state);
  return state.line.data();
}
