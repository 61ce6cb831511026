#include "platform/fs/win_error.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/fs/path.h"

namespace qx::fs {

namespace {

// True when the folder holding the last component of `path` exists (a path
// without a folder lies in the working folder, which exists).
bool FolderOfPathExists(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string_view folder = FolderPart(path);
  if (folder.empty()) return true;
  struct stat st;
  return ::stat(std::string(folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DWORD WinErrorFromErrno(int err, std::string_view resolvedPath, ExistsAs exists) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return resolvedPath.empty() || FolderOfPathExists(resolvedPath) ? ERROR_FILE_NOT_FOUND
                                                                       : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return exists == ExistsAs::kFileExists ? ERROR_FILE_EXISTS : ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ERANGE:
      return ERROR_INSUFFICIENT_BUFFER;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno(int err, std::string_view resolvedPath, ExistsAs exists) {
  DWORD error = WinErrorFromErrno(err, resolvedPath, exists);
  SetLastError(error);
  return error;
}

}  // namespace qx::fs
