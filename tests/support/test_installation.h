// A throw-away installation for tests of patcher code that logs or reads
// installation paths.
//
// The constructor makes a temporary client root (holding "cd_image"),
// enters it as the working folder, points the per-user application-data
// folder (XDG_DATA_HOME) into it and makes the process compute its
// installation paths afresh; the patcher log then lands inside it. The
// per-user data folder is made too (the launcher makes it in a real
// installation). The destructor returns to the previous working folder and removes everything.
// One installation at a time per process; make it on the test's main thread
// while no other thread uses installation paths.
//
// The log helpers read "QuorvexPatcher.err" with the time prefixes removed
// and line ends as "\n", so tests compare against the texts as written.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "patcher/layout/install_paths.h"
#include "patcher/layout/patcher_log.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

class TestInstallation {
 public:
  TestInstallation() {
    char previous[PATH_MAX];
    m_sPrevious = ::getcwd(previous, sizeof previous) ? previous : "/";
    std::filesystem::create_directories(m_dir.path() / "cd_image");
    std::filesystem::create_directories(m_dir.path() / "appdata");
    if (::chdir(m_dir.str().c_str()) != 0) std::abort();
    ::setenv("XDG_DATA_HOME", (m_dir / "appdata").c_str(), 1);
    ::unsetenv("QUORVEX");
    ResetInstallPathsForTesting();
    // The launcher makes the per-user data folder; here the installation does.
    std::filesystem::create_directories(GetUserDataPath());
  }
  ~TestInstallation() {
    [[maybe_unused]] const int rc = ::chdir(m_sPrevious.c_str());
  }
  TestInstallation(const TestInstallation&) = delete;
  TestInstallation& operator=(const TestInstallation&) = delete;

  // The client root (also the working folder), with a trailing '/'.
  std::string Root() const { return m_dir.str() + "/"; }
  std::string operator/(const std::string& a_sName) const { return m_dir / a_sName; }

  // The log so far: each line without its "[HH:MM:SS] " prefix, ended by "\n".
  static std::string LogText() {
    std::ifstream in(GetLogPath(), std::ios::binary);
    std::string text;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() >= 11 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']' && line[10] == ' ')
        line.erase(0, 11);
      text += line + "\n";
    }
    return text;
  }
  // How often `a_sText` occurs in the log.
  static int CountInLog(const std::string& a_sText) {
    const std::string log = LogText();
    int count = 0;
    for (std::size_t at = log.find(a_sText); at != std::string::npos; at = log.find(a_sText, at + a_sText.size()))
      ++count;
    return count;
  }
  static void ClearLog() { DeleteLog(); }

 private:
  TempDir m_dir;
  std::string m_sPrevious;
};

}  // namespace qx::test
