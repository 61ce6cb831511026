// Helpers shared by the files of platform/fs; not for use outside this folder.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace qx::fs::internal {

// FILE_ATTRIBUTE_* bits of an entry with status `st` and last component `name`.
DWORD AttributesOf(const struct stat& st, std::string_view name);

// Copies the file at `from` to `to` (both resolved), through a temporary file
// in the target's folder renamed into place. Without `overwrite` an existing
// target fails with ERROR_FILE_EXISTS. Returns 0 or a Windows error number.
DWORD CopyResolvedFile(const std::string& from, const std::string& to, bool overwrite);

// The absolute, normalised form of `path` against `base` (see _fullpath).
std::string MakeFullPath(std::string_view path, const std::string& base);

// The working folder, or an empty string with errno set.
std::string WorkingFolder();

// How an open treats an existing or missing file (the Win32 dispositions).
enum class Disposition { kCreateNew = 1, kCreateAlways, kOpenExisting, kOpenAlways, kTruncateExisting };

struct SharedOpen {
  int fd = -1;
  std::uint64_t shareId = 0;  // release with ReleaseShare when the descriptor is closed
};

// Opens the resolved path with the access, sharing (within this process, as
// Windows enforces it) and disposition given. A folder is refused with
// ERROR_ACCESS_DENIED; a conflict with an open file of this process with
// ERROR_SHARING_VIOLATION, before anything is created or emptied.
// Returns 0 or a Windows error number.
DWORD OpenShared(const std::string& resolved, bool read, bool write, bool shareRead, bool shareWrite,
                 Disposition disposition, SharedOpen& result);
void ReleaseShare(std::uint64_t shareId);

}  // namespace qx::fs::internal
