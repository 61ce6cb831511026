// The binary-patch library: applying a patch file to a folder.
//
// The patcher loads this library at run time from "patchw32.dll" and calls the
// one C entry RTPatchApply32 (command line, callback, wait flag). The command
// line names the patch file, a path relative to the working folder ('\' or '/',
// letter case ignored), optionally followed by the folder to update (default:
// the working folder). Paths holding spaces are quoted with '"'.
//
// While it works the library calls the callback (id, parameter) on the
// caller's thread:
//   6  parameter: pointer to the 32-bit number of files in the patch
//   7  parameter: the file's name (char*, '\' between folders), before each file
//   8  no parameter, after each file
//   5  parameter: pointer to a 32-bit progress value 0..32767
//   21 no parameter, regularly during long work (so the caller can pump messages)
//   13 no parameter: a file to be patched is missing
//   14 no parameter: the patch file is not a valid patch
//   26 no parameter: a file was staged for a later rename ("Rename.ini")
// A null result from the callback aborts the work (13 and 14 end it anyway);
// any other result goes on. A null callback is allowed.
//
// Application is all or nothing up to the last step: every new file is first
// written under a temporary name beside its target and verified against the
// digest the patch names; only when every file of the patch has been produced
// are they renamed into place and the deleted files removed. A failure or an
// abort before that point removes the temporaries and changes nothing. A file
// that already has its new content counts as patched, so a patch whose
// application was cut short in its last step can be applied again.
//
// Entries marked deferred whose target is busy (another open file holds a
// byte-range lock on it, as a running program keeps its files) are written
// beside the target as "<name>.rtpnew" and listed in "Rename.ini" of the
// updated folder for the launcher, which completes the rename later; callback
// 26 reports this.
//
// Memory: the patch file and each old file are mapped read-only and their
// pages released once read. Besides the program itself, each of the (at most
// two) worker threads holds one segment's decoder buffer (at most the
// builder's segment size, 32 MiB by default, and no more than the file), a
// 1 MiB output buffer and the pages of its segment's reference range in the
// old file (at most three segments) - whatever the sizes of the files and of
// the patch. With the default segment size that is under 260 MiB in the worst
// case; an update of files up to 20 MB peaks near 80 MiB resident.
//
// Durability: each produced file's write-back is started as soon as it is
// written, and one barrier for the whole file system (syncfs) comes before the
// first rename, so every new file is on the disk before any replaces its
// target: after a power loss during the renames each file is old or new, never
// empty, and the patch applies again to finish. (Flushing file by file would
// cost as much as the whole application on a busy disk.)
//
// Threads: the files are produced by a few worker threads, but the callback
// is only ever called on the caller's thread, in the order above. Two calls
// must not update the same folder at once; calls on different folders may
// run in parallel.
#pragma once

#include <string>

#include "platform/win32.h"

extern "C" {
typedef LPVOID (*RTPATCH_CALLBACK)(UINT id, LPVOID parm);
typedef DWORD (*RTPATCHAPPLY32_FN)(LPCSTR commandLine, RTPATCH_CALLBACK callback, BOOL waitFlag);
}

namespace qx::rtpatch {

// Callback ids.
inline constexpr UINT kCallbackProgress = 5;
inline constexpr UINT kCallbackFileCount = 6;
inline constexpr UINT kCallbackFileName = 7;
inline constexpr UINT kCallbackFileDone = 8;
inline constexpr UINT kCallbackMissingFile = 13;
inline constexpr UINT kCallbackInvalidPatch = 14;
inline constexpr UINT kCallbackIdle = 21;
inline constexpr UINT kCallbackDelayed = 26;
inline constexpr DWORD kProgressMax = 32767;

// Result codes.
inline constexpr DWORD kOk = 0;
inline constexpr DWORD kIllegalOption = 1;        // empty command line or an option
inline constexpr DWORD kNoMemory = 2;
inline constexpr DWORD kUpdateFolderMissing = 4;  // the named folder does not exist
inline constexpr DWORD kUpdateFolderInvalid = 5;  // the named folder is not a folder
inline constexpr DWORD kPatchNotFound = 6;
inline constexpr DWORD kPatchOpenFailed = 7;
inline constexpr DWORD kIncompatible = 8;         // a patch format version this library does not know
inline constexpr DWORD kCorrupt = 9;              // damaged, truncated, not a patch, or an unsafe path
inline constexpr DWORD kOldFileMissing = 15;
inline constexpr DWORD kNewFileExists = 16;       // an added file exists with other content
inline constexpr DWORD kOldFileOpenFailed = 17;   // target unreadable, not a plain file, or reached through a link
inline constexpr DWORD kNewFileOpenFailed = 18;   // folder of an added file cannot be made, or reached through a link
inline constexpr DWORD kWriteFailed = 19;
inline constexpr DWORD kReadFailed = 20;
inline constexpr DWORD kRenameFailed = 22;
inline constexpr DWORD kVerifyFailed = 25;        // a produced file has the wrong size or digest
inline constexpr DWORD kDiskFull = 29;
inline constexpr DWORD kTempFileFailed = 33;
inline constexpr DWORD kTooManyArguments = 35;
inline constexpr DWORD kContentMismatch = 36;     // the file is neither the old nor the new version
inline constexpr DWORD kPatchFailed = 0x8001;     // a payload does not decode, or the callback aborted

// A short description of a result code, for tools and logs.
const char* DescribeResult(DWORD code);

// Applies the patch file `patchPath` to `folder` ("" = the working folder).
DWORD ApplyPatch(const std::string& patchPath, const std::string& folder, RTPATCH_CALLBACK callback);

// Splits a command line as RTPatchApply32 takes it and applies it.
DWORD ApplyCommandLine(const char* commandLine, RTPATCH_CALLBACK callback);

}  // namespace qx::rtpatch
