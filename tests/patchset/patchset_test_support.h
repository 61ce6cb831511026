// Support for the patch set tests: installations written from a table (files
// and database records), the signing key made once per process, and running
// qxauthor in-process or as the built program.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "patcher/resdb/resource_patch_test_support.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "tests/support/temp_dir.h"
#include "tools/author/command.h"

namespace qx::test {

using rtpatch::testing::ReadFile;
using rtpatch::testing::Tree;
using rtpatch::testing::WriteFile;
using rtpatch::testing::WriteTree;

inline constexpr const char* kDatabaseFile = "cd_image/data/db/ResourceDatabase.dat";

struct Installation_t {
  Tree files;          // version.id included
  Contents database;   // the resource database's records
};

inline void WriteInstallation(const std::string& a_sRoot, const Installation_t& a_install) {
  WriteTree(a_sRoot, a_install.files);
  std::filesystem::create_directories(a_sRoot + "/cd_image/data/db");
  testing::internal::CaptureStderr();  // the engine's notices on creating a pair
  SeedDatabase(a_sRoot + "/" + kDatabaseFile, a_install.database);
  testing::internal::GetCapturedStderr();
}

struct AuthorResult_t {
  int status;
  std::string out, err;
};

inline AuthorResult_t Author(const author::Args& a_args) {
  std::ostringstream out, err;
  const int status = author::RunAuthor(a_args, out, err);
  return {status, out.str(), err.str()};
}

// A key pair made once for the whole test program.
class TestKeys {
 public:
  static const TestKeys& Get() {
    static TestKeys keys;
    return keys;
  }
  std::string publicKey() const { return m_dir / "test.pub"; }
  std::string privateKey() const { return m_dir / "test.key"; }

 private:
  TestKeys() {
    const AuthorResult_t r =
        Author({"keygen", "--public", publicKey(), "--private", privateKey(), "--bits", "1024"});
    if (r.status != 0) std::abort();
  }
  TempDir m_dir;
};

// Runs the built qxauthor program; its exit status.
inline int RunProgram(const std::string& a_sArguments) {
  const std::string command = std::string(QX_BINARY_DIR "/bin/qxauthor ") + a_sArguments;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qx::test
