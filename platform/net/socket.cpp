#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

std::atomic<bool> g_initFails{false};

bool SetError(DWORD error) {
  SetLastError(error);
  return false;
}

bool SetErrorFromErrno(int err) { return SetError(qx::net::WinsockErrorFromErrno(err)); }

int Fail(DWORD error) {
  SetLastError(error);
  return SOCKET_ERROR;
}

int FailFromErrno(int err) { return Fail(qx::net::WinsockErrorFromErrno(err)); }

// Fills `storage` with address:port; false when the address is not numeric.
bool MakeBindAddress(const std::string& address, UINT port, int family, sockaddr_storage& storage,
                     socklen_t& length) {
  std::memset(&storage, 0, sizeof storage);
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    a->sin6_addr = in6addr_any;
    if (!address.empty() && ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) return false;
    length = sizeof(sockaddr_in6);
    return true;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&storage);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  a->sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && ::inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) return false;
  length = sizeof(sockaddr_in);
  return true;
}

bool DescribeAddress(const sockaddr_storage& storage, std::string& address, UINT& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  } else {
    return SetError(WSAEAFNOSUPPORT);
  }
  address = text;
  return true;
}

}  // namespace

BOOL AfxSocketInit(void* /*wsaData*/) {
  const char* env = std::getenv("QX_FAIL_SOCKET_INIT");
  const bool envFails = env && *env && std::strcmp(env, "0") != 0;
  if (g_initFails.load() || envFails) {
    SetLastError(WSANOTINITIALISED);
    return FALSE;
  }
  return TRUE;
}

namespace qx::net {

void SetSocketInitFailsForTesting(bool fails) { g_initFails.store(fails); }

DWORD WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    // A send after the peer has reset the connection reports EPIPE once the
    // reset itself has been reported; to the caller it is the same reset.
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

DWORD WinsockErrorFromResolver(int eaiCode, int savedErrno) {
  switch (eaiCode) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_BADFLAGS:
    case EAI_SERVICE: return WSAEINVAL;
    case EAI_SYSTEM: return WinsockErrorFromErrno(savedErrno);
    default: return WSANO_RECOVERY;
  }
}

}  // namespace qx::net

// ---------------------------------------------------------------------------
// CAsyncSocket

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() { CAsyncSocket::Close(); }

BOOL CAsyncSocket::Create(UINT socketPort, int socketType, LPCSTR socketAddress) {
  if (m_hSocket != INVALID_SOCKET) return SetError(WSAEINVAL);
  if (socketType != SOCK_STREAM) return SetError(WSAESOCKTNOSUPPORT);
  m_nBindPort = socketPort;
  m_strBindAddress = socketAddress ? socketAddress : "";
  m_options.clear();
  m_nReceiveTimeout = 0;
  m_nSendTimeout = 0;
  int family = AF_INET;
  if (!m_strBindAddress.empty()) {
    in6_addr probe;
    if (::inet_pton(AF_INET6, m_strBindAddress.c_str(), &probe) == 1) family = AF_INET6;
  }
  if (!OpenDescriptor(family)) return FALSE;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int err = errno;
    CloseDescriptor();
    return SetErrorFromErrno(err);
  }
  std::lock_guard lock(m_cancelLock);
  m_wakeFd = wake;
  m_bCancelled = false;
  return TRUE;
}

bool CAsyncSocket::OpenDescriptor(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return SetErrorFromErrno(errno);
  if (m_nBindPort != 0 || !m_strBindAddress.empty()) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!MakeBindAddress(m_strBindAddress, m_nBindPort, family, storage, length)) {
      ::close(fd);
      return SetError(WSAEINVAL);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
      const int err = errno;
      ::close(fd);
      return SetErrorFromErrno(err);
    }
  }
  for (const StoredOption& option : m_options) {
    if (::setsockopt(fd, option.level, option.name, option.value.data(),
                     static_cast<socklen_t>(option.value.size())) != 0) {
      const int err = errno;
      ::close(fd);
      return SetErrorFromErrno(err);
    }
  }
  m_hSocket = fd;
  m_family = family;
  m_bConnected = false;
  m_bFresh = true;
  return true;
}

