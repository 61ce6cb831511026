#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace qx::test {

namespace {

bool IsExecutable(const std::string& a_sPath) { return ::access(a_sPath.c_str(), X_OK) == 0; }

std::string ReadWhole(const std::string& a_sPath) {
  std::ifstream in(a_sPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

bool Accepts(int a_nPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(a_nPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::string NginxServer_c::FindProgram() {
  if (const char* configured = std::getenv("QX_NGINX"); configured && *configured) {
    return IsExecutable(configured) ? configured : "";
  }
  if (const char* path = std::getenv("PATH")) {
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
      if (!folder.empty() && IsExecutable(folder + "/nginx")) return folder + "/nginx";
    }
  }
  return IsExecutable("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "";
}

NginxServer_c::NginxServer_c(std::string a_sRoot) : m_sRoot(std::move(a_sRoot)) {}

NginxServer_c::~NginxServer_c() { Stop(); }

bool NginxServer_c::Start(std::string* a_psError) {
  if (m_nPid > 0) return true;
  // A port found free may be taken by someone else before nginx binds it: try a few.
  for (int tries = 0; tries < 5; ++tries) {
    std::string error;
    if (StartOnce(FreeLoopbackPort(), &error)) return true;
    if (error.find("Address already in use") == std::string::npos) {
      if (a_psError) *a_psError = error;
      return false;
    }
  }
  if (a_psError) *a_psError = "no free port for nginx";
  return false;
}

bool NginxServer_c::StartOnce(int a_nPort, std::string* a_psError) {
  const std::string program = FindProgram();
  if (program.empty()) {
    if (a_psError) *a_psError = "nginx is not installed";
    return false;
  }
  const std::string prefix = m_prefix.str() + "/";
  for (const char* folder : {"logs", "tmp"}) ::mkdir((prefix + folder).c_str(), 0700);
  const std::string errorLog = prefix + "logs/error.log";
  ::unlink(errorLog.c_str());
  {
    std::ofstream conf(prefix + "nginx.conf");
    if (::geteuid() == 0) conf << "user root;\n";
    conf << "daemon off;\n"
            "worker_processes 1;\n"
            "pid "
         << prefix << "nginx.pid;\n"
         << "error_log " << errorLog << " info;\n"
         << "events { worker_connections 256; }\n"
            "http {\n"
            "  access_log "
         << prefix << "logs/access.log;\n"
         << "  client_body_temp_path " << prefix << "tmp/body;\n"
         << "  proxy_temp_path " << prefix << "tmp/proxy;\n"
         << "  fastcgi_temp_path " << prefix << "tmp/fastcgi;\n"
         << "  uwsgi_temp_path " << prefix << "tmp/uwsgi;\n"
         << "  scgi_temp_path " << prefix << "tmp/scgi;\n"
         << "  types { }\n"
            "  default_type application/octet-stream;\n"
            "  sendfile on;\n"
            "  keepalive_timeout 65;\n"
            "  server {\n"
            "    listen 127.0.0.1:"
         << a_nPort << ";\n"
         << "    server_name localhost;\n"
            "    root "
         << m_sRoot << ";\n"
         << "    location / { }\n"
            "  }\n"
            "}\n";
  }

  const pid_t pid = ::fork();
  if (pid < 0) {
    if (a_psError) *a_psError = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    const std::string conf = prefix + "nginx.conf";
    ::execl(program.c_str(), program.c_str(), "-p", prefix.c_str(), "-c", conf.c_str(), "-e", errorLog.c_str(),
            static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      if (a_psError) *a_psError = "nginx ended at start: " + ReadErrorLog();
      return false;
    }
    if (Accepts(a_nPort)) {
      m_nPid = pid;
      m_nPort = a_nPort;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  if (a_psError) *a_psError = "nginx did not accept connections within 10 s: " + ReadErrorLog();
  return false;
}

void NginxServer_c::Stop() {
  if (m_nPid <= 0) return;
  ::kill(m_nPid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(m_nPid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(m_nPid, SIGKILL);
      ::waitpid(m_nPid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_nPid = -1;
}

std::string NginxServer_c::ReadAccessLog() const { return ReadWhole(m_prefix.str() + "/logs/access.log"); }

std::string NginxServer_c::ReadErrorLog() const { return ReadWhole(m_prefix.str() + "/logs/error.log"); }

}  // namespace qx::test
