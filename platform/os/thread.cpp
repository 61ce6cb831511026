#include "platform/os/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/fs/win_error.h"

namespace {

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

class ThreadObject : public qx::os::WaitableObject {
 public:
  ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id, bool suspended)
      : m_start(start), m_parameter(parameter), m_id(id), m_suspendCount(suspended ? 1 : 0) {}

  // Runs on the new thread.
  void Run() {
    t_threadId = m_id;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_resumed.wait(lock, [this] { return m_suspendCount == 0; });
    }
    DWORD exitCode = m_start(m_parameter);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exitCode = exitCode;
    m_finished = true;
    NotifyLocked();
  }

  DWORD Resume() {
    std::lock_guard<std::mutex> lock(m_mutex);
    DWORD previous = m_suspendCount;
    if (m_suspendCount > 0 && --m_suspendCount == 0) m_resumed.notify_all();
    return previous;
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished ? m_exitCode : STILL_ACTIVE;
  }

 private:
  bool IsSignalledLocked() const override { return m_finished; }

  LPTHREAD_START_ROUTINE m_start;
  LPVOID m_parameter;
  DWORD m_id;
  DWORD m_suspendCount;
  std::condition_variable m_resumed;
  bool m_finished = false;
  DWORD m_exitCode = 0;
};

void* PosixEntry(void* arg) {
  // The thread holds its object until it has finished.
  std::unique_ptr<std::shared_ptr<ThreadObject>> self(static_cast<std::shared_ptr<ThreadObject>*>(arg));
  (*self)->Run();
  return nullptr;
}

}  // namespace

HANDLE CreateThread(void* /*securityAttributes*/, std::size_t stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId) {
  if (!startAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD id = g_nextThreadId.fetch_add(1);
  auto object = std::make_shared<ThreadObject>(startAddress, parameter, id, creationFlags & CREATE_SUSPENDED);

  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  size_t defaultSize = 0;
  ::pthread_attr_getstacksize(&attr, &defaultSize);
  if (stackSize > defaultSize) ::pthread_attr_setstacksize(&attr, stackSize);
  ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

  auto* arg = new std::shared_ptr<ThreadObject>(object);
  pthread_t thread;
  int err = ::pthread_create(&thread, &attr, PosixEntry, arg);
  ::pthread_attr_destroy(&attr);
  if (err != 0) {
    delete arg;
    qx::fs::SetLastErrorFromErrno(err == EAGAIN ? ENOMEM : err);
    return nullptr;
  }
  if (threadId) *threadId = id;
  return qx::RegisterHandle(object);
}

DWORD ResumeThread(HANDLE thread) {
  auto object = qx::LookUpHandleAs<ThreadObject>(thread);
  if (!object) return static_cast<DWORD>(-1);
  return object->Resume();
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto object = qx::LookUpHandleAs<ThreadObject>(thread);
  if (!object) return FALSE;
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
  return t_threadId;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

CWinThread::~CWinThread() {
  if (m_hThread) CloseHandle(m_hThread);
}

BOOL CWinThread::CreateThread(DWORD createFlags, UINT stackSize, void* securityAttributes) {
  if (m_hThread) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Start suspended so that m_hThread is set before the thread can use (or delete) the object.
  DWORD id = 0;
  HANDLE handle = ::CreateThread(securityAttributes, stackSize, &CWinThread::ThreadEntry, this,
                                 createFlags | CREATE_SUSPENDED, &id);
  if (!handle) return FALSE;
  m_hThread = handle;
  m_nThreadID = id;
  if (!(createFlags & CREATE_SUSPENDED)) ::ResumeThread(handle);
  return TRUE;
}

DWORD CWinThread::ResumeThread() { return ::ResumeThread(m_hThread); }

void CWinThread::Delete() {
  if (m_bAutoDelete) delete this;
}

DWORD CWinThread::ThreadEntry(LPVOID self) {
  auto* thread = static_cast<CWinThread*>(self);
  DWORD exitCode;
  if (thread->m_pfnThreadProc) {
    exitCode = thread->m_pfnThreadProc(thread->m_pThreadParams);
  } else if (thread->InitInstance()) {
    exitCode = static_cast<DWORD>(thread->Run());
  } else {
    exitCode = static_cast<DWORD>(thread->ExitInstance());
  }
  thread->Delete();
  return exitCode;
}

CWinThread* AfxBeginThread(AFX_THREADPROC threadProc, LPVOID param, int priority, UINT stackSize,
                           DWORD createFlags, void* securityAttributes) {
  auto* thread = new CWinThread(threadProc, param);
  thread->SetThreadPriority(priority);
  if (!thread->CreateThread(createFlags, stackSize, securityAttributes)) {
    delete thread;
    return nullptr;
  }
  return thread;
}
