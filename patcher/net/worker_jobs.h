// One job on the download worker, from posting to result, as the patch-server
// access uses it.
//
// Each function posts one job to the worker (my_thread.h), waits for it with
// MyThread_c::WaitForCompletion (which keeps dispatching the calling thread's
// window messages and enforces the time-out in force) and returns its
// success. Without a running worker every job fails. The socket error of the
// last failed transfer (Windows Sockets number, 0 when it failed without one)
// chooses the cause texts of the failure messages.
//
// Called on the user-interface thread only.
#pragma once

#include <cstdint>
#include <string>

namespace qx::net {

bool WorkerGetFile(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, const std::string& a_sLocalFile);
bool WorkerGetContents(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, std::string& a_rsContents);
bool WorkerGetSize(const std::string& a_sHost, int a_nPort, const std::string& a_sPath, std::int32_t& a_rnSize);
bool WorkerVerifySignature(const std::string& a_sKeyFile, const std::string& a_sSignedFile,
                           const std::string& a_sSignatureFile);
void WorkerSetTimeout(int a_nSeconds);
// The socket error of the last job that failed (see above).
int WorkerLastSocketError();

// True while the transfer client's abort flag is raised (the user cancelled,
// or a time-out or the download's cancel path aborted the transfer).
bool TransferAborted();
// Cancels the worker's transfer: SetAbort(true) on its socket.
void AbortTransfer();

}  // namespace qx::net
