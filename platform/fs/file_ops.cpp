#include "platform/fs/file_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fs/fs_internal.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace qx::fs::internal {

DWORD AttributesOf(const struct stat& st, std::string_view name) {
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
  }
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes;
}

std::string WorkingFolder() {
  std::vector<char> buffer(PATH_MAX);
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

std::string MakeFullPath(std::string_view path, const std::string& base) {
  std::string in = ToSlashes(path);
  if (in.empty() || in[0] != '/') in = base + "/" + in;
  bool trailing = in.back() == '/';
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < in.size()) {
    size_t end = in.find('/', pos);
    if (end == std::string::npos) end = in.size();
    std::string_view part(in.data() + pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty() || trailing) out += '/';
  return out;
}

DWORD CopyResolvedFile(const std::string& from, const std::string& to, bool overwrite) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return WinErrorFromErrno(errno, from);
  struct stat st;
  if (::fstat(in, &st) != 0) {
    int err = errno;
    ::close(in);
    return WinErrorFromErrno(err, from);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(in);
    return ERROR_ACCESS_DENIED;
  }
  struct stat target;
  if (::stat(to.c_str(), &target) == 0) {
    if (!overwrite) {
      ::close(in);
      return ERROR_FILE_EXISTS;
    }
    if (S_ISDIR(target.st_mode) || !(target.st_mode & S_IWUSR)) {
      ::close(in);
      return ERROR_ACCESS_DENIED;
    }
    if (target.st_dev == st.st_dev && target.st_ino == st.st_ino) {
      ::close(in);
      return ERROR_SHARING_VIOLATION;  // a file cannot be copied onto itself
    }
  }

  std::string folder(FolderPart(to));
  // The temporary name stays within the file system's name limit however long the target's is.
  std::string temp = folder + "." + std::string(FileNamePart(to)).substr(0, 200) + ".qxcopy-XXXXXX";
  int out = ::mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    int err = errno;
    ::close(in);
    return WinErrorFromErrno(err, to);
  }

  DWORD error = ERROR_SUCCESS;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = WinErrorFromErrno(errno, from);
      break;
    }
    if (got == 0) break;
    for (ssize_t done = 0; done < got && error == ERROR_SUCCESS;) {
      ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        error = WinErrorFromErrno(errno, to);
      } else {
        done += put;
      }
    }
    if (error != ERROR_SUCCESS) break;
  }
  ::close(in);
  if (error == ERROR_SUCCESS && ::fsync(out) != 0) error = WinErrorFromErrno(errno, to);
  if (error == ERROR_SUCCESS) {
    ::fchmod(out, st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
  }
  if (::close(out) != 0 && error == ERROR_SUCCESS) error = WinErrorFromErrno(errno, to);

  if (error == ERROR_SUCCESS) {
    if (overwrite) {
      if (::rename(temp.c_str(), to.c_str()) != 0) error = WinErrorFromErrno(errno, to);
    } else if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
      // Never replaces: an entry that appeared meanwhile still counts as existing.
      int err = errno;
      if (err == EINVAL || err == ENOSYS) {
        // No atomic form on this file system: a hard link refuses an existing name too.
        err = ::link(temp.c_str(), to.c_str()) == 0 ? 0 : errno;
        if (err == EPERM || err == EOPNOTSUPP) {
          struct stat existing;
          err = ::lstat(to.c_str(), &existing) == 0 ? EEXIST : ::rename(temp.c_str(), to.c_str()) == 0 ? 0 : errno;
        }
      }
      if (err != 0) error = WinErrorFromErrno(err, to, ExistsAs::kFileExists);
    }
  }
  ::unlink(temp.c_str());  // after a rename this name is gone already
  return error;
}

}  // namespace qx::fs::internal

using qx::fs::ResolvePath;
using qx::fs::SetLastErrorFromErrno;
using qx::fs::internal::MakeFullPath;
using qx::fs::internal::WorkingFolder;

