#include "platform/os/process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/file_ops.h"
#include "platform/fs/handle.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"
#include "platform/os/command_line.h"
#include "platform/os/waitable.h"

extern char** environ;

namespace {

class ProcessObject : public qx::os::WaitableObject {
 public:
  explicit ProcessObject(pid_t pid) : m_pid(pid) {}
  pid_t Pid() const { return m_pid; }

  void Exited(DWORD code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exitCode = m_terminated ? m_terminateCode : code;
    m_finished = true;
    NotifyLocked();
  }
  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished ? m_exitCode : STILL_ACTIVE;
  }
  bool Terminate(UINT code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished) return true;
    m_terminated = true;
    m_terminateCode = code;
    return ::kill(m_pid, SIGKILL) == 0 || errno == ESRCH;
  }

 private:
  bool IsSignalledLocked() const override { return m_finished; }
  const pid_t m_pid;
  bool m_finished = false;
  bool m_terminated = false;
  DWORD m_terminateCode = 0;
  DWORD m_exitCode = 0;
};

// Collects the process when it ends and records its exit code.
void Watch(const std::shared_ptr<ProcessObject>& process) {
  auto collect = [process] {
    int status = 0;
    pid_t got;
    do {
      got = ::waitpid(process->Pid(), &status, 0);
    } while (got < 0 && errno == EINTR);
    DWORD code = static_cast<DWORD>(-1);
    if (got >= 0 && WIFEXITED(status)) code = static_cast<DWORD>(WEXITSTATUS(status));
    if (got >= 0 && WIFSIGNALED(status)) code = static_cast<DWORD>(128 + WTERMSIG(status));
    process->Exited(code);
  };
  try {
    std::thread(collect).detach();
  } catch (...) {
    collect();  // no thread to spare: wait here rather than leave the process uncollected
  }
}

