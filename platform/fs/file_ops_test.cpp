#include "platform/fs/file_ops.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace {

// Runs the test body in `folder` and goes back afterwards.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::filesystem::path& folder) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~WorkingFolder() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(FileOpsTest, WorkingFolderQueries) {
  qx::test::TempDir dir;
  std::string real = std::filesystem::canonical(dir.path()).string();
  WorkingFolder cwd(dir.path());

  char buffer[512];
  ASSERT_EQ(_getcwd(buffer, sizeof buffer), buffer);
  EXPECT_EQ(std::string(buffer), real);
  errno = 0;
  EXPECT_EQ(_getcwd(buffer, 3), nullptr);
  EXPECT_EQ(errno, ERANGE);
  char* allocated = _getcwd(nullptr, 0);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated), real);
  std::free(allocated);

  EXPECT_EQ(GetCurrentDirectoryA(sizeof buffer, buffer), real.size());
  EXPECT_EQ(std::string(buffer), real);
  EXPECT_EQ(GetCurrentDirectoryA(2, buffer), real.size() + 1);
}

TEST(FileOpsTest, FullPathResolvesDotsAndKeepsTrailingSeparator) {
  qx::test::TempDir dir;
  std::string real = std::filesystem::canonical(dir.path()).string();
  WorkingFolder cwd(dir.path());
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"sub\\dir", real + "/sub/dir"},
      {"sub\\dir\\", real + "/sub/dir/"},
      {"client/../", real + "/"},
      {"../", std::filesystem::path(real).parent_path().string() + "/"},
      {"./a//b/./c/..", real + "/a/b"},
      {"/x/../../y", "/y"},
      {"/", "/"},
      {"", real},
      {"C:/Games/../Quorvex", real + "/C:/Quorvex"},
  };
  char buffer[512];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    ASSERT_EQ(_fullpath(buffer, c.in, sizeof buffer), buffer);
    EXPECT_EQ(std::string(buffer), c.out);
  }
  char* allocated = _fullpath(nullptr, "a/b", 0);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated), real + "/a/b");
  std::free(allocated);
}

TEST(FileOpsTest, FullPathRejectsWhatDoesNotFit) {
  std::string result = "/" + std::string(20, 'a');
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  errno = 0;
  EXPECT_EQ(_fullpath(buffer, result.c_str(), result.size()), nullptr);  // no room for the zero
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(buffer[0], '#');  // nothing written
  EXPECT_EQ(_fullpath(buffer, result.c_str(), result.size() + 1), buffer);
  std::string tooLong = "/" + std::string(MAX_PATH, 'b');
  EXPECT_EQ(_fullpath(nullptr, tooLong.c_str(), 0), nullptr);
}

TEST(FileOpsTest, AccessTestsExistenceWithoutRegardToCase) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "cd_image");
  EXPECT_EQ(_access((dir.str() + "/CD_IMAGE").c_str(), 0), 0);
  EXPECT_EQ(_access((dir.str() + "\\cd_image").c_str(), 6), 0);
  errno = 0;
  EXPECT_EQ(_access((dir.str() + "/other").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(_access(dir.str().c_str(), 1), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
