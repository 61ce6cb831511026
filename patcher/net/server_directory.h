// The two texts that lead to the patch servers: the local dimension server
// file and the servers' list "patchservers.txt". Parsing only; the fetching
// and checking are InetConnection_c's (inet_connection.h).
//
// Dimension server file ("cd_image\data\launcher\DimensionServer.url"), one
// entry per line: empty lines and lines beginning with "#" say nothing; an
// optional "http://" (any case), the host, ":", the port's decimal digits and
// the rest of the line as the remote path. A path ending in ".txt" (any case)
// loses its file name (from its last "\", else its last "/"); a path is cut
// before its first ";"; it gets a "/" unless it ends in "\" or "/", and then
// "patchservers.txt". A line without ":" is skipped.
//
// Server list ("patchservers.txt"): lines of "name;group;host:port/folder",
// ended by CR, LF or both, with anything after a third ";" ignored. The host
// ends at the field's last ":", the port is the run of digits after it and
// the folder what follows them. Parsing stops quietly where a name or a group
// has no ";" after it, or where the third field has no end (so a last line
// without a line end is not read). A group outside 0 to 9 (or not a number)
// skips its line with a log line. A third field without ":" ends the parse
// with an error; the servers read before it are kept.
//
// Functions only; thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/net/inet_connection.h"

struct DimensionServer_t {
  std::string host;
  std::int32_t port = 0;
  std::string path;  // remote path of "patchservers.txt"
};

inline constexpr const char* kDimensionServerFile = "cd_image\\data\\launcher\\DimensionServer.url";

// One line of the dimension server file (without its line end); nothing for
// a line that names no server.
std::optional<DimensionServer_t> ParseDimensionServerLine(std::string_view a_sLine);

// Every server the file names, in file order; empty when it cannot be read.
std::vector<DimensionServer_t> ReadDimensionServers(const std::string& a_sFile);

enum class ServerListEnd_t { kEnd, kFieldWithoutColon };

// Appends the servers of a list to their groups, in text order.
ServerListEnd_t ParsePatchServerList(std::string_view a_sText,
                                     std::array<std::vector<ServerInfo_t>, InetConnection_c::kServerGroups>& a_groups);
