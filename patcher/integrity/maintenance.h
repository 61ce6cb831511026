// Maintenance: fetching damaged or missing installation files again.
//
// The launcher names the files in the first line of "Maintenance.dat" (in
// the per-user data folder), separated by single spaces. Either the request
// names one of the fixed files "checksums.chk", "varnok.pub", "Quorvex.exe" or
// "patchw32.dll" (any case): then every name is its own local path (relative
// to the installation; the launcher's key and checksum files live in
// "cd_image\data\launcher\"). Or the names are keys of the installation's
// list "cd_image\data\launcher\checksums.chk" (lines "local path:key"), and
// each file goes to the local path of its key's line. Files are paired with
// their targets by key, so the order of the request does not matter; a file
// whose key the list does not know has no target and fails the run, and no
// file is ever renamed onto another file's path.
//
// Every file is fetched as name + ".gz" from "Maintenance/<version>/" below
// each patch server's folder in turn, decompressed in the working folder
// (DecompressGzFile) and moved to its target. InetConnection_c::Maintain
// (inet_connection.h) runs it; this header holds its pieces.
//
// Functions only. DecompressGzFile is thread-safe (no shared buffers); the
// run itself belongs to the user-interface thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kMaintenanceRequestFile = "Maintenance.dat";
inline constexpr const char* kInstallChecksumList = "cd_image\\data\\launcher\\checksums.chk";
inline constexpr const char* kLauncherFolder = "cd_image\\data\\launcher\\";

// The version in a maintenance argument: its text up to the first space.
std::string MaintenanceVersion(std::string_view a_sArgument);

struct MaintenanceFile_t {
  std::string name;                   // as requested; the decompressed file's name
  std::string download;               // name + ".gz": on the server and in the working folder
  std::optional<std::string> target;  // local path; none when the list does not know the key
};

struct MaintenancePlan_t {
  bool directNaming = false;
  std::vector<MaintenanceFile_t> files;  // in request order
};

// The requested names of the request line (empty names skipped) and whether
// they switch to direct naming; targets are filled for direct naming only.
MaintenancePlan_t SplitMaintenanceRequest(std::string_view a_sLine);

// Fills the targets of a plan without direct naming from the lines of the
// installation's checksum list (line ends already removed). Each file takes
// the local path of the first line whose key equals its name (ignoring case)
// and that no earlier file took; a line without ":" has an empty path, which
// is no target.
struct MaintenancePairing_t {
  std::size_t paired = 0;       // files that got a target
  std::size_t listEntries = 0;  // lines whose key some file requests
};
MaintenancePairing_t PairMaintenanceTargets(MaintenancePlan_t& a_plan, const std::vector<std::string>& a_listLines);

// The server path of a download for one server's base folder:
// base + "/" (unless it ends in "\" or "/") + "Maintenance/" + version + "/" + download.
std::string MaintenanceServerPath(std::string_view a_sBasePath, std::string_view a_sVersion,
                                  std::string_view a_sDownload);

// The cause appended to the failure text when every server failed for a file,
// by the socket error of the last failed transfer (0: none, the file is missing).
std::string MaintenanceCause(int a_nSocketError);

// Decompresses "x.gz" into "x" (a name not ending in ".gz" means name + ".gz"
// into name), through zlib's gzip reader (which passes data that is not
// gzip-compressed through unchanged). On success the ".gz" file is deleted.
// False when the input cannot be opened or read, the output cannot be
// written, or the gzip stream is damaged or cut short; the input and any
// partial output are then left in place.
bool DecompressGzFile(const char* a_pzName);
