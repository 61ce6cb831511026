// SHFileOperationA: the shell's copy of a list of files.
//
// Copies the files of the source list to the target list (FO_COPY); both are
// lists of paths, each ended by a zero byte, the list ended by one more. With
// FOF_MULTIDESTFILES the i-th source goes to the i-th target path; without it
// the target list holds one folder that receives every source under its own
// name. A source name may hold '*' and '?' (matched as CFileFind matches);
// a source folder is copied with everything in it. Missing target folders are
// created; existing target files are replaced (as after a "Yes to all"), each
// through a temporary file renamed into place, so a target is never left
// half-written. No window is shown; the progress title is ignored.
//
// The first failure ends the operation: the result is its Windows error
// number and fAnyOperationsAborted is set; files copied before it stay. A
// copy that is stopped (see SetShellFileOperationHook) ends the same way with
// ERROR_CANCELLED. Only FO_COPY is supported; other operations return
// ERROR_INVALID_FUNCTION and change nothing.
//
// Thread-safe; the hook is process-wide.
#pragma once

#include <functional>
#include <string>

#include "platform/win32.h"

inline constexpr UINT FO_MOVE = 0x1;
inline constexpr UINT FO_COPY = 0x2;
inline constexpr UINT FO_DELETE = 0x3;
inline constexpr UINT FO_RENAME = 0x4;

using FILEOP_FLAGS = WORD;
inline constexpr FILEOP_FLAGS FOF_MULTIDESTFILES = 0x0001;
inline constexpr FILEOP_FLAGS FOF_CONFIRMMOUSE = 0x0002;
inline constexpr FILEOP_FLAGS FOF_SILENT = 0x0004;
inline constexpr FILEOP_FLAGS FOF_RENAMEONCOLLISION = 0x0008;
inline constexpr FILEOP_FLAGS FOF_NOCONFIRMATION = 0x0010;
inline constexpr FILEOP_FLAGS FOF_WANTMAPPINGHANDLE = 0x0020;
inline constexpr FILEOP_FLAGS FOF_ALLOWUNDO = 0x0040;
inline constexpr FILEOP_FLAGS FOF_FILESONLY = 0x0080;
inline constexpr FILEOP_FLAGS FOF_SIMPLEPROGRESS = 0x0100;
inline constexpr FILEOP_FLAGS FOF_NOCONFIRMMKDIR = 0x0200;
inline constexpr FILEOP_FLAGS FOF_NOERRORUI = 0x0400;

struct SHFILEOPSTRUCTA {
  HWND hwnd;
  UINT wFunc;
  const char* pFrom;
  const char* pTo;
  FILEOP_FLAGS fFlags;
  BOOL fAnyOperationsAborted;
  void* hNameMappings;
  const char* lpszProgressTitle;
};

// 0 when every file was copied, else a Windows error number (see above).
int SHFileOperationA(SHFILEOPSTRUCTA* operation);

namespace qx::fs {

// One step of a shell file operation: the file about to be copied (resolved
// paths) and its place among all files of the operation.
struct ShellFileStep {
  std::string from;
  std::string to;
  size_t index = 0;  // 0-based
  size_t count = 0;
};

// Called before each file is copied; returning false stops the operation as if
// the user pressed Cancel in the shell's progress window. Replaces any earlier
// hook; an empty function removes it. Without a hook, the environment variable
// QX_SHFILEOP_ABORT_AFTER=N stops an operation after N files (for tests of
// programs that run in a process of their own).
void SetShellFileOperationHook(std::function<bool(const ShellFileStep&)> hook);

}  // namespace qx::fs
