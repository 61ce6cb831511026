#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 whose accepted connections are handed to
// `serve` on a thread of its own.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int)> serve, int backlog = 8) : serve_(std::move(serve)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, backlog), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (serve_) thread_ = std::thread([this] {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c >= 0) serve_(c);
      });
  }
  ~LoopbackServer() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes a pending accept
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  UINT port() const { return port_; }
  int fd() const { return fd_; }

 private:
  std::function<void(int)> serve_;
  int fd_ = -1;
  UINT port_ = 0;
  std::thread thread_;
};

std::string ReceiveAll(CSocket& s) {
  std::string out;
  char buffer[512];
  for (;;) {
    const int n = s.Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

void ResetConnection(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

TEST(Socket, ExchangesBytesWithAServerAndSeesItsClose) {
  std::promise<std::string> request;
  LoopbackServer server([&](int c) {
    char buffer[64];
    const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
    request.set_value(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
    const char reply[] = "HTTP/1.1 200 OK\r\n\r\nbody";
    ::send(c, reply, sizeof reply - 1, 0);
    ::close(c);
  });
  CSocket s;
  ASSERT_TRUE(s.Create());
  ASSERT_TRUE(s.Connect("localhost", server.port())) << WSAGetLastError();
  EXPECT_EQ(s.Send("HEAD / HTTP/1.1\r\n\r\n", 19), 19);
  EXPECT_EQ(request.get_future().get(), "HEAD / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ReceiveAll(s), "HTTP/1.1 200 OK\r\n\r\nbody");
  char c;
  EXPECT_EQ(s.Receive(&c, 1), 0) << "a closed connection keeps reporting 0";
  std::string address;
  UINT port = 0;
  ASSERT_TRUE(s.GetPeerName(address, port));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(port, server.port());
  s.Close();
  EXPECT_EQ(s.m_hSocket, INVALID_SOCKET);
}

TEST(Socket, SendDeliversEverythingToASlowReader) {
  const std::string payload(4 << 20, 'x');
  std::promise<size_t> received;
  LoopbackServer server([&](int c) {
    size_t total = 0;
    char buffer[65536];
    std::this_thread::sleep_for(100ms);  // let the sender fill the buffers first
    for (ssize_t n; (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;) total += static_cast<size_t>(n);
    received.set_value(total);
    ::close(c);
  });
  CSocket s;
  ASSERT_TRUE(s.Create());
  ASSERT_TRUE(s.Connect("127.0.0.1", server.port()));
  EXPECT_EQ(s.Send(payload.data(), static_cast<int>(payload.size())), static_cast<int>(payload.size()));
  s.Close();
  EXPECT_EQ(received.get_future().get(), payload.size());
}

TEST(Socket, FailuresCarryWindowsSocketsNumbers) {
  struct Case {
    const char* name;
    std::function<int()> run;  // returns the error number seen
    DWORD expected;
  };
  // A port with nobody listening: bind one, note it, close it.
  UINT closedPort = 0;
  {
    LoopbackServer probe(nullptr);
    closedPort = probe.port();
  }
  const std::vector<Case> cases = {
      {"refused", [&] {
         CSocket s;
         s.Create();
         return s.Connect("127.0.0.1", closedPort) ? 0 : WSAGetLastError();
       }, WSAECONNREFUSED},
      {"reset while receiving", [&] {
         LoopbackServer server([](int c) { ResetConnection(c); });
         CSocket s;
         s.Create();
         s.Connect("127.0.0.1", server.port());
         char b[16];
         return s.Receive(b, sizeof b) == SOCKET_ERROR ? WSAGetLastError() : 0;
       }, WSAECONNRESET},
      {"send after reset", [&] {
         LoopbackServer server([](int c) { ResetConnection(c); });
         CSocket s;
         s.Create();
         s.Connect("127.0.0.1", server.port());
         std::this_thread::sleep_for(50ms);
         const std::string chunk(1 << 16, 'y');
         for (int i = 0; i < 64; ++i) {
           if (s.Send(chunk.data(), static_cast<int>(chunk.size())) == SOCKET_ERROR) return WSAGetLastError();
         }
         return 0;
       }, WSAECONNRESET},
      {"receive before connect", [] {
         CSocket s;
         s.Create();
         char b;
         return s.Receive(&b, 1) == SOCKET_ERROR ? WSAGetLastError() : 0;
       }, WSAENOTCONN},
      {"send without socket", [] {
         CSocket s;
         return s.Send("x", 1) == SOCKET_ERROR ? WSAGetLastError() : 0;
       }, WSAENOTSOCK},
      {"second create", [] {
         CSocket s;
         s.Create();
         return s.Create() ? 0 : WSAGetLastError();
       }, WSAEINVAL},
      {"datagram socket", [] {
         CSocket s;
         return s.Create(0, SOCK_DGRAM) ? 0 : WSAGetLastError();
       }, WSAESOCKTNOSUPPORT},
      {"receive time-out", [] {
         LoopbackServer server([](int c) {
           std::this_thread::sleep_for(500ms);
           ::close(c);
         });
         CSocket s;
         s.Create();
         s.Connect("127.0.0.1", server.port());
         const DWORD ms = 100;
         s.SetSockOpt(SO_RCVTIMEO, &ms, sizeof ms);
         char b;
         const auto start = Clock::now();
         const int r = s.Receive(&b, 1);
         EXPECT_LT(Clock::now() - start, 400ms);
         return r == SOCKET_ERROR ? WSAGetLastError() : 0;
       }, WSAETIMEDOUT},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(static_cast<DWORD>(c.run()), c.expected) << c.name;
  }
}

TEST(Socket, UnknownHostIsAResolverFailure) {
  CSocket s;
  ASSERT_TRUE(s.Create());
  EXPECT_FALSE(s.Connect("no-such-host.invalid", 80));
  // Without a resolver to ask, the answer is "try again" instead of "not found".
  const DWORD e = GetLastError();
  EXPECT_TRUE(e == WSAHOST_NOT_FOUND || e == WSATRY_AGAIN || e == WSANO_DATA) << e;
  EXPECT_NE(s.m_hSocket, INVALID_SOCKET) << "the object stays created";
}

TEST(Socket, CancelFromAnotherThreadEndsABlockedReceiveAtOnce) {
  std::promise<void> done;
  LoopbackServer server([&](int c) {
    done.get_future().wait();  // silent until the test ends
    ::close(c);
  });
  CSocket s;
  ASSERT_TRUE(s.Create());
  ASSERT_TRUE(s.Connect("127.0.0.1", server.port()));
  std::thread canceller([&] {
    while (!s.IsBlocking()) std::this_thread::sleep_for(1ms);
    s.CancelBlockingCall();
  });
  char b;
  const auto start = Clock::now();
  EXPECT_EQ(s.Receive(&b, 1), SOCKET_ERROR);
  EXPECT_EQ(static_cast<DWORD>(WSAGetLastError()), WSAEINTR);
  EXPECT_LT(Clock::now() - start, 2s);
  canceller.join();

  // The connection is spent: every later call fails the same way, until closed.
  EXPECT_EQ(s.Send("x", 1), SOCKET_ERROR);
  EXPECT_EQ(static_cast<DWORD>(WSAGetLastError()), WSAEINTR);
  done.set_value();
  s.Close();
  ASSERT_TRUE(s.Create());
  LoopbackServer again([](int c) {
    ::send(c, "ok", 2, 0);
    ::close(c);
  });
  ASSERT_TRUE(s.Connect("127.0.0.1", again.port()));
  EXPECT_EQ(ReceiveAll(s), "ok");
}

TEST(Socket, CancelBetweenCallsFailsTheNextCall) {
  LoopbackServer server([](int c) {
    std::this_thread::sleep_for(300ms);
    ::close(c);
  });
  CSocket s;
  ASSERT_TRUE(s.Create());
  ASSERT_TRUE(s.Connect("127.0.0.1", server.port()));
  s.CancelBlockingCall();
  char b;
  EXPECT_EQ(s.Receive(&b, 1), SOCKET_ERROR);
  EXPECT_EQ(static_cast<DWORD>(WSAGetLastError()), WSAEINTR);
}

TEST(Socket, CancelWithoutSocketDoesNothing) {
  CSocket s;
  s.CancelBlockingCall();
  ASSERT_TRUE(s.Create());
  LoopbackServer server([](int c) { ::close(c); });
  EXPECT_TRUE(s.Connect("127.0.0.1", server.port())) << "a cancel before Create is not kept";
}

TEST(Socket, CancelFromAnotherThreadEndsABlockedConnect) {
  // A listener with a full backlog leaves further connection attempts pending.
  LoopbackServer server(nullptr, 0);
  std::vector<int> fillers;
  for (int i = 0; i < 16; ++i) {
    const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(server.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
    std::this_thread::sleep_for(20ms);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(f, reinterpret_cast<sockaddr*>(&peer), &len) != 0) break;  // this one is pending
  }
  CSocket s;
  ASSERT_TRUE(s.Create());
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);
    s.CancelBlockingCall();
  });
  const auto start = Clock::now();
  const BOOL connected = s.Connect("127.0.0.1", server.port());
  const auto took = Clock::now() - start;
  canceller.join();
  for (int f : fillers) ::close(f);
  if (connected) GTEST_SKIP() << "the kernel accepted the connection; nothing was blocked";
  EXPECT_EQ(static_cast<DWORD>(WSAGetLastError()), WSAEINTR);
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 2s);
}

TEST(Socket, SocketInitCanBeMadeToFail) {
  EXPECT_TRUE(AfxSocketInit());
  qx::net::SetSocketInitFailsForTesting(true);
  EXPECT_FALSE(AfxSocketInit());
  EXPECT_EQ(GetLastError(), WSANOTINITIALISED);
  qx::net::SetSocketInitFailsForTesting(false);
  ::setenv("QX_FAIL_SOCKET_INIT", "1", 1);
  EXPECT_FALSE(AfxSocketInit());
  ::setenv("QX_FAIL_SOCKET_INIT", "0", 1);
  EXPECT_TRUE(AfxSocketInit());
  ::unsetenv("QX_FAIL_SOCKET_INIT");
}

TEST(Socket, ErrnoTranslation) {
  const std::pair<int, DWORD> table[] = {
      {ENETDOWN, 10050},  {ENETUNREACH, 10051}, {ECONNRESET, 10054}, {EPIPE, 10054},
      {ENOTCONN, 10057},  {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065}, {EINTR, 10004},    {ECONNABORTED, 10053}, {EADDRINUSE, 10048},
  };
  for (const auto& [err, expected] : table) EXPECT_EQ(qx::net::WinsockErrorFromErrno(err), expected) << err;
}

}  // namespace
