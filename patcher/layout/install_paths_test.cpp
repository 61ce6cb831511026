#include "patcher/layout/install_paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "patcher/layout/layout_test_support.h"

namespace {

namespace fs = std::filesystem;
using qx::test::ChildResult;
using qx::test::EnterInstallation;
using qx::test::RunInChild;
using qx::test::Touch;

TEST(InstallPaths, FolderHash) {
  struct Case {
    const char* text;
    std::uint32_t hash;
  } cases[] = {
      {"", 0},
      {"abc", 0xfb515711},
      {"C:/Games", 0xb405958b},
      {"C:/games", 0x54a378ad},      // letter case matters
      {"\xe9t\xe9", 0xfb5e6d38},     // bytes above 0x7f count as negative
      {"C:", 0xcd94ae8e},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HashInstallFolder(c.text), c.hash) << '"' << c.text << '"';
  }
}

// A temporary machine: an application-data folder and room for installations.
class InstallPathsTest : public testing::Test {
 protected:
  InstallPathsTest() : base_(fs::canonical(dir_.path()).string()), appData_(base_ + "/appdata") {}

  std::string HashText(const std::string& parent) const {
    char text[16];
    std::snprintf(text, sizeof text, "%x", HashInstallFolder(parent));
    return text;
  }

  qx::test::TempDir dir_;
  std::string base_;
  std::string appData_;
};

// Prints root, client folder, user data, prefs and cd_image, one per line.
void PrintPaths() {
  std::printf("%s\n%s\n%s\n%s\n%s\n", GetClientRootPath().c_str(), GetClientPath().c_str(),
              GetUserDataPath().c_str(), GetPrefsPath().c_str(), GetCdImagePath().c_str());
}

TEST_F(InstallPathsTest, ClientRootProbe) {
  const std::string inst = base_ + "/Quorvex Online";
  fs::create_directories(inst + "/cd_image");
  fs::create_directories(inst + "/client");
  fs::create_directories(base_ + "/elsewhere/sub/dir");
  fs::create_directories(base_ + "/both/cd_image");
  fs::create_directories(base_ + "/both/inner/cd_image");
  Touch(base_ + "/plainfile/cd_image");  // a file named cd_image counts too

  struct Case {
    const char* what;
    std::string cwd;
    const char* quorvex;
    std::string root;
  } cases[] = {
      {"working folder holds cd_image", inst, "/ignored", inst + "/"},
      {"parent holds cd_image", inst + "/client", nullptr, inst + "/"},
      {"working folder wins over parent", base_ + "/both/inner", nullptr, base_ + "/both/inner/"},
      {"an entry of any kind", base_ + "/plainfile", nullptr, base_ + "/plainfile/"},
      {"QUORVEX relative with backslashes", base_ + "/elsewhere", "sub\\dir", base_ + "/elsewhere/sub/dir/"},
      {"QUORVEX with a trailing backslash", base_ + "/elsewhere", "sub\\dir\\", base_ + "/elsewhere/sub/dir/"},
      {"QUORVEX with dot-dot", base_ + "/elsewhere/sub", "..\\..\\Quorvex Online", inst + "/"},
      {"QUORVEX absolute", base_ + "/elsewhere", "/opt/qx", "/opt/qx/"},
  };
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&] {
      EnterInstallation(c.cwd, c.quorvex, appData_);
      std::printf("%s", GetClientRootPath().c_str());
    });
    EXPECT_EQ(r.exitCode, 0) << c.what;
    EXPECT_EQ(r.out, c.root) << c.what;
  }
}

TEST_F(InstallPathsTest, FatalFailuresEndTheProcess) {
  fs::create_directories(base_ + "/nothing");
  fs::create_directories(base_ + "/inst/cd_image");
  Touch(base_ + "/blocked");  // a file where a folder would have to be created
  const std::string noRoot = "Unable to find the root of the Quorvex installation!\n";
  const std::string tooLong = "The path of the Quorvex installation is longer than 511 characters!\n";
  const std::string root511 = "/" + std::string(509, 'q') + "/";
  struct Case {
    const char* what;
    std::string cwd;
    std::optional<std::string> quorvex;
    std::string appData;
    int exitCode;
    std::string out;  // the root as printed, then any fatal text
  } cases[] = {
      {"no cd_image and no QUORVEX", base_ + "/nothing", std::nullopt, appData_, 3, noRoot},
      {"QUORVEX longer than 511", base_ + "/nothing", "/a/" + std::string(600, 'x'), appData_, 3, tooLong},
      {"root of 512 with its trailing slash", base_ + "/nothing", "/" + std::string(510, 'q'), appData_, 3,
       tooLong},
      {"root of exactly 511", base_ + "/nothing", "/" + std::string(509, 'q'), appData_, 0, root511},
      {"no application-data folder", base_ + "/inst", std::nullopt, base_ + "/blocked/data", 3,
       base_ + "/inst/Could not get the appdata folder!\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&] {
      EnterInstallation(c.cwd, c.quorvex ? c.quorvex->c_str() : nullptr, c.appData);
      std::printf("%s", GetClientRootPath().c_str());
      std::fflush(stdout);
      GetUserDataPath();
    });
    EXPECT_EQ(r.exitCode, c.exitCode) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
  }
}

TEST_F(InstallPathsTest, DerivedFolders) {
  const std::string games = base_ + "/Games";
  const std::string plain = games + "/Quorvex Online";
  fs::create_directories(plain + "/cd_image");
  const std::string split = base_ + "/QX";
  fs::create_directories(split + "/cd_image");
  fs::create_directories(split + "/client");
  fs::create_directories(base_ + "/elsewhere");
  const std::string varnok = appData_ + "/Varnok/Quorvex Online/";

  struct Case {
    const char* what;
    std::string cwd;
    const char* quorvex;
    std::string root, client, userData;
  } cases[] = {
      {"no client folder", plain, nullptr, plain + "/", plain + "/",
       varnok + HashText(games) + "/Quorvex Online/"},
      {"started from the client folder", split + "/client", nullptr, split + "/", split + "/client/",
       varnok + HashText(split) + "/client/"},
      {"root of the file system", base_ + "/elsewhere", "/", "/", "/", varnok + "0/"},
  };
  for (const Case& c : cases) {
    ChildResult r = RunInChild([&] {
      EnterInstallation(c.cwd, c.quorvex, appData_);
      PrintPaths();
    });
    EXPECT_EQ(r.exitCode, 0) << c.what;
    EXPECT_EQ(r.out, c.root + "\n" + c.client + "\n" + c.userData + "\n" + c.userData + "Prefs/\n" + c.root +
                         "cd_image/\n")
        << c.what;
  }
  // The application-data folder itself is created, nothing below it.
  EXPECT_TRUE(fs::is_directory(appData_));
  EXPECT_FALSE(fs::exists(appData_ + "/Varnok"));
}

TEST_F(InstallPathsTest, PathsAreComputedOnce) {
  const std::string inst = base_ + "/Quorvex Online";
  fs::create_directories(inst + "/cd_image");
  ChildResult r = RunInChild([&] {
    EnterInstallation(inst, nullptr, appData_);
    std::string first = GetUserDataPath();
    fs::create_directories(inst + "/client");
    ::setenv("XDG_DATA_HOME", "/somewhere/else", 1);
    if (::chdir("/") != 0) std::_Exit(98);
    std::printf("%d %d", GetUserDataPath() == first, GetClientPath() == inst + "/");
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "1 1");
}

}  // namespace
