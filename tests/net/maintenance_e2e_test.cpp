// Maintenance against a real HTTP server: the request, the pairing with
// "checksums.chk", the change of server, decompression, the Retry/Cancel
// question and a user's cancel.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "patcher/integrity/maintenance.h"
#include "patcher/layout/install_paths.h"
#include "tests/net/net_e2e_support.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class MaintenanceTest : public NetE2eTest {
 protected:
  void SetUp() override {
    NetE2eTest::SetUp();
    const std::string self = "127.0.0.1:" + std::to_string(Port());
    WriteBytes(m_install / "cd_image/data/launcher/DimensionServer.url", self + "/\r\n");
    m_site.Write("patchservers.txt", "a;0;" + self + "/a\r\nb;1;" + self + "/b\r\n");
    m_site.Write("a/map", "1.0 1.1\n");
    m_site.Write("b/map", "1.0 1.1\n");
    m_conn.SetTargetVersion("");  // as the window leaves it for a maintenance run
  }
  void Request(const std::string& a_sLine) {
    std::filesystem::create_directories(GetUserDataPath());
    WriteBytes(RequestFile(), a_sLine);
  }
  static std::string RequestFile() { return GetUserDataPath() + "Maintenance.dat"; }
  void Offer(const std::string& a_sServer, const std::string& a_sName, const std::string& a_sContent) {
    m_site.Write(a_sServer + "/Maintenance/1.0/" + a_sName + ".gz", GzipOf(a_sContent));
  }
  bool Maintain(const std::string& a_sArgument = "1.0") {
    bool result = false;
    InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.Maintain(a_sArgument); });
    return result;
  }

  TestConnection_c m_conn;
};

TEST_F(MaintenanceTest, FixedNamesAreFetchedDecompressedAndPutInPlace) {
  WriteBytes(m_install / "Quorvex.exe", "old launcher");
  Offer("a", "Quorvex.exe", "new launcher");
  Offer("a", "VARNOK.PUB", "new key");
  Request("Quorvex.exe  VARNOK.PUB");
  EXPECT_TRUE(Maintain("1.0 and more"));
  EXPECT_EQ("new launcher", ReadBytes(m_install / "Quorvex.exe"));
  // The name keeps the letters requested; the installation finds it without regard to case.
  EXPECT_EQ("new key", ReadBytes(m_install / "cd_image/data/launcher/VARNOK.PUB"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "cd_image/data/launcher/varnok.pub"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "Quorvex.exe.gz"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "VARNOK.PUB"));
  EXPECT_FALSE(std::filesystem::exists(RequestFile()));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_THAT(RequestTargets("GET"), ElementsAre("GET /patchservers.txt", "GET /a/map", "GET /b/map",
                                                 "GET /a/Maintenance/1.0/Quorvex.exe.gz",
                                                 "GET /a/Maintenance/1.0/VARNOK.PUB.gz"));
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr("Getting file /a/Maintenance/1.0/Quorvex.exe.gz to Quorvex.exe.gz\n"));
  EXPECT_THAT(log, HasSubstr("Decompressing Quorvex.exe.gz\n"));
  EXPECT_THAT(log, HasSubstr("Renamed VARNOK.PUB to cd_image\\data\\launcher\\VARNOK.PUB\n"));
  EXPECT_THAT(log, Not(HasSubstr("Renamed Quorvex.exe")));
  EXPECT_THAT(log, HasSubstr("Setting timeout to -1 seconds\n"));
}

TEST_F(MaintenanceTest, KeysGoToTheLocalPathsOfTheirLinesWhateverTheRequestOrder) {
  WriteBytes(m_install / "cd_image/data/launcher/checksums.chk",
             "# installation\r\ndata\\b.dat:KEYB\r\n\r\ndata\\a.dat:keya\r\n");
  std::filesystem::create_directories(m_install / "data");
  WriteBytes(m_install / "data/a.dat", "damaged");
  Offer("a", "KEYA", "alpha");
  Offer("a", "KEYB", "beta");
  Request("KEYA KEYB");
  EXPECT_TRUE(Maintain());
  EXPECT_EQ("alpha", ReadBytes(m_install / "data/a.dat"));
  EXPECT_EQ("beta", ReadBytes(m_install / "data/b.dat"));
  EXPECT_THAT(m_install.LogText(), Not(HasSubstr("Internal error")));
}

