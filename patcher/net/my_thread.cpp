#include "patcher/net/my_thread.h"

#include <cctype>
#include <exception>
#include <new>

#include "patcher/integrity/signature.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/net/transfer_progress.h"
#include "platform/format.h"
#include "platform/fs/handle.h"
#include "platform/os/event.h"
#include "platform/ui/message_box.h"
#include "platform/ui/message_queue.h"

MyThread_c* MyThread_c::s_pInstance = nullptr;
HANDLE MyThread_c::s_hRequestExitEvent = nullptr;

namespace {

constexpr UINT kWorkerStackSize = 20000;
constexpr DWORD kIdleWaitMs = 100;
constexpr DWORD kCompletionPollMs = 10;
constexpr DWORD kPumpIntervalMs = 100;

bool StartsWithNoCase(const std::string& a_sText, const char* a_pzPrefix) {
  for (std::size_t i = 0; a_pzPrefix[i]; ++i) {
    if (i >= a_sText.size() ||
        std::tolower(static_cast<unsigned char>(a_sText[i])) != std::tolower(static_cast<unsigned char>(a_pzPrefix[i])))
      return false;
  }
  return true;
}

}  // namespace

MyThread_c::MyThread_c(HANDLE a_hRequestExitEvent) : m_hRequestExitEvent(a_hRequestExitEvent) {
  if (s_pInstance) AfxMessageBox("s_pInstance!=NULL!");
  if (!a_hRequestExitEvent) AfxMessageBox("a_hRequestExitEvent==NULL");
  m_hJobEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  m_bAutoDelete = FALSE;
  m_pfnThreadProc = &MyThread_c::ThreadProc;
  m_pThreadParams = this;
  s_pInstance = this;
}

MyThread_c::~MyThread_c() {
  m_pSocket.reset();
  if (m_hJobEvent) CloseHandle(m_hJobEvent);
}

bool MyThread_c::StartWorker() {
  s_hRequestExitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!s_hRequestExitEvent) return false;
  new MyThread_c(s_hRequestExitEvent);
  if (!s_pInstance) {
    AfxMessageBox("s_pInstance==NULL!");
    return false;
  }
  return s_pInstance->CreateThread(0, kWorkerStackSize) != FALSE;
}

void MyThread_c::WaitUntilStarted() {
  // A worker whose thread could not be made never starts; nothing to wait for.
  while (s_pInstance && s_pInstance->m_hThread && !s_pInstance->m_bStarted) Sleep(10);
}

MyThread_c* MyThread_c::GetInstance() {
  if (!s_pInstance) AfxMessageBox("s_pInstance==NULL!");
  return s_pInstance;
}

bool MyThread_c::HasInstance() { return s_pInstance != nullptr; }

void MyThread_c::StopWorker() {
  if (s_hRequestExitEvent) {
    SetEvent(s_hRequestExitEvent);
    if (s_pInstance && s_pInstance->m_hThread) WaitForSingleObject(s_pInstance->m_hThread, INFINITE);
    CloseHandle(s_hRequestExitEvent);
    s_hRequestExitEvent = nullptr;
  }
  delete s_pInstance;
  s_pInstance = nullptr;
}

UINT MyThread_c::ThreadProc(LPVOID a_pParam) {
  AfxSocketInit();
  return static_cast<UINT>(static_cast<MyThread_c*>(a_pParam)->ThreadMain());
}

void MyThread_c::SetTimeout(int a_nSeconds) {
  WriteLog(FormatString("Setting timeout to %i seconds", a_nSeconds));
  m_nTimeoutSeconds = a_nSeconds;
}

