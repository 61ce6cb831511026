#include "platform/os/command_line.h"

#include <gtest/gtest.h>

#include <random>

namespace qx::os {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLineTest, SplitsTheWindowsWay) {
  struct Case {
    std::string line;
    Args args;
  } cases[] = {
      {"", {}},
      {"prog", {"prog"}},
      {"prog a b", {"prog", "a", "b"}},
      {"prog   \t a\t\tb  ", {"prog", "a", "b"}},
      {R"("C:\Program Files\QuorvexPatcher.exe" 15.9.2)", {R"(C:\Program Files\QuorvexPatcher.exe)", "15.9.2"}},
      {R"(C:\dir\prog.exe a)", {R"(C:\dir\prog.exe)", "a"}},
      {R"(prog "a b" c)", {"prog", "a b", "c"}},
      {R"(prog a"b c"d)", {"prog", "ab cd"}},
      {R"(prog a\\b)", {"prog", R"(a\\b)"}},
      {R"(prog a\"b)", {"prog", R"(a"b)"}},
      {R"(prog a\\\"b)", {"prog", R"(a\"b)"}},
      {R"(prog "a\\" b)", {"prog", R"(a\)", "b"}},
      {R"(prog "a""b")", {"prog", R"(a"b)"}},
      {R"(prog "" x)", {"prog", "", "x"}},
      {R"(prog "unterminated arg)", {"prog", "unterminated arg"}},
      // A folder in quotes ending in a backslash, at the end of the line, keeps its backslash.
      {R"(Quorvex.exe 15.2 /Automation /BackupPath "D:\Saved\")",
       {"Quorvex.exe", "15.2", "/Automation", "/BackupPath", R"(D:\Saved\)"}},
      {R"(prog "D:\Saved\" more)", {"prog", R"(D:\Saved" more)"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitWindowsCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLineTest, QuotingRoundTrips) {
  Args tricky = {"QuorvexPatcher",
                 "",
                 "15.2",
                 "a b",
                 R"(a"b)",
                 R"(a\)",
                 R"(a\\)",
                 R"(a\"b)",
                 R"(\\server\share\)",
                 "tab\there",
                 R"(")",
                 R"(\)",
                 R"(C:\Program Files\)",
                 "trailing space ",
                 R"("")",
                 "new\nline",
                 R"(D:\Saved\)"};
  EXPECT_EQ(SplitWindowsCommandLine(JoinWindowsCommandLine(tricky)), tricky);
  EXPECT_EQ(QuoteWindowsArgument("plain"), "plain");
  EXPECT_EQ(QuoteWindowsArgument("a b"), "\"a b\"");
  EXPECT_EQ(QuoteWindowsArgument(R"(C:\My Saved\)"), R"("C:\My Saved\\")");
  EXPECT_EQ(QuoteWindowsArgument(""), "\"\"");
  EXPECT_EQ(JoinWindowsCommandLine({"C:/Program Files/x", "1"}), "\"C:/Program Files/x\" 1");

  // Random arguments over the characters that matter.
  std::mt19937 random(12345);
  const char alphabet[] = {'a', ' ', '\t', '"', '\\', 'b'};
  for (int round = 0; round < 2000; ++round) {
    Args args = {"prog"};
    int count = static_cast<int>(random() % 4) + 1;
    for (int i = 0; i < count; ++i) {
      std::string arg;
      int length = static_cast<int>(random() % 8);
      for (int j = 0; j < length; ++j) arg.push_back(alphabet[random() % sizeof alphabet]);
      args.push_back(arg);
    }
    ASSERT_EQ(SplitWindowsCommandLine(JoinWindowsCommandLine(args)), args) << JoinWindowsCommandLine(args);
  }
}

TEST(CommandLineTest, ProcessCommandLineIsRebuiltFromArgv) {
  const char* argv[] = {"/opt/quorvex/QuorvexPatcher", "15.2", "1", R"(D:\My Backup\)", nullptr};
  SetProcessCommandLine(4, argv);
  EXPECT_STREQ(GetCommandLineA(), R"(/opt/quorvex/QuorvexPatcher 15.2 1 "D:\My Backup\\")");
  EXPECT_EQ(SplitWindowsCommandLine(GetCommandLineA()), Args(argv, argv + 4));
  EXPECT_EQ(ProcessArguments(), Args(argv, argv + 4));
}

}  // namespace
}  // namespace qx::os
