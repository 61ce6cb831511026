// Windows error numbers for file-system failures.
//
// The system reasons about Windows error numbers (2 file not found, 3 path not
// found, 5 access denied, 80/183 already exists, 112 disk full, ...). Every file
// operation of the platform layer turns the errno of a failed POSIX call into
// such a number here and nowhere else.
//
// Thread-safe; WinErrorFromErrno only reads the file system (to tell "file not
// found" from "path not found"), SetLastErrorFromErrno sets the calling
// thread's last-error value.
#pragma once

#include <string_view>

#include "platform/win32.h"

namespace qx::fs {

// Which "exists" number a creating operation reports: CreateDirectory and
// MoveFile say 183 (ERROR_ALREADY_EXISTS), creating a new file or copying
// without overwrite says 80 (ERROR_FILE_EXISTS).
enum class ExistsAs { kAlreadyExists, kFileExists };

// The Windows error number for `err` (an errno value). For ENOENT the answer
// depends on `resolvedPath`, the path the failed call was given: 2 when its
// folder exists (only the last component is missing), 3 when the folder itself
// is missing. Without a path ENOENT gives 2.
DWORD WinErrorFromErrno(int err, std::string_view resolvedPath = {},
                        ExistsAs exists = ExistsAs::kAlreadyExists);

// SetLastError(WinErrorFromErrno(...)); returns the number set.
DWORD SetLastErrorFromErrno(int err, std::string_view resolvedPath = {},
                            ExistsAs exists = ExistsAs::kAlreadyExists);

}  // namespace qx::fs
