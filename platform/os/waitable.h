// Waitable kernel objects and the wait calls.
//
// Events, threads and processes are kernel objects (platform/fs/handle.h)
// that can be waited on: each is signalled or not, and a wait returns as soon
// as it is signalled or the time-out has run out. An auto-reset event is
// consumed by the one wait that sees it signalled; the others stay signalled.
//
// Thread-safe: any thread may wait on or signal any object.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/fs/handle.h"
#include "platform/win32.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD STILL_ACTIVE = 259;

namespace qx::os {

class WaitableObject : public qx::KernelObject {
 public:
  // True when the object was (or became) signalled within `milliseconds`
  // (INFINITE: no limit); an auto-reset object is consumed by it.
  bool Wait(DWORD milliseconds);

 protected:
  // Call with m_mutex held, after a change that may signal the object.
  void NotifyLocked() { m_changed.notify_all(); }
  virtual bool IsSignalledLocked() const = 0;
  // Called with m_mutex held when a wait has seen the object signalled.
  virtual void OnWaitSatisfiedLocked() {}

  std::mutex m_mutex;

 private:
  std::condition_variable m_changed;
};

}  // namespace qx::os

// WAIT_OBJECT_0 when the object is signalled, WAIT_TIMEOUT when the time-out
// ran out first, WAIT_FAILED (GetLastError ERROR_INVALID_HANDLE) for a handle
// that is not live or not waitable.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// WAIT_OBJECT_0 + i for the first signalled object i (only that one is
// consumed), WAIT_TIMEOUT, or WAIT_FAILED for a bad handle, a count of 0 or
// above 64, or waitAll (waiting for all at once is not supported). Reacts
// within about a millisecond.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
