// The class library's exceptions for file operations.
//
// CException is the root of every exception the platform layer throws.
// CFileException reports a failed file operation: a portable cause (m_cause),
// the Windows error number behind it (m_lOsError) and the file's name.
// Exceptions are thrown and caught by value or reference (catch (const
// CFileException& e)); there is nothing to delete.
//
// Objects are plain values; not shared between threads.
#pragma once

#include <exception>
#include <string>

#include "platform/win32.h"

class CException : public std::exception {
 public:
  // The message as text into `buffer` (at most `maxChars` with the terminating
  // zero). FALSE when there is no text or no room for anything.
  virtual BOOL GetErrorMessage(char* buffer, UINT maxChars, UINT* helpContext = nullptr) const;
  const char* what() const noexcept override { return "CException"; }
};

class CFileException : public CException {
 public:
  enum {
    none = 0,
    genericException,
    fileNotFound,
    badPath,
    tooManyOpenFiles,
    accessDenied,
    invalidFile,
    removeCurrentDir,
    directoryFull,
    badSeek,
    hardIO,
    sharingViolation,
    lockViolation,
    diskFull,
    endOfFile
  };

  CFileException() = default;
  CFileException(int cause, LONG osError = -1, const char* fileName = nullptr);

  // The cause for a Windows error number (2 -> fileNotFound, 5 -> accessDenied, ...).
  static int OsErrorToException(LONG osError);
  // Throw a CFileException for `osError` (cause from OsErrorToException).
  [[noreturn]] static void ThrowOsError(LONG osError, const char* fileName = nullptr);
  [[noreturn]] static void Throw(int cause, LONG osError = -1, const char* fileName = nullptr);

  // "<file name>: <what went wrong>." The file name is left out when unknown.
  BOOL GetErrorMessage(char* buffer, UINT maxChars, UINT* helpContext = nullptr) const override;
  std::string ErrorMessage() const;
  const char* what() const noexcept override;

  int m_cause = none;
  LONG m_lOsError = -1;
  std::string m_strFileName;

 private:
  mutable std::string m_what;
};
