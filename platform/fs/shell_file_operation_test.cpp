#include "platform/fs/shell_file_operation.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace {

void Spit(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Zero-separated list ended by a second zero.
std::string List(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += name + '\0';
  return list + '\0';
}

// The layout of a patch medium and an installation, as the patch copy tool sees them.
class ShellCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() / "medium" / "Patches" / "Sub");
    std::filesystem::create_directories(dir_.path() / "game");
    Spit(dir_.path() / "medium" / "QuorvexPatcher.exe", "patcher");
    Spit(dir_.path() / "medium" / "Patches" / "V1-V2.RTP", "rtp");
    Spit(dir_.path() / "medium" / "Patches" / "V1-V2.RES", "res");
    Spit(dir_.path() / "game" / "QuorvexPatcher.exe", "old patcher");
  }
  void TearDown() override { qx::fs::SetShellFileOperationHook(nullptr); }

  int Copy(const std::vector<std::string>& from, const std::vector<std::string>& to, FILEOP_FLAGS flags,
           BOOL* aborted) {
    std::string fromList = List(from), toList = List(to);
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_COPY;
    op.pFrom = fromList.c_str();
    op.pTo = toList.c_str();
    op.fFlags = flags;
    op.fAnyOperationsAborted = TRUE;  // must be cleared on success
    int result = SHFileOperationA(&op);
    *aborted = op.fAnyOperationsAborted;
    return result;
  }

  std::string M(const std::string& name) { return dir_.str() + "\\medium\\" + name; }
  std::string G(const std::string& name) { return dir_.str() + "\\game\\" + name; }
  qx::test::TempDir dir_;
};

TEST_F(ShellCopyTest, CopiesPairsCreatingFoldersAndOverwriting) {
  BOOL aborted;
  EXPECT_EQ(Copy({M("QuorvexPatcher.exe"), M("Patches\\V1-V2.RTP"), M("PATCHES\\v1-v2.res")},
                 {G("QuorvexPatcher.exe"), G("Patches\\V1-V2.RTP"), G("Patches\\V1-V2.RES")}, 0x211, &aborted),
            0);
  EXPECT_FALSE(aborted);
  EXPECT_EQ(Slurp(dir_.path() / "game" / "QuorvexPatcher.exe"), "patcher");
  EXPECT_EQ(Slurp(dir_.path() / "game" / "Patches" / "V1-V2.RTP"), "rtp");
  EXPECT_EQ(Slurp(dir_.path() / "game" / "Patches" / "V1-V2.RES"), "res");
}

TEST_F(ShellCopyTest, WildcardsAndFolderTargets) {
  BOOL aborted;
  EXPECT_EQ(Copy({M("Patches\\*.*")}, {G("Copy")}, FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR, &aborted), 0);
  EXPECT_FALSE(aborted);
  EXPECT_EQ(Slurp(dir_.path() / "game" / "Copy" / "V1-V2.RTP"), "rtp");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "game" / "Copy" / "Sub"));
}

TEST_F(ShellCopyTest, StopsAtAbortOrErrorAndSaysSo) {
  BOOL aborted;
  qx::fs::SetShellFileOperationHook([](const qx::fs::ShellFileStep& step) {
    EXPECT_EQ(step.count, 3u);
    return step.index < 1;  // copy the first file, then "Cancel"
  });
  EXPECT_EQ(Copy({M("QuorvexPatcher.exe"), M("Patches\\V1-V2.RTP"), M("Patches\\V1-V2.RES")},
                 {G("QuorvexPatcher.exe"), G("Patches\\V1-V2.RTP"), G("Patches\\V1-V2.RES")}, 0x211, &aborted),
            static_cast<int>(ERROR_CANCELLED));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(Slurp(dir_.path() / "game" / "QuorvexPatcher.exe"), "patcher");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "game" / "Patches" / "V1-V2.RTP"));

  qx::fs::SetShellFileOperationHook(nullptr);
  ::setenv("QX_SHFILEOP_ABORT_AFTER", "0", 1);
  EXPECT_EQ(Copy({M("Patches\\V1-V2.RTP")}, {G("Patches\\V1-V2.RTP")}, 0x211, &aborted),
            static_cast<int>(ERROR_CANCELLED));
  ::unsetenv("QX_SHFILEOP_ABORT_AFTER");
  EXPECT_TRUE(aborted);

  // A missing source is found before anything is copied.
  Spit(dir_.path() / "game" / "QuorvexPatcher.exe", "old patcher");
  EXPECT_EQ(Copy({M("QuorvexPatcher.exe"), M("Patches\\missing")}, {G("QuorvexPatcher.exe"), G("x")}, 0x211,
                 &aborted),
            static_cast<int>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(Slurp(dir_.path() / "game" / "QuorvexPatcher.exe"), "old patcher");

  // A target that cannot be written ends the operation.
  Spit(dir_.path() / "game" / "blocker", "file, not folder");
  EXPECT_NE(Copy({M("QuorvexPatcher.exe")}, {G("blocker\\QuorvexPatcher.exe")}, 0x211, &aborted), 0);
  EXPECT_TRUE(aborted);
}

TEST_F(ShellCopyTest, RefusesBadRequests) {
  BOOL aborted;
  EXPECT_EQ(Copy({M("a"), M("b")}, {G("a")}, FOF_MULTIDESTFILES, &aborted), static_cast<int>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Copy({}, {G("a")}, 0, &aborted), static_cast<int>(ERROR_INVALID_PARAMETER));
  SHFILEOPSTRUCTA op{};
  op.wFunc = FO_DELETE;
  std::string from = List({M("QuorvexPatcher.exe")});
  op.pFrom = from.c_str();
  EXPECT_EQ(SHFileOperationA(&op), static_cast<int>(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "medium" / "QuorvexPatcher.exe"));
  EXPECT_EQ(SHFileOperationA(nullptr), static_cast<int>(ERROR_INVALID_PARAMETER));
}

}  // namespace