void MyThread_c::PostJob(JobKind_t a_kind, const char* a_pzName, const char* a_pzHost, int a_nPort,
                         const char* a_pzPath, const char* a_pzLocalFile) {
  WriteLog(std::string(a_pzName) + "(" + a_pzPath + ")");
  m_nJobResult = -1;
  m_sHost = a_pzHost;
  m_nPort = a_nPort;
  m_sPath = a_pzPath;
  if (a_pzLocalFile) m_sLocalFile = a_pzLocalFile;
  if (StartsWithNoCase(m_sHost, "http://")) m_sHost.erase(0, 7);
  if (!m_sPath.empty() && m_sPath[0] == '/') m_sPath.erase(0, 1);
  m_nTransferError = 0;
  // A cancel meant for an earlier job does not reach this one.
  if (m_pSocket) m_pSocket->ClearPendingCancel();
  {
    CSingleLock lock(&m_jobLock, TRUE);
    m_nJobKind = a_kind;
  }
  m_nStartTime = _time64(nullptr);
  SetEvent(m_hJobEvent);
}

void MyThread_c::GetFile(const char* a_pzHost, int a_nPort, const char* a_pzPath, const char* a_pzLocalFile) {
  PostJob(GETFILE, "MyThread_c::GetFile", a_pzHost, a_nPort, a_pzPath, a_pzLocalFile);
}

void MyThread_c::GetFileContents(const char* a_pzHost, int a_nPort, const char* a_pzPath) {
  PostJob(GETCONTENTS, "MyThread_c::GetFileContents", a_pzHost, a_nPort, a_pzPath, nullptr);
}

void MyThread_c::GetFileSize(const char* a_pzHost, int a_nPort, const char* a_pzPath) {
  PostJob(GETLENGTH, "MyThread_c::GetFileSize", a_pzHost, a_nPort, a_pzPath, nullptr);
}

void MyThread_c::VerifySignature(const char* a_pzKeyFile, const char* a_pzSignedFile, const char* a_pzSignatureFile) {
  m_sHost = a_pzKeyFile;
  m_sPath = a_pzSignedFile;
  m_sLocalFile = a_pzSignatureFile;
  m_nJobResult = -1;
  m_nTransferError = 0;
  {
    CSingleLock lock(&m_jobLock, TRUE);
    m_nJobKind = VERIFY;
  }
  m_nTimeoutSeconds = -1;
  SetEvent(m_hJobEvent);
}

bool MyThread_c::WaitForCompletion() {
  DWORD sincePump = 0;
  while (m_nJobResult == -1) {
    const int timeout = m_nTimeoutSeconds;
    if (timeout != -1 && _time64(nullptr) - m_nStartTime >= timeout) {
      m_nJobResult = 0;
      WriteLog(FormatString("MyThread_c::WaitForCompletion(1) : Aborted myself because of timeout (%i)", timeout));
      const int abortsBefore = m_nAbortsDone;
      if (m_pSocket) m_pSocket->SetAbort(true);
      {
        CSingleLock lock(&m_jobLock, TRUE);
        m_nJobKind = ABORT;
      }
      SetEvent(m_hJobEvent);
      // The worker takes the abort job only after the cancelled transfer has
      // returned, so once it is done nothing of the old job is left running.
      while (m_nAbortsDone == abortsBefore) Sleep(kCompletionPollMs);
      // A time-out is not the user's abort: callers tell the two apart by
      // this flag, and a later job that fails before its transfer starts
      // must not look like a user abort.
      if (m_pSocket) m_pSocket->SetAbort(false);
      m_nJobResult = 0;
      m_nTransferError = static_cast<int>(WSAETIMEDOUT);
      break;
    }
    Sleep(kCompletionPollMs);
    sincePump += kCompletionPollMs;
    if (m_nJobResult != -1 || sincePump >= kPumpIntervalMs) {
      sincePump = 0;
      qx::ui::PumpWaitingMessages();
    }
  }
  if (GetTransferProgress().abortRequested) m_nJobResult = 0;
  return m_nJobResult != 0;
}

