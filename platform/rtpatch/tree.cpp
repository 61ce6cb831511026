#include "platform/rtpatch/tree.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/fs/path.h"
#include "platform/rtpatch/rtpatch.h"

namespace qx::rtpatch {

namespace {

std::vector<std::string> Split(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    parts.emplace_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

MappedFile_c::~MappedFile_c() {
  if (m_data) ::munmap(m_data, m_size);
}

DWORD MappedFile_c::Map(int fd, std::uint64_t size) {
  if (size == 0) return kOk;
  void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) return kReadFailed;
  m_data = static_cast<unsigned char*>(map);
  m_size = static_cast<std::size_t>(size);
  return kOk;
}

void MappedFile_c::Release(std::size_t from, std::size_t to) const {
  if (!m_data) return;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  to = std::min(to, m_size);
  from = (from + page - 1) / page * page;
  if (to < m_size) to = to / page * page;  // the tail page of the file may go whole
  if (from >= to) return;
  ::madvise(m_data + from, to - from, MADV_DONTNEED);
}

bool IsSafeRelativePath(std::string_view path) {
  if (path.empty() || path.size() > 4096) return false;
  for (char c : path) {
    if (c == '\0' || c == '\\' || c == ':') return false;
  }
  for (const std::string& part : Split(path)) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

bool IsBusy(int dirFd, const std::string& name) {
  UniqueFd_c fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  if (::fcntl(fd.get(), F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

DWORD Tree_c::Open(const std::string& folder) {
  m_prefix = fs::ToSlashes(folder);
  while (m_prefix.size() > 1 && m_prefix.back() == '/') m_prefix.pop_back();
  const std::string resolved = m_prefix.empty() ? std::string(".") : fs::ResolvePath(m_prefix);
  m_prefix = m_prefix.empty() ? std::string() : resolved;
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0) return errno == ENOTDIR ? kUpdateFolderInvalid : kUpdateFolderMissing;
  if (!S_ISDIR(st.st_mode)) return kUpdateFolderInvalid;
  m_root.reset(::open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return m_root ? kOk : kUpdateFolderInvalid;
}

std::vector<std::string> Tree_c::Resolve(const std::string& path) const {
  if (m_prefix.empty()) return Split(fs::ResolvePath(path));
  const std::string lead = m_prefix == "/" ? m_prefix : m_prefix + "/";
  const std::string resolved = fs::ResolvePath(lead + path);
  if (resolved.compare(0, lead.size(), lead) != 0) return Split(path);
  std::vector<std::string> parts = Split(std::string_view(resolved).substr(lead.size()));
  // ResolvePath only changes letter case; anything else means it saw a
  // different path, so keep the name as the patch gives it.
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return Split(path);
  }
  return parts;
}

DWORD Tree_c::OpenParent(const std::vector<std::string>& components, bool create, UniqueFd_c& dir) {
  const DWORD failure = create ? kNewFileOpenFailed : kOldFileOpenFailed;
  UniqueFd_c current(::dup(m_root.get()));
  if (!current) return failure;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    const char* name = components[i].c_str();
    int next = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(current.get(), name, 0755) == 0) {
        std::lock_guard lock(m_createdMutex);
        m_created.emplace_back(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      } else if (errno != EEXIST) {
        return failure;
      }
      next = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) return errno == ENOENT ? (create ? failure : kOldFileMissing) : failure;
    current.reset(next);
  }
  dir = std::move(current);
  return kOk;
}

DWORD Tree_c::Inspect(const std::vector<std::string>& components, FileState_t& state) const {
  state = FileState_t{};
  UniqueFd_c dir;
  DWORD rc = const_cast<Tree_c*>(this)->OpenParent(components, /*create=*/false, dir);
  if (rc == kOldFileMissing) return kOk;  // a folder on the way is missing: so is the file
  if (rc != kOk) return rc;
  const std::string& leaf = components.back();
  struct stat st;
  if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? kOk : kOldFileOpenFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    state.kind = FileState_t::kOther;
    return kOk;
  }
  state.fd.reset(::openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!state.fd) return kOldFileOpenFailed;
  if (::fstat(state.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kOldFileOpenFailed;
  state.kind = FileState_t::kRegular;
  state.size = static_cast<std::uint64_t>(st.st_size);
  state.mode = st.st_mode;
  return kOk;
}

void Tree_c::RemoveTemp(const std::vector<std::string>& components, const std::string& suffix) {
  UniqueFd_c dir;
  if (OpenParent(components, /*create=*/false, dir) != kOk) return;
  ::unlinkat(dir.get(), (components.back() + suffix).c_str(), 0);
}

void Tree_c::RemoveCreatedFolders() {
  for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) {
    UniqueFd_c dir;
    if (OpenParent(*it, /*create=*/false, dir) != kOk) continue;
    ::unlinkat(dir.get(), it->back().c_str(), AT_REMOVEDIR);  // only if still empty
  }
  m_created.clear();
}

bool Tree_c::AppendRenameList(const std::string& name, const std::vector<std::string>& lines) {
  std::vector<std::string> parts = Resolve(name);
  UniqueFd_c dir;
  if (OpenParent(parts, /*create=*/false, dir) != kOk) return false;
  UniqueFd_c fd(::openat(dir.get(), parts.back().c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return false;
  std::string existing;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(existing.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    existing.append(buffer, static_cast<std::size_t>(n));
  }
  std::string add;
  if (existing.empty()) add = "[Rename]\r\n";
  else if (existing.back() != '\n') add = "\r\n";
  for (const std::string& line : lines) {
    if (existing.find(line + "\r\n") != std::string::npos || add.find(line + "\r\n") != std::string::npos) continue;
    add += line + "\r\n";
  }
  return WriteAll(fd.get(), add) && ::fsync(fd.get()) == 0;
}

}  // namespace qx::rtpatch