TEST_F(MaintenanceTest, AKeyTheListDoesNotKnowFailsTheRunWithoutTouchingOtherFiles) {
  WriteBytes(m_install / "cd_image/data/launcher/checksums.chk", "data\\a.dat:KEYA\r\n");
  std::filesystem::create_directories(m_install / "data");
  Offer("a", "KEYA", "alpha");
  Offer("a", "UNKNOWN", "stray");
  Request("KEYA UNKNOWN");
  EXPECT_FALSE(Maintain());
  EXPECT_EQ("alpha", ReadBytes(m_install / "data/a.dat"));  // put in place before the run failed
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr("Internal error: Filemapping array had different size than filearray.\n"));
  EXPECT_THAT(log, HasSubstr("InetConnection_c::Maintain(): No local path for 'UNKNOWN' in checksums.chk.\n"
                             "Maintenance failed.\n"));
  EXPECT_THAT(RequestTargets("GET"), Not(::testing::Contains("GET /a/Maintenance/1.0/UNKNOWN.gz")));
}

TEST_F(MaintenanceTest, AFileMissingOrDamagedOnOneServerIsTakenFromTheNext) {
  struct Case_t {
    const char* name;
    bool damagedOnA;  // false: missing on A
  } cases[] = {{"missing", false}, {"damaged", true}};
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    m_install.ClearLog();
    if (c.damagedOnA) {
      const std::string gz = GzipOf(std::string(50000, 'q'));
      m_site.Write("a/Maintenance/1.0/Quorvex.exe.gz", gz.substr(0, gz.size() / 2));
    }
    Offer("b", "Quorvex.exe", "from b");
    Request("Quorvex.exe");
    TestConnection_c conn;
    bool result = false;
    InWindow([&](CQuorvexPatcherDlg&) { result = conn.Maintain("1.0"); });
    EXPECT_TRUE(result);
    EXPECT_EQ("from b", ReadBytes(m_install / "Quorvex.exe"));
    const std::string log = m_install.LogText();
    EXPECT_THAT(log, HasSubstr("Getting file /a/Maintenance/1.0/Quorvex.exe.gz to Quorvex.exe.gz\n"));
    EXPECT_THAT(log, HasSubstr("Getting file /b/Maintenance/1.0/Quorvex.exe.gz to Quorvex.exe.gz\n"));
    EXPECT_EQ(c.damagedOnA ? 1 : 0, m_install.CountInLog("Error decompressing file 'Quorvex.exe.gz', getting it again..."));
    EXPECT_TRUE(Boxes().empty());
    std::filesystem::remove(m_site / "a/Maintenance/1.0/Quorvex.exe.gz");
  }
}

