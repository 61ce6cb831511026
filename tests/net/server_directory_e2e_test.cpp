// The patch-server directory against a real HTTP server: dimension servers
// in turn, the server list, group order, the map check and its messages.
#include <gmock/gmock.h>

#include "patcher/net/my_thread.h"
#include "patcher/resources/resource.h"
#include "tests/net/net_e2e_support.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ServerDirectoryTest : public NetE2eTest {
 protected:
  void WriteDimensionFile(const std::string& a_sText) {
    WriteBytes(m_install / "cd_image/data/launcher/DimensionServer.url", a_sText);
  }
  std::string DimensionFile() const { return m_install.Root() + "cd_image\\data\\launcher\\DimensionServer.url"; }
  std::string Local(const std::string& a_sPath) const { return "127.0.0.1:" + std::to_string(Port()) + a_sPath; }

  TestConnection_c m_conn;
};

TEST_F(ServerDirectoryTest, DimensionServersAreAskedInTurnUntilOneDelivers) {
  // The first refuses connections, the second never answers (abandoned after
  // the time-out), the third delivers.
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kStall, "GET", "/stall/*"));
  WriteDimensionFile("# dimension servers\r\nhttp://127.0.0.1:1/dim/\r\n" + Local("/stall/list.txt") + "\r\n" +
                     Local("/dim/") + "\r\n");
  m_site.Write("dim/patchservers.txt", "main;0;" + Local("/patches") + "\r\n");
  m_site.Write("patches/map", "1.0 1.1\n1.1 1.2\n");
  m_conn.SetTargetVersion("1.2");
  bool result = false;
  InWindow([&](CQuorvexPatcherDlg&) {
    MyThread_c::GetInstance()->SetTimeout(1);
    result = m_conn.GetPatchServers();
  });
  EXPECT_TRUE(result);
  EXPECT_THAT(m_conn.GetRoute(), ElementsAre("v1.0-v1.1", "v1.1-v1.2"));
  ASSERT_EQ(1u, m_conn.GetGoodServers().size());
  EXPECT_EQ("/patches", m_conn.GetGoodServers()[0].path);
  EXPECT_THAT(RequestTargets(), ElementsAre("GET /stall/patchservers.txt", "GET /dim/patchservers.txt", "GET /patches/map"));
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr("Couldn't connect to 127.0.0.1:1,"));
  EXPECT_THAT(log, HasSubstr("Aborted myself because of timeout (1)"));
  EXPECT_THAT(log, HasSubstr("Patchserverinformation successfully downloaded.\n"));
  const auto statuses = StatusLines();
  EXPECT_THAT(statuses, ::testing::IsSupersetOf({"Downloading patchserver information, please wait...",
                                                 "Checking patch-servers, please wait...",
                                                 "Patchserverinformation successfully downloaded."}));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(ServerDirectoryTest, TheAskingStartsAtTheChosenEntryAndWrapsAround) {
  WriteDimensionFile(Local("/one/") + "\r\n" + Local("/two/") + "\r\n" + Local("/three/") + "\r\n");
  m_site.Write("one/patchservers.txt", "main;0;" + Local("/patches") + "\r\n");
  m_site.Write("patches/map", "1.0 1.1\n");
  m_conn.SetTargetVersion("1.1");
  m_conn.m_nFirstDimensionServer = 1;  // "two" and "three" have no list
  bool result = false;
  InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.GetPatchServers(); });
  EXPECT_TRUE(result) << m_install.LogText();
  EXPECT_THAT(RequestTargets(), ElementsAre("GET /two/patchservers.txt", "GET /three/patchservers.txt",
                                            "GET /one/patchservers.txt", "GET /patches/map"));
}

TEST_F(ServerDirectoryTest, GroupsDecideTheOrderOfChecksAndOfGoodServers) {
  WriteDimensionFile(Local("/") + "\r\n");
  m_site.Write("patchservers.txt", "five;5;" + Local("/g5") + "\r\nthree;3;" + Local("/g3") + ";spare\r\nnone;4;" +
                                       Local("/none") + "\r\nwrong;12;" + Local("/g12") + "\r\n");
  m_site.Write("g3/map", "1.0 1.2\n");
  m_site.Write("g5/map", "1.0 1.1\n1.1 1.2\n");
  m_conn.SetTargetVersion("1.2");
  bool result = false;
  InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.GetPatchServers(); });
  EXPECT_TRUE(result);
  EXPECT_THAT(RequestTargets(), ElementsAre("GET /patchservers.txt", "GET /g3/map", "GET /none/map", "GET /g5/map"));
  ASSERT_EQ(2u, m_conn.GetGoodServers().size());
  EXPECT_EQ("three", m_conn.GetGoodServers()[0].name);
  EXPECT_EQ("five", m_conn.GetGoodServers()[1].name);
  // The route is the one of the last map fetched.
  EXPECT_THAT(m_conn.GetRoute(), ElementsAre("v1.0-v1.1", "v1.1-v1.2"));
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr("InetConnection_c::GetMapFile(127.0.0.1:" + std::to_string(Port()) +
                             "): Didn't get mapfile.\n"));
  EXPECT_THAT(log, HasSubstr("Server 'wrong' has group '12', not 0 to 9; line skipped.\n"));
}

