// Threads: CWinThread and AfxBeginThread of the class library, and the Win32
// thread calls.
//
// A thread is a kernel object (platform/fs/handle.h) that becomes signalled
// when the thread has ended, so WaitForSingleObject on its handle joins it;
// GetExitCodeThread gives STILL_ACTIVE (259) until then, the thread's result
// afterwards.
//
// Stack size: as on Windows, the size asked for is what the thread needs at
// least; every thread gets at least the platform's default stack (the size
// Windows takes is a commitment inside the program's default reservation, so
// a thread asked for 20000 bytes still has the full default stack).
//
// CWinThread: a worker thread runs m_pfnThreadProc(m_pThreadParams); a
// thread without a procedure runs InitInstance, then Run (when InitInstance
// returned TRUE; the default Run returns ExitInstance()) or ExitInstance.
// When m_bAutoDelete is set (the default), the object deletes itself when its
// thread ends, and its handle is closed with it; to wait for such a thread,
// clear m_bAutoDelete first (create it with CREATE_SUSPENDED, clear the flag,
// then ResumeThread). Thread priorities are recorded but have no effect.
//
// Thread-safe.
#pragma once

#include <cstddef>

#include "platform/os/waitable.h"
#include "platform/win32.h"

inline constexpr DWORD CREATE_SUSPENDED = 0x4;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using AFX_THREADPROC = UINT (*)(LPVOID);

// Null (with GetLastError) on failure. `securityAttributes` is ignored.
HANDLE CreateThread(void* securityAttributes, std::size_t stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId);
// Lets a thread created suspended run; returns the previous suspend count,
// or (DWORD)-1 on failure.
DWORD ResumeThread(HANDLE thread);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// A number that names the calling thread within this process (never 0).
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

class CWinThread {
 public:
  CWinThread() = default;
  CWinThread(AFX_THREADPROC threadProc, LPVOID param) : m_pfnThreadProc(threadProc), m_pThreadParams(param) {}
  virtual ~CWinThread();
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;

  BOOL CreateThread(DWORD createFlags = 0, UINT stackSize = 0, void* securityAttributes = nullptr);
  DWORD ResumeThread();
  int GetThreadPriority() const { return m_nPriority; }
  BOOL SetThreadPriority(int priority) {
    m_nPriority = priority;
    return TRUE;
  }

  virtual BOOL InitInstance() { return FALSE; }
  virtual int Run() { return ExitInstance(); }
  virtual int ExitInstance() { return 0; }
  // Deletes the object when m_bAutoDelete is set; called when the thread ends.
  virtual void Delete();

  operator HANDLE() const { return m_hThread; }

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
  BOOL m_bAutoDelete = TRUE;
  AFX_THREADPROC m_pfnThreadProc = nullptr;
  LPVOID m_pThreadParams = nullptr;

 private:
  static DWORD ThreadEntry(LPVOID self);
  int m_nPriority = THREAD_PRIORITY_NORMAL;
};

// Creates and starts a worker thread running threadProc(param). Null on
// failure (the object is then deleted).
CWinThread* AfxBeginThread(AFX_THREADPROC threadProc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0, void* securityAttributes = nullptr);
