// Dynamic libraries: LoadLibraryA, GetProcAddress, FreeLibrary.
//
// LoadLibraryA loads a shared object by its file name. A name without a
// folder is taken from the working folder (not from the system's library
// path), a name with a folder relative to it; either way letter case need not
// match and '\' may separate folders. Failures: ERROR_MOD_NOT_FOUND (126)
// when there is no such file, ERROR_BAD_EXE_FORMAT (193) when the file is not
// a loadable library. Loading a library twice gives the same module and needs
// two FreeLibrary calls.
//
// GetProcAddress finds an exported entry by name. A name with a call-size
// suffix ("ApplyPatch@12") is also found without it, so a library built
// here can export the plain name. Failure: ERROR_PROC_NOT_FOUND (127).
// A module that is not loaded is refused with ERROR_INVALID_HANDLE.
//
// Thread-safe.
#pragma once

#include "platform/win32.h"

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
// Cast to the entry's real type before calling (reinterpret_cast). The type is
// void (*)() rather than an integer-returning one so that such casts draw no
// function-type warning.
using FARPROC = void (*)();

HMODULE LoadLibraryA(LPCSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);
