#include "platform/format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FormatString, FormatsLikePrintf) {
  EXPECT_EQ(FormatString("Setting timeout to %i seconds", 5), "Setting timeout to 5 seconds");
  EXPECT_EQ(FormatString("%s:%u", "host", 80u), "host:80");
  EXPECT_EQ(FormatString("%s", ""), "");
}

TEST(FormatString, TextsOfEveryLengthAreComplete) {
  // Around the first buffer's size and across several doublings of the heap buffer.
  for (std::size_t length : {0u, 1u, 4094u, 4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 100000u}) {
    std::string text(length, 'x');
    if (length) text.back() = 'y';
    std::string out = FormatString("[%s]", text.c_str());
    ASSERT_EQ(out.size(), length + 2) << length;
    EXPECT_EQ(out, "[" + text + "]") << length;
  }
}

}  // namespace
