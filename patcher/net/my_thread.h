// MyThread_c: the download worker, the one thread that runs every network
// transfer and every signature check of the patcher.
//
// The patcher window starts it when it opens (StartWorker, WaitUntilStarted)
// and stops it when it is destroyed (StopWorker). In between, the
// user-interface thread hands it one job at a time and waits:
//
//     MyThread_c* worker = MyThread_c::GetInstance();
//     worker->GetFile(host, port, path, localFile);   // or GetFileContents,
//     if (worker->WaitForCompletion()) ...            // GetFileSize, VerifySignature
//
// WaitForCompletion keeps dispatching the calling thread's messages, so the
// window stays alive and its Cancel works (SetAbort on GetSocket()). When a
// time-out is set (SetTimeout, in seconds; -1 = none) and the job has run
// that long, the wait abandons it: it logs the time-out, cancels the
// transfer and waits until the worker has finished it, then reports failure.
// The next job runs normally. VerifySignature switches the time-out off.
//
// After a failed transfer GetLastTransferError gives the socket error that
// ended it (Windows Sockets number: 10050 network down, 10051 network
// unreachable, 10060 timed out, 10061 refused, 10064 host down, 10065 host
// unreachable, ...), or 0 when it failed without one (an error status, a
// missing file on the server, a short body). A job abandoned on time-out
// reports 10060.
//
// The worker survives whatever a job throws: an exception ends that job as a
// failure with a log line.
//
// Thread-safety: every public operation except GetSocket()->SetAbort is
// called on the user-interface thread; one job is in flight at a time. The
// worker thread reads a job's arguments only after the job was posted and
// writes its results before it reports completion.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "patcher/net/socket_ex.h"
#include "platform/os/clock.h"
#include "platform/os/critical_section.h"
#include "platform/os/thread.h"

class MyThread_c : public CWinThread {
 public:
  enum JobKind_t { NONE = -1, GETFILE = 1, GETCONTENTS = 2, GETLENGTH = 3, ABORT = 4, VERIFY = 5 };

  // Creates the request-exit event, the instance and its thread. False when
  // the event or the thread cannot be made.
  static bool StartWorker();
  // Returns once the worker thread runs (at once when there is no worker).
  static void WaitUntilStarted();
  // The worker; shows "s_pInstance==NULL!" and returns null when there is none.
  static MyThread_c* GetInstance();
  // Whether a worker exists, without any message.
  static bool HasInstance();
  // Ends the worker thread (waiting for a running job to finish) and deletes
  // the instance with its socket. Harmless when there is none.
  static void StopWorker();

  void SetTimeout(int a_nSeconds);
  int GetTimeout() const { return m_nTimeoutSeconds; }

  void GetFile(const char* a_pzHost, int a_nPort, const char* a_pzPath, const char* a_pzLocalFile);
  void GetFileContents(const char* a_pzHost, int a_nPort, const char* a_pzPath);
  void GetFileSize(const char* a_pzHost, int a_nPort, const char* a_pzPath);
  void VerifySignature(const char* a_pzKeyFile, const char* a_pzSignedFile, const char* a_pzSignatureFile);

  // Waits for the posted job; true on success (false also after a user abort
  // or a time-out).
  bool WaitForCompletion();
  const std::string& GetContents() const { return m_sContents; }
  std::int32_t GetRemoteSize() const { return m_nRemoteSize; }
  int GetLastTransferError() const { return m_nTransferError; }
  // The worker's transfer client; null until the worker thread runs.
  SocketEx_c* GetSocket() const { return m_pSocket.get(); }

 private:
  explicit MyThread_c(HANDLE a_hRequestExitEvent);
  ~MyThread_c() override;

  static UINT ThreadProc(LPVOID a_pParam);
  int ThreadMain();
  void PostJob(JobKind_t a_kind, const char* a_pzName, const char* a_pzHost, int a_nPort, const char* a_pzPath,
               const char* a_pzLocalFile);
  void RunTransfer(int a_nKind);
  void RunVerify();

  static MyThread_c* s_pInstance;
  static HANDLE s_hRequestExitEvent;

  HANDLE m_hRequestExitEvent;
  HANDLE m_hJobEvent;  // wakes the worker when a job is posted
  std::atomic<int> m_nJobKind{NONE};
  std::atomic<int> m_nJobResult{-1};
  std::string m_sHost;
  int m_nPort = 0;
  std::string m_sPath;
  std::string m_sLocalFile;
  std::string m_sContents;
  std::int32_t m_nRemoteSize = 0;
  int m_nTransferError = 0;
  std::atomic<int> m_nTimeoutSeconds{-1};
  __time64_t m_nStartTime = 0;
  std::unique_ptr<SocketEx_c> m_pSocket;
  std::atomic<bool> m_bStarted{false};
  std::atomic<int> m_nAbortsDone{0};
  CCriticalSection m_jobLock;
};
