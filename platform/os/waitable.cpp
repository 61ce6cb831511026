#include "platform/os/waitable.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace qx::os {

bool WaitableObject::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  auto ready = [this] { return IsSignalledLocked(); };
  if (milliseconds == INFINITE) {
    m_changed.wait(lock, ready);
  } else if (!m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return false;
  }
  OnWaitSatisfiedLocked();
  return true;
}

}  // namespace qx::os

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = qx::LookUpHandleAs<qx::os::WaitableObject>(handle);
  if (!object) return WAIT_FAILED;
  return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > 64 || !handles || waitAll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<qx::os::WaitableObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = qx::LookUpHandleAs<qx::os::WaitableObject>(handles[i]);
    if (!object) return WAIT_FAILED;
    objects.push_back(std::move(object));
  }
  // Objects of different kinds share no lock, so this polls: each round
  // tries every object without waiting, then sleeps briefly.
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (DWORD i = 0; i < count; ++i) {
      if (objects[i]->Wait(0)) return WAIT_OBJECT_0 + i;
    }
    if (milliseconds != INFINITE &&
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(milliseconds)) {
      return WAIT_TIMEOUT;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
