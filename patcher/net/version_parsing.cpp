// The version map's lines and the route through them.
#include <strings.h>

#include "patcher/layout/patcher_log.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/net/version_map.h"
#include "platform/format.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::vector<MapLine_t> ParseVersionMap(std::string_view a_sText, const std::string& a_sSource) {
  std::vector<MapLine_t> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = a_sText.find('\n', start);
    if (end == std::string_view::npos) break;  // a last line without LF is not read
    const std::string_view line = a_sText.substr(start, end - start);
    start = end + 1;

    std::string_view tokens[2];
    std::size_t count = 0, i = 0;
    while (count < 2) {
      while (i < line.size() && IsBlank(line[i])) ++i;
      if (i == line.size()) break;
      const std::size_t tokenStart = i;
      while (i < line.size() && !IsBlank(line[i])) ++i;
      tokens[count++] = line.substr(tokenStart, i - tokenStart);
    }
    if (count < 2) continue;
    if (tokens[0].size() > kMaxVersionToken || tokens[1].size() > kMaxVersionToken) {
      WriteLog(FormatString("InetConnection_c::GetMapFile(%s): Version longer than %zu characters in map line "
                            "'%.*s'; line skipped.",
                            a_sSource.c_str(), kMaxVersionToken, static_cast<int>(line.size()), line.data()));
      continue;
    }
    lines.push_back(MapLine_t{std::string(tokens[0]), std::string(tokens[1])});
  }
  return lines;
}

std::string VersionBase(std::string_view a_sVersion) {
  return std::string(a_sVersion.substr(0, a_sVersion.find('_')));
}

RouteResult_t ComputeRoute(const std::string& a_sLocalVersion, const std::string& a_sTargetVersion,
                           const std::vector<MapLine_t>& a_map) {
  RouteResult_t result;
  if (EqualNoCase(VersionBase(a_sTargetVersion), VersionBase(a_sLocalVersion))) result.reachesTarget = true;
  if (EqualNoCase(a_sTargetVersion, a_sLocalVersion)) {
    result.reachesTarget = true;
    return result;
  }
  result.routeRebuilt = true;
  std::string current = a_sLocalVersion;
  for (const MapLine_t& line : a_map) {
    if (!EqualNoCase(line.from, current)) continue;
    result.route.push_back(PatchName(line.from, line.to));
    current = line.to;
    if (EqualNoCase(current, a_sTargetVersion)) {
      result.reachesTarget = true;
      break;
    }
  }
  return result;
}
