#include "platform/fs/file_handle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/fs/fs_internal.h"
#include "platform/fs/handle.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace {

class FileObject : public qx::KernelObject {
 public:
  FileObject(qx::fs::internal::SharedOpen opened, bool read, bool write, std::string path)
      : m_opened(opened), m_read(read), m_write(write), m_path(std::move(path)) {}
  ~FileObject() override {
    qx::fs::internal::ReleaseShare(m_opened.shareId);
    ::close(m_opened.fd);
  }
  int Fd() const { return m_opened.fd; }
  bool CanRead() const { return m_read; }
  bool CanWrite() const { return m_write; }
  const std::string& Path() const { return m_path; }

 private:
  qx::fs::internal::SharedOpen m_opened;
  bool m_read, m_write;
  std::string m_path;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* /*securityAttributes*/,
                   DWORD creationDisposition, DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  using qx::fs::internal::Disposition;
  if (!fileName || creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  bool read = desiredAccess & GENERIC_READ;
  bool write = desiredAccess & GENERIC_WRITE;
  std::string resolved = qx::fs::ResolvePath(fileName);
  auto disposition = static_cast<Disposition>(creationDisposition);
  struct stat st;
  bool existed = ::stat(resolved.c_str(), &st) == 0;
  qx::fs::internal::SharedOpen opened;
  DWORD error = qx::fs::internal::OpenShared(resolved, read, write, shareMode & FILE_SHARE_READ,
                                             shareMode & FILE_SHARE_WRITE, disposition, opened);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = qx::RegisterHandle(std::make_shared<FileObject>(opened, read, write, resolved));
  bool reportsExisting = disposition == Disposition::kCreateAlways || disposition == Disposition::kOpenAlways;
  SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* /*overlapped*/) {
  if (bytesRead) *bytesRead = 0;
  auto object = qx::LookUpHandleAs<FileObject>(file);
  if (!object) return FALSE;
  if (!object->CanRead()) return Fail(ERROR_ACCESS_DENIED);
  if (!buffer && bytesToRead) return Fail(ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  while (done < bytesToRead) {
    ssize_t got = ::read(object->Fd(), static_cast<char*>(buffer) + done, bytesToRead - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return qx::fs::SetLastErrorFromErrno(errno, object->Path()), FALSE;
    }
    if (got == 0) break;
    done += static_cast<DWORD>(got);
  }
  if (bytesRead) *bytesRead = done;
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* /*overlapped*/) {
  if (bytesWritten) *bytesWritten = 0;
  auto object = qx::LookUpHandleAs<FileObject>(file);
  if (!object) return FALSE;
  if (!object->CanWrite()) return Fail(ERROR_ACCESS_DENIED);
  if (!buffer && bytesToWrite) return Fail(ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  while (done < bytesToWrite) {
    ssize_t put = ::write(object->Fd(), static_cast<const char*>(buffer) + done, bytesToWrite - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (bytesWritten) *bytesWritten = done;
      return qx::fs::SetLastErrorFromErrno(errno, object->Path()), FALSE;
    }
    done += static_cast<DWORD>(put);
  }
  if (bytesWritten) *bytesWritten = done;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  auto object = qx::LookUpHandleAs<FileObject>(file);
  if (!object) return FALSE;
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (::fstat(object->Fd(), &st) != 0) return qx::fs::SetLastErrorFromErrno(errno, object->Path()), FALSE;
  size->QuadPart = st.st_size;
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod) {
  auto object = qx::LookUpHandleAs<FileObject>(file);
  if (!object) return FALSE;
  int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR
                                                   : moveMethod == FILE_END   ? SEEK_END
                                                                              : -1;
  if (whence < 0) return Fail(ERROR_INVALID_PARAMETER);
  off_t pos = ::lseek(object->Fd(), static_cast<off_t>(distance.QuadPart), whence);
  if (pos < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : qx::fs::WinErrorFromErrno(errno));
  if (newPosition) newPosition->QuadPart = pos;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto object = qx::LookUpHandleAs<FileObject>(file);
  if (!object) return FALSE;
  if (::fdatasync(object->Fd()) != 0 && errno != EINVAL) {
    return qx::fs::SetLastErrorFromErrno(errno, object->Path()), FALSE;
  }
  return TRUE;
}