bool Exists(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

bool IsFolder(const std::string& path) {
  struct stat st;
  return Exists(path, st) && S_ISDIR(st.st_mode);
}

bool HasExtension(std::string_view path) { return qx::fs::FileNamePart(path).find('.') != std::string_view::npos; }

std::string Absolute(const std::string& path) {
  char buffer[4096];
  return _fullpath(buffer, path.c_str(), sizeof buffer) ? std::string(buffer) : path;
}

// Checks that `path` is a program to run; 0 or a Windows error number.
DWORD CheckProgram(const std::string& path) {
  struct stat st;
  if (!Exists(path, st)) return qx::fs::WinErrorFromErrno(errno, path);
  if (S_ISDIR(st.st_mode) || ::access(path.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Finds a program as described in the header: 0 and its absolute path, or a
// Windows error number.
DWORD FindProgram(std::string_view name, bool searchPath, std::string& found) {
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  std::vector<std::string> candidates;
  auto add = [&](const std::string& path) {
    candidates.push_back(path);
    if (!HasExtension(path)) candidates.push_back(path + ".exe");
  };
  bool bare = name.find_first_of("/\\") == std::string_view::npos;
  add(qx::fs::ResolvePath(name));
  if (bare && searchPath) {
    const char* pathVariable = std::getenv("PATH");
    std::string list = pathVariable ? pathVariable : "";
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string folder = list.substr(start, end - start);
      if (!folder.empty()) add(folder + "/" + std::string(name));
      start = end + 1;
    }
  }
  struct stat st;
  for (const std::string& candidate : candidates) {
    if (!Exists(candidate, st)) continue;
    DWORD error = CheckProgram(candidate);
    if (error != ERROR_SUCCESS) return error;
    found = Absolute(candidate);
    return ERROR_SUCCESS;
  }
  return bare ? ERROR_FILE_NOT_FOUND : qx::fs::WinErrorFromErrno(ENOENT, candidates.front());
}

// Starts `program` (absolute) with `argv`; 0 and the process, or a Windows error number.
DWORD Spawn(const std::string& program, const std::vector<std::string>& argv,
            const std::vector<std::string>* environment, const std::string& folder, bool inheritHandles,
            std::shared_ptr<ProcessObject>& process) {
  if (!folder.empty() && !IsFolder(folder)) return ERROR_DIRECTORY;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  if (environment) {
    for (const std::string& entry : *environment) env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);
  }

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  if (!inheritHandles) ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  // The new program starts with default signal handling, whatever this process does.
  sigset_t all;
  sigfillset(&all);
  ::posix_spawnattr_setsigdefault(&attributes, &all);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  int err = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(),
                          environment ? env.data() : environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (err != 0) return err == ENOEXEC ? ERROR_BAD_EXE_FORMAT : qx::fs::WinErrorFromErrno(err, program);
  process = std::make_shared<ProcessObject>(pid);
  Watch(process);
  return ERROR_SUCCESS;
}

std::vector<std::string> ParseEnvironmentBlock(const char* block) {
  std::vector<std::string> entries;
  while (*block) {
    entries.emplace_back(block);
    block += entries.back().size() + 1;
  }
  return entries;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

}  // namespace

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, void* /*processAttributes*/,
                    void* /*threadAttributes*/, BOOL inheritHandles, DWORD /*creationFlags*/, void* environment,
                    LPCSTR currentDirectory, STARTUPINFOA* /*startupInfo*/,
                    PROCESS_INFORMATION* processInformation) {
  std::vector<std::string> argv = qx::os::SplitWindowsCommandLine(commandLine ? commandLine : "");
  std::string name = applicationName ? applicationName : argv.empty() ? std::string() : argv[0];
  if (name.empty()) return Fail(ERROR_INVALID_PARAMETER);
  if (argv.empty()) argv.push_back(name);

  std::string program;
  DWORD error = FindProgram(name, !applicationName, program);
  if (error != ERROR_SUCCESS) return Fail(error);
  std::string folder = currentDirectory && *currentDirectory ? qx::fs::ResolvePath(currentDirectory) : "";
  std::vector<std::string> environmentEntries;
  if (environment) environmentEntries = ParseEnvironmentBlock(static_cast<const char*>(environment));

  std::shared_ptr<ProcessObject> process;
  error = Spawn(program, argv, environment ? &environmentEntries : nullptr, folder, inheritHandles, process);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (processInformation) {
    processInformation->hProcess = qx::RegisterHandle(process);
    processInformation->hThread = qx::RegisterHandle(process);
    processInformation->dwProcessId = static_cast<DWORD>(process->Pid());
    processInformation->dwThreadId = static_cast<DWORD>(process->Pid());
  }
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  auto object = qx::LookUpHandleAs<ProcessObject>(process);
  if (!object) return FALSE;
  if (!exitCode) return Fail(ERROR_INVALID_PARAMETER);
  *exitCode = object->ExitCode();
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  auto object = qx::LookUpHandleAs<ProcessObject>(process);
  if (!object) return FALSE;
  if (!object->Terminate(exitCode)) return Fail(ERROR_ACCESS_DENIED);
  return TRUE;
}

DWORD GetProcessId(HANDLE process) {
  auto object = qx::LookUpHandleAs<ProcessObject>(process);
  return object ? static_cast<DWORD>(object->Pid()) : 0;
}

std::intptr_t _spawnv(int mode, const char* cmdName, const char* const* argv) {
  if (!cmdName || !*cmdName || !argv || !argv[0] || (mode != P_WAIT && mode != P_NOWAIT)) {
    errno = EINVAL;
    return -1;
  }
  std::string program;
  DWORD error = FindProgram(cmdName, false, program);
  std::vector<std::string> args;
  for (const char* const* arg = argv; *arg; ++arg) args.emplace_back(*arg);
  std::shared_ptr<ProcessObject> process;
  if (error == ERROR_SUCCESS) error = Spawn(program, args, nullptr, "", false, process);
  if (error != ERROR_SUCCESS) {
    errno = error == ERROR_ACCESS_DENIED ? EACCES : error == ERROR_BAD_EXE_FORMAT ? ENOEXEC : ENOENT;
    return -1;
  }
  if (mode == P_WAIT) {
    process->Wait(INFINITE);
    return static_cast<std::intptr_t>(process->ExitCode());
  }
  return reinterpret_cast<std::intptr_t>(qx::RegisterHandle(process));
}

namespace {

bool LooksLikeAddress(std::string_view target) {
  size_t colon = target.find(':');
  if (colon == std::string_view::npos || colon < 2) return false;  // "C:\..." is a path
  for (size_t i = 0; i < colon; ++i) {
    char c = target[i];
    bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
              (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

HINSTANCE Result(int code) { return reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(code)); }

int ShellError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY: return SE_ERR_PNF;
    case ERROR_ACCESS_DENIED: return SE_ERR_ACCESSDENIED;
    case ERROR_NOT_ENOUGH_MEMORY: return SE_ERR_OOM;
    default: return SE_ERR_NOASSOC;
  }
}

// Hands `target` to the desktop's opener.
HINSTANCE OpenWithDesktop(const std::string& target, const std::string& folder) {
  std::string opener;
  if (FindProgram("xdg-open", true, opener) != ERROR_SUCCESS) return Result(SE_ERR_NOASSOC);
  std::shared_ptr<ProcessObject> process;
  DWORD error = Spawn(opener, {"xdg-open", target}, nullptr, folder, false, process);
  return error == ERROR_SUCCESS ? Result(42) : Result(ShellError(error));
}

}  // namespace

HINSTANCE ShellExecuteA(HWND /*owner*/, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        int /*showCommand*/) {
  if (operation && *operation && !qx::fs::NamesEqual(operation, "open")) return Result(SE_ERR_NOASSOC);
  if (!file || !*file) return Result(SE_ERR_FNF);
  std::string folder = directory && *directory ? qx::fs::ResolvePath(directory) : "";
  if (!folder.empty() && !IsFolder(folder)) return Result(SE_ERR_PNF);
  std::string target = file;
  if (LooksLikeAddress(target)) return OpenWithDesktop(target, folder);

  // A relative name: in the given folder first, then in the working folder.
  std::vector<std::string> candidates;
  bool relative = qx::fs::ToSlashes(target)[0] != '/';
  if (relative && !folder.empty()) candidates.push_back(qx::fs::ResolvePath(folder + "/" + target));
  candidates.push_back(qx::fs::ResolvePath(target));
  std::string found;
  for (const std::string& candidate : candidates) {
    struct stat st;
    if (Exists(candidate, st)) {
      found = candidate;
    } else if (!HasExtension(candidate) && Exists(candidate + ".exe", st)) {
      found = candidate + ".exe";
    }
    if (!found.empty()) break;
  }
  if (found.empty()) return Result(ShellError(qx::fs::WinErrorFromErrno(ENOENT, candidates.back())));
  found = Absolute(found);

  struct stat st;
  if (!Exists(found, st) || S_ISDIR(st.st_mode) || ::access(found.c_str(), X_OK) != 0) {
    return OpenWithDesktop(found, folder);
  }
  std::vector<std::string> argv = qx::os::SplitWindowsCommandLine(std::string("x ") + (parameters ? parameters : ""));
  argv[0] = found;
  std::shared_ptr<ProcessObject> process;
  DWORD error = Spawn(found, argv, nullptr, folder, false, process);
  return error == ERROR_SUCCESS ? Result(42) : Result(ShellError(error));
}
