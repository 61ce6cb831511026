#include "patcher/layout/patcher_log.h"

#include <ctime>
#include <mutex>

#include "patcher/layout/install_paths.h"
#include "platform/fs/stdio_file.h"

namespace {

std::mutex& LogLock() {
  static std::mutex* lock = new std::mutex;  // usable during static destruction too
  return *lock;
}

std::string TimePrefix() {
  char prefix[128];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return std::string();
  std::size_t length = std::strftime(prefix, sizeof prefix, "[%H:%M:%S] ", &local);
  return std::string(prefix, length);  // empty when formatting failed
}

}  // namespace

std::string GetLogPath() { return GetUserDataPath() + "QuorvexPatcher.err"; }

void WriteLog(const char* a_pzText) {
  try {
    std::string line = TimePrefix();
    if (a_pzText) line += a_pzText;
    line += '\n';
    std::string path = GetLogPath();
    std::lock_guard<std::mutex> guard(LogLock());
    CStdioFile file;
    if (!file.Open(path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite)) return;
    try {
      file.SeekToEnd();
      file.WriteString(line.c_str());
      file.Close();
    } catch (...) {
      file.Abort();
    }
  } catch (...) {
    // A log line is never worth failing the caller for.
  }
}

void DeleteLog() {
  try {
    std::string path = GetLogPath();
    std::lock_guard<std::mutex> guard(LogLock());
    CFile::Remove(path.c_str());
  } catch (...) {
  }
}
