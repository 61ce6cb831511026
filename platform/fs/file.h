// CFile: an open file of the class library, and CFileStatus, a file's status.
//
// A CFile owns one open file (a POSIX descriptor) from Open until Close or its
// destruction. Names go through qx::fs::ResolvePath, so '\' and letter case
// need not match the disk. The open mode is a combination of the flags below:
// one access mode (modeRead, modeWrite, modeReadWrite), optionally modeCreate
// (create the file, emptying an existing one unless modeNoTruncate is given),
// and one sharing mode. Sharing is enforced between the CFile objects of this
// process, as Windows does it: an open that conflicts with the access or the
// sharing of one already open fails with ERROR_SHARING_VIOLATION (32);
// shareCompat and shareExclusive share nothing. Other processes and plain
// POSIX calls are not restricted, and an open file may be deleted or renamed
// (the open object keeps its content).
//
// Errors: Open returns FALSE and fills an optional CFileException; every other
// operation (and the opening constructor) throws CFileException with the
// Windows error number in m_lOsError. Reading at the end of the file is no
// error (Read returns 0). The destructor closes the file and ignores errors.
//
// A CFile object is used by one thread at a time; the static operations are
// thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fs/file_exception.h"
#include "platform/win32.h"

struct CFileStatus {
  std::int64_t m_ctime = 0;  // status change time, seconds since 1970 (UTC)
  std::int64_t m_mtime = 0;  // last write time; 0 in SetStatus: leave the times alone
  std::int64_t m_atime = 0;  // last access time; 0 in SetStatus: use m_mtime
  ULONGLONG m_size = 0;
  BYTE m_attribute = 0;      // CFile::Attribute bits
  char m_szFullName[MAX_PATH] = {};  // absolute path of the file as given, '/' separated
};

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    typeBinary = 0x8000,
  };
  enum Attribute : BYTE {
    normal = 0x00,
    readOnly = 0x01,    // no write permission for the owner
    hidden = 0x02,      // name begins with '.'
    system = 0x04,
    volume = 0x08,
    directory = 0x10,
    archive = 0x20,     // a regular file
  };
  enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

  CFile() = default;
  // Opens at once; throws CFileException on failure.
  CFile(const char* fileName, UINT openFlags);
  virtual ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  virtual BOOL Open(const char* fileName, UINT openFlags, CFileException* error = nullptr);
  virtual UINT Read(void* buffer, UINT count);
  virtual void Write(const void* buffer, UINT count);
  virtual ULONGLONG Seek(LONGLONG offset, UINT from);
  void SeekToBegin() { Seek(0, begin); }
  ULONGLONG SeekToEnd() { return Seek(0, end); }
  virtual ULONGLONG GetPosition() const;
  virtual ULONGLONG GetLength() const;
  virtual void SetLength(ULONGLONG newLength);
  virtual void Flush();
  // Closes the file; throws when the close reports an error (the file is closed anyway).
  virtual void Close();
  // Closes the file without throwing.
  virtual void Abort();

  bool IsOpen() const { return m_fd >= 0; }
  // The last component of the name given to Open, that without its extension,
  // and the absolute path of the file ('/' separated, letter case as on disk).
  std::string GetFileName() const;
  std::string GetFileTitle() const;
  const std::string& GetFilePath() const { return m_strFilePath; }

  BOOL GetStatus(CFileStatus& status) const;
  // FALSE when nothing of that name exists; a folder also has a status.
  static BOOL GetStatus(const char* fileName, CFileStatus& status);
  // Sets the times (when m_mtime is not 0) and the read-only attribute; throws.
  static void SetStatus(const char* fileName, const CFileStatus& status);
  // Deletes a file (not a folder); throws.
  static void Remove(const char* fileName);
  // Renames or moves a file or folder; fails when the new name exists; throws.
  static void Rename(const char* oldName, const char* newName);

 protected:
  [[noreturn]] void ThrowErrno(int err) const;
  int m_fd = -1;
  UINT m_nOpenFlags = 0;
  std::string m_strFileName;  // as given
  std::string m_strFilePath;  // absolute, resolved

 private:
  void ReleaseShare();
  std::uint64_t m_shareId = 0;
};
