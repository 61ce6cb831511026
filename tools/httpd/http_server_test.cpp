#include "tools/httpd/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using qx::httpd::Fault;
using qx::httpd::FaultRule_t;
using qx::httpd::HttpServer_c;

// A raw connection to the server: sends bytes, reads until the peer closes
// (or until `want` bytes are there).
class RawClient {
 public:
  explicit RawClient(int a_nPort) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(a_nPort));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    timeval timeout{5, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << "connect";
  }
  ~RawClient() { ::close(m_fd); }
  void Send(const std::string& a_sText) { ASSERT_EQ(::send(m_fd, a_sText.data(), a_sText.size(), 0), static_cast<ssize_t>(a_sText.size())); }
  // Reads until `want` bytes arrived or the connection ends; errno-style end in `m_error`.
  std::string Read(std::size_t a_nWant = SIZE_MAX) {
    std::string out;
    char buffer[4096];
    while (out.size() < a_nWant) {
      const ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, a_nWant - out.size()), 0);
      if (n <= 0) {
        m_error = n < 0 ? errno : 0;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Reads until `marker` has arrived (or the connection ends).
  std::string ReadUntil(const std::string& a_sMarker) {
    std::string out;
    char c;
    while (out.find(a_sMarker) == std::string::npos && ::recv(m_fd, &c, 1, 0) == 1) out += c;
    return out;
  }
  int m_error = 0;

 private:
  int m_fd;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(m_root / "file.bin", std::ios::binary) << "0123456789";
    std::string error;
    ASSERT_TRUE(m_server.Start(0, "127.0.0.1", &error)) << error;
  }
  std::string Get(const std::string& a_sRequestHead) {
    RawClient client(m_server.GetPort());
    client.Send(a_sRequestHead);
    return client.Read();
  }

  qx::test::TempDir m_root;
  HttpServer_c m_server{m_root.str()};
};

TEST_F(HttpServerTest, AnswersRangesAndRecordsRequests) {
  struct Case {
    std::string request;
    std::string expectStatus;
    std::string expectTail;
  } cases[] = {
      {"GET /file.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK", "\r\n\r\n0123456789"},
      {"GET /file.bin HTTP/1.1\r\nRange: bytes=4-10\r\nConnection: close\r\n\r\n", "HTTP/1.1 206", "\r\n\r\n456789"},
      {"GET /file.bin HTTP/1.1\r\nRange: bytes=7-\r\nConnection: close\r\n\r\n", "HTTP/1.1 206", "\r\n\r\n789"},
      {"GET /file.bin HTTP/1.1\r\nRange: bytes=10-20\r\nConnection: close\r\n\r\n", "HTTP/1.1 416", "</html>\r\n"},
      {"HEAD /file.bin HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", "Content-Length: 10\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n"},
      {"GET /FILE.BIN HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 404", "</html>\r\n"},
      {"GET /../file.bin HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400", "</html>\r\n"},
  };
  for (const Case& c : cases) {
    const std::string response = Get(c.request);
    EXPECT_EQ(response.rfind(c.expectStatus, 0), 0u) << c.request << "\n" << response;
    EXPECT_TRUE(response.size() >= c.expectTail.size() &&
                response.compare(response.size() - c.expectTail.size(), c.expectTail.size(), c.expectTail) == 0)
        << c.request << "\n" << response;
  }
  const auto requests = m_server.GetRequests();
  ASSERT_EQ(requests.size(), std::size(cases));
  EXPECT_EQ(requests[1].raw, cases[1].request);
  EXPECT_EQ(requests[4].method, "HEAD");
}

TEST_F(HttpServerTest, KeepsConnectionsOpenBetweenRequests) {
  RawClient client(m_server.GetPort());
  client.Send("HEAD /file.bin HTTP/1.1\r\n\r\n");
  EXPECT_NE(client.ReadUntil("\r\n\r\n").find("Content-Length: 10"), std::string::npos);
  client.Send("GET /file.bin HTTP/1.1\r\nConnection: close\r\n\r\n");
  const std::string rest = client.Read();
  EXPECT_NE(rest.find("0123456789"), std::string::npos);
  const auto requests = m_server.GetRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].connection, requests[1].connection);
}

TEST_F(HttpServerTest, FaultRulesHitOnlyTheRequestsTheyName) {
  FaultRule_t cut;
  cut.fault = Fault::kCloseMidBody;
  cut.method = "GET";
  cut.path = "/file*";
  cut.after = 3;
  cut.skip = 1;
  cut.times = 1;
  m_server.AddFault(cut);
  const std::string request = "GET /file.bin HTTP/1.1\r\nConnection: close\r\n\r\n";
  auto body = [](const std::string& a_sResponse) { return a_sResponse.substr(a_sResponse.find("\r\n\r\n") + 4); };
  EXPECT_EQ(body(Get(request)), "0123456789");  // skipped
  EXPECT_EQ(body(Get(request)), "012");         // hit
  EXPECT_EQ(body(Get(request)), "0123456789");  // times used up
  EXPECT_EQ(Get("HEAD /file.bin HTTP/1.1\r\nConnection: close\r\n\r\n").find("HTTP/1.1 200"), 0u);

  m_server.ClearFaults();
  FaultRule_t reset;
  reset.fault = Fault::kResetBeforeHeader;
  m_server.AddFault(reset);
  RawClient client(m_server.GetPort());
  client.Send(request);
  EXPECT_EQ(client.Read(), "");
  EXPECT_EQ(client.m_error, ECONNRESET);
}

TEST_F(HttpServerTest, StallEndsWhenTheServerStops) {
  FaultRule_t stall;
  stall.fault = Fault::kStall;
  m_server.AddFault(stall);
  RawClient client(m_server.GetPort());
  client.Send("GET /file.bin HTTP/1.1\r\n\r\n");
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_server.Stop();
  });
  EXPECT_EQ(client.Read(), "");
  stopper.join();
}

TEST(HttpFaultSpec, ParsesTheProgramsFaultOption) {
  FaultRule_t rule;
  std::string error;
  ASSERT_TRUE(qx::httpd::ParseFaultRule("trickle:path=/p/*,chunk=100,delay=5,times=2", rule, error)) << error;
  EXPECT_EQ(rule.fault, Fault::kTrickle);
  EXPECT_EQ(rule.path, "/p/*");
  EXPECT_EQ(rule.chunk, 100);
  EXPECT_EQ(rule.delayMs, 5);
  EXPECT_EQ(rule.times, 2);
  for (const char* bad : {"explode", "404:times", "404:times=x", "404:colour=red", "trickle:chunk=5k"}) {
    EXPECT_FALSE(qx::httpd::ParseFaultRule(bad, rule, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
