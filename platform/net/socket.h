// Blocking TCP sockets with the Windows Sockets names and error numbers.
//
// CAsyncSocket owns one socket handle (Create ... Close); CSocket adds the
// blocking operations the system uses: Connect(host, port) with name
// resolution, Send (all bytes or an error), Receive (some bytes, 0 when the
// peer has closed, SOCKET_ERROR on failure) and CancelBlockingCall.
//
// Errors: a failing call returns FALSE or SOCKET_ERROR and sets the calling
// thread's last error (GetLastError() / WSAGetLastError()) to a Windows Sockets
// number. errno values are translated to those numbers in socket.cpp and
// nowhere else (WinsockErrorFromErrno).
//
// Cancelling: CancelBlockingCall may be called from any thread. The call that
// is blocked in Connect, Send or Receive on this socket fails at once with
// WSAEINTR, and so does every later blocking call on the same connection until
// Close: as with Windows Sockets, a connection whose call was cancelled is good
// for nothing but closing. A cancel that arrives between two calls is not
// lost; it fails the next one. Close (and the next Create) starts afresh.
//
// Time-outs: SetSockOpt(SO_RCVTIMEO / SO_SNDTIMEO) takes a DWORD of
// milliseconds, as on Windows (0 = wait without limit); a receive or send that
// waits longer fails with WSAETIMEDOUT. Connect has no time-out of its own; a
// caller that needs one cancels.
//
// Thread-safety: one thread uses a socket at a time, except for
// CancelBlockingCall, which any thread may call while another is blocked.
// Close must not race a blocked call on another thread (cancel first).
//
// Only TCP streams are supported (nSocketType must be SOCK_STREAM). Connect
// tries every address the name resolves to, IPv4 first.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Windows Sockets numbers beyond those the system names in win32.h.
inline constexpr DWORD WSAEBADF = 10009;
inline constexpr DWORD WSAEACCES = 10013;
inline constexpr DWORD WSAEFAULT = 10014;
inline constexpr DWORD WSAEINVAL = 10022;
inline constexpr DWORD WSAEMFILE = 10024;
inline constexpr DWORD WSAEINPROGRESS = 10036;
inline constexpr DWORD WSAEALREADY = 10037;
inline constexpr DWORD WSAEDESTADDRREQ = 10039;
inline constexpr DWORD WSAEMSGSIZE = 10040;
inline constexpr DWORD WSAEPROTOTYPE = 10041;
inline constexpr DWORD WSAENOPROTOOPT = 10042;
inline constexpr DWORD WSAEPROTONOSUPPORT = 10043;
inline constexpr DWORD WSAESOCKTNOSUPPORT = 10044;
inline constexpr DWORD WSAEOPNOTSUPP = 10045;
inline constexpr DWORD WSAEAFNOSUPPORT = 10047;
inline constexpr DWORD WSAEADDRNOTAVAIL = 10049;
inline constexpr DWORD WSAENOBUFS = 10055;
inline constexpr DWORD WSAEISCONN = 10056;
inline constexpr DWORD WSAESHUTDOWN = 10058;
inline constexpr DWORD WSANOTINITIALISED = 10093;
inline constexpr DWORD WSATRY_AGAIN = 11002;
inline constexpr DWORD WSANO_RECOVERY = 11003;
inline constexpr DWORD WSANO_DATA = 11004;

// The last socket error of the calling thread; the same value as GetLastError().
inline int WSAGetLastError() { return static_cast<int>(GetLastError()); }
inline void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

// Prepares socket use for the process. Always succeeds here (sockets need no
// set-up on this system) unless a test asked it to fail with
// qx::net::SetSocketInitFailsForTesting, or the environment variable
// QX_FAIL_SOCKET_INIT is set to a non-empty value other than "0" (for
// end-to-end tests of a program's failure path). On failure the last error is
// WSANOTINITIALISED.
BOOL AfxSocketInit(void* wsaData = nullptr);

