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

namespace {

void Spit(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileOpsTest, CopyFileOverwritesOnlyWhenAllowed) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "patchertmp");
  Spit(dir / "patchertmp/QuorvexPatcher.exe", "new");
  ::chmod((dir / "patchertmp/QuorvexPatcher.exe").c_str(), 0755);
  std::string target = dir / "QuorvexPatcher.exe";

  ASSERT_TRUE(CopyFileA((dir.str() + "\\PATCHERTMP\\quorvexpatcher.exe").c_str(), target.c_str(), TRUE));
  EXPECT_EQ(Slurp(target), "new");
  EXPECT_EQ(std::filesystem::status(target).permissions() & std::filesystem::perms::owner_exec,
            std::filesystem::perms::owner_exec);

  Spit(target, "old");
  SetLastError(0);
  EXPECT_FALSE(CopyFileA((dir / "patchertmp/QuorvexPatcher.exe").c_str(), target.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Slurp(target), "old");
  // The target found without regard to case counts as existing too.
  EXPECT_FALSE(CopyFileA((dir / "patchertmp/QuorvexPatcher.exe").c_str(), (dir / "QUORVEXPATCHER.EXE").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  ASSERT_TRUE(CopyFileA((dir / "patchertmp/QuorvexPatcher.exe").c_str(), target.c_str(), FALSE));
  EXPECT_EQ(Slurp(target), "new");
  // A name at the file system's length limit still copies (its temporary name is shortened).
  std::string longName = dir / std::string(250, 'n');
  ASSERT_TRUE(CopyFileA(target.c_str(), longName.c_str(), TRUE));
  EXPECT_EQ(Slurp(longName), "new");

  struct Case {
    std::string from, to;
    DWORD error;
  } failures[] = {
      {dir / "missing", dir / "x", ERROR_FILE_NOT_FOUND},
      {dir / "no/folder/x", dir / "x", ERROR_PATH_NOT_FOUND},
      {target, dir / "no/folder/x", ERROR_PATH_NOT_FOUND},
      {dir / "patchertmp", dir / "x", ERROR_ACCESS_DENIED},
      {target, target, ERROR_SHARING_VIOLATION},
  };
  for (const Case& c : failures) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    EXPECT_FALSE(CopyFileA(c.from.c_str(), c.to.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), c.error);
  }
  // No temporary files are left behind by failed or successful copies.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".qxcopy"), std::string::npos) << entry.path();
  }
}

TEST(FileOpsTest, MoveDeleteAndFolders) {
  qx::test::TempDir dir;
  Spit(dir / "ResourceDatabase.dat", "dat");
  Spit(dir / "old_ResourceDatabase.dat", "old");

  EXPECT_FALSE(MoveFileA((dir / "resourcedatabase.DAT").c_str(), (dir / "OLD_resourcedatabase.dat").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Slurp(dir / "old_ResourceDatabase.dat"), "old");
  ASSERT_TRUE(MoveFileA((dir / "resourcedatabase.DAT").c_str(), (dir / "moved.dat").c_str()));
  EXPECT_EQ(Slurp(dir / "moved.dat"), "dat");
  EXPECT_FALSE(MoveFileA((dir / "gone").c_str(), (dir / "x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFileA((dir / "moved.dat").c_str(), (dir / "no/such/x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_TRUE(DeleteFileA((dir.str() + "\\MOVED.DAT").c_str()));
  EXPECT_FALSE(DeleteFileA((dir / "moved.dat").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA((dir / "none/moved.dat").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_TRUE(CreateDirectoryA((dir / "PatchesUndo").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA((dir / "patchesundo").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA((dir / "a/b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA((dir / "PatchesUndo").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  Spit(dir / "PatchesUndo/file", "x");
  EXPECT_FALSE(RemoveDirectoryA((dir / "PatchesUndo").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  errno = 0;
  EXPECT_EQ(_rmdir((dir / "patchesundo").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);

  // Read-only files resist deletion until the attribute is cleared.
  std::string file = dir / "PatchesUndo/file";
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_EQ(_rmdir((dir.str() + "\\PATCHESUNDO\\").c_str()), 0);
  EXPECT_FALSE(PathFileExistsA((dir / "PatchesUndo").c_str()));
  EXPECT_TRUE(PathFileExistsA((dir / "OLD_RESOURCEDATABASE.DAT").c_str()));
  EXPECT_EQ(GetFileAttributesA((dir / "none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA(dir.str().c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
}

TEST(FileOpsTest, WorkingFolderChangesAndFreeSpace) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "Sub");
  std::string saved = std::filesystem::current_path().string();
  ASSERT_TRUE(SetCurrentDirectoryA((dir.str() + "\\sub").c_str()));
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(dir.path() / "Sub"));
  EXPECT_FALSE(SetCurrentDirectoryA("missing"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(SetCurrentDirectoryA(saved.c_str()));

  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExA(dir.str().c_str(), &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_TRUE(GetDiskFreeSpaceExA(nullptr, &available, nullptr, nullptr));
  DWORD sectors = 0, bytes = 0, freeClusters = 0, clusters = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA(dir.str().c_str(), &sectors, &bytes, &freeClusters, &clusters));
  EXPECT_EQ(bytes, 512u);
  EXPECT_GE(sectors, 1u);
  EXPECT_GT(clusters, 0u);
  EXPECT_LE(freeClusters, clusters);
  EXPECT_FALSE(GetDiskFreeSpaceExA((dir / "missing").c_str(), &available, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
