// Parsing of the dimension server file and of "patchservers.txt".
#include <cctype>
#include <climits>
#include <string>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/server_directory.h"
#include "platform/format.h"
#include "platform/fs/stdio_file.h"

namespace {

bool StartsWithNoCase(std::string_view a_sText, std::string_view a_sPrefix) {
  if (a_sText.size() < a_sPrefix.size()) return false;
  for (std::size_t i = 0; i < a_sPrefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a_sText[i])) != std::tolower(static_cast<unsigned char>(a_sPrefix[i])))
      return false;
  }
  return true;
}

bool EndsWithNoCase(std::string_view a_sText, std::string_view a_sSuffix) {
  return a_sText.size() >= a_sSuffix.size() && StartsWithNoCase(a_sText.substr(a_sText.size() - a_sSuffix.size()), a_sSuffix);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal digits at the start of `a_sText`: their value (held at INT_MAX
// when larger) and how many there are.
std::int32_t LeadingNumber(std::string_view a_sText, std::size_t& a_rnDigits) {
  std::int64_t value = 0;
  a_rnDigits = 0;
  while (a_rnDigits < a_sText.size() && IsDigit(a_sText[a_rnDigits])) {
    value = value * 10 + (a_sText[a_rnDigits] - '0');
    if (value > INT_MAX) value = INT_MAX;
    ++a_rnDigits;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<DimensionServer_t> ParseDimensionServerLine(std::string_view a_sLine) {
  if (a_sLine.empty() || a_sLine.front() == '#') return std::nullopt;
  if (StartsWithNoCase(a_sLine, "http://")) a_sLine.remove_prefix(7);
  const std::size_t colon = a_sLine.find(':');
  if (colon == std::string_view::npos) return std::nullopt;

  DimensionServer_t server;
  server.host.assign(a_sLine.substr(0, colon));
  std::size_t digits = 0;
  server.port = LeadingNumber(a_sLine.substr(colon + 1), digits);
  std::string path(a_sLine.substr(colon + 1 + digits));

  if (EndsWithNoCase(path, ".txt")) {
    std::size_t cut = path.rfind('\\');
    if (cut == std::string::npos) cut = path.rfind('/');
    if (cut != std::string::npos) path.erase(cut);
  }
  const std::size_t semicolon = path.find(';');
  if (semicolon != std::string::npos) path.erase(semicolon);
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '/';
  path += "patchservers.txt";
  server.path = std::move(path);
  return server;
}

std::vector<DimensionServer_t> ReadDimensionServers(const std::string& a_sFile) {
  std::vector<DimensionServer_t> servers;
  CStdioFile file;
  if (!file.Open(a_sFile.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::typeText)) return servers;
  std::string line;
  try {
    while (file.ReadString(line)) {
      if (auto server = ParseDimensionServerLine(line)) servers.push_back(std::move(*server));
    }
  } catch (const CFileException&) {
    // What was read before the error is used.
  }
  file.Abort();
  return servers;
}

ServerListEnd_t ParsePatchServerList(std::string_view a_sText,
                                     std::array<std::vector<ServerInfo_t>, InetConnection_c::kServerGroups>& a_groups) {
  std::string_view rest = a_sText;
  for (;;) {
    const std::size_t nameEnd = rest.find(';');
    if (nameEnd == std::string_view::npos) return ServerListEnd_t::kEnd;
    const std::size_t groupEnd = rest.find(';', nameEnd + 1);
    if (groupEnd == std::string_view::npos) return ServerListEnd_t::kEnd;
    const std::size_t fieldStart = groupEnd + 1;
    const std::size_t fieldEnd = rest.find_first_of("\r\n;", fieldStart);
    // A last line without a line end is not read, whatever ends its third field.
    const std::size_t lineEnd = rest.find_first_of("\r\n", fieldEnd);  // npos when fieldEnd is
    if (lineEnd == std::string_view::npos) return ServerListEnd_t::kEnd;

    const std::string_view name = rest.substr(0, nameEnd);
    const std::string_view group = rest.substr(nameEnd + 1, groupEnd - nameEnd - 1);
    const std::string_view field = rest.substr(fieldStart, fieldEnd - fieldStart);
    const std::size_t colon = field.rfind(':');
    if (colon == std::string_view::npos) return ServerListEnd_t::kFieldWithoutColon;

    std::string_view groupText = group;  // blanks around the number are allowed
    while (!groupText.empty() && groupText.front() == ' ') groupText.remove_prefix(1);
    while (!groupText.empty() && groupText.back() == ' ') groupText.remove_suffix(1);
    std::size_t groupDigits = 0;
    const std::int32_t groupNumber = LeadingNumber(groupText, groupDigits);
    if (groupDigits == 0 || groupDigits != groupText.size() || groupNumber >= InetConnection_c::kServerGroups) {
      WriteLog(FormatString("InetConnection_c::CheckPatchServers(): Server '%.*s' has group '%.*s', not 0 to 9; "
                            "line skipped.",
                            static_cast<int>(name.size()), name.data(), static_cast<int>(group.size()), group.data()));
    } else {
      ServerInfo_t server;
      server.name.assign(name);
      server.host.assign(field.substr(0, colon));
      std::size_t portDigits = 0;
      server.port = LeadingNumber(field.substr(colon + 1), portDigits);
      server.path.assign(field.substr(colon + 1 + portDigits));
      a_groups[static_cast<std::size_t>(groupNumber)].push_back(std::move(server));
    }

    // On after the line end that follows the third field.
    std::size_t next = lineEnd + 1;
    if (rest[lineEnd] == '\r' && next < rest.size() && rest[next] == '\n') ++next;  // CR LF is one line end
    rest.remove_prefix(next);
    if (rest.size() < 2) return ServerListEnd_t::kEnd;
  }
}
