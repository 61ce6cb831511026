#include "platform/fs/shell_file_operation.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/fs/file_find.h"
#include "platform/fs/fs_internal.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace qx::fs {

namespace {

std::mutex g_hookMutex;
std::function<bool(const ShellFileStep&)> g_hook;

// The names of a zero-separated list ended by an empty name.
std::vector<std::string> SplitList(const char* list) {
  std::vector<std::string> names;
  while (list && *list) {
    std::string_view name(list);
    names.emplace_back(name);
    list += name.size() + 1;
  }
  return names;
}

std::string Join(const std::string& folder, std::string_view name) {
  return folder.empty() || folder.back() == '/' ? folder + std::string(name) : folder + "/" + std::string(name);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `folder` and any missing folder above it; 0 or a Windows error.
DWORD MakeFolders(const std::string& folder) {
  if (folder.empty() || IsFolder(folder)) return ERROR_SUCCESS;
  std::string parent(FolderPart(folder));
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (!parent.empty() && parent != folder) {
    DWORD error = MakeFolders(parent);
    if (error != ERROR_SUCCESS) return error;
  }
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return WinErrorFromErrno(errno, folder);
  return IsFolder(folder) ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

struct CopyJob {
  std::string from;  // resolved
  std::string to;    // resolved target path (the file itself)
};

// Adds `from` (a file, or a folder with all it holds) as copied to `to`.
DWORD Expand(const std::string& from, const std::string& to, std::vector<CopyJob>& jobs, int depth = 0) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0) return WinErrorFromErrno(errno, from);
  if (!S_ISDIR(st.st_mode)) {
    jobs.push_back(CopyJob{from, to});
    return ERROR_SUCCESS;
  }
  if (depth > 64) return ERROR_FILENAME_EXCED_RANGE;
  jobs.push_back(CopyJob{from, to});  // the folder itself: created on the way
  DIR* dir = ::opendir(from.c_str());
  if (!dir) return WinErrorFromErrno(errno, from);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    DWORD error = Expand(Join(from, name), Join(to, name), jobs, depth + 1);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

// The sources a name stands for: the entries its wildcard matches, or itself.
DWORD ExpandSource(const std::string& source, std::vector<std::string>& matches) {
  std::string_view name = FileNamePart(source);
  if (name.find_first_of("*?") == std::string_view::npos) {
    matches.push_back(ResolvePath(source));
    return ERROR_SUCCESS;
  }
  CFileFind finder;
  BOOL more = finder.FindFile(source.c_str());
  if (!more) return GetLastError();
  while (more) {
    more = finder.FindNextFile();
    if (!finder.IsDots()) matches.push_back(finder.GetFilePath());
  }
  return ERROR_SUCCESS;
}

bool Continue(const ShellFileStep& step) {
  std::function<bool(const ShellFileStep&)> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    hook = g_hook;
  }
  if (hook) return hook(step);
  if (const char* limit = std::getenv("QX_SHFILEOP_ABORT_AFTER")) {
    char* end = nullptr;
    unsigned long n = std::strtoul(limit, &end, 10);
    if (end != limit && *end == '\0' && step.index >= n) return false;
  }
  return true;
}

}  // namespace

void SetShellFileOperationHook(std::function<bool(const ShellFileStep&)> hook) {
  std::lock_guard<std::mutex> lock(g_hookMutex);
  g_hook = std::move(hook);
}

}  // namespace qx::fs

int SHFileOperationA(SHFILEOPSTRUCTA* operation) {
  using namespace qx::fs;
  if (!operation) return static_cast<int>(ERROR_INVALID_PARAMETER);
  operation->fAnyOperationsAborted = FALSE;
  if (operation->wFunc != FO_COPY) return static_cast<int>(ERROR_INVALID_FUNCTION);
  std::vector<std::string> sources = SplitList(operation->pFrom);
  std::vector<std::string> targets = SplitList(operation->pTo);
  bool multi = operation->fFlags & FOF_MULTIDESTFILES;
  if (sources.empty() || targets.empty() || (multi ? targets.size() != sources.size() : targets.size() != 1)) {
    return static_cast<int>(ERROR_INVALID_PARAMETER);
  }

  // Work out every file first, so that a bad source changes nothing.
  std::vector<CopyJob> jobs;
  for (size_t i = 0; i < sources.size(); ++i) {
    std::vector<std::string> matches;
    DWORD error = ExpandSource(sources[i], matches);
    if (error == ERROR_SUCCESS) {
      std::string target = ResolvePath(multi ? targets[i] : targets[0]);
      for (const std::string& match : matches) {
        bool intoFolder = !multi || matches.size() > 1 || FileNamePart(sources[i]).find_first_of("*?") != std::string_view::npos;
        error = Expand(match, intoFolder ? Join(target, FileNamePart(match)) : target, jobs);
        if (error != ERROR_SUCCESS) break;
      }
    }
    if (error != ERROR_SUCCESS) {
      operation->fAnyOperationsAborted = TRUE;
      return static_cast<int>(error);
    }
  }

  size_t files = 0;
  for (const CopyJob& job : jobs) files += IsFolder(job.from) ? 0 : 1;
  size_t index = 0;
  for (const CopyJob& job : jobs) {
    DWORD error;
    if (IsFolder(job.from)) {
      error = MakeFolders(job.to);
    } else {
      ShellFileStep step{job.from, job.to, index++, files};
      if (!Continue(step)) {
        operation->fAnyOperationsAborted = TRUE;
        return static_cast<int>(ERROR_CANCELLED);
      }
      std::string folder(FolderPart(job.to));
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      error = MakeFolders(folder);
      if (error == ERROR_SUCCESS) error = internal::CopyResolvedFile(job.from, job.to, true);
    }
    if (error != ERROR_SUCCESS) {
      operation->fAnyOperationsAborted = TRUE;
      return static_cast<int>(error);
    }
  }
  return 0;
}
