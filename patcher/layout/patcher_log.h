// The patcher's log: "QuorvexPatcher.err" in the per-user data folder.
//
// WriteLog appends one line: the local time as "[HH:MM:SS] ", the text and a
// line end. The file is written in text mode, so every "\n" (also one inside
// the text) is CR LF on disk; continuation lines of a multi-line text get no
// time prefix. The file is opened and closed for every line, so the log is
// complete on disk at every moment, even when the process is killed.
//
// Logging never fails the caller: a line that cannot be written (missing
// folder, no permission, the file held open elsewhere) is dropped silently.
// DeleteLog removes the file and ignores every failure, "not found" included.
//
// Thread-safe: lines from the threads of this process are serialised, so none
// is lost to another thread holding the file and none is interleaved.
#pragma once

#include <string>

void WriteLog(const char* a_pzText);
inline void WriteLog(const std::string& a_sText) { WriteLog(a_sText.c_str()); }
void DeleteLog();

// The log file's full name (per-user data folder + "QuorvexPatcher.err").
std::string GetLogPath();
