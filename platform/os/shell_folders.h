// The user's special folders, as the shell reports them.
//
// Only the local application-data folder exists here: $XDG_DATA_HOME when it
// is set to an absolute path, otherwise $HOME/.local/share (HOME from the
// password database when unset). With CSIDL_FLAG_CREATE a missing folder is
// created (with any missing parents), but nothing below it.
//
// Thread-safe; reads the environment at every call.
#pragma once

#include "platform/win32.h"

inline constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;
inline constexpr int CSIDL_FLAG_DONT_VERIFY = 0x4000;
inline constexpr int CSIDL_FLAG_MASK = 0xFF00;
inline constexpr DWORD SHGFP_TYPE_CURRENT = 0;
inline constexpr DWORD SHGFP_TYPE_DEFAULT = 1;

// Writes the folder for `csidl` into `path` (a buffer of MAX_PATH bytes), with
// '/' separators and no trailing separator. S_OK on success; E_INVALIDARG for
// a folder other than CSIDL_LOCAL_APPDATA or a null buffer;
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the folder does not exist and
// neither CSIDL_FLAG_CREATE nor CSIDL_FLAG_DONT_VERIFY is given;
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when it does not fit; E_FAIL
// when no home folder is known or it cannot be created. `owner`, `token` and
// `flags` are ignored. On failure `path` holds an empty string.
HRESULT SHGetFolderPathA(HWND owner, int csidl, HANDLE token, DWORD flags, LPSTR path);
