// Clock and sleep.
//
// Sleep suspends the calling thread. GetTickCount/GetTickCount64 count
// milliseconds on a monotonic clock (the 32-bit form wraps after about 49.7
// days), so they never jump with the wall clock. _time64 is the wall-clock
// time in seconds since 1970 (UTC); _localtime64 converts it to local time
// into a buffer of the calling thread (as the Windows runtime does), so it is
// safe to call from several threads, unlike std::localtime.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/win32.h"

#if !defined(__time64_t)
// The runtime's 64-bit time type.
using __time64_t = std::int64_t;
#endif

void Sleep(DWORD milliseconds);
DWORD GetTickCount();
ULONGLONG GetTickCount64();
// Seconds since 1970 (UTC); also stored into *time when it is not null.
__time64_t _time64(__time64_t* time);
// Local time of *time in a buffer of the calling thread; null when *time is
// null or cannot be converted.
struct tm* _localtime64(const __time64_t* time);
