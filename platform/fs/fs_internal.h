// Helpers shared by the files of platform/fs; not for use outside this folder.
#pragma once

#include <sys/stat.h>

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

}  // namespace qx::fs::internal
