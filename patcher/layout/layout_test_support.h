// Test helpers for the installation layout: run a piece of code in a child
// process (the paths are computed once per process and depend on the working
// folder and the environment) and lay out an installation in a temporary folder.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "patcher/layout/install_paths.h"
#include "tests/support/temp_dir.h"

namespace qx::test {

struct ChildResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  std::string out;    // what it wrote to standard output
};

// Runs `body` in a forked child with standard output captured. The child starts
// with fresh installation paths and ends with exit status 0 after `body`.
inline ChildResult RunInChild(const std::function<void()>& body) {
  std::fflush(stdout);
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    ResetInstallPathsForTesting();
    body();
    std::fflush(stdout);
    std::_Exit(0);
  }
  ::close(fds[1]);
  ChildResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

inline void Touch(const std::string& path, const std::string& content = std::string()) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// In the child: enter `folder` and set (or, with null, clear) "QUORVEX" and the
// local application-data folder.
inline void EnterInstallation(const std::string& folder, const char* quorvex, const std::string& appData) {
  if (::chdir(folder.c_str()) != 0) std::_Exit(99);
  if (quorvex) {
    ::setenv("QUORVEX", quorvex, 1);
  } else {
    ::unsetenv("QUORVEX");
  }
  ::setenv("XDG_DATA_HOME", appData.c_str(), 1);
}

}  // namespace qx::test