TEST_F(ServerDirectoryTest, NoServerWithAUsableMapEndsTheSearchWithQuit) {
  // The first list names a server without a map; the second dimension server
  // is not asked once a list was fetched.
  WriteDimensionFile(Local("/dim1/") + "\r\n" + Local("/dim2/") + "\r\n");
  m_site.Write("dim1/patchservers.txt", "a;0;" + Local("/nomap") + "\r\nb;1;127.0.0.1:1/p\r\n");
  m_site.Write("dim2/patchservers.txt", "c;0;" + Local("/patches") + "\r\n");
  m_site.Write("patches/map", "1.0 1.1\n");
  m_conn.SetTargetVersion("1.1");
  bool result = true;
  std::string startButton;
  InWindow([&](CQuorvexPatcherDlg& a_rDialog) {
    result = m_conn.GetPatchServers();
    a_rDialog.GetDlgItemText(IDOK, startButton);
  });
  EXPECT_FALSE(result);
  EXPECT_EQ("Quit", startButton);
  const std::string message =
      "Could not find the requested patch on any of the specified patch-servers.\nPlease try again later.\n"
      "If this particular problem persists, contact support@quorvex-online.com for help.";
  ASSERT_EQ(1u, Boxes().size());
  EXPECT_EQ(message, Boxes()[0].text);
  EXPECT_EQ("OK", Boxes()[0].buttons);
  EXPECT_THAT(RequestTargets(), ElementsAre("GET /dim1/patchservers.txt", "GET /nomap/map"));
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr(message + "\n"));
  EXPECT_THAT(log, HasSubstr("InetConnection_c::GetPatchServers(): Couldn't download patch.\n"));
  EXPECT_EQ("An error occurred; couldn't download patch!", StatusLines().back());
}

TEST_F(ServerDirectoryTest, EveryDimensionServerFailing) {
  WriteDimensionFile(Local("/a/") + "\r\n127.0.0.1:1/b/\r\n");
  bool result = true;
  std::string startButton;
  InWindow([&](CQuorvexPatcherDlg& a_rDialog) {
    result = m_conn.GetPatchServers();
    a_rDialog.GetDlgItemText(IDOK, startButton);
  });
  EXPECT_FALSE(result);
  EXPECT_EQ("Quit", startButton);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_THAT(m_install.LogText(), HasSubstr("InetConnection_c::GetPatchServers(): Couldn't download patch.\n"));
}

TEST_F(ServerDirectoryTest, AMissingOrEmptyDimensionFileAsksForAReinstall) {
  for (const char* content : {static_cast<const char*>(nullptr), "# only a comment\r\n\r\nno-port-here\r\n"}) {
    SCOPED_TRACE(content ? content : "(no file)");
    ui::CTranscript::Instance().Clear();
    std::filesystem::remove(m_install / "cd_image/data/launcher/DimensionServer.url");
    if (content) WriteDimensionFile(content);
    bool result = true;
    InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.GetPatchServers(); });
    EXPECT_FALSE(result);
    const std::string message = "Error in '" + DimensionFile() + "': Dimension is missing. Please reinstall.";
    EXPECT_EQ(std::vector<std::string>{message}, BoxTexts());
    EXPECT_THAT(m_install.LogText(), HasSubstr(message + "\n"));
  }
  EXPECT_TRUE(m_server.GetRequests().empty());
}

TEST_F(ServerDirectoryTest, AServerLineWithoutPortEndsTheListButKeepsWhatCameBefore) {
  WriteDimensionFile(Local("/") + "\r\n");
  m_site.Write("patchservers.txt", "a;0;" + Local("/patches") + "\r\nb;0;just-a-host\r\nc;0;" + Local("/other") + "\r\n");
  m_site.Write("patches/map", "1.0 1.1\n");
  m_conn.SetTargetVersion("1.1");
  bool result = false;
  InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.GetPatchServers(); });
  EXPECT_TRUE(result);
  EXPECT_EQ(std::vector<std::string>{"Error in patchservers.txt on dimension-server.If this particular problem "
                                     "persists, contact support@quorvex-online.com for help."},
            BoxTexts());
  EXPECT_THAT(RequestTargets(), ElementsAre("GET /patchservers.txt", "GET /patches/map"));
}

TEST_F(ServerDirectoryTest, LocalModeAsksNoServer) {
  WriteDimensionFile(Local("/") + "\r\n");
  m_conn.SetLocalMode(true);  // no patches: the detection says so, the lookup is still skipped
  ui::CTranscript::Instance().Clear();
  bool patchServers = false, map = false;
  InWindow([&](CQuorvexPatcherDlg&) {
    patchServers = m_conn.GetPatchServers();
    map = m_conn.GetMapFile();
  });
  EXPECT_TRUE(patchServers);
  EXPECT_TRUE(map);
  EXPECT_TRUE(m_server.GetRequests().empty());
}

}  // namespace
}  // namespace qx::test
