#include "platform/fs/drives.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/fs/fs_internal.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace qx::fs {

namespace {

bool OneOf(std::string_view value, std::initializer_list<std::string_view> set) {
  return std::find(set.begin(), set.end(), value) != set.end();
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Decodes the octal escapes the kernel writes for space, tab, newline and '\'.
std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::string NormaliseRoot(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string MountTableFile() {
  const char* file = std::getenv("QX_MOUNTS_FILE");
  return file && *file ? file : "/proc/self/mounts";
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Each mount point once, at its first place in the table, with the kind of
// its last mount (the one that is visible).
std::vector<MountEntry> VisibleMounts(const std::vector<MountEntry>& table) {
  std::vector<MountEntry> mounts;
  for (const MountEntry& entry : table) {
    auto it = std::find_if(mounts.begin(), mounts.end(),
                           [&](const MountEntry& m) { return m.mountPoint == entry.mountPoint; });
    if (it == mounts.end()) {
      mounts.push_back(entry);
    } else {
      *it = entry;
    }
  }
  return mounts;
}

}  // namespace

bool ReadMountTable(const std::string& file, std::vector<MountEntry>& entries) {
  entries.clear();
  std::ifstream in(file);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, mountPoint, fsType;
    if (!(fields >> device >> mountPoint >> fsType)) continue;
    mountPoint = NormaliseRoot(Unescape(mountPoint));
    if (mountPoint.empty() || mountPoint[0] != '/') continue;
    entries.push_back(MountEntry{Unescape(device), mountPoint, fsType});
  }
  return true;
}

UINT ClassifyMount(const MountEntry& entry) {
  std::string_view type = entry.fsType;
  if (OneOf(type, {"proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "securityfs", "debugfs",
                   "tracefs", "mqueue", "hugetlbfs", "pstore", "bpf", "configfs", "fusectl", "autofs",
                   "binfmt_misc", "efivarfs", "nsfs", "rpc_pipefs", "selinuxfs", "squashfs", "none"})) {
    return DRIVE_UNKNOWN;
  }
  if (OneOf(type, {"tmpfs", "ramfs"})) return DRIVE_RAMDISK;
  if (OneOf(type, {"iso9660", "udf"}) || StartsWith(entry.device, "/dev/sr") ||
      StartsWith(entry.device, "/dev/cdrom")) {
    return DRIVE_CDROM;
  }
  if (OneOf(type, {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "9p", "afs", "ceph", "glusterfs", "lustre",
                   "davfs", "fuse.sshfs", "fuse.rclone", "fuse.s3fs", "fuse.glusterfs", "fuse.davfs2"}) ||
      entry.device.find(":/") != std::string::npos || StartsWith(entry.device, "//")) {
    return DRIVE_REMOTE;
  }
  if (StartsWith(entry.mountPoint, "/media/") || StartsWith(entry.mountPoint, "/run/media/")) {
    return DRIVE_REMOVABLE;
  }
  return DRIVE_FIXED;
}

}  // namespace qx::fs

DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer) {
  std::vector<qx::fs::MountEntry> table;
  if (!qx::fs::ReadMountTable(qx::fs::MountTableFile(), table)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  std::string list;
  for (const qx::fs::MountEntry& entry : qx::fs::VisibleMounts(table)) {
    UINT kind = qx::fs::ClassifyMount(entry);
    if (kind == DRIVE_UNKNOWN || kind == DRIVE_RAMDISK || !qx::fs::IsFolder(entry.mountPoint)) continue;
    list += entry.mountPoint == "/" ? "/" : entry.mountPoint + "/";
    list.push_back('\0');
  }
  if (!buffer || list.size() + 1 > bufferLength) return static_cast<DWORD>(list.size() + 1);
  std::memcpy(buffer, list.data(), list.size());
  buffer[list.size()] = '\0';
  return static_cast<DWORD>(list.size());
}

UINT GetDriveTypeA(LPCSTR rootPathName) {
  std::vector<qx::fs::MountEntry> table;
  if (!qx::fs::ReadMountTable(qx::fs::MountTableFile(), table)) return DRIVE_UNKNOWN;
  std::vector<qx::fs::MountEntry> mounts = qx::fs::VisibleMounts(table);
  if (!rootPathName) {
    // The drive of the working folder: the longest mount point that holds it.
    std::string cwd = qx::fs::internal::WorkingFolder();
    const qx::fs::MountEntry* best = nullptr;
    for (const qx::fs::MountEntry& entry : mounts) {
      const std::string& mp = entry.mountPoint;
      bool holds = mp == "/" || cwd == mp || qx::fs::StartsWith(cwd, mp + "/");
      if (holds && (!best || mp.size() > best->mountPoint.size())) best = &entry;
    }
    return best ? qx::fs::ClassifyMount(*best) : DRIVE_NO_ROOT_DIR;
  }
  std::string root = qx::fs::NormaliseRoot(qx::fs::ResolvePath(rootPathName));
  if (root.empty()) return DRIVE_NO_ROOT_DIR;
  if (root[0] != '/') {
    root = qx::fs::NormaliseRoot(qx::fs::internal::MakeFullPath(root, qx::fs::internal::WorkingFolder()));
  }
  for (const qx::fs::MountEntry& entry : mounts) {
    if (entry.mountPoint == root) return qx::fs::ClassifyMount(entry);
  }
  return DRIVE_NO_ROOT_DIR;
}
