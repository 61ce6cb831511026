// Test support for the patch-server access: one installation per test binary.
//
// The installation paths are worked out once per process, so every test of a
// binary that includes this header runs in the same temporary installation:
// its working folder is the installation folder (with "cd_image\data\launcher"
// and "cd_image\data\patcher"), its per-user data folder lies below the
// binary's own application-data folder, and the patcher log is written there.
// Tests clear what they leave behind with ResetInstallationFiles.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "patcher/layout/install_paths.h"
#include "patcher/layout/patcher_log.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

class NetInstallation_c : public ::testing::Environment {
 public:
  void SetUp() override {
    s_dir = std::make_unique<TempDir>();
    s_root = std::filesystem::canonical(s_dir->path()).string() + "/Quorvex Online";
    std::filesystem::create_directories(s_root + "/cd_image/data/launcher");
    std::filesystem::create_directories(s_root + "/cd_image/data/patcher");
    ::setenv("XDG_DATA_HOME", (s_root + "/../appdata").c_str(), 1);
    ::unsetenv("QUORVEX");
    std::filesystem::current_path(s_root);
    ResetInstallPathsForTesting();
    std::filesystem::create_directories(GetUserDataPath());
  }
  void TearDown() override {
    std::filesystem::current_path("/");
    s_dir.reset();
  }

  static const std::string& Root() { return s_root; }

 private:
  static inline std::unique_ptr<TempDir> s_dir;
  static inline std::string s_root;
};

inline ::testing::Environment* const kNetInstallation = ::testing::AddGlobalTestEnvironment(new NetInstallation_c);

// Removes everything from the installation folder except "cd_image" (whose
// launcher and patcher folders are emptied), and deletes the log.
inline void ResetInstallationFiles() {
  namespace fs = std::filesystem;
  for (const auto& entry : fs::directory_iterator(NetInstallation_c::Root())) {
    if (entry.path().filename() != "cd_image") fs::remove_all(entry.path());
  }
  for (const char* folder : {"/cd_image/data/launcher", "/cd_image/data/patcher"}) {
    for (const auto& entry : fs::directory_iterator(NetInstallation_c::Root() + folder)) fs::remove_all(entry.path());
  }
  DeleteLog();
}

// The log as text: time prefixes removed, line ends as "\n".
inline std::string LogText() {
  std::ifstream in(GetLogPath(), std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  std::size_t pos = 0;
  while (pos < raw.size()) {
    std::size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(pos, end - pos);
    if (line.size() >= 11 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']') line.erase(0, 11);
    text += line + "\n";
    pos = end + 2;
  }
  return text;
}

}  // namespace qx::test
