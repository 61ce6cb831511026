#include "patcher/layout/install_paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/fs/file_ops.h"
#include "platform/os/shell_folders.h"

namespace {

constexpr std::size_t kRootBufferSize = kMaxClientRootLength + 1;

struct PathCache_t {
  std::recursive_mutex lock;
  bool haveRoot = false, haveClient = false, haveUserData = false, havePrefs = false, haveCdImage = false;
  std::string root, client, userData, prefs, cdImage;
};

PathCache_t& Cache() {
  static PathCache_t* cache = new PathCache_t;  // never destroyed: references outlive static destruction
  return *cache;
}

// Ends the process at once, as a start-up failure that nothing can recover from.
[[noreturn]] void Fatal(const char* a_pzText) {
  std::fputs(a_pzText, stdout);
  std::fflush(stdout);
  std::_Exit(3);
}

[[noreturn]] void FatalNoRoot() { Fatal("Unable to find the root of the Quorvex installation!\n"); }

[[noreturn]] void FatalRootTooLong() {
  Fatal("The path of the Quorvex installation is longer than 511 characters!\n");
}

bool Exists(const std::string& a_sPath) { return _access(a_sPath.c_str(), 0) == 0; }

std::string ComputeClientRoot() {
  char buffer[kRootBufferSize];
  std::string candidate;
  bool workingFolderTooLong = false;
  if (_getcwd(buffer, sizeof buffer)) {
    std::string working(buffer);
    if (Exists(working + "/cd_image")) {
      candidate = working + "/";
    } else if (Exists(working + "/../cd_image")) {
      candidate = working + "/../";
    }
  } else {
    workingFolderTooLong = errno == ERANGE;
  }
  if (candidate.empty()) {
    const char* env = std::getenv("QUORVEX");
    if (!env) {
      if (workingFolderTooLong) FatalRootTooLong();
      FatalNoRoot();
    }
    candidate = env;
  }
  if (candidate.size() > kMaxClientRootLength) FatalRootTooLong();

  if (!_fullpath(buffer, candidate.c_str(), sizeof buffer)) {
    if (errno == ERANGE) FatalRootTooLong();
    FatalNoRoot();
  }
  std::string root(buffer);
  if (!root.empty()) {
    std::replace(root.begin(), root.end(), '\\', '/');
    if (root.back() != '/') root += '/';
  }
  if (root.size() > kMaxClientRootLength) FatalRootTooLong();
  return root;
}

std::string ComputeUserData(const std::string& a_sClient) {
  char buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                              buffer))) {
    Fatal("Could not get the appdata folder!\n");
  }
  std::string appData(buffer);
  std::replace(appData.begin(), appData.end(), '\\', '/');

  std::string parent = a_sClient;
  if (!parent.empty()) parent.pop_back();
  std::string name;
  std::size_t cut = parent.rfind('/');
  if (cut != std::string::npos) {
    name = parent.substr(cut + 1);
    parent.resize(cut);
  }
  char hash[16];
  std::snprintf(hash, sizeof hash, "%x", HashInstallFolder(parent));
  std::string folder = appData + "/Varnok/Quorvex Online/" + hash + "/";
  if (!name.empty()) folder += name + "/";
  return folder;
}

}  // namespace

std::uint32_t HashInstallFolder(std::string_view a_sFolder) {
  std::uint32_t h = 0;
  for (char c : a_sFolder) {
    auto b = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    h ^= (h << 6) + (h >> 2) + b + 0x9E3779B9u;
  }
  return h;
}

const std::string& GetClientRootPath() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  if (!c.haveRoot) {
    c.root = ComputeClientRoot();
    c.haveRoot = true;
  }
  return c.root;
}

const std::string& GetClientPath() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  if (!c.haveClient) {
    const std::string& root = GetClientRootPath();
    c.client = Exists(root + "client") ? root + "client/" : root;
    c.haveClient = true;
  }
  return c.client;
}

const std::string& GetUserDataPath() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  if (!c.haveUserData) {
    c.userData = ComputeUserData(GetClientPath());
    c.haveUserData = true;
  }
  return c.userData;
}

const std::string& GetPrefsPath() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  if (!c.havePrefs) {
    c.prefs = GetUserDataPath() + "Prefs/";
    c.havePrefs = true;
  }
  return c.prefs;
}

const std::string& GetCdImagePath() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  if (!c.haveCdImage) {
    c.cdImage = GetClientRootPath() + "cd_image/";
    c.haveCdImage = true;
  }
  return c.cdImage;
}

void ResetInstallPathsForTesting() {
  PathCache_t& c = Cache();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  c.haveRoot = c.haveClient = c.haveUserData = c.havePrefs = c.haveCdImage = false;
}
