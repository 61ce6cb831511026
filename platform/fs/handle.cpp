#include "platform/fs/handle.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace qx {

namespace {

std::mutex g_handleMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>>& Handles() {
  static auto* handles = new std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>>();
  return *handles;
}
// Values start high and step by 4, like Windows handles; they are never reused.
std::uintptr_t g_nextHandle = 0x1000;

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  std::uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  Handles().emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto it = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == Handles().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

}  // namespace qx

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<qx::KernelObject> object;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(qx::g_handleMutex);
    auto it = qx::Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == qx::Handles().end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    qx::Handles().erase(it);
  }
  return TRUE;
}

BOOL DuplicateHandle(HANDLE /*sourceProcess*/, HANDLE source, HANDLE /*targetProcess*/, HANDLE* target,
                     DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, DWORD /*options*/) {
  if (!target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<qx::KernelObject> object = qx::LookUpHandle(source);
  if (!object) return FALSE;
  *target = qx::RegisterHandle(std::move(object));
  return TRUE;
}