void CAsyncSocket::CloseDescriptor() {
  if (m_hSocket != INVALID_SOCKET) ::close(m_hSocket);
  m_hSocket = INVALID_SOCKET;
  m_bConnected = false;
  m_nPendingError = 0;
}

void CAsyncSocket::Close() {
  CloseDescriptor();
  std::lock_guard lock(m_cancelLock);
  if (m_wakeFd >= 0) ::close(m_wakeFd);
  m_wakeFd = -1;
  m_bCancelled = false;
}

BOOL CAsyncSocket::SetSockOpt(int optionName, const void* optionValue, int optionLength, int level) {
  if (m_hSocket == INVALID_SOCKET) return SetError(WSAENOTSOCK);
  if (!optionValue || optionLength < 0) return SetError(WSAEFAULT);
  if (level == SOL_SOCKET && (optionName == SO_RCVTIMEO || optionName == SO_SNDTIMEO)) {
    if (optionLength < static_cast<int>(sizeof(DWORD))) return SetError(WSAEFAULT);
    DWORD value;
    std::memcpy(&value, optionValue, sizeof value);
    (optionName == SO_RCVTIMEO ? m_nReceiveTimeout : m_nSendTimeout) = value;
    return TRUE;
  }
  if (::setsockopt(m_hSocket, level, optionName, optionValue, static_cast<socklen_t>(optionLength)) != 0) {
    return SetErrorFromErrno(errno);
  }
  const char* bytes = static_cast<const char*>(optionValue);
  m_options.push_back({level, optionName, std::vector<char>(bytes, bytes + optionLength)});
  return TRUE;
}

BOOL CAsyncSocket::ShutDown(int how) {
  if (m_hSocket == INVALID_SOCKET) return SetError(WSAENOTSOCK);
  if (how < receives || how > both) return SetError(WSAEINVAL);
  if (::shutdown(m_hSocket, how) != 0) return SetErrorFromErrno(errno);
  return TRUE;
}

BOOL CAsyncSocket::GetSockName(std::string& address, UINT& port) const {
  if (m_hSocket == INVALID_SOCKET) return SetError(WSAENOTSOCK);
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return SetErrorFromErrno(errno);
  }
  return DescribeAddress(storage, address, port);
}

BOOL CAsyncSocket::GetPeerName(std::string& address, UINT& port) const {
  if (m_hSocket == INVALID_SOCKET) return SetError(WSAENOTSOCK);
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return SetErrorFromErrno(errno);
  }
  return DescribeAddress(storage, address, port);
}

// ---------------------------------------------------------------------------
// CSocket

CSocket::~CSocket() = default;