namespace {

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// A path with its trailing separators removed (but "/" stays "/").
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

char* _getcwd(char* buffer, int maxLength) {
  std::string cwd = WorkingFolder();
  if (cwd.empty()) return nullptr;
  if (!buffer) {
    size_t size = std::max<size_t>(cwd.size() + 1, maxLength > 0 ? static_cast<size_t>(maxLength) : 0);
    buffer = static_cast<char*>(std::malloc(size));
    if (!buffer) {
      errno = ENOMEM;
      return nullptr;
    }
  } else if (maxLength <= 0 || cwd.size() + 1 > static_cast<size_t>(maxLength)) {
    errno = ERANGE;
    return nullptr;
  }
  std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
  return buffer;
}

int _access(const char* path, int mode) {
  int how;
  switch (mode) {
    case 0: how = F_OK; break;
    case 2: how = W_OK; break;
    case 4: how = R_OK; break;
    case 6: how = R_OK | W_OK; break;
    default:
      errno = EINVAL;
      return -1;
  }
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  std::string resolved = ResolvePath(path);
  if (resolved.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::access(resolved.c_str(), how) == 0 ? 0 : -1;
}

char* _fullpath(char* absPath, const char* relPath, std::size_t maxLength) {
  std::string cwd = WorkingFolder();
  if (cwd.empty()) return nullptr;
  std::string full = MakeFullPath(relPath ? relPath : "", cwd);
  if (!relPath || !*relPath) full = WithoutTrailingSlash(full);
  if (!absPath) {
    maxLength = MAX_PATH;
    if (full.size() + 1 > maxLength) {
      errno = ERANGE;
      return nullptr;
    }
    absPath = static_cast<char*>(std::malloc(maxLength));
    if (!absPath) {
      errno = ENOMEM;
      return nullptr;
    }
  } else if (full.size() + 1 > maxLength) {
    errno = ERANGE;
    return nullptr;
  }
  std::memcpy(absPath, full.c_str(), full.size() + 1);
  return absPath;
}

int _rmdir(const char* path) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  std::string resolved = WithoutTrailingSlash(ResolvePath(path));
  return ::rmdir(resolved.c_str()) == 0 ? 0 : -1;
}

BOOL CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists) {
  if (!existingFileName || !newFileName) return Fail(ERROR_INVALID_PARAMETER);
  DWORD error = qx::fs::internal::CopyResolvedFile(ResolvePath(existingFileName),
                                                   ResolvePath(newFileName), !failIfExists);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

BOOL MoveFileA(LPCSTR existingFileName, LPCSTR newFileName) {
  if (!existingFileName || !newFileName) return Fail(ERROR_INVALID_PARAMETER);
  std::string from = WithoutTrailingSlash(ResolvePath(existingFileName));
  std::string to = WithoutTrailingSlash(ResolvePath(newFileName));
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return SetLastErrorFromErrno(errno, from), FALSE;
  // renameat2 with RENAME_NOREPLACE refuses an existing target atomically;
  // where the file system does not support it, test first.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    struct stat target;
    if (::lstat(to.c_str(), &target) == 0) return Fail(ERROR_ALREADY_EXISTS);
    if (::rename(from.c_str(), to.c_str()) == 0) return TRUE;
    err = errno;
  }
  if (err == EXDEV && !S_ISDIR(st.st_mode)) {
    DWORD error = qx::fs::internal::CopyResolvedFile(from, to, false);
    if (error == ERROR_FILE_EXISTS) error = ERROR_ALREADY_EXISTS;
    if (error != ERROR_SUCCESS) return Fail(error);
    if (::unlink(from.c_str()) != 0) {
      int unlinkErr = errno;
      ::unlink(to.c_str());
      return SetLastErrorFromErrno(unlinkErr, from), FALSE;
    }
    return TRUE;
  }
  // The source exists, so ENOENT here means the target's folder is missing.
  return SetLastErrorFromErrno(err, to), FALSE;
}

