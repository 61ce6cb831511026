// Kernel object handles: the HANDLE values of files, events, threads and processes.
//
// A HANDLE names one reference to a kernel object. The object lives as long as
// a handle (or an internal owner, such as a running thread) refers to it;
// CloseHandle drops one reference. Handle values are never reused within a
// process, so a stale or made-up handle is recognised and refused
// (ERROR_INVALID_HANDLE) instead of touching memory.
//
// The platform layer's object kinds derive from qx::KernelObject; other code
// only passes HANDLEs around. Thread-safe.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace qx {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

// A new handle to `object` (never null, never INVALID_HANDLE_VALUE).
HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);

// The object of a live handle, or null (and ERROR_INVALID_HANDLE set).
std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle);

// The object of a live handle as `T`, or null (and ERROR_INVALID_HANDLE set)
// when the handle is not live or names another kind of object.
template <class T>
std::shared_ptr<T> LookUpHandleAs(HANDLE handle) {
  std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookUpHandle(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

}  // namespace qx

// Drops the handle; FALSE with ERROR_INVALID_HANDLE when it is not live.
BOOL CloseHandle(HANDLE handle);

// A second handle to the object of `source` (within this process only; the
// process and access arguments are ignored).
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD desiredAccess, BOOL inheritHandle, DWORD options);
