// CFileFind: the class library's file search over one folder.
//
// FindFile takes a pattern: a folder (optional; '\' or '/', letter case free)
// and a name that may hold '*' (any run of characters) and '?' (any one
// character), matched without regard to case. As in Windows, a pattern that
// ends in ".*" also matches names without that dot, so "*.*" matches every
// name, "ResourceDatabase.*" also matches "ResourceDatabase". The "." and ".."
// entries are found when the pattern matches them ("*.*" does).
//
// The folder is read once, when FindFile runs; entries come in a fixed order:
// "." and "..", then the names ordered without regard to case. As in the class
// library, FindFile only starts the search: each FindNextFile steps to the next
// entry and returns FALSE when the entry it stepped to is the last one, so the
// loop is
//     BOOL more = finder.FindFile(pattern);
//     while (more) { more = finder.FindNextFile(); ... use the entry ... }
//
// A symbolic link is reported with the status of what it points to, except
// that a link to a folder is not a folder (FILE_ATTRIBUTE_REPARSE_POINT is
// set): searches that descend into folders or empty them never follow a link
// out of the tree. A folder on which another file system is mounted is
// reported as Windows reports a mounted folder: a folder with
// FILE_ATTRIBUTE_REPARSE_POINT set.
//
// Errors: FindFile returns FALSE with GetLastError ERROR_FILE_NOT_FOUND when
// nothing matches and ERROR_PATH_NOT_FOUND when the folder does not exist.
// One thread at a time per object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

class CFileFind {
 public:
  CFileFind() = default;
  virtual ~CFileFind() = default;

  // Starts a search; null means "*.*" in the working folder. `flags` is unused.
  virtual BOOL FindFile(const char* pattern = nullptr, DWORD flags = 0);
  // Steps to the next entry; FALSE when that entry is the last one (or there is none).
  virtual BOOL FindNextFile();
  void Close();

  // The current entry (empty or false before the first FindNextFile).
  std::string GetFileName() const;
  // The entry's full path: the absolute folder searched, '/', the name.
  std::string GetFilePath() const;
  // The name without its extension.
  std::string GetFileTitle() const;
  // The absolute folder searched, with no trailing separator.
  std::string GetRoot() const { return m_strRoot; }
  ULONGLONG GetLength() const;
  // Last write time, seconds since 1970 (UTC).
  std::int64_t GetLastWriteTime() const;

  BOOL IsDots() const;
  BOOL IsDirectory() const { return MatchesMask(FILE_ATTRIBUTE_DIRECTORY_BIT); }
  BOOL IsReadOnly() const { return MatchesMask(0x01); }
  BOOL IsHidden() const { return MatchesMask(0x02); }
  BOOL IsArchived() const { return MatchesMask(0x20); }
  // TRUE when the entry has any of the FILE_ATTRIBUTE_* bits of `mask`.
  BOOL MatchesMask(DWORD mask) const;

 private:
  static constexpr DWORD FILE_ATTRIBUTE_DIRECTORY_BIT = 0x10;
  struct Entry {
    std::string name;
    DWORD attributes = 0;
    ULONGLONG size = 0;
    std::int64_t mtime = 0;
  };
  const Entry* Current() const;

  std::string m_strRoot;
  std::vector<Entry> m_entries;
  size_t m_next = 0;  // entries handed out so far
};

namespace qx::fs {

// TRUE when `name` matches the wildcard `pattern` as FindFile matches names.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

}  // namespace qx::fs
