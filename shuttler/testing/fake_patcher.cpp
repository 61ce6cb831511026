// A stand-in for the patcher in Shuttler's tests: records where and how it was
// started, then ends. It writes "QuorvexPatcher.started" into its working
// folder: the working folder on the first line, then one line per argument.
// The file is written under a temporary name and renamed, so a reader never
// sees half of it.
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  char cwd[4096];
  std::string text = ::getcwd(cwd, sizeof cwd) ? cwd : "";
  text += '\n';
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + '\n';
  std::FILE* out = std::fopen("QuorvexPatcher.started.part", "wb");
  if (!out) return 1;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  return std::rename("QuorvexPatcher.started.part", "QuorvexPatcher.started") == 0 ? 0 : 1;
}
