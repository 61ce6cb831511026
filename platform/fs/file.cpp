#include "platform/fs/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/fs/file_ops.h"
#include "platform/fs/fs_internal.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace {

void FillError(CFileException* error, DWORD osError, const std::string& fileName) {
  if (!error) return;
  error->m_lOsError = static_cast<LONG>(osError);
  error->m_cause = CFileException::OsErrorToException(static_cast<LONG>(osError));
  error->m_strFileName = fileName;
}

void FillStatus(const struct stat& st, const std::string& fullName, CFileStatus& status) {
  status.m_ctime = st.st_ctime;
  status.m_mtime = st.st_mtime;
  status.m_atime = st.st_atime;
  status.m_size = S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size);
  status.m_attribute =
      static_cast<BYTE>(qx::fs::internal::AttributesOf(st, qx::fs::FileNamePart(fullName)) & 0xFF);
  size_t n = std::min<size_t>(fullName.size(), MAX_PATH - 1);
  std::memcpy(status.m_szFullName, fullName.data(), n);
  status.m_szFullName[n] = '\0';
}

// The absolute form of a resolved path, without a trailing separator.
std::string FullName(const std::string& resolved) {
  std::string full = qx::fs::internal::MakeFullPath(resolved, qx::fs::internal::WorkingFolder());
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  return full;
}

}  // namespace

namespace qx::fs::internal {

namespace {

// The files this process holds open through CFile or CreateFileA, with their
// access and sharing, so that a conflicting open fails as on Windows.
struct ShareEntry {
  dev_t dev;
  ino_t ino;
  bool read, write;            // access of that open
  bool shareRead, shareWrite;  // what it lets others do
};

std::mutex g_shareMutex;
std::map<std::uint64_t, ShareEntry> g_shares;
std::uint64_t g_nextShareId = 1;

// Registers an open; 0 when it conflicts with one already registered.
std::uint64_t AcquireShare(const ShareEntry& wanted) {
  std::lock_guard<std::mutex> lock(g_shareMutex);
  for (const auto& [id, held] : g_shares) {
    if (held.dev != wanted.dev || held.ino != wanted.ino) continue;
    if ((wanted.read && !held.shareRead) || (wanted.write && !held.shareWrite) ||
        (held.read && !wanted.shareRead) || (held.write && !wanted.shareWrite)) {
      return 0;
    }
  }
  std::uint64_t id = g_nextShareId++;
  g_shares.emplace(id, wanted);
  return id;
}

}  // namespace

void ReleaseShare(std::uint64_t shareId) {
  if (shareId == 0) return;
  std::lock_guard<std::mutex> lock(g_shareMutex);
  g_shares.erase(shareId);
}

DWORD OpenShared(const std::string& resolved, bool read, bool write, bool shareRead, bool shareWrite,
                 Disposition disposition, SharedOpen& result) {
  result = SharedOpen();
  if (resolved.empty()) return ERROR_PATH_NOT_FOUND;
  int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case Disposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case Disposition::kCreateAlways:
    case Disposition::kOpenAlways: flags |= O_CREAT; break;
    case Disposition::kOpenExisting:
    case Disposition::kTruncateExisting: break;
  }
  int fd = ::open(resolved.c_str(), flags, 0666);
  if (fd < 0) return WinErrorFromErrno(errno, resolved, ExistsAs::kFileExists);
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    DWORD error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : WinErrorFromErrno(errno, resolved);
    ::close(fd);
    return error;
  }
  std::uint64_t shareId = AcquireShare(ShareEntry{st.st_dev, st.st_ino, read, write, shareRead, shareWrite});
  if (shareId == 0) {
    ::close(fd);
    return ERROR_SHARING_VIOLATION;
  }
  // Emptying waits until the sharing check has passed: a file in use stays intact.
  bool truncate = disposition == Disposition::kCreateAlways || disposition == Disposition::kTruncateExisting;
  if (truncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
    DWORD error = WinErrorFromErrno(errno, resolved);
    ReleaseShare(shareId);
    ::close(fd);
    return error;
  }
  result.fd = fd;
  result.shareId = shareId;
  return ERROR_SUCCESS;
}

}  // namespace qx::fs::internal

CFile::CFile(const char* fileName, UINT openFlags) {
  CFileException error;
  if (!Open(fileName, openFlags, &error)) throw error;
}

CFile::~CFile() { Abort(); }

BOOL CFile::Open(const char* fileName, UINT openFlags, CFileException* error) {
  Abort();
  if (error) *error = CFileException();
  m_strFileName = fileName ? fileName : "";
  m_strFilePath.clear();
  if (m_strFileName.empty()) {
    FillError(error, ERROR_PATH_NOT_FOUND, m_strFileName);
    return FALSE;
  }
  UINT access = openFlags & 0x3;
  if (access == 0x3) {
    FillError(error, ERROR_INVALID_PARAMETER, m_strFileName);
    return FALSE;
  }
  std::string resolved = qx::fs::ResolvePath(m_strFileName);
  using qx::fs::internal::Disposition;
  Disposition disposition = !(openFlags & modeCreate)       ? Disposition::kOpenExisting
                            : (openFlags & modeNoTruncate) ? Disposition::kOpenAlways
                                                           : Disposition::kCreateAlways;
  UINT share = openFlags & 0x70;
  qx::fs::internal::SharedOpen opened;
  DWORD osError = qx::fs::internal::OpenShared(
      resolved, access != modeWrite, access != modeRead, share == shareDenyWrite || share == shareDenyNone,
      share == shareDenyRead || share == shareDenyNone, disposition, opened);
  if (osError != ERROR_SUCCESS) {
    FillError(error, osError, m_strFileName);
    return FALSE;
  }
  int fd = opened.fd;
  std::uint64_t shareId = opened.shareId;
  m_fd = fd;
  m_shareId = shareId;
  m_nOpenFlags = openFlags;
  m_strFilePath = FullName(resolved);
  return TRUE;
}