namespace qx::net {

// The Windows Sockets number for an errno value of a failed socket call.
DWORD WinsockErrorFromErrno(int err);

// The Windows Sockets number for a getaddrinfo result (EAI_*); `savedErrno`
// is errno after the call, used for EAI_SYSTEM.
DWORD WinsockErrorFromResolver(int eaiCode, int savedErrno);

// Makes AfxSocketInit fail (true) or succeed (false) from now on.
void SetSocketInitFailsForTesting(bool fails);

}  // namespace qx::net

class CAsyncSocket {
 public:
  enum { receives = 0, sends = 1, both = 2 };

  CAsyncSocket();
  virtual ~CAsyncSocket();
  CAsyncSocket(const CAsyncSocket&) = delete;
  CAsyncSocket& operator=(const CAsyncSocket&) = delete;

  // Creates a TCP socket, bound to `socketAddress`:`socketPort` when either is
  // given (port 0 = any port). Fails when the object already holds a socket.
  BOOL Create(UINT socketPort = 0, int socketType = SOCK_STREAM, LPCSTR socketAddress = nullptr);

  // Closes the socket; harmless when there is none. Clears a pending cancel.
  virtual void Close();

  // setsockopt, except SO_RCVTIMEO and SO_SNDTIMEO at SOL_SOCKET, which take a
  // DWORD of milliseconds and are enforced by the blocking calls.
  BOOL SetSockOpt(int optionName, const void* optionValue, int optionLength, int level = SOL_SOCKET);

  BOOL ShutDown(int how = sends);

  // Numeric address and port of this end / the peer.
  BOOL GetSockName(std::string& address, UINT& port) const;
  BOOL GetPeerName(std::string& address, UINT& port) const;

  static int GetLastError() { return WSAGetLastError(); }

  SOCKET m_hSocket = INVALID_SOCKET;

 protected:
  // Creates the descriptor for `family`, binds and replays stored options.
  bool OpenDescriptor(int family);
  void CloseDescriptor();

  int m_family = 0;
  bool m_bConnected = false;
  bool m_bFresh = false;  // no connect has been tried on the descriptor
  DWORD m_nPendingError = 0;  // reported by the next Send or Receive
  UINT m_nBindPort = 0;
  std::string m_strBindAddress;
  DWORD m_nReceiveTimeout = 0;
  DWORD m_nSendTimeout = 0;

  struct StoredOption {
    int level;
    int name;
    std::vector<char> value;
  };
  std::vector<StoredOption> m_options;

  // Cancellation: an eventfd that becomes readable on cancel; guarded by
  // m_cancelLock so that a cancel from another thread never meets a closed one.
  mutable std::mutex m_cancelLock;
  int m_wakeFd = -1;
  std::atomic<bool> m_bCancelled{false};
};

class CSocket : public CAsyncSocket {
 public:
  CSocket() = default;
  ~CSocket() override;

  // Resolves `hostAddress` (a name or a numeric address) and connects, trying
  // each address in turn. Fails with WSAHOST_NOT_FOUND (or another resolver
  // number) when the name does not resolve, else with the last address's error.
  BOOL Connect(LPCSTR hostAddress, UINT hostPort);

  // Sends all `length` bytes; returns `length`, or SOCKET_ERROR.
  int Send(const void* buffer, int length, int flags = 0);

  // Receives up to `length` bytes; returns the count, 0 when the peer has
  // closed the connection, or SOCKET_ERROR.
  int Receive(void* buffer, int length, int flags = 0);

  // See the header comment. Callable from any thread; no effect without a socket.
  void CancelBlockingCall();

  // TRUE while a call of this socket is blocked (waiting).
  BOOL IsBlocking() const { return m_bBlocking.load() ? TRUE : FALSE; }

 private:
  enum class WaitResult { kReady, kTimedOut, kCancelled, kFailed };
  WaitResult WaitFor(short events, DWORD timeoutMs);
  bool ConnectOne(const struct sockaddr* address, socklen_t length);

  std::atomic<bool> m_bBlocking{false};
};
