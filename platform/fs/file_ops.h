// File and folder operations of the Windows API and the C runtime.
//
// Each operation takes paths the Windows way ('\' or '/', letter case of
// existing components free; see platform/fs/path.h) and behaves as the system
// expects of its Windows namesake:
//  - Win32 calls (CopyFileA, MoveFileA, DeleteFileA, ...) return FALSE or 0 on
//    failure and set the thread's last-error value (GetLastError) to a Windows
//    error number from platform/fs/win_error.h; on success they leave it alone.
//  - C runtime calls (_getcwd, _access, _fullpath, _rmdir) report failure by
//    their result and set errno, as the runtime does.
// Paths that come back (working folder, full paths) use '/'.
//
// Files are replaced safely: CopyFileA writes a temporary file next to the
// target and renames it into place, so the target is never half-written.
//
// All operations are thread-safe; the working folder is process-wide state.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Attribute bits of GetFileAttributesA/SetFileAttributesA.
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// The working folder into `buffer` (at most `maxLength` bytes with the
// terminating zero). With a null buffer a buffer of at least `maxLength` bytes
// is allocated with malloc (the caller frees it). Null with errno ERANGE when
// the buffer is too small.
char* _getcwd(char* buffer, int maxLength);

// 0 when `path` exists (mode 0), is readable (4), writable (2) or both (6);
// -1 with errno ENOENT or EACCES otherwise, EINVAL for another mode.
int _access(const char* path, int mode);

// The absolute form of `relPath` (relative to the working folder; null or
// empty means the working folder): '\' become '/', "." and ".." components and
// repeated separators are removed, a trailing separator is kept; the disk is not
// consulted. Written into `absPath` (at most `maxLength` bytes with the
// terminating zero), or, when `absPath` is null, into a malloc'ed buffer of
// MAX_PATH bytes (maxLength is then ignored). Null with errno ERANGE when the
// result does not fit; nothing is truncated.
char* _fullpath(char* absPath, const char* relPath, std::size_t maxLength);

// Removes an empty folder: 0, or -1 with errno (ENOENT, ENOTEMPTY, EACCES, ...).
int _rmdir(const char* path);

// Copies a file (content, permissions, modification time). With
// failIfExists, an existing target fails with ERROR_FILE_EXISTS (80);
// otherwise it is replaced, unless it is read-only (ERROR_ACCESS_DENIED).
BOOL CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists);

// Renames or moves a file or folder. An existing target fails with
// ERROR_ALREADY_EXISTS (183). A file is moved to another file system by copying.
BOOL MoveFileA(LPCSTR existingFileName, LPCSTR newFileName);

// Deletes a file. A folder or a read-only file fails with ERROR_ACCESS_DENIED;
// a missing one with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND.
BOOL DeleteFileA(LPCSTR fileName);

// Creates one folder (not its parents). An existing entry fails with
// ERROR_ALREADY_EXISTS, a missing parent with ERROR_PATH_NOT_FOUND.
// `securityAttributes` is ignored.
BOOL CreateDirectoryA(LPCSTR pathName, void* securityAttributes);

// Removes an empty folder; ERROR_DIR_NOT_EMPTY when it is not empty.
BOOL RemoveDirectoryA(LPCSTR pathName);

// Free and total space of the file system holding `directoryName` (null: the
// working folder). Any of the three results may be null. "Free to caller" is
// the space an unprivileged user may use.
BOOL GetDiskFreeSpaceExA(LPCSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes);

// The older form: the same space as clusters. A cluster is the file system's
// block, counted as sectors of 512 bytes; counts beyond 32 bits are capped.
BOOL GetDiskFreeSpaceA(LPCSTR rootPathName, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters);

// The working folder: its length (without the terminating zero) when it fits
// into `bufferLength` bytes, else the size needed (with the zero) and the buffer
// untouched; 0 on failure.
DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR pathName);

// TRUE when a file or folder of that name exists.
BOOL PathFileExistsA(LPCSTR path);

// FILE_ATTRIBUTE_* bits of an entry, INVALID_FILE_ATTRIBUTES on failure.
// Read-only means no write permission for the owner; hidden means a name
// beginning with '.'.
DWORD GetFileAttributesA(LPCSTR fileName);
// Only FILE_ATTRIBUTE_READONLY has an effect: it removes or restores the
// write permissions.
BOOL SetFileAttributesA(LPCSTR fileName, DWORD attributes);
