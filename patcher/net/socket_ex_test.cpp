#include "patcher/net/socket_ex.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "patcher/net/transfer_progress.h"
#include "platform/fs/file.h"
#include "platform/ui/transcript.h"
#include "tests/support/nginx_server.h"
#include "tests/support/test_installation.h"
#include "tools/httpd/http_server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using qx::httpd::Fault;
using qx::httpd::FaultRule_t;
using qx::test::TestInstallation;

std::string ReadFile(const std::string& a_sPath) {
  std::ifstream in(a_sPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& a_sPath, const std::string& a_sContent) {
  std::filesystem::create_directories(std::filesystem::path(a_sPath).parent_path());
  std::ofstream(a_sPath, std::ios::binary) << a_sContent;
}

// Bytes that differ from position to position, with upper-case letters, so
// that a shifted, repeated or lowered block shows.
std::string Pattern(std::size_t a_nSize) {
  std::string text(a_nSize, '\0');
  for (std::size_t i = 0; i < a_nSize; ++i) text[i] = static_cast<char>("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[(i * 7 + i / 36) % 36]);
  return text;
}

// The client against the fault server, with a throw-away installation for the log.
class SocketExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_server.Start(0, "127.0.0.1", &error)) << error;
    GetTransferProgress().abortRequested = false;
    GetTransferProgress().bytesDone = 0;
    GetTransferProgress().bytesTotal = 0;
  }

  std::string Site(const std::string& a_sName) const { return m_site.str() + "/" + a_sName; }
  std::string Local(const std::string& a_sName) const { return m_install / a_sName; }

  bool Connect() {
    m_socket.Close();
    return m_socket.Create() && m_socket.Connect("127.0.0.1", static_cast<UINT>(m_server.GetPort()));
  }
  // One job as the worker runs it: connect, transfer, close.
  bool GetFile(const std::string& a_sRemote, const std::string& a_sLocal) {
    if (!Connect()) return false;
    const bool ok = m_socket.GetFile("127.0.0.1", m_server.GetPort(), a_sRemote.c_str(), a_sLocal.c_str());
    m_socket.Close();
    return ok;
  }
  bool GetContents(const std::string& a_sHost, const std::string& a_sRemote, std::string& a_rsOut) {
    if (!Connect()) return false;
    const bool ok = m_socket.GetFileContents(a_sHost.c_str(), m_server.GetPort(), a_sRemote.c_str(), a_rsOut);
    m_socket.Close();
    return ok;
  }
  std::vector<std::string> RequestsFor(const std::string& a_sMethod) const {
    std::vector<std::string> out;
    for (const auto& r : m_server.GetRequests())
      if (r.method == a_sMethod) out.push_back(r.raw);
    return out;
  }
  // Cancels from another thread once `a_nBytes` of the current file are on disk.
  // With a_nSettleMs the cancel waits that long more, so that it finds the
  // transfer blocked in a receive.
  std::thread AbortWhenDone(std::int32_t a_nBytes, int a_nSettleMs = 0) {
    return std::thread([this, a_nBytes, a_nSettleMs] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (GetTransferProgress().bytesDone < a_nBytes && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::this_thread::sleep_for(std::chrono::milliseconds(a_nSettleMs));
      m_socket.SetAbort(true);
    });
  }

  TestInstallation m_install;
  qx::test::TempDir m_site;
  qx::httpd::HttpServer_c m_server{m_site.str()};
  SocketEx_c m_socket;
};

