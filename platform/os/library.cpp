#include "platform/os/library.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cctype>
#include <map>
#include <mutex>
#include <string>

#include "platform/fs/file_ops.h"
#include "platform/fs/path.h"

namespace {

std::mutex g_modulesMutex;
std::map<void*, int>& Modules() {  // dlopen handle -> loads not yet freed
  static auto* modules = new std::map<void*, int>();
  return *modules;
}

bool IsLoaded(HMODULE module) {
  std::lock_guard<std::mutex> lock(g_modulesMutex);
  return Modules().count(reinterpret_cast<void*>(module)) != 0;
}

// "Name@12" -> "Name"; empty when there is no such suffix.
std::string WithoutCallSize(const std::string& name) {
  size_t at = name.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == name.size()) return std::string();
  for (size_t i = at + 1; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::string();
  }
  return name.substr(0, at);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string resolved = qx::fs::ResolvePath(fileName);
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // An absolute path keeps dlopen from searching the system's library path.
  char full[4096];
  if (!_fullpath(full, resolved.c_str(), sizeof full)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  void* handle = ::dlopen(full, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_modulesMutex);
  ++Modules()[handle];
  return reinterpret_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!module || !IsLoaded(module)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Small numbers stand for export ordinals, which shared objects do not have.
  if (reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  std::string name = procName;
  void* entry = ::dlsym(reinterpret_cast<void*>(module), name.c_str());
  if (!entry) {
    std::string plain = WithoutCallSize(name);
    if (!plain.empty()) entry = ::dlsym(reinterpret_cast<void*>(module), plain.c_str());
  }
  if (!entry) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(entry);
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = reinterpret_cast<void*>(module);
  {
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    auto it = Modules().find(handle);
    if (it == Modules().end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second == 0) Modules().erase(it);
  }
  ::dlclose(handle);
  return TRUE;
}
