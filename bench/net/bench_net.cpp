// The network benchmark's program (bench/run_net.sh runs it):
//
//   qx_bench_net download HOST PORT PATH OUT
//       fetches http://HOST:PORT/PATH into OUT with a MyThread_c::GetFile job,
//       the worker thread doing the transfer while the waiting side runs the
//       patcher window and pumps its messages, as in a patch run; prints the
//       seconds from posting the job to the end of the wait.
//   qx_bench_net md5 FILE
//       prints the MD5 digest of FILE by ComputeFileMD5 and the seconds it took.
//
// The program works in a throw-away installation of its own (the patcher's
// paths and log need one). Exit status 0 on success, 1 when the transfer or
// digest failed, 2 for a wrong command line.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "patcher/app/patcher_dlg_test_support.h"
#include "patcher/integrity/file_digest.h"
#include "patcher/layout/install_paths.h"
#include "patcher/net/my_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// A throw-away installation: the working folder holds "cd_image", and the
// per-user data (the log) lies below it.
class Installation_c {
 public:
  Installation_c() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qx-bench-net-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    m_path = pattern;
    std::filesystem::create_directories(m_path / "cd_image");
    ::setenv("XDG_DATA_HOME", (m_path / "appdata").c_str(), 1);
    ::unsetenv("QUORVEX");
    std::filesystem::current_path(m_path);
  }
  ~Installation_c() {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(m_path, ignored);
  }

 private:
  std::filesystem::path m_path;
};

int Download(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, const std::string& a_sOut) {
  bool ok = false;
  double seconds = 0;
  qx::ui::SetRenderer(nullptr);
  qx::test::RunInPatcherWindow([&](CQuorvexPatcherDlg&) {
    MyThread_c* worker = MyThread_c::GetInstance();
    worker->SetTimeout(-1);
    const auto start = Clock::now();
    worker->GetFile(a_sHost.c_str(), a_nPort, a_sPath.c_str(), a_sOut.c_str());
    ok = worker->WaitForCompletion();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  });
  if (!ok) {
    std::fprintf(stderr, "qx_bench_net: the download failed\n");
    return 1;
  }
  std::printf("%.4f\n", seconds);
  return 0;
}

int Md5(const std::string& a_sFile) {
  unsigned char digest[kDigestBytes];
  const auto start = Clock::now();
  if (!ComputeFileMD5(a_sFile.c_str(), digest)) return 1;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s %.4f\n", DigestText(digest).c_str(), seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  // Paths given on the command line are taken before the working folder changes.
  if (command == "download" && argc == 6) {
    const std::string out = std::filesystem::absolute(argv[5]).string();
    Installation_c install;
    return Download(argv[2], std::atoi(argv[3]), argv[4], out);
  }
  if (command == "md5" && argc == 3) {
    const std::string file = std::filesystem::absolute(argv[2]).string();
    Installation_c install;
    return Md5(file);
  }
  std::fprintf(stderr, "usage: qx_bench_net download HOST PORT PATH OUT | md5 FILE\n");
  return 2;
}
