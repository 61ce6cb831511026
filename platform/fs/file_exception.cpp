#include "platform/fs/file_exception.h"

#include <algorithm>
#include <cstring>

namespace {

BOOL CopyMessage(const std::string& text, char* buffer, UINT maxChars) {
  if (!buffer || maxChars == 0) return FALSE;
  size_t n = std::min<size_t>(text.size(), maxChars - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return text.empty() ? FALSE : TRUE;
}

const char* CauseText(int cause) {
  switch (cause) {
    case CFileException::none: return "no error";
    case CFileException::fileNotFound: return "the file was not found";
    case CFileException::badPath: return "the path is invalid or its folder does not exist";
    case CFileException::tooManyOpenFiles: return "too many files are open";
    case CFileException::accessDenied: return "access was denied";
    case CFileException::invalidFile: return "the file handle is invalid";
    case CFileException::removeCurrentDir: return "the working folder cannot be removed";
    case CFileException::directoryFull: return "the folder is full";
    case CFileException::badSeek: return "the file position cannot be set";
    case CFileException::hardIO: return "a hardware input/output error occurred";
    case CFileException::sharingViolation: return "the file is in use";
    case CFileException::lockViolation: return "the file region is locked";
    case CFileException::diskFull: return "the disk is full";
    case CFileException::endOfFile: return "the end of the file was reached";
    default: return "an unexpected file error occurred";
  }
}

}  // namespace

BOOL CException::GetErrorMessage(char* buffer, UINT maxChars, UINT* helpContext) const {
  if (helpContext) *helpContext = 0;
  return CopyMessage(what(), buffer, maxChars);
}

CFileException::CFileException(int cause, LONG osError, const char* fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(fileName ? fileName : "") {}

int CFileException::OsErrorToException(LONG osError) {
  switch (static_cast<DWORD>(osError)) {
    case ERROR_SUCCESS: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_CANT_RESOLVE_FILENAME:
      return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY:
      return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case ERROR_CURRENT_DIRECTORY: return removeCurrentDir;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_LOCK_VIOLATION: return lockViolation;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    case ERROR_NEGATIVE_SEEK: return badSeek;
    case ERROR_GEN_FAILURE: return hardIO;
    default: return genericException;
  }
}

void CFileException::ThrowOsError(LONG osError, const char* fileName) {
  throw CFileException(OsErrorToException(osError), osError, fileName);
}

void CFileException::Throw(int cause, LONG osError, const char* fileName) {
  throw CFileException(cause, osError, fileName);
}

std::string CFileException::ErrorMessage() const {
  std::string text;
  if (!m_strFileName.empty()) text = m_strFileName + ": ";
  text += CauseText(m_cause);
  if (m_lOsError > 0) text += " (error " + std::to_string(m_lOsError) + ")";
  text += ".";
  return text;
}

BOOL CFileException::GetErrorMessage(char* buffer, UINT maxChars, UINT* helpContext) const {
  if (helpContext) *helpContext = 0;
  return CopyMessage(ErrorMessage(), buffer, maxChars);
}

const char* CFileException::what() const noexcept {
  try {
    m_what = ErrorMessage();
    return m_what.c_str();
  } catch (...) {
    return "CFileException";
  }
}
