// Critical sections: locks for threads of this process.
//
// CCriticalSection is the class library's lock; it is recursive, as on
// Windows: the thread that holds it may take it again and must release it as
// often. CSingleLock takes a CCriticalSection (or any CSyncObject) for one
// scope and releases it when it goes out of scope. The Win32 form
// (CRITICAL_SECTION with Initialize/Enter/Leave/DeleteCriticalSection)
// behaves the same.
//
// Releasing a lock the thread does not hold is a programming error.
#pragma once

#include <chrono>
#include <mutex>

#include "platform/os/waitable.h"
#include "platform/win32.h"

class CSyncObject {
 public:
  virtual ~CSyncObject() = default;
  virtual BOOL Lock(DWORD milliseconds = INFINITE) = 0;
  virtual BOOL Unlock() = 0;
};

class CCriticalSection : public CSyncObject {
 public:
  // Waits without limit; a time-out other than INFINITE tries for that long.
  BOOL Lock(DWORD milliseconds = INFINITE) override {
    if (milliseconds == INFINITE) {
      m_mutex.lock();
      return TRUE;
    }
    return m_mutex.try_lock_for(std::chrono::milliseconds(milliseconds)) ? TRUE : FALSE;
  }
  BOOL Unlock() override {
    m_mutex.unlock();
    return TRUE;
  }

 private:
  std::recursive_timed_mutex m_mutex;
};

// Holds `object` while it is locked; unlocks at destruction.
class CSingleLock {
 public:
  explicit CSingleLock(CSyncObject* object, BOOL initialLock = FALSE) : m_pObject(object) {
    if (initialLock) Lock();
  }
  ~CSingleLock() { Unlock(); }
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

  BOOL Lock(DWORD milliseconds = INFINITE) {
    if (m_bAcquired || !m_pObject) return m_bAcquired;
    m_bAcquired = m_pObject->Lock(milliseconds);
    return m_bAcquired;
  }
  BOOL Unlock() {
    if (m_bAcquired && m_pObject) m_pObject->Unlock();
    m_bAcquired = FALSE;
    return TRUE;
  }
  BOOL IsLocked() const { return m_bAcquired; }

 private:
  CSyncObject* m_pObject;
  BOOL m_bAcquired = FALSE;
};

struct CRITICAL_SECTION {
  std::recursive_mutex mutex;
};
inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* section) { section->mutex.lock(); }
inline void LeaveCriticalSection(CRITICAL_SECTION* section) { section->mutex.unlock(); }
inline BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) { return section->mutex.try_lock() ? TRUE : FALSE; }
