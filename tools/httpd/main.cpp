// qxhttpd: serves a folder over HTTP/1.1 (GET, HEAD, Range) until it is
// interrupted, optionally with injected faults. For the demo and for trying
// the patcher against a misbehaving server by hand.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tools/httpd/http_server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: qxhttpd --root DIR [--port N] [--bind ADDRESS] [--fault SPEC]... [--no-keep-alive] [--quiet]\n"
      "\n"
      "Serves the files below DIR to GET and HEAD requests (with Range) on ADDRESS:N\n"
      "(default 127.0.0.1:8080; port 0 picks a free port) until interrupted.\n"
      "\n"
      "  --fault KIND[:key=value,...]   answer matching requests with a fault; may be repeated,\n"
      "                                 the first matching rule wins. KIND is one of\n"
      "        close-before-header reset-before-header stall close-mid-body reset-mid-body\n"
      "        stall-mid-body 404 500 302 ignore-range wrong-length trickle long-header\n"
      "      keys: method=GET|HEAD  path=/exact or /prefix*  skip=N  times=N  after=BYTES\n"
      "            delta=BYTES  chunk=BYTES  delay=MS  size=BYTES  location=URL\n"
      "      e.g. --fault close-mid-body:path=/patch/*,after=4096,times=1\n"
      "  --no-keep-alive                close the connection after every response\n"
      "  --quiet                        do not print each request\n"
      "  --help                         this text\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  std::string bind = "127.0.0.1";
  int port = 8080;
  bool keepAlive = true;
  bool quiet = false;
  std::vector<qx::httpd::FaultRule_t> faults;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qxhttpd: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--root") {
      root = value();
    } else if (arg == "--port") {
      const std::string text = value();
      char* end = nullptr;
      const long number = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end || number < 0 || number > 65535) {
        std::fprintf(stderr, "qxhttpd: bad port '%s'\n", text.c_str());
        return 2;
      }
      port = static_cast<int>(number);
    } else if (arg == "--bind") {
      bind = value();
    } else if (arg == "--fault") {
      qx::httpd::FaultRule_t rule;
      std::string error;
      if (!qx::httpd::ParseFaultRule(value(), rule, error)) {
        std::fprintf(stderr, "qxhttpd: --fault: %s\n", error.c_str());
        return 2;
      }
      faults.push_back(rule);
    } else if (arg == "--no-keep-alive") {
      keepAlive = false;
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr, "qxhttpd: unknown argument '%s'\n\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  struct stat st {};
  if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "qxhttpd: --root must name a folder\n\n");
    PrintUsage(stderr);
    return 2;
  }

  qx::httpd::HttpServer_c server(root);
  for (auto& rule : faults) server.AddFault(rule);
  server.SetKeepAlive(keepAlive);
  server.SetRequestLog(!quiet);
  std::string error;
  if (!server.Start(port, bind, &error)) {
    std::fprintf(stderr, "qxhttpd: cannot listen on %s:%d: %s\n", bind.c_str(), port, error.c_str());
    return 1;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::printf("qxhttpd: serving %s at http://%s:%d/\n", root.c_str(), bind.c_str(), server.GetPort());
  std::fflush(stdout);
  while (!g_stop) ::pause();
  server.Stop();
  return 0;
}
