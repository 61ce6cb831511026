#include "platform/os/clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

namespace {

TEST(ClockTest, TickCountsAdvanceWithSleep) {
  ULONGLONG before = GetTickCount64();
  DWORD before32 = GetTickCount();
  Sleep(50);
  ULONGLONG elapsed = GetTickCount64() - before;
  EXPECT_GE(elapsed, 49u);
  EXPECT_LT(elapsed, 5000u);
  EXPECT_GE(static_cast<DWORD>(GetTickCount() - before32), 49u);
}

TEST(ClockTest, LocalTimeIsPerThread) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  __time64_t now = 0;
  EXPECT_EQ(_time64(&now), now);
  EXPECT_NEAR(static_cast<double>(now), static_cast<double>(std::time(nullptr)), 2.0);

  __time64_t noon = 1700000000;  // 2023-11-14 22:13:20 UTC
  struct tm* mine = _localtime64(&noon);
  ASSERT_NE(mine, nullptr);
  std::thread other([] {
    __time64_t midnight = 0;
    struct tm* theirs = _localtime64(&midnight);
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(theirs->tm_year, 70);
  });
  other.join();
  // The other thread's call did not overwrite this thread's result.
  EXPECT_EQ(mine->tm_hour, 22);
  EXPECT_EQ(mine->tm_min, 13);
  char text[128];
  EXPECT_GT(std::strftime(text, sizeof text, "[%H:%M:%S] ", mine), 0u);
  EXPECT_STREQ(text, "[22:13:20] ");
  EXPECT_EQ(_localtime64(nullptr), nullptr);
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
