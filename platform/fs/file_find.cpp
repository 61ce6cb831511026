#include "platform/fs/file_find.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/fs/fs_internal.h"
#include "platform/fs/path.h"
#include "platform/fs/win_error.h"

namespace qx::fs {

namespace {

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Plain glob matching of '*' and '?', case folded; iterative with one
// back-tracking point, so long names cannot blow up.
bool Glob(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool NameOrder(const std::string& a, const std::string& b) {
  auto dots = [](const std::string& s) { return s == "." ? 0 : s == ".." ? 1 : 2; };
  if (dots(a) != dots(b)) return dots(a) < dots(b);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return static_cast<unsigned char>(Fold(a[i])) < static_cast<unsigned char>(Fold(b[i]));
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  if (Glob(pattern, name)) return true;
  // "x.*" also matches "x": a missing extension counts as an empty one.
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
    return Glob(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

}  // namespace qx::fs

BOOL CFileFind::FindFile(const char* pattern, DWORD /*flags*/) {
  Close();
  std::string given = qx::fs::ToSlashes(pattern && *pattern ? pattern : "*.*");
  std::string namePattern(qx::fs::FileNamePart(given));
  std::string folder(qx::fs::FolderPart(given));
  if (namePattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::string resolvedFolder = folder.empty() ? std::string(".") : qx::fs::ResolvePath(folder);
  DIR* dir = ::opendir(resolvedFolder.c_str());
  if (!dir) {
    int err = errno;
    SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : qx::fs::WinErrorFromErrno(err));
    return FALSE;
  }
  std::string root = qx::fs::internal::MakeFullPath(resolvedFolder, qx::fs::internal::WorkingFolder());
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (qx::fs::MatchesWildcard(namePattern, entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), qx::fs::NameOrder);

  // A folder on another file system than the searched one is a mount point.
  struct stat here;
  const bool knowDevice = ::stat(resolvedFolder.c_str(), &here) == 0;

  std::string prefix = root == "/" ? root : root + "/";
  for (std::string& name : names) {
    Entry entry;
    struct stat st;
    std::string path = prefix + name;
    if (::lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile
    bool link = S_ISLNK(st.st_mode);
    if (link) {
      struct stat target;
      if (::stat(path.c_str(), &target) == 0) st = target;
    }
    entry.attributes = qx::fs::internal::AttributesOf(st, name);
    if (link) {
      entry.attributes = (entry.attributes & ~DWORD{FILE_ATTRIBUTE_DIRECTORY_BIT}) | FILE_ATTRIBUTE_REPARSE_POINT;
    } else if (S_ISDIR(st.st_mode) && knowDevice && st.st_dev != here.st_dev && name != "." && name != "..") {
      entry.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
    entry.size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
    entry.mtime = st.st_mtime;
    entry.name = std::move(name);
    m_entries.push_back(std::move(entry));
  }
  if (m_entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  m_strRoot = root;
  return TRUE;
}

BOOL CFileFind::FindNextFile() {
  if (m_next >= m_entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  ++m_next;
  if (m_next == m_entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

void CFileFind::Close() {
  m_strRoot.clear();
  m_entries.clear();
  m_next = 0;
}

const CFileFind::Entry* CFileFind::Current() const {
  return m_next == 0 || m_next > m_entries.size() ? nullptr : &m_entries[m_next - 1];
}

std::string CFileFind::GetFileName() const {
  const Entry* entry = Current();
  return entry ? entry->name : std::string();
}

std::string CFileFind::GetFilePath() const {
  const Entry* entry = Current();
  if (!entry) return std::string();
  return m_strRoot == "/" ? "/" + entry->name : m_strRoot + "/" + entry->name;
}

std::string CFileFind::GetFileTitle() const {
  std::string name = GetFileName();
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

ULONGLONG CFileFind::GetLength() const {
  const Entry* entry = Current();
  return entry ? entry->size : 0;
}

std::int64_t CFileFind::GetLastWriteTime() const {
  const Entry* entry = Current();
  return entry ? entry->mtime : 0;
}

BOOL CFileFind::IsDots() const {
  const Entry* entry = Current();
  return entry && (entry->name == "." || entry->name == "..") ? TRUE : FALSE;
}

BOOL CFileFind::MatchesMask(DWORD mask) const {
  const Entry* entry = Current();
  return entry && (entry->attributes & mask) ? TRUE : FALSE;
}
