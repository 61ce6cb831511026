#include "patcher/net/my_thread.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "patcher/integrity/integrity_test_support.h"
#include "patcher/net/transfer_progress.h"
#include "tests/support/test_installation.h"
#include "tools/httpd/http_server.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using qx::httpd::Fault;
using qx::httpd::FaultRule_t;
using qx::test::TestInstallation;
using Clock = std::chrono::steady_clock;

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

// A started worker against the fault server, stopped after each test.
class MyThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(m_server.Start(0, "127.0.0.1", &error)) << error;
    GetTransferProgress().abortRequested = false;
    GetTransferProgress().bytesDone = 0;
    ASSERT_TRUE(MyThread_c::StartWorker());
    MyThread_c::WaitUntilStarted();
    m_worker = MyThread_c::GetInstance();
    ASSERT_NE(m_worker, nullptr);
    ASSERT_NE(m_worker->GetSocket(), nullptr);
    m_worker->SetTimeout(5);
  }
  void TearDown() override {
    MyThread_c::StopWorker();
    EXPECT_FALSE(MyThread_c::HasInstance());
  }

  int Port() const { return m_server.GetPort(); }
  std::string Site(const std::string& a_sName) const { return m_site.str() + "/" + a_sName; }

  TestInstallation m_install;
  qx::test::TempDir m_site;
  qx::httpd::HttpServer_c m_server{m_site.str()};
  MyThread_c* m_worker = nullptr;
};

TEST_F(MyThreadTest, RunsEachKindOfJobWithNormalisedHostAndPath) {
  WriteFile(Site("patch/map"), "1.0 1.1\n");
  WriteFile(Site("patch/V1.RTP"), std::string(5000, 'r'));

  m_worker->GetFileSize("HTTP://127.0.0.1", Port(), "/patch/V1.RTP");
  ASSERT_TRUE(m_worker->WaitForCompletion());
  EXPECT_EQ(m_worker->GetRemoteSize(), 5000);

  m_worker->GetFileContents("http://127.0.0.1", Port(), "/patch/map");
  ASSERT_TRUE(m_worker->WaitForCompletion());
  EXPECT_EQ(m_worker->GetContents(), "1.0 1.1\n");

  std::filesystem::create_directories(m_install / "Patches");
  m_worker->GetFile("127.0.0.1", Port(), "patch/V1.RTP", "Patches\\V1.RTP");
  ASSERT_TRUE(m_worker->WaitForCompletion());
  EXPECT_EQ(ReadFile(m_install / "Patches/V1.RTP"), std::string(5000, 'r'));
  EXPECT_EQ(m_worker->GetLastTransferError(), 0);

  const auto requests = m_server.GetRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].raw.substr(0, 40), "HEAD /patch/V1.RTP HTTP/1.1\r\nHost: 127.0");
  EXPECT_THAT(requests[1].raw, HasSubstr("GET /patch/map HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  EXPECT_EQ(requests[2].connection, requests[3].connection);
  EXPECT_NE(requests[1].connection, requests[2].connection) << "every job opens its own connection";

  const std::string log = TestInstallation::LogText();
  EXPECT_THAT(log, HasSubstr("Setting timeout to 5 seconds\n"));
  EXPECT_THAT(log, HasSubstr("MyThread_c::GetFileSize(/patch/V1.RTP)\n"));
  EXPECT_THAT(log, HasSubstr("MyThread_c::GetFileContents(/patch/map)\n"));
  EXPECT_THAT(log, HasSubstr("MyThread_c::GetFile(patch/V1.RTP)\n"));
  EXPECT_THAT(log, HasSubstr("Mythread_c::GetFile() returned 1\n"));
}

TEST_F(MyThreadTest, FailedJobsReportTheirSocketError) {
  WriteFile(Site("f.rtp"), "data");
  m_server.AddFault(FaultRule_t::For(Fault::kNotFound, "HEAD"));

  // A size of 0 is a failure, without a socket error.
  m_worker->GetFileSize("127.0.0.1", Port(), "f.rtp");
  EXPECT_FALSE(m_worker->WaitForCompletion());
  EXPECT_EQ(m_worker->GetLastTransferError(), 0);

  // Nobody listens on a port of a stopped server.
  const int closedPort = Port();
  m_server.Stop();
  struct Case {
    int kind;
    const char* first;
    const char* second;
  } cases[] = {
      {MyThread_c::GETFILE, "Mythread_c::GetFile():Connect() failed\n", "MyThread_c::ThreadMain(GETFILE): Couldn't connect to 127.0.0.1:%i, GetLastError(10061)!\n"},
      {MyThread_c::GETCONTENTS, "ThreadMain::GetContents(): connect failed\n", "MyThread_c::ThreadMain(GETCONTENTS): Couldn't connect to 127.0.0.1:%i, GetLastError(10061)!\n"},
      {MyThread_c::GETLENGTH, "", "MyThread_c::ThreadMain(GETLENGTH): Couldn't connect to 127.0.0.1:%i, GetLastError(10061)!\n"},
  };
  for (const Case& c : cases) {
    TestInstallation::ClearLog();
    if (c.kind == MyThread_c::GETFILE) m_worker->GetFile("127.0.0.1", closedPort, "f.rtp", "f.rtp");
    if (c.kind == MyThread_c::GETCONTENTS) m_worker->GetFileContents("127.0.0.1", closedPort, "f.rtp");
    if (c.kind == MyThread_c::GETLENGTH) m_worker->GetFileSize("127.0.0.1", closedPort, "f.rtp");
    EXPECT_FALSE(m_worker->WaitForCompletion());
    EXPECT_EQ(m_worker->GetLastTransferError(), 10061);
    const std::string log = TestInstallation::LogText();
    EXPECT_THAT(log, HasSubstr(c.first));
    char second[200];
    std::snprintf(second, sizeof second, c.second, closedPort);
    EXPECT_THAT(log, HasSubstr(second));
    EXPECT_THAT(log, Not(HasSubstr("GetFile() returned"))) << "no transfer ran";
  }
  EXPECT_FALSE(std::filesystem::exists(m_install / "f.rtp"));
}

TEST_F(MyThreadTest, TimeOutAbandonsAStalledJobAndTheNextJobRuns) {
  WriteFile(Site("map"), "1.0 1.1\n");
  m_server.AddFault(FaultRule_t::For(Fault::kStall, "GET", "", 1));
  m_worker->SetTimeout(2);

  const auto start = Clock::now();
  m_worker->GetFileContents("127.0.0.1", Port(), "map");
  EXPECT_FALSE(m_worker->WaitForCompletion());
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(3500));  // whole seconds are counted
  EXPECT_EQ(m_worker->GetLastTransferError(), 10060);
  EXPECT_FALSE(GetTransferProgress().abortRequested) << "a time-out is no user abort";
  EXPECT_THAT(TestInstallation::LogText(),
              HasSubstr("MyThread_c::WaitForCompletion(1) : Aborted myself because of timeout (2)\n"));

  m_worker->GetFileContents("127.0.0.1", Port(), "map");
  ASSERT_TRUE(m_worker->WaitForCompletion());
  EXPECT_EQ(m_worker->GetContents(), "1.0 1.1\n");
}

