// Files opened through the Win32 handle calls (CreateFileA and friends).
//
// CreateFileA opens or creates a file with the access, sharing and creation
// disposition given and returns a HANDLE (platform/fs/handle.h), or
// INVALID_HANDLE_VALUE with the Windows error number in GetLastError. Sharing
// is enforced between the files this process has open through CreateFileA and
// CFile, as Windows does it. Close the handle with CloseHandle.
//
// One thread at a time per handle; the calls are thread-safe otherwise.
#pragma once

#include "platform/win32.h"

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD FILE_SHARE_DELETE = 0x4;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

// `securityAttributes`, `flagsAndAttributes` and `templateFile` are ignored.
// CREATE_NEW on an existing file fails with ERROR_FILE_EXISTS (80); with
// CREATE_ALWAYS and OPEN_ALWAYS an existing file sets ERROR_ALREADY_EXISTS
// (183) although the call succeeds, as on Windows.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* overlapped);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod);
BOOL FlushFileBuffers(HANDLE file);
