#include "platform/os/library.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace {

class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const std::filesystem::path& folder) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~ScopedWorkingFolder() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

using EntryFunction = int (*)(int, int, int);

TEST(LibraryTest, LoadsFromTheWorkingFolderAndFindsDecoratedNames) {
  qx::test::TempDir dir;
  std::filesystem::copy_file(QX_TEST_LIBRARY, dir.path() / "patchw32.dll");
  ScopedWorkingFolder cwd(dir.path());

  HMODULE module = LoadLibraryA("PATCHW32.DLL");
  ASSERT_NE(module, nullptr);
  for (const char* name : {"Entry@12", "Entry"}) {
    FARPROC proc = GetProcAddress(module, name);
    ASSERT_NE(proc, nullptr) << name;
    EXPECT_EQ(reinterpret_cast<EntryFunction>(proc)(1, 2, 3), 123);
  }
  for (const char* name : {"Missing@12", "Entry@", "Entry@1x", "Entry2"}) {
    EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  }
  HMODULE again = LoadLibraryA("patchw32.dll");
  EXPECT_EQ(again, module);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_NE(GetProcAddress(module, "Entry"), nullptr);  // still loaded once
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetProcAddress(module, "Entry"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LibraryTest, ReportsMissingAndBrokenLibraries) {
  qx::test::TempDir dir;
  std::ofstream(dir.path() / "broken.dll") << "not a library";
  ScopedWorkingFolder cwd(dir.path());
  EXPECT_EQ(LoadLibraryA("patchw32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("Broken.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  // A bare name is not looked for on the system's library path.
  EXPECT_EQ(LoadLibraryA("libc.so.6"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
