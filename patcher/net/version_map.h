// The version map of a patch server and the route through it.
//
// A map ("map" in the server's folder) is text: each line holds two tokens
// separated by blanks, the from-version and the to-version of one patch.
// Only lines ended by LF are read (a CR before it is harmless). A line
// without two tokens says nothing; a token longer than 31 characters makes
// its line unusable (skipped, with a log line); further tokens are ignored.
//
// The route from the installed to the target version is found in one forward
// pass over the lines: a line whose from-version equals the current version
// (ignoring case) adds its patch and makes its to-version current, until the
// target is reached. Versions equal except for letter case need no route; a
// target with the same base (text before the first "_") as the installed
// version counts as reached even without a route.
//
// Functions only; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct MapLine_t {
  std::string from;
  std::string to;
};

inline constexpr std::size_t kMaxVersionToken = 31;

// The usable lines of a map, in order. Lines skipped for a too-long token are
// logged with `a_sSource` (for instance "host:port") in the text.
std::vector<MapLine_t> ParseVersionMap(std::string_view a_sText, const std::string& a_sSource);

// The text before the first "_" (all of it without one).
std::string VersionBase(std::string_view a_sVersion);

struct RouteResult_t {
  bool reachesTarget = false;  // the result of the map check
  bool routeRebuilt = false;   // false: the versions are equal and the route was left alone
  std::vector<std::string> route;
};

RouteResult_t ComputeRoute(const std::string& a_sLocalVersion, const std::string& a_sTargetVersion,
                           const std::vector<MapLine_t>& a_map);
