// Test helper: records how it was started, so tests can see what a started
// program receives. Environment:
//   QX_CHILD_REPORT   file to write: working folder, the command line as
//                     GetCommandLineA rebuilds it, then argv, each ended by a
//                     zero byte (written to a temporary name, then renamed)
//   QX_CHILD_SLEEP_MS milliseconds to wait before exiting
//   QX_CHILD_EXIT     exit status
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os/command_line.h"

int main(int argc, char** argv) {
  qx::os::SetProcessCommandLine(argc, argv);
  if (const char* report = std::getenv("QX_CHILD_REPORT")) {
    std::string temp = std::string(report) + ".part";
    if (std::FILE* out = std::fopen(temp.c_str(), "wb")) {
      char cwd[4096];
      const char* folder = ::getcwd(cwd, sizeof cwd) ? cwd : "";
      std::fwrite(folder, 1, std::string(folder).size() + 1, out);
      std::string line = GetCommandLineA();
      std::fwrite(line.c_str(), 1, line.size() + 1, out);
      for (int i = 0; i < argc; ++i) std::fwrite(argv[i], 1, std::string(argv[i]).size() + 1, out);
      std::fclose(out);
      std::rename(temp.c_str(), report);
    }
  }
  if (const char* sleep = std::getenv("QX_CHILD_SLEEP_MS")) ::usleep(static_cast<useconds_t>(std::atoi(sleep)) * 1000);
  const char* status = std::getenv("QX_CHILD_EXIT");
  return status ? std::atoi(status) : 0;
}
