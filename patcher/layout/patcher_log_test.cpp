#include "patcher/layout/patcher_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "patcher/layout/layout_test_support.h"

namespace {

namespace fs = std::filesystem;
using qx::test::ChildResult;
using qx::test::EnterInstallation;
using qx::test::RunInChild;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An installation whose per-user data folder exists (or not, when asked).
class PatcherLogTest : public testing::Test {
 protected:
  PatcherLogTest() : base_(fs::canonical(dir_.path()).string()), inst_(base_ + "/Games/Quorvex Online") {
    fs::create_directories(inst_ + "/cd_image");
  }

  // The user data folder as the child computes it, created there when `create`.
  std::string Run(const std::function<void()>& body, bool create = true) {
    ChildResult r = RunInChild([&] {
      EnterInstallation(inst_, nullptr, base_ + "/appdata");
      if (create) fs::create_directories(GetUserDataPath());
      body();
      std::printf("%s", GetLogPath().c_str());
    });
    EXPECT_EQ(r.exitCode, 0);
    return r.out;
  }

  qx::test::TempDir dir_;
  std::string base_;
  std::string inst_;
};

TEST_F(PatcherLogTest, LineFormat) {
  std::string path = Run([] {
    WriteLog("Argument: 15.9.2");
    WriteLog(std::string("two\nlines"));
    WriteLog("");
  });
  EXPECT_EQ(fs::path(path).filename(), "QuorvexPatcher.err");
  EXPECT_EQ(fs::path(path).parent_path().filename(), "Quorvex Online");
  const std::string time = R"(\[\d\d:\d\d:\d\d\] )";
  std::regex expected("^" + time + "Argument: 15\\.9\\.2\r\n" + time + "two\r\nlines\r\n" + time + "\r\n$");
  std::string content = ReadAll(path);
  EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST_F(PatcherLogTest, AppendsAcrossOpensAndDeleteStartsAfresh) {
  std::string path = Run([] {
    WriteLog("one");
    WriteLog("two");
  });
  std::string before = ReadAll(path);
  EXPECT_NE(before.find("one\r\n"), std::string::npos);
  EXPECT_NE(before.find("two\r\n"), std::string::npos);
  Run([] {
    WriteLog("three");
    DeleteLog();
    DeleteLog();  // nothing to delete: ignored
    WriteLog("four");
  });
  std::string after = ReadAll(path);
  EXPECT_EQ(after.find("one"), std::string::npos);
  EXPECT_EQ(after.find("three"), std::string::npos);
  EXPECT_NE(after.find("four\r\n"), std::string::npos);
}

TEST_F(PatcherLogTest, MissingFolderLosesTheLineQuietly) {
  std::string path = Run(
      [] {
        WriteLog("nowhere to go");
        DeleteLog();
      },
      false);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(fs::path(path).parent_path()));
}

TEST_F(PatcherLogTest, LinesFromTwoThreadsAreAllKept) {
  constexpr int kLines = 300;
  std::string path = Run([] {
    auto writer = [](char tag) {
      for (int i = 0; i < kLines; ++i) WriteLog(std::string(1, tag) + std::to_string(i));
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
  });
  std::string content = ReadAll(path);
  std::regex line(R"(\[\d\d:\d\d:\d\d\] [ab]\d+\r\n)");
  int lines = 0;
  std::size_t covered = 0;
  for (auto it = std::sregex_iterator(content.begin(), content.end(), line); it != std::sregex_iterator(); ++it) {
    ++lines;
    covered += static_cast<std::size_t>(it->length());
  }
  EXPECT_EQ(lines, 2 * kLines);
  EXPECT_EQ(covered, content.size());  // nothing but whole lines
}

}  // namespace