TEST_F(MyThreadTest, WithoutATimeOutASlowDownloadIsWaitedFor) {
  WriteFile(Site("slow.rtp"), std::string(30000, 's'));
  FaultRule_t trickle = FaultRule_t::For(Fault::kTrickle, "GET");
  trickle.chunk = 1000;
  trickle.delayMs = 80;  // about 2.4 s in all
  m_server.AddFault(trickle);
  m_worker->SetTimeout(1);
  m_worker->SetTimeout(-1);

  m_worker->GetFile("127.0.0.1", Port(), "slow.rtp", "slow.rtp");
  EXPECT_TRUE(m_worker->WaitForCompletion());
  EXPECT_EQ(ReadFile(m_install / "slow.rtp"), std::string(30000, 's'));
}

TEST_F(MyThreadTest, CancelFailsTheWaitAndKeepsTheReceivedBytes) {
  WriteFile(Site("big.rtp"), std::string(400000, 'b'));
  FaultRule_t trickle = FaultRule_t::For(Fault::kTrickle, "GET", "", 1);
  trickle.chunk = 8192;
  trickle.delayMs = 10;
  m_server.AddFault(trickle);

  std::thread canceller([this] {
    while (GetTransferProgress().bytesDone < 100000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    m_worker->GetSocket()->SetAbort(true);
  });
  m_worker->GetFile("127.0.0.1", Port(), "big.rtp", "big.rtp");
  EXPECT_FALSE(m_worker->WaitForCompletion());
  canceller.join();
  const auto kept = std::filesystem::file_size(m_install / "big.rtp");
  EXPECT_GE(kept, 100000u);
  EXPECT_LT(kept, 400000u);

  // A cancel that comes after the worker finished still fails the wait.
  m_worker->GetFile("127.0.0.1", Port(), "big.rtp", "big.rtp");
  while (TestInstallation::CountInLog("Mythread_c::GetFile() returned 1") == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  m_worker->GetSocket()->SetAbort(true);
  EXPECT_FALSE(m_worker->WaitForCompletion());
  EXPECT_EQ(std::filesystem::file_size(m_install / "big.rtp"), 400000u);
}

TEST_F(MyThreadTest, VerifiesSignaturesAndSurvivesBadKeys) {
  qx::test::TestSigner_c signer;
  const std::string list = "V1.RTP:0123456789abcdef0123456789abcdef\n";
  qx::test::WriteBytes(m_install / "key.pub", signer.PublicKeyHex());
  qx::test::WriteBytes(m_install / "V1.CHK", list);
  qx::test::WriteBytes(m_install / "V1.SIG", signer.SignHex(list));
  qx::test::WriteBytes(m_install / "bad.pub", "not a key at all");
  m_worker->SetTimeout(3);

  struct Case {
    const char* key;
    const char* signedFile;
    const char* signature;
    bool valid;
  } cases[] = {
      {"key.pub", "V1.CHK", "V1.SIG", true},
      {"key.pub", "V1.CHK", "missing.SIG", false},
      {"missing.pub", "V1.CHK", "V1.SIG", false},
      {"bad.pub", "V1.CHK", "V1.SIG", false},
      {"key.pub", "V1.SIG", "V1.SIG", false},
  };
  for (const Case& c : cases) {
    m_worker->VerifySignature(c.key, c.signedFile, c.signature);
    EXPECT_EQ(m_worker->WaitForCompletion(), c.valid) << c.key << " " << c.signedFile << " " << c.signature;
  }
  EXPECT_EQ(m_worker->GetTimeout(), -1) << "a signature check never times out";
  EXPECT_EQ(TestInstallation::CountInLog("Setting timeout to -1"), 0);
}

TEST(MyThreadLifecycle, WithoutAWorkerTheAccessorsSaySo) {
  TestInstallation install;
  EXPECT_FALSE(MyThread_c::HasInstance());
  MyThread_c::WaitUntilStarted();  // returns at once
  MyThread_c::StopWorker();        // harmless
  // StartWorker and StopWorker may follow each other again and again.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(MyThread_c::StartWorker());
    MyThread_c::WaitUntilStarted();
    EXPECT_TRUE(MyThread_c::HasInstance());
    MyThread_c::StopWorker();
  }
  EXPECT_FALSE(MyThread_c::HasInstance());
}

}  // namespace