TEST_F(SocketExTest, SendsTheRequestOfEachKindByteForByte) {
  const std::string content = Pattern(300);
  struct Case {
    std::string remote;
    std::string localBefore;  // already downloaded
    std::string expectedGet;  // "%s" stands for nothing: exact bytes
  } cases[] = {
      {"patch/v1-v2/V1-V2.RTP", "", "GET /patch/v1-v2/V1-V2.RTP HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
      {"patch/v1-v2/v1-v2.Res", "", "GET /patch/v1-v2/v1-v2.Res HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
      {"patch/v1-v2/V1-V2.CHK", "",
       "GET /patch/v1-v2/V1-V2.CHK HTTP/1.1\r\nHost: 127.0.0.1\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n"},
      {"patch/v1-v2/V1-V2.RTP", content.substr(0, 120),
       "GET /patch/v1-v2/V1-V2.RTP HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=120-300\r\n\r\n"},
      {"patch/v1-v2/V1-V2.SIG", content.substr(0, 1),
       "GET /patch/v1-v2/V1-V2.SIG HTTP/1.1\r\nHost: 127.0.0.1\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n"
       "Range: bytes=1-300\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remote + " after " + std::to_string(c.localBefore.size()));
    WriteFile(Site(c.remote), content);
    const std::string local = Local("download.bin");
    std::filesystem::remove(local);
    if (!c.localBefore.empty()) WriteFile(local, c.localBefore);
    m_server.ClearRequests();

    ASSERT_TRUE(GetFile(c.remote, local));
    EXPECT_EQ(ReadFile(local), content);
    const auto requests = m_server.GetRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, "HEAD /" + c.remote +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n");
    EXPECT_EQ(requests[1].raw, c.expectedGet);
    EXPECT_EQ(requests[0].connection, requests[1].connection) << "the size is asked on the download's connection";
  }
  EXPECT_THAT(TestInstallation::LogText(),
              HasSubstr("Connecting to 127.0.0.1:" + std::to_string(m_server.GetPort()) + "patch/v1-v2/V1-V2.RTP " +
                        Local("download.bin") + "\n"));
  EXPECT_EQ(GetTransferProgress().GetCurrentFileText(), Local("download.bin") + " (Resuming Download)");
}

TEST_F(SocketExTest, CompleteLocalFileCostsOnlyTheSizeRequest) {
  WriteFile(Site("a.rtp"), "0123456789");
  WriteFile(Local("a.rtp"), "0123456789");
  EXPECT_TRUE(GetFile("a.rtp", Local("a.rtp")));
  EXPECT_EQ(RequestsFor("GET").size(), 0u);
  EXPECT_EQ(RequestsFor("HEAD").size(), 1u);
  EXPECT_EQ(TestInstallation::CountInLog("SocketEx_c::GetFile(): Filesize is correct"), 1);
}

TEST_F(SocketExTest, ResumesOrRewritesAPartialFile) {
  const std::string content = Pattern(5000);
  WriteFile(Site("f.rtp"), content);
  struct Case {
    const char* name;
    bool serverIgnoresRange;
    std::string localBefore;
  } cases[] = {
      {"server answers 206", false, content.substr(0, 1234)},
      {"server answers 200 to the range", true, content.substr(0, 1234)},
      // A stale part file that does not match the server's file is only
      // fixed when the server sends everything again.
      {"200 rewrites stale bytes", true, std::string(1234, 'x')},
      {"local file longer than the server's", false, content + "tail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_server.ClearFaults();
    if (c.serverIgnoresRange) m_server.AddFault(FaultRule_t::For(Fault::kIgnoreRange));
    WriteFile(Local("f.rtp"), c.localBefore);
    ASSERT_TRUE(GetFile("f.rtp", Local("f.rtp")));
    EXPECT_EQ(ReadFile(Local("f.rtp")), content);
  }
  EXPECT_THAT(TestInstallation::LogText(),
              HasSubstr("Local file is larger than the remote file (5004 > 5000 bytes); downloading it again"));
  // The longer local file is fetched from the start, without a range.
  EXPECT_THAT(RequestsFor("GET").back(), Not(HasSubstr("Range:")));
}

TEST_F(SocketExTest, ErrorStatusesFailWithoutTouchingTheLocalFile) {
  WriteFile(Site("f.rtp"), Pattern(2000));
  struct Case {
    Fault fault;
    std::string localBefore;
    std::string logged;
  } cases[] = {
      {Fault::kNotFound, "", "SocketEx_c::GetLength(): Not found\nFull Header follows:\nHTTP/1.1 404 Not Found\r\n"},
      {Fault::kRedirect, "", "SocketEx_c::GetLength(): Server returned error 302\nFull Header follows:\nHTTP/1.1 302"},
      {Fault::kServerError, "", "SocketEx_c::GetLength(): Internal server error\nFull Header follows:\n"},
      // A resumed download: the error page must not be appended to the file.
      {Fault::kNotFound, Pattern(700), "SocketEx_c::GetLength(): Not found\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    TestInstallation::ClearLog();
    m_server.ClearFaults();
    m_server.AddFault(FaultRule_t::For(c.fault, "GET"));
    std::filesystem::remove(Local("f.rtp"));
    if (!c.localBefore.empty()) WriteFile(Local("f.rtp"), c.localBefore);

    EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
    EXPECT_EQ(m_socket.GetTransferError(), 0);
    EXPECT_EQ(std::filesystem::exists(Local("f.rtp")), !c.localBefore.empty());
    if (!c.localBefore.empty()) {
      EXPECT_EQ(ReadFile(Local("f.rtp")), c.localBefore);
    }
    EXPECT_THAT(TestInstallation::LogText(), HasSubstr(c.logged));
    EXPECT_EQ(TestInstallation::CountInLog("File length==0\n"), 1);
  }
}

TEST_F(SocketExTest, HeaderLongerThanTheFirstBlockFailsEveryTransfer) {
  WriteFile(Site("f.rtp"), Pattern(100));
  FaultRule_t longHeader = FaultRule_t::For(Fault::kLongHeader, "GET");
  longHeader.headerSize = 600;
  m_server.AddFault(longHeader);

  EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  EXPECT_FALSE(std::filesystem::exists(Local("f.rtp")));
  EXPECT_THAT(TestInstallation::LogText(), HasSubstr("The response header does not end within the first 512 bytes"));

  std::string text;
  EXPECT_FALSE(GetContents("127.0.0.1", "f.rtp", text));

  m_server.ClearFaults();
  longHeader.method = "HEAD";
  m_server.AddFault(longHeader);
  ASSERT_TRUE(Connect());
  EXPECT_EQ(m_socket.GetRemoteFileSize("f.rtp", "127.0.0.1", m_server.GetPort()), 0);
  EXPECT_EQ(TestInstallation::CountInLog("does not end within the first 512 bytes"), 3);
}

TEST_F(SocketExTest, ConnectionClosedBeforeTheHeaderIsTriedElevenTimes) {
  WriteFile(Site("f.rtp"), Pattern(100));
  m_server.AddFault(FaultRule_t::For(Fault::kCloseBeforeHeader, "GET"));

  EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  EXPECT_EQ(RequestsFor("GET").size(), 11u);
  EXPECT_EQ(TestInstallation::CountInLog("Receive() returned 0, retrying connection....\n"), 11);
  EXPECT_EQ(TestInstallation::CountInLog("Receive failed several times. Aborting.\n"), 1);
  EXPECT_THAT(TestInstallation::LogText(), HasSubstr(" Receive() failed, GetLastError = 0\n"));
  EXPECT_EQ(m_socket.GetTransferError(), 0);
}

TEST_F(SocketExTest, BrokenBodiesResumeWhereTheyStopped) {
  const std::string content = Pattern(600000);
  WriteFile(Site("f.res"), content);
  struct Case {
    Fault fault;
    const char* logged;
    bool allBytesArrive;  // a reset may discard what the client had not read yet
  } cases[] = {
      {Fault::kCloseMidBody, "File length==0, Retrying connection....\n", true},
      {Fault::kResetMidBody, "Retrying connection....\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    m_server.ClearFaults();
    m_server.ClearRequests();
    FaultRule_t cut = FaultRule_t::For(c.fault, "GET", "", 1);
    cut.after = 200000;
    m_server.AddFault(cut);
    std::filesystem::remove(Local("f.res"));

    ASSERT_TRUE(GetFile("f.res", Local("f.res")));
    EXPECT_EQ(ReadFile(Local("f.res")), content);
    EXPECT_THAT(TestInstallation::LogText(), HasSubstr(c.logged));
    const auto gets = RequestsFor("GET");
    ASSERT_EQ(gets.size(), 2u);
    if (c.allBytesArrive) {
      EXPECT_THAT(gets[1], HasSubstr("Range: bytes=200000-600000\r\n"));
    }
  }
}

TEST_F(SocketExTest, AbortDuringTheBodyKeepsTheReceivedBytesForTheNextAttempt) {
  const std::string content = Pattern(300000);
  WriteFile(Site("f.rtp"), content);
  FaultRule_t slow = FaultRule_t::For(Fault::kTrickle, "GET", "", 1);
  slow.chunk = 4096;
  slow.delayMs = 5;
  m_server.AddFault(slow);

  std::thread canceller = AbortWhenDone(50000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(m_socket.IsAborted());
  const std::string partial = ReadFile(Local("f.rtp"));
  EXPECT_GE(partial.size(), 50000u);
  EXPECT_LT(partial.size(), content.size());
  EXPECT_EQ(partial, content.substr(0, partial.size()));

  // The next job starts afresh and resumes from the file's length.
  m_socket.ClearPendingCancel();
  ASSERT_TRUE(GetFile("f.rtp", Local("f.rtp")));
  EXPECT_EQ(ReadFile(Local("f.rtp")), content);
  EXPECT_THAT(RequestsFor("GET").back(),
              HasSubstr("Range: bytes=" + std::to_string(partial.size()) + "-300000\r\n"));
}

TEST_F(SocketExTest, AbortEndsAStalledTransferAtOnce) {
  WriteFile(Site("f.rtp"), Pattern(100000));
  FaultRule_t stall = FaultRule_t::For(Fault::kStallMidBody, "GET");
  stall.after = 30000;
  m_server.AddFault(stall);
  std::thread canceller = AbortWhenDone(30000, 200);
  EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  canceller.join();
  EXPECT_EQ(ReadFile(Local("f.rtp")), Pattern(100000).substr(0, 30000));
  EXPECT_EQ(m_socket.GetTransferError(), static_cast<int>(WSAEINTR));
  EXPECT_THAT(TestInstallation::LogText(), HasSubstr(" Receive() failed, GetLastError = 10004\n"));
}

TEST_F(SocketExTest, AResetBeforeTheHeaderIsRetriedOnANewConnection) {
  WriteFile(Site("f.rtp"), Pattern(3000));
  m_server.AddFault(FaultRule_t::For(Fault::kResetBeforeHeader, "GET", "", 2));
  ASSERT_TRUE(GetFile("f.rtp", Local("f.rtp")));
  EXPECT_EQ(ReadFile(Local("f.rtp")), Pattern(3000));
  EXPECT_EQ(RequestsFor("GET").size(), 3u);
  EXPECT_EQ(TestInstallation::CountInLog(" Receive() failed, GetLastError = 10054\n"), 2);
  EXPECT_EQ(TestInstallation::CountInLog("Receive() returned error, retrying connection....\n"), 2);
}

TEST_F(SocketExTest, ALocalFileThatCannotBeWrittenStopsTheDownloadWithItsBytesIntact) {
  const std::string content = Pattern(400000);
  WriteFile(Site("f.rtp"), content);
  qx::ui::CTranscript::Instance().Clear();

  // Held by someone else before the first block: the user is told.
  WriteFile(Local("f.rtp"), "");
  {
    CFile holder;
    ASSERT_TRUE(holder.Open(Local("f.rtp").c_str(), CFile::modeRead | CFile::shareExclusive));
    EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  }
  const auto boxes = qx::ui::CTranscript::Instance().Entries(qx::ui::TranscriptKind::kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Could not open local file for writing. Please make sure you are logged in as administrator\nor that you "
            "have write permission in the Quorvex Online directory.");
  EXPECT_EQ(boxes[0].icon, "error");

  // Held while the body comes in: the transfer stops instead of leaving a
  // hole, and what is on disk is the true beginning of the file.
  FaultRule_t slow = FaultRule_t::For(Fault::kTrickle, "GET", "", 1);
  slow.chunk = 8192;
  slow.delayMs = 5;
  m_server.AddFault(slow);
  std::atomic<bool> finished{false};
  std::thread holderThread([&] {
    while (GetTransferProgress().bytesDone < 50000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CFile holder;
    // The download opens the file for every block; take it between two.
    while (!holder.Open(Local("f.rtp").c_str(), CFile::modeRead | CFile::shareExclusive) && !finished) {
    }
    while (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  EXPECT_FALSE(GetFile("f.rtp", Local("f.rtp")));
  finished = true;
  holderThread.join();
  EXPECT_THAT(TestInstallation::LogText(), HasSubstr(":\n Error opening file '" + Local("f.rtp") + "'\n"));
  const std::string partial = ReadFile(Local("f.rtp"));
  EXPECT_GE(partial.size(), 50000u);
  EXPECT_EQ(partial, content.substr(0, partial.size()));

  ASSERT_TRUE(GetFile("f.rtp", Local("f.rtp")));
  EXPECT_EQ(ReadFile(Local("f.rtp")), content);
}

TEST_F(SocketExTest, ContentsAreCutToTheAnnouncedLength) {
  WriteFile(Site("notes/News.TXT"), "Line ONE\nLine TWO\n");
  std::string text;
  ASSERT_TRUE(GetContents("http://127.0.0.1", "/notes/News.TXT", text));
  EXPECT_EQ(text, "Line ONE\nLine TWO\n") << "the body keeps its letter case";
  ASSERT_EQ(m_server.GetRequests().size(), 1u);
  EXPECT_EQ(m_server.GetRequests()[0].raw,
            "GET /notes/News.TXT HTTP/1.1\r\nHost: 127.0.0.1\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n"
            "Connection: close\r\n\r\n");

  FaultRule_t shorter = FaultRule_t::For(Fault::kWrongLength, "GET", "", 1);
  shorter.delta = -5;
  m_server.AddFault(shorter);
  ASSERT_TRUE(GetContents("127.0.0.1", "notes/News.TXT", text));
  EXPECT_EQ(text, "Line ONE\nLine");

  // A body that ends before its announced length is not a success.
  FaultRule_t longer = FaultRule_t::For(Fault::kWrongLength, "GET", "", 1);
  longer.delta = 5;
  m_server.AddFault(longer);
  EXPECT_FALSE(GetContents("127.0.0.1", "notes/News.TXT", text));
  EXPECT_THAT(TestInstallation::LogText(), HasSubstr("The connection closed after 18 of 23 bytes"));

  m_server.AddFault(FaultRule_t::For(Fault::kNotFound, "GET", "", 1));
  EXPECT_FALSE(GetContents("127.0.0.1", "notes/News.TXT", text));
  EXPECT_EQ(TestInstallation::CountInLog("FileLenth==0, aborting\n"), 1);
}

TEST_F(SocketExTest, SizeQueryAsksAgainWhenTheServerClosesFirst) {
  WriteFile(Site("f.rtp"), Pattern(4321));
  m_server.AddFault(FaultRule_t::For(Fault::kCloseBeforeHeader, "HEAD", "", 2));
  ASSERT_TRUE(Connect());
  EXPECT_EQ(m_socket.GetRemoteFileSize("f.rtp", "127.0.0.1", m_server.GetPort()), 4321);
  EXPECT_EQ(RequestsFor("HEAD").size(), 3u);

  m_server.AddFault(FaultRule_t::For(Fault::kNotFound, "HEAD", "", 1));
  ASSERT_TRUE(Connect());
  EXPECT_EQ(m_socket.GetRemoteFileSize("f.rtp", "127.0.0.1", m_server.GetPort()), 0);
  EXPECT_EQ(m_socket.GetLastStatus(), 404);
}

TEST_F(SocketExTest, ARefusedReconnectionIsTheReportedError) {
  WriteFile(Site("f.rtp"), Pattern(100));
  m_server.AddFault(FaultRule_t::For(Fault::kCloseBeforeHeader, "HEAD"));
  ASSERT_TRUE(Connect());
  // The client waits 500 ms before it connects again; the server is gone by then.
  std::thread stopper([this] {
    while (m_server.GetRequests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server.Stop();
  });
  EXPECT_EQ(m_socket.GetRemoteFileSize("f.rtp", "127.0.0.1", m_server.GetPort()), 0);
  stopper.join();
  EXPECT_EQ(m_socket.GetTransferError(), static_cast<int>(WSAECONNREFUSED));
  EXPECT_THAT(TestInstallation::LogText(),
              HasSubstr("SocketEx_c::GetRemoteFileSize(f.rtp,127.0.0.1): Receive() failed - GetLastError returned 10061\n"));
}

TEST(SocketExHeader, GetLengthReadsStatusLengthAndHeaderEnd) {
  TestInstallation install;
  SocketEx_c socket;
  struct Case {
    std::string header;
    std::int32_t length;
    std::int32_t status;
    int headerEnd;
    std::string error;  // "" or a prefix of the error text
    std::string after;  // the text after the call
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 42\r\n\r\n", 42, 200, 39, "", "http/1.1 200 ok\r\ncontent-length: 42\r\n\r\n"},
      {"HTTP/1.1 206 Partial Content\r\nCONTENT-LENGTH: 7\r\n\r\nBODY", 7, 206, 51, "",
       "http/1.1 206 partial content\r\ncontent-length: 7\r\n\r\nBODY"},
      {"HTTP/1.1 200 OK\r\nContent-Length:42\r\n\r\n", 0, 200, 38, "", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: x42\r\n\r\n", 0, 200, 40, "", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", 0, 200, 48,
       "SocketEx_c::GetLength(): Content length too large\nFull Header follows:\n", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n", 12, 200, -1, "", ""},
      {"HTTP/1.1 200 OK\r\n\r\nContent-Length: 12\r\n", 0, 200, 19, "", ""},
      {"HTTP/1.1 400 Bad\r\n\r\n", 0, 400, 20, "SocketEx_c::GetLength(): Bad request\nFull Header follows:\nHTTP/1.1 400 Bad\r\n\r\n", ""},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc", 0, 404, 45,
       "SocketEx_c::GetLength(): Not found\nFull Header follows:\nHTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc", ""},
      {"HTTP/1.1 500 Oops\r\n\r\n", 0, 500, 21, "SocketEx_c::GetLength(): Internal server error\n", ""},
      {"HTTP/1.1 505 Nope\r\n\r\n", 0, 505, 21, "SocketEx_c::GetLength(): Httpversion not supported\n", ""},
      {"HTTP/1.1 302 Found\r\n\r\n", 0, 302, 22, "SocketEx_c::GetLength(): Server returned error 302\n", ""},
      {"garbage", 0, 0, -1, "SocketEx_c::GetLength(): Server returned error 0\nFull Header follows:\ngarbage", ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::string text = c.header;
    std::string error = "stale";
    int headerEnd = 12345;
    EXPECT_EQ(socket.GetLength(text.data(), error, headerEnd), c.length);
    EXPECT_EQ(socket.GetLastStatus(), c.status);
    EXPECT_EQ(headerEnd, c.headerEnd);
    if (c.error.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
      EXPECT_THAT(TestInstallation::LogText(), HasSubstr(c.error));
    }
    if (!c.after.empty()) {
      EXPECT_EQ(text, c.after);
    }
  }
}

TEST(SocketExLocalSize, MeasuresFilesAndPartFiles) {
  TestInstallation install;
  WriteFile(install / "Patches/whole.rtp", std::string(10, 'a'));
  WriteFile(install / "Patches/parts.rtp.0001", std::string(7, 'a'));
  WriteFile(install / "Patches/parts.rtp.0002", std::string(5, 'a'));
  std::filesystem::create_directories(install / "Patches/parts.rtp.0003");
  std::filesystem::create_directories(install / "Patches/folder.rtp");
  struct Case {
    const char* path;
    std::int32_t single;
    std::int32_t download;
  } cases[] = {
      {"Patches\\WHOLE.RTP", 10, 10},
      {"Patches\\parts.rtp", 0, 12},
      {"Patches\\missing.rtp", 0, 0},
      {"Patches\\folder.rtp", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SocketEx_c::GetLocalFileSize(c.path), c.single) << c.path;
    EXPECT_EQ(SocketEx_c::GetLocalFileSize(c.path, SocketEx_c::kCountPartFiles), c.download) << c.path;
  }
}

TEST(SocketExNginx, DownloadsAndResumesFromNginx) {
  QX_REQUIRE_NGINX();
  TestInstallation install;
  qx::test::TempDir site;
  const std::string content = Pattern(3 * 1024 * 1024 + 17);
  WriteFile(site / "patch/v1.0-v1.1/V1-0-V1-1.RTP", content);
  qx::test::NginxServer_c nginx(site.str());
  std::string error;
  ASSERT_TRUE(nginx.Start(&error)) << error;

  // An interrupted earlier transfer left the first part on disk.
  const std::string local = install / "Patches/V1-0-V1-1.RTP";
  WriteFile(local, content.substr(0, 1000003));
  SocketEx_c socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", static_cast<UINT>(nginx.GetPort())));
  EXPECT_TRUE(socket.GetFile("127.0.0.1", nginx.GetPort(), "patch/v1.0-v1.1/V1-0-V1-1.RTP", local.c_str()));
  socket.Close();
  EXPECT_EQ(socket.GetLastStatus(), 206);
  EXPECT_TRUE(ReadFile(local) == content);
  EXPECT_THAT(nginx.ReadAccessLog(), HasSubstr("\"HEAD /patch/v1.0-v1.1/V1-0-V1-1.RTP HTTP/1.1\" 200"));
  EXPECT_THAT(nginx.ReadAccessLog(), HasSubstr("\"GET /patch/v1.0-v1.1/V1-0-V1-1.RTP HTTP/1.1\" 206"));
}

}  // namespace
