#include "platform/os/shell_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

// Sets (or, with nullopt, unsets) an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ShellFoldersTest, LocalAppDataFromXdgDataHomeOrHome) {
  qx::test::TempDir dir;
  char path[MAX_PATH];
  {
    ScopedEnv xdg("XDG_DATA_HOME", dir / "xdg/");
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_STREQ(path, "");
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                               SHGFP_TYPE_CURRENT, path),
              S_OK);
    EXPECT_EQ(std::string(path), dir / "xdg");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "xdg"));
  }
  {
    ScopedEnv xdg("XDG_DATA_HOME", std::string("relative/ignored"));
    ScopedEnv home("HOME", dir / "home");
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                               SHGFP_TYPE_CURRENT, path),
              S_OK);
    EXPECT_EQ(std::string(path), dir / "home/.local/share");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "home/.local/share"));
    // Only that folder: nothing is made below it.
    EXPECT_TRUE(std::filesystem::is_empty(dir / "home/.local/share"));
  }
}

TEST(ShellFoldersTest, RefusesOtherFoldersAndPathsThatDoNotFit) {
  qx::test::TempDir dir;
  char path[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathA(nullptr, 0x001a /* roaming app data */, nullptr, 0, path), E_INVALIDARG);
  EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, nullptr), E_INVALIDARG);
  ScopedEnv xdg("XDG_DATA_HOME", dir.str() + "/" + std::string(MAX_PATH, 'x'));
  EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path),
            HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
}

}  // namespace
