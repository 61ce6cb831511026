#include "platform/os/clock.h"

#include <chrono>
#include <thread>

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

ULONGLONG GetTickCount64() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

__time64_t _time64(__time64_t* time) {
  __time64_t now = static_cast<__time64_t>(std::time(nullptr));
  if (time) *time = now;
  return now;
}

struct tm* _localtime64(const __time64_t* time) {
  thread_local struct tm result;
  if (!time) return nullptr;
  std::time_t value = static_cast<std::time_t>(*time);
  return ::localtime_r(&value, &result);
}