void CFile::ThrowErrno(int err) const {
  CFileException::ThrowOsError(static_cast<LONG>(qx::fs::WinErrorFromErrno(err, m_strFilePath)),
                               m_strFileName.c_str());
}

UINT CFile::Read(void* buffer, UINT count) {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  if ((m_nOpenFlags & 0x3) == modeWrite) CFileException::ThrowOsError(ERROR_ACCESS_DENIED, m_strFileName.c_str());
  char* out = static_cast<char*>(buffer);
  UINT done = 0;
  while (done < count) {
    ssize_t got = ::read(m_fd, out + done, count - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    if (got == 0) break;
    done += static_cast<UINT>(got);
  }
  return done;
}

void CFile::Write(const void* buffer, UINT count) {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  if ((m_nOpenFlags & 0x3) == modeRead) CFileException::ThrowOsError(ERROR_ACCESS_DENIED, m_strFileName.c_str());
  const char* in = static_cast<const char*>(buffer);
  UINT done = 0;
  while (done < count) {
    ssize_t put = ::write(m_fd, in + done, count - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno);
    }
    done += static_cast<UINT>(put);
  }
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from) {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : from == end ? SEEK_END : -1;
  if (whence < 0) CFileException::ThrowOsError(ERROR_INVALID_PARAMETER, m_strFileName.c_str());
  off_t pos = ::lseek(m_fd, static_cast<off_t>(offset), whence);
  if (pos < 0) {
    if (errno == EINVAL) CFileException::ThrowOsError(ERROR_NEGATIVE_SEEK, m_strFileName.c_str());
    ThrowErrno(errno);
  }
  return static_cast<ULONGLONG>(pos);
}

ULONGLONG CFile::GetPosition() const {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  off_t pos = ::lseek(m_fd, 0, SEEK_CUR);
  if (pos < 0) ThrowErrno(errno);
  return static_cast<ULONGLONG>(pos);
}

ULONGLONG CFile::GetLength() const {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  struct stat st;
  if (::fstat(m_fd, &st) != 0) ThrowErrno(errno);
  return static_cast<ULONGLONG>(st.st_size);
}

void CFile::SetLength(ULONGLONG newLength) {
  if (m_fd < 0) CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName.c_str());
  if ((m_nOpenFlags & 0x3) == modeRead) CFileException::ThrowOsError(ERROR_ACCESS_DENIED, m_strFileName.c_str());
  if (::ftruncate(m_fd, static_cast<off_t>(newLength)) != 0) ThrowErrno(errno);
}

void CFile::Flush() {
  if (m_fd < 0) return;
  if ((m_nOpenFlags & 0x3) != modeRead && ::fdatasync(m_fd) != 0 && errno != EINVAL) ThrowErrno(errno);
}

void CFile::ReleaseShare() {
  qx::fs::internal::ReleaseShare(m_shareId);
  m_shareId = 0;
}

void CFile::Close() {
  if (m_fd < 0) return;
  ReleaseShare();
  int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) ThrowErrno(errno);
}

void CFile::Abort() {
  if (m_fd < 0) return;
  ReleaseShare();
  ::close(m_fd);
  m_fd = -1;
}

std::string CFile::GetFileName() const { return std::string(qx::fs::FileNamePart(m_strFileName)); }

std::string CFile::GetFileTitle() const {
  std::string name = GetFileName();
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

BOOL CFile::GetStatus(CFileStatus& status) const {
  if (m_fd < 0) return FALSE;
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return FALSE;
  FillStatus(st, m_strFilePath, status);
  return TRUE;
}

BOOL CFile::GetStatus(const char* fileName, CFileStatus& status) {
  status = CFileStatus();
  if (!fileName || !*fileName) return FALSE;
  std::string resolved = qx::fs::ResolvePath(fileName);
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0) {
    qx::fs::SetLastErrorFromErrno(errno, resolved);
    return FALSE;
  }
  std::string full = FullName(resolved);
  if (full.size() >= static_cast<size_t>(MAX_PATH)) {
    // The full name must fit the status record; a longer one is no file of ours.
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  FillStatus(st, full, status);
  return TRUE;
}

void CFile::SetStatus(const char* fileName, const CFileStatus& status) {
  std::string name = fileName ? fileName : "";
  std::string resolved = qx::fs::ResolvePath(name);
  struct stat st;
  if (name.empty() || ::stat(resolved.c_str(), &st) != 0) {
    CFileException::ThrowOsError(static_cast<LONG>(qx::fs::WinErrorFromErrno(name.empty() ? ENOENT : errno, resolved)),
                                 name.c_str());
  }
  if (status.m_mtime != 0) {
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(status.m_atime != 0 ? status.m_atime : status.m_mtime);
    times[1].tv_sec = static_cast<time_t>(status.m_mtime);
    if (::utimensat(AT_FDCWD, resolved.c_str(), times, 0) != 0) {
      CFileException::ThrowOsError(static_cast<LONG>(qx::fs::WinErrorFromErrno(errno, resolved)), name.c_str());
    }
  }
  DWORD attributes = (status.m_attribute & readOnly) ? FILE_ATTRIBUTE_READONLY : 0;
  if (!SetFileAttributesA(resolved.c_str(), attributes)) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), name.c_str());
  }
}

void CFile::Remove(const char* fileName) {
  if (!DeleteFileA(fileName)) CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), fileName);
}

void CFile::Rename(const char* oldName, const char* newName) {
  if (!MoveFileA(oldName, newName)) CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), oldName);
}
