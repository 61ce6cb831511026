// A real nginx web server for tests: started on a free loopback port,
// serving one folder, stopped when the object goes.
//
// Everything nginx writes (configuration, pid file, logs, temporary folders)
// lives in a private temporary prefix folder that is removed afterwards.
// nginx runs in the foreground ("daemon off") as a child of the test, with
// one worker; as root its worker runs as root too, so that it can read the
// test's private folders.
//
// Tests that need nginx begin with QX_REQUIRE_NGINX(), which skips them with
// a clear message when the program is not installed (scripts/setup installs
// it, so CI always has it). The program is $QX_NGINX when set, else "nginx"
// on the PATH, else /usr/sbin/nginx.
//
// Not thread-safe: one thread starts and stops a server.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace qx::test {

class NginxServer_c {
 public:
  // The nginx program to run; "" when there is none.
  static std::string FindProgram();

  explicit NginxServer_c(std::string a_sRoot);
  ~NginxServer_c();
  NginxServer_c(const NginxServer_c&) = delete;
  NginxServer_c& operator=(const NginxServer_c&) = delete;

  // Starts nginx and waits until it accepts connections. False, with
  // a_psError set (including nginx's own error log), when it does not.
  bool Start(std::string* a_psError = nullptr);
  void Stop();

  int GetPort() const { return m_nPort; }
  const std::string& GetRoot() const { return m_sRoot; }
  std::string GetPrefix() const { return m_prefix.str(); }
  std::string ReadAccessLog() const;
  std::string ReadErrorLog() const;

 private:
  bool StartOnce(int a_nPort, std::string* a_psError);

  std::string m_sRoot;
  TempDir m_prefix;
  int m_nPort = 0;
  pid_t m_nPid = -1;
};

}  // namespace qx::test

#define QX_REQUIRE_NGINX()                                                                                   \
  do {                                                                                                       \
    if (::qx::test::NginxServer_c::FindProgram().empty())                                                    \
      GTEST_SKIP() << "nginx is not installed (scripts/setup installs it); skipping the test against nginx"; \
  } while (0)