void MyThread_c::RunTransfer(int a_nKind) {
  static const struct {
    const char* createFailed;
    const char* createDetail;
    const char* connectFailed;
    const char* connectDetail;
  } kTexts[] = {
      {"Mythread_c::GetFile():Create() failed",
       "MyThread_c::ThreadMain(GETFILE): Couldn't create connection - GetLastError returned %i",
       "Mythread_c::GetFile():Connect() failed", "MyThread_c::ThreadMain(GETFILE): Couldn't connect to %s:%u, GetLastError(%i)!"},
      {"ThreadMain::GetContents(): Create() failed!",
       "MyThread_c::ThreadMain(GETCONTENTS): Couldn't create connection - GetLastError returned %i",
       "ThreadMain::GetContents(): connect failed",
       "MyThread_c::ThreadMain(GETCONTENTS): Couldn't connect to %s:%u, GetLastError(%i)!"},
      {nullptr, "MyThread_c::ThreadMain(GETLENGTH): Couldn't create connection - GetLastError returned %i", nullptr,
       "MyThread_c::ThreadMain(GETLENGTH): Couldn't connect to %s:%u, GetLastError(%i)!"},
  };
  const auto& texts = kTexts[a_nKind - GETFILE];
  SocketEx_c& socket = *m_pSocket;
  int result = 0;
  int error = 0;
  socket.Close();
  if (!socket.Create()) {
    error = static_cast<int>(GetLastError());
    if (texts.createFailed) WriteLog(texts.createFailed);
    WriteLog(FormatString(texts.createDetail, error));
  } else if (!socket.Connect(m_sHost.c_str(), static_cast<UINT>(m_nPort))) {
    error = static_cast<int>(GetLastError());
    if (texts.connectFailed) WriteLog(texts.connectFailed);
    WriteLog(FormatString(texts.connectDetail, m_sHost.c_str(), static_cast<unsigned>(m_nPort), error));
  } else if (a_nKind == GETFILE) {
    result = socket.GetFile(m_sHost.c_str(), m_nPort, m_sPath.c_str(), m_sLocalFile.c_str()) ? 1 : 0;
    error = socket.GetTransferError();
    WriteLog(FormatString("Mythread_c::GetFile() returned %i", result));
  } else if (a_nKind == GETCONTENTS) {
    std::string contents;
    result = socket.GetFileContents(m_sHost.c_str(), m_nPort, m_sPath.c_str(), contents) ? 1 : 0;
    m_sContents = std::move(contents);
    error = socket.GetTransferError();
  } else {
    m_nRemoteSize = socket.GetRemoteFileSize(m_sPath.c_str(), m_sHost.c_str(), m_nPort);
    result = m_nRemoteSize != 0 ? 1 : 0;
    error = socket.GetTransferError();
  }
  socket.Close();
  m_nTransferError = result ? 0 : error;
  m_nJobResult = result;
}

void MyThread_c::RunVerify() {
  bool valid = false;
  try {
    valid = VerifyFileSignature(m_sHost.c_str(), m_sPath.c_str(), m_sLocalFile.c_str());
  } catch (...) {
    WriteLog("MyThread_c::ThreadMain(VERIFY): The signature check failed with an exception");
  }
  m_nJobResult = valid ? 1 : 0;
}

int MyThread_c::ThreadMain() {
  m_pSocket.reset(new (std::nothrow) SocketEx_c);
  if (!m_pSocket) AfxMessageBox("Couldn't create socket!");
  m_bStarted = true;

  const HANDLE waits[2] = {m_hRequestExitEvent, m_hJobEvent};
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kIdleWaitMs);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) return 0;
    const int kind = m_nJobKind.exchange(NONE);
    try {
      switch (kind) {
        case GETFILE:
        case GETCONTENTS:
        case GETLENGTH:
          if (!m_pSocket) {
            m_nJobResult = 0;
            break;
          }
          RunTransfer(kind);
          break;
        case ABORT:
          if (m_pSocket) m_pSocket->Close();
          m_nJobResult = 1;
          ++m_nAbortsDone;
          break;
        case VERIFY:
          RunVerify();
          break;
        default:
          break;
      }
    } catch (const std::exception& e) {
      WriteLog(FormatString("MyThread_c::ThreadMain(): Job %i failed: %s", kind, e.what()));
      if (m_pSocket) m_pSocket->Close();
      m_nJobResult = 0;
    } catch (...) {
      WriteLog(FormatString("MyThread_c::ThreadMain(): Job %i failed", kind));
      if (m_pSocket) m_pSocket->Close();
      m_nJobResult = 0;
    }
  }
}