TEST_F(MaintenanceTest, WhenEveryServerFailsTheUserIsAsked) {
  const std::string question =
      "InetConnection_c::Maintain():\nError getting file '/b/Maintenance/1.0/Quorvex.exe.gz'\nbecause the requested "
      "file does not exist!\n\nClick Retry to try again, or Cancel to abort.";
  // Retry: the file is deleted and asked for again from the first server.
  WriteBytes(m_install / "Quorvex.exe", "old");
  Offer("a", "Quorvex.exe", "fresh");
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/a/Maintenance/*", 1));
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/b/Maintenance/*"));
  Request("Quorvex.exe");
  Answers({"Retry"});
  EXPECT_TRUE(Maintain());
  ASSERT_EQ(1u, Boxes().size());
  EXPECT_EQ(question, Boxes()[0].text);
  EXPECT_EQ("Retry/Cancel", Boxes()[0].buttons);
  EXPECT_EQ("warning", Boxes()[0].icon);
  EXPECT_EQ("fresh", ReadBytes(m_install / "Quorvex.exe"));

  // Cancel: the run fails, and the file it could not replace is gone.
  ui::CTranscript::Instance().Clear();
  m_server.ClearFaults();
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/a/Maintenance/*"));
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/b/Maintenance/*"));
  Request("Quorvex.exe");
  Answers({"Cancel"});
  m_install.ClearLog();
  TestConnection_c conn;
  bool result = true;
  InWindow([&](CQuorvexPatcherDlg&) { result = conn.Maintain("1.0"); });
  EXPECT_FALSE(result);
  EXPECT_EQ(std::vector<std::string>{question}, BoxTexts());
  EXPECT_FALSE(std::filesystem::exists(m_install / "Quorvex.exe"));
  EXPECT_THAT(m_install.LogText(), HasSubstr(question + "\nMaintenance failed.\n"));
}

TEST_F(MaintenanceTest, CancelInTheWindowEndsTheRunWithoutAQuestion) {
  Offer("a", "Quorvex.exe", std::string(400000, 'z'));
  m_site.Write("a/Maintenance/1.0/Quorvex.exe.gz", std::string(400000, 'z'));  // stored plain: as large as sent
  Offer("b", "Quorvex.exe", "from b");
  httpd::FaultRule_t trickle = httpd::FaultRule_t::For(httpd::Fault::kTrickle, "GET", "/a/Maintenance/*");
  trickle.chunk = 8192;
  trickle.delayMs = 20;
  m_server.AddFault(trickle);
  Request("Quorvex.exe");
  Answers({"Yes"});  // "Are you sure you want to cancel ?"
  bool result = true;
  std::atomic<bool> done{false};
  InWindow([&](CQuorvexPatcherDlg& a_rDialog) {
    std::thread user([&] {
      while (GetTransferProgress().bytesDone < 50000 && !done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      a_rDialog.PostMessage(WM_CLOSE);
    });
    result = m_conn.Maintain("1.0");
    done = true;
    user.join();
  });
  EXPECT_FALSE(result);
  EXPECT_EQ(std::vector<std::string>{"Are you sure you want to cancel ?"}, BoxTexts());
  EXPECT_THAT(m_install.LogText(),
              HasSubstr("Error getting file '/a/Maintenance/1.0/Quorvex.exe.gz'\nbecause the user aborted the "
                        "download process.\nMaintenance failed.\n"));
  // The cancel is not lost on the next server.
  EXPECT_THAT(RequestTargets("GET"), Not(::testing::Contains("GET /b/Maintenance/1.0/Quorvex.exe.gz")));
}

TEST_F(MaintenanceTest, RunsThatEndBeforeAnyDownload) {
  struct Case_t {
    const char* name;
    const char* request;  // null: no request file
    bool breakServers;
    bool result;
    std::vector<std::string> boxes;
  } cases[] = {
      {"empty request", "", false, true, {}},
      {"no request file", nullptr, false, false,
       {"Fatal Error! The patcher was told to do maintenance, but \"Maintenance.dat\" is missing.\nThis means that "
        "Quorvex.exe was not able to write the file.\nPlease check that you have enough free disk-space, and start "
        "Quorvex.exe again."}},
      {"no server list", "Quorvex.exe", true, false,
       {"Could not download patchserver information. Please try again later."}},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    ui::CTranscript::Instance().Clear();
    m_server.ClearRequests();
    std::filesystem::remove(RequestFile());
    if (c.request) Request(c.request);
    if (c.breakServers) std::filesystem::remove(m_site / "patchservers.txt");
    TestConnection_c conn;
    conn.SetTargetVersion("");
    bool result = !c.result;
    InWindow([&](CQuorvexPatcherDlg&) { result = conn.Maintain("1.0"); });
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.boxes, BoxTexts());
    EXPECT_THAT(RequestTargets("GET"), Not(::testing::Contains(HasSubstr("Maintenance"))));
    EXPECT_FALSE(std::filesystem::exists(RequestFile()) && !c.breakServers);
  }
}

}  // namespace
}  // namespace qx::test
