// Starting other programs: CreateProcessA, _spawnv and ShellExecuteA.
//
// CreateProcessA splits the command line the Windows way
// (platform/os/command_line.h) and runs the program with those arguments.
// The program is the application name, or else the first part of the command
// line. A name with a folder ('\' or '/') is taken relative to the working
// folder, letter case free; a bare name is looked up in the working folder
// first, then along PATH; a name without an extension that is not found is
// tried again with ".exe" appended. Failures are reported at once, before
// anything runs: ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND (no such
// program), ERROR_ACCESS_DENIED (not executable), ERROR_BAD_EXE_FORMAT (not a
// program), ERROR_DIRECTORY (bad working folder).
//
// A started process is a kernel object that becomes signalled when the
// process ends; its exit code is then its exit status (128 + the signal
// number when a signal ended it). Ended processes are collected at once
// (no zombies), whether or not anyone keeps or closes the handle. Closing the
// handles does not stop the process, and the process outlives the caller.
// Without bInheritHandles the new process gets only standard input, output
// and error.
//
// Thread-safe.
#pragma once

#include <cstdint>

#include "platform/win32.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;  // a second handle to the process (there is no separate main thread object)
  DWORD dwProcessId;
  DWORD dwThreadId;
};

// `environment` is null (this process's environment) or a block of
// "NAME=value" strings, each ended by a zero byte, the block by one more.
// `currentDirectory` null means the caller's working folder. The process and
// thread attributes, creation flags and start-up information are ignored.
// The command line is not changed.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, void* processAttributes,
                    void* threadAttributes, BOOL inheritHandles, DWORD creationFlags, void* environment,
                    LPCSTR currentDirectory, STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInformation);

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);
// Ends the process at once (SIGKILL); its exit code becomes `exitCode`.
BOOL TerminateProcess(HANDLE process, UINT exitCode);
DWORD GetProcessId(HANDLE process);

inline constexpr int _P_WAIT = 0;
inline constexpr int _P_NOWAIT = 1;
inline constexpr int P_WAIT = _P_WAIT;
inline constexpr int P_NOWAIT = _P_NOWAIT;

// Runs `cmdName` (relative to the working folder, letter case free; ".exe"
// tried when it has no extension) with the arguments `argv` (argv[0] first,
// ended by a null pointer), handed over exactly. P_NOWAIT returns the process
// handle (close it with CloseHandle, or leave it); P_WAIT waits and returns
// the exit code. -1 with errno (ENOENT, EACCES, ENOEXEC, EINVAL) on failure.
std::intptr_t _spawnv(int mode, const char* cmdName, const char* const* argv);

inline constexpr int SE_ERR_FNF = 2;
inline constexpr int SE_ERR_PNF = 3;
inline constexpr int SE_ERR_ACCESSDENIED = 5;
inline constexpr int SE_ERR_OOM = 8;
inline constexpr int SE_ERR_NOASSOC = 31;

// Opens `file` ("open" or no verb): a program is started with `parameters`
// (split the Windows way) in the folder `directory` (null: the working
// folder) without waiting; anything else (a document, a folder, an address
// such as "https://...") is handed to xdg-open when it is on PATH. A relative
// file is looked up in `directory`, then in the working folder. The result is
// above 32 on success, else SE_ERR_FNF, SE_ERR_PNF, SE_ERR_ACCESSDENIED or
// SE_ERR_NOASSOC (another verb, or nothing to open the target with).
// `owner` and `showCommand` are ignored.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int showCommand);