void CSocket::CancelBlockingCall() {
  std::lock_guard lock(m_cancelLock);
  if (m_wakeFd < 0) return;
  m_bCancelled = true;
  const uint64_t one = 1;
  // The counter only grows; a failed write (counter saturated) changes nothing.
  [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
}

CSocket::WaitResult CSocket::WaitFor(short events, DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  m_bBlocking = true;
  WaitResult result = WaitResult::kFailed;
  for (;;) {
    if (m_bCancelled) {
      result = WaitResult::kCancelled;
      break;
    }
    int wait = -1;
    if (timeoutMs != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        result = WaitResult::kTimedOut;
        break;
      }
      wait = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    pollfd fds[2] = {{m_hSocket, events, 0}, {m_wakeFd, POLLIN, 0}};
    const int rc = ::poll(fds, 2, wait);
    if (rc < 0) {
      if (errno == EINTR) continue;
      SetErrorFromErrno(errno);
      result = WaitResult::kFailed;
      break;
    }
    if (fds[1].revents != 0) {
      result = WaitResult::kCancelled;
      break;
    }
    if (fds[0].revents != 0) {
      result = WaitResult::kReady;
      break;
    }
    // rc == 0: time-out; the loop checks the deadline.
  }
  m_bBlocking = false;
  if (result == WaitResult::kCancelled) SetError(WSAEINTR);
  if (result == WaitResult::kTimedOut) SetError(WSAETIMEDOUT);
  return result;
}

bool CSocket::ConnectOne(const sockaddr* address, socklen_t length) {
  if (::connect(m_hSocket, address, length) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return SetErrorFromErrno(errno);
  if (WaitFor(POLLOUT, 0) != WaitResult::kReady) return false;
  int err = 0;
  socklen_t errLength = sizeof err;
  if (::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &err, &errLength) != 0) return SetErrorFromErrno(errno);
  if (err == ECONNRESET || err == EPIPE) {
    // The connection was made and reset before we looked: the connect
    // succeeded, and the reset is reported by the next call, as it would be
    // had we looked sooner.
    m_nPendingError = WSAECONNRESET;
    return true;
  }
  if (err != 0) return SetErrorFromErrno(err);
  return true;
}

BOOL CSocket::Connect(LPCSTR hostAddress, UINT hostPort) {
  if (m_hSocket == INVALID_SOCKET) return SetError(WSAENOTSOCK);
  if (m_bCancelled) return SetError(WSAEINTR);
  if (m_bConnected) return SetError(WSAEISCONN);
  if (!hostAddress) return SetError(WSAEFAULT);
  if (hostPort > 65535) return SetError(WSAEINVAL);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(hostPort);
  const int rc = ::getaddrinfo(hostAddress, service.c_str(), &hints, &list);
  if (rc != 0) return SetError(qx::net::WinsockErrorFromResolver(rc, errno));

  std::vector<const addrinfo*> candidates;
  for (const addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family == AF_INET || a->ai_family == AF_INET6) candidates.push_back(a);
  }
  std::stable_partition(candidates.begin(), candidates.end(),
                        [](const addrinfo* a) { return a->ai_family == AF_INET; });

  bool connected = false;
  DWORD lastError = WSAHOST_NOT_FOUND;
  for (const addrinfo* a : candidates) {
    if (m_bCancelled) {
      lastError = WSAEINTR;
      break;
    }
    // A descriptor that has tried a connect is not reused; neither is one of
    // the wrong family.
    if (!m_bFresh || a->ai_family != m_family) {
      CloseDescriptor();
      if (!OpenDescriptor(a->ai_family)) {
        lastError = GetLastError();
        continue;
      }
    }
    m_bFresh = false;
    if (ConnectOne(a->ai_addr, a->ai_addrlen)) {
      connected = true;
      break;
    }
    lastError = GetLastError();
    if (lastError == WSAEINTR) break;
  }
  ::freeaddrinfo(list);
  if (!connected) {
    // Keep a usable (unconnected) socket so that the object stays created.
    if (m_hSocket == INVALID_SOCKET) OpenDescriptor(m_family ? m_family : AF_INET);
    return SetError(lastError);
  }
  m_bConnected = true;
  return TRUE;
}

int CSocket::Send(const void* buffer, int length, int flags) {
  if (m_hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
  if (m_bCancelled) return Fail(WSAEINTR);
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  if (!m_bConnected) return Fail(WSAENOTCONN);
  if (m_nPendingError) return Fail(std::exchange(m_nPendingError, 0));
  const char* bytes = static_cast<const char*>(buffer);
  int done = 0;
  while (done < length) {
    if (m_bCancelled) return Fail(WSAEINTR);
    const ssize_t n = ::send(m_hSocket, bytes + done, static_cast<size_t>(length - done), flags | MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno(errno);
    if (WaitFor(POLLOUT, m_nSendTimeout) != WaitResult::kReady) return SOCKET_ERROR;
  }
  return done;
}

int CSocket::Receive(void* buffer, int length, int flags) {
  if (m_hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
  if (m_bCancelled) return Fail(WSAEINTR);
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  if (!m_bConnected) return Fail(WSAENOTCONN);
  if (m_nPendingError) return Fail(std::exchange(m_nPendingError, 0));
  for (;;) {
    const ssize_t n = ::recv(m_hSocket, buffer, static_cast<size_t>(length), flags);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno(errno);
    if (WaitFor(POLLIN, m_nReceiveTimeout) != WaitResult::kReady) return SOCKET_ERROR;
  }
}
