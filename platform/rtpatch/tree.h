// The folder a patch updates, reached without leaving it.
//
// Tree_c holds the updated folder open and reaches every file below it one
// component at a time (openat with O_NOFOLLOW), so neither a ".." nor a
// symbolic link anywhere below the folder leads outside it. Names are first
// mapped through qx::fs::ResolvePath ('\' and letter case), then walked.
// Folders it creates for new files are remembered so that a failed
// application can remove them again.
//
// Also here: the small RAII helpers for descriptors and read-only mappings,
// and the check of a path a patch names. One Tree_c per application; its
// lookups and OpenParent may be called from several threads at once (they
// work on different files), RemoveCreatedFolders only when no other call runs.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace qx::rtpatch {

class UniqueFd_c {
 public:
  UniqueFd_c() = default;
  explicit UniqueFd_c(int fd) : m_fd(fd) {}
  UniqueFd_c(UniqueFd_c&& other) noexcept : m_fd(other.release()) {}
  UniqueFd_c& operator=(UniqueFd_c&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd_c(const UniqueFd_c&) = delete;
  UniqueFd_c& operator=(const UniqueFd_c&) = delete;
  ~UniqueFd_c() { reset(); }
  int get() const { return m_fd; }
  int release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  explicit operator bool() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

// A whole file mapped read-only (nothing for an empty file).
class MappedFile_c {
 public:
  MappedFile_c() = default;
  MappedFile_c(const MappedFile_c&) = delete;
  MappedFile_c& operator=(const MappedFile_c&) = delete;
  ~MappedFile_c();
  DWORD Map(int fd, std::uint64_t size);  // kOk, or kReadFailed
  // Drops the pages of [from, to) from the process (they stay in the page
  // cache and come back when touched), so reading a large file through the
  // mapping does not pile up resident memory.
  void Release(std::size_t from, std::size_t to) const;
  const unsigned char* data() const { return m_data; }
  std::size_t size() const { return m_size; }

 private:
  unsigned char* m_data = nullptr;
  std::size_t m_size = 0;
};

struct FileState_t {
  enum Kind { kMissing, kRegular, kOther } kind = kMissing;
  UniqueFd_c fd;  // open for reading when kRegular
  std::uint64_t size = 0;
  mode_t mode = 0;
};

// True for a relative path of plain components separated by '/': no empty,
// "." or ".." component, no '\', ':' or NUL, at most 4096 bytes.
bool IsSafeRelativePath(std::string_view path);

// True when another open file holds a byte-range lock on the file `name` of
// the folder `dirFd`, so it cannot be replaced now.
bool IsBusy(int dirFd, const std::string& name);

class Tree_c {
 public:
  // kOk, kUpdateFolderMissing or kUpdateFolderInvalid. "" is the working folder.
  DWORD Open(const std::string& folder);
  int root() const { return m_root.get(); }

  // The on-disk components of a safe relative path (letter case resolved).
  std::vector<std::string> Resolve(const std::string& path) const;

  // What lies at the path. kOk, or kOldFileOpenFailed when the path passes
  // through something that is not a plain folder or cannot be opened.
  DWORD Inspect(const std::vector<std::string>& components, FileState_t& state) const;

  // Opens the folder that holds the last component. With `create`, missing
  // folders are made (and remembered). kOk, kOldFileOpenFailed (create false)
  // or kNewFileOpenFailed (create true).
  DWORD OpenParent(const std::vector<std::string>& components, bool create, UniqueFd_c& dir);

  void RemoveTemp(const std::vector<std::string>& components, const std::string& suffix);
  void RemoveCreatedFolders();

  // Adds the lines (each once) to the rename list `name` in the folder,
  // creating it with its section header. False when it cannot be written.
  bool AppendRenameList(const std::string& name, const std::vector<std::string>& lines);

 private:
  std::string m_prefix;  // the folder as given, '/'-separated, "" for the working folder
  UniqueFd_c m_root;
  std::mutex m_createdMutex;  // OpenParent may run on several threads
  std::vector<std::vector<std::string>> m_created;
};

}  // namespace qx::rtpatch
