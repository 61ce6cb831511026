#include "patcher/net/worker_jobs.h"

#include "patcher/net/my_thread.h"
#include "patcher/net/socket_ex.h"
#include "patcher/net/transfer_progress.h"

namespace qx::net {

namespace {

int g_nLastSocketError = 0;

// The worker, or null without one (no message: a job without a worker simply fails).
MyThread_c* Worker() { return MyThread_c::HasInstance() ? MyThread_c::GetInstance() : nullptr; }

bool Finish(MyThread_c* a_pWorker) {
  const bool ok = a_pWorker->WaitForCompletion();
  g_nLastSocketError = ok ? 0 : a_pWorker->GetLastTransferError();
  return ok;
}

}  // namespace

bool WorkerGetFile(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, const std::string& a_sLocalFile) {
  MyThread_c* worker = Worker();
  if (worker == nullptr) return false;
  worker->GetFile(a_sHost.c_str(), a_nPort, a_sPath.c_str(), a_sLocalFile.c_str());
  return Finish(worker);
}

bool WorkerGetContents(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, std::string& a_rsContents) {
  MyThread_c* worker = Worker();
  if (worker == nullptr) return false;
  worker->GetFileContents(a_sHost.c_str(), a_nPort, a_sPath.c_str());
  if (!Finish(worker)) return false;
  a_rsContents = worker->GetContents();
  return true;
}

bool WorkerGetSize(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, std::int32_t& a_rnSize) {
  MyThread_c* worker = Worker();
  if (worker == nullptr) return false;
  worker->GetFileSize(a_sHost.c_str(), a_nPort, a_sPath.c_str());
  if (!Finish(worker)) return false;
  a_rnSize = worker->GetRemoteSize();
  return true;
}

bool WorkerVerifySignature(const std::string& a_sKeyFile, const std::string& a_sSignedFile,
                           const std::string& a_sSignatureFile) {
  MyThread_c* worker = Worker();
  if (worker == nullptr) return false;
  worker->VerifySignature(a_sKeyFile.c_str(), a_sSignedFile.c_str(), a_sSignatureFile.c_str());
  return Finish(worker);
}

void WorkerSetTimeout(int a_nSeconds) {
  if (MyThread_c* worker = Worker()) worker->SetTimeout(a_nSeconds);
}

int WorkerLastSocketError() { return g_nLastSocketError; }

bool TransferAborted() { return GetTransferProgress().abortRequested.load(); }

void AbortTransfer() {
  if (MyThread_c* worker = Worker()) {
    if (SocketEx_c* socket = worker->GetSocket()) socket->SetAbort(true);
  }
}

}  // namespace qx::net