BOOL DeleteFileA(LPCSTR fileName) {
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  std::string resolved = ResolvePath(fileName);
  struct stat st;
  if (::lstat(resolved.c_str(), &st) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);
  if (::unlink(resolved.c_str()) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR pathName, void* /*securityAttributes*/) {
  if (!pathName || !*pathName) return Fail(ERROR_PATH_NOT_FOUND);
  std::string resolved = WithoutTrailingSlash(ResolvePath(pathName));
  if (::mkdir(resolved.c_str(), 0777) != 0) {
    int err = errno;
    return Fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : qx::fs::WinErrorFromErrno(err, resolved));
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR pathName) {
  if (!pathName) return Fail(ERROR_INVALID_PARAMETER);
  std::string resolved = WithoutTrailingSlash(ResolvePath(pathName));
  struct stat st;
  if (::lstat(resolved.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
  if (::rmdir(resolved.c_str()) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes) {
  std::string resolved = directoryName && *directoryName ? ResolvePath(directoryName) : std::string(".");
  struct statvfs vfs;
  if (::statvfs(resolved.c_str(), &vfs) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (freeBytesAvailableToCaller) freeBytesAvailableToCaller->QuadPart = unit * vfs.f_bavail;
  if (totalNumberOfBytes) totalNumberOfBytes->QuadPart = unit * vfs.f_blocks;
  if (totalNumberOfFreeBytes) totalNumberOfFreeBytes->QuadPart = unit * vfs.f_bfree;
  return TRUE;
}

BOOL GetDiskFreeSpaceA(LPCSTR rootPathName, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* numberOfFreeClusters, DWORD* totalNumberOfClusters) {
  std::string resolved = rootPathName && *rootPathName ? ResolvePath(rootPathName) : std::string(".");
  struct statvfs vfs;
  if (::statvfs(resolved.c_str(), &vfs) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  auto cap = [](ULONGLONG n) { return static_cast<DWORD>(std::min<ULONGLONG>(n, 0xFFFFFFFFu)); };
  ULONGLONG sectors = std::max<ULONGLONG>(unit / 512, 1);
  ULONGLONG clusterBytes = sectors * 512;
  if (bytesPerSector) *bytesPerSector = 512;
  if (sectorsPerCluster) *sectorsPerCluster = cap(sectors);
  if (numberOfFreeClusters) *numberOfFreeClusters = cap(vfs.f_bavail * unit / clusterBytes);
  if (totalNumberOfClusters) *totalNumberOfClusters = cap(vfs.f_blocks * unit / clusterBytes);
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
  std::string cwd = WorkingFolder();
  if (cwd.empty()) return SetLastErrorFromErrno(errno), 0;
  if (!buffer || cwd.size() + 1 > bufferLength) return static_cast<DWORD>(cwd.size() + 1);
  std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
  return static_cast<DWORD>(cwd.size());
}

BOOL SetCurrentDirectoryA(LPCSTR pathName) {
  if (!pathName || !*pathName) return Fail(ERROR_INVALID_PARAMETER);
  std::string resolved = ResolvePath(pathName);
  if (::chdir(resolved.c_str()) != 0) {
    int err = errno;
    // Windows reports a missing folder as "path not found", also for its last component.
    return Fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : err == ENOTDIR ? ERROR_DIRECTORY
                                                                   : qx::fs::WinErrorFromErrno(err, resolved));
  }
  return TRUE;
}

BOOL PathFileExistsA(LPCSTR path) {
  if (!path || !*path) return FALSE;
  struct stat st;
  return ::stat(ResolvePath(path).c_str(), &st) == 0 ? TRUE : FALSE;
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  if (!fileName || !*fileName) return Fail(ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
  std::string resolved = ResolvePath(fileName);
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0) return SetLastErrorFromErrno(errno, resolved), INVALID_FILE_ATTRIBUTES;
  return qx::fs::internal::AttributesOf(st, qx::fs::FileNamePart(WithoutTrailingSlash(resolved)));
}

BOOL SetFileAttributesA(LPCSTR fileName, DWORD attributes) {
  if (!fileName || !*fileName) return Fail(ERROR_INVALID_PARAMETER);
  std::string resolved = ResolvePath(fileName);
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0) return SetLastErrorFromErrno(errno, resolved), FALSE;
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;  // the owner may write again; group and others keep what they have
  }
  return ::chmod(resolved.c_str(), mode) == 0 ? TRUE : (SetLastErrorFromErrno(errno, resolved), FALSE);
}
