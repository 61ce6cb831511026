// The registry: a small file-backed store of keys and values.
//
// Values are read with SHGetValueA and written with SHSetValueA (tools and
// tests write; the system only reads). Keys are named below one of the
// predefined roots (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
// HKEY_USERS) with '\' between their parts; key and value names are compared
// without regard to (ASCII) case; an empty or null value name is the key's
// default value.
//
// The store is one text file in the format of Windows registry exports
// ("[HKEY_LOCAL_MACHINE\Software\...]" sections, "name"="text",
// dword:0000002a, hex:01,02 and hex(N): lines): $QX_REGISTRY_FILE when set
// (tests give each run its own), else $XDG_CONFIG_HOME/quorvex/registry.reg,
// else ~/.config/quorvex/registry.reg. Both roots live in that one per-user
// file. A missing store holds no values. A store that does not parse is
// reported as ERROR_BADDB and never overwritten. Writes replace the file
// atomically (temporary file and rename) under a lock file, so concurrent
// writers in several processes do not lose each other's values.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

struct HKEY__;
using HKEY = HKEY__*;
using LSTATUS = LONG;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Reads a value. `type` (optional) receives its type. With `data` null the
// size is only reported in *dataSize. A string (REG_SZ, REG_EXPAND_SZ) comes
// with its terminating zero, counted in the size. Results: ERROR_SUCCESS;
// ERROR_FILE_NOT_FOUND (no such key or value, or no store);
// ERROR_MORE_DATA (the buffer of *dataSize bytes is too small; *dataSize then
// holds the size needed); ERROR_INVALID_HANDLE (not a predefined root);
// ERROR_BADDB (the store does not parse).
LSTATUS SHGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD* type, void* data, DWORD* dataSize);

// Writes (creates or replaces) a value, creating its key as needed. For
// strings, a terminating zero in `data` is not stored twice.
LSTATUS SHSetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD type, const void* data, DWORD dataSize);

// Removes a value; ERROR_FILE_NOT_FOUND when it is not there.
LSTATUS SHDeleteValueA(HKEY key, LPCSTR subKey, LPCSTR value);

namespace qx::os {

// The file that holds the store (see above).
std::string RegistryStorePath();

}  // namespace qx::os
