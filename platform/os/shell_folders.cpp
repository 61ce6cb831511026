#include "platform/os/shell_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid())) {
    if (entry->pw_dir && *entry->pw_dir) return entry->pw_dir;
  }
  return std::string();
}

std::string LocalAppDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string folder;
  if (xdg && xdg[0] == '/') {
    folder = xdg;  // a relative value is invalid and ignored
  } else {
    std::string home = HomeFolder();
    if (home.empty()) return home;
    folder = home + "/.local/share";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates `folder` and any missing folder above it.
bool CreateFolders(const std::string& folder) {
  if (IsFolder(folder)) return true;
  for (size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
    std::string part = folder.substr(0, cut);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (cut == std::string::npos) break;
  }
  return IsFolder(folder);
}

}  // namespace

HRESULT SHGetFolderPathA(HWND /*owner*/, int csidl, HANDLE /*token*/, DWORD /*flags*/, LPSTR path) {
  if (!path) return E_INVALIDARG;
  path[0] = '\0';
  if ((csidl & ~CSIDL_FLAG_MASK) != CSIDL_LOCAL_APPDATA) return E_INVALIDARG;
  std::string folder = LocalAppDataFolder();
  if (folder.empty()) return E_FAIL;
  if (folder.size() >= static_cast<size_t>(MAX_PATH)) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  if (csidl & CSIDL_FLAG_CREATE) {
    if (!CreateFolders(folder)) return E_FAIL;
  } else if (!(csidl & CSIDL_FLAG_DONT_VERIFY) && !IsFolder(folder)) {
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  std::memcpy(path, folder.c_str(), folder.size() + 1);
  return S_OK;
}
