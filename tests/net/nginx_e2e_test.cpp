// The patch-server access against nginx on loopback, serving a folder laid
// out like a real patch server.
#include <gmock/gmock.h>

#include "patcher/layout/install_paths.h"
#include "tests/net/net_e2e_support.h"
#include "tests/support/nginx_server.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class NginxTest : public NetE2eTest {
 protected:
  void SetUp() override {
    QX_REQUIRE_NGINX();
    NetE2eTest::SetUp();
    std::string error;
    ASSERT_TRUE(m_nginx.Start(&error)) << error;
    const std::string self = "127.0.0.1:" + std::to_string(m_nginx.GetPort());
    WriteBytes(m_install / "cd_image/data/launcher/DimensionServer.url", "http://" + self + "/dim/servers.txt\r\n");
    m_site.Write("dim/patchservers.txt", "main;0;" + self + "/patches\r\nmirror;1;" + self + "/mirror\r\n");
  }
  std::string Local(const PatchSetContent_t& a_set, const std::string& a_sExtension) const {
    return m_install / ("Patches/" + a_set.stem + "." + a_sExtension);
  }

  NginxServer_c m_nginx{m_site.Root()};
};

TEST_F(NginxTest, ARouteOfSeveralPatchesIsFoundDownloadedAndVerified) {
  m_site.Write("patches/map", "1.0 1.1\n1.1 1.2\n0.9 1.0\n1.2 1.3\n");
  const PatchSetContent_t sets[] = {m_site.AddPatch("patches", "1.0", "1.1", 1000),
                                    m_site.AddPatch("patches", "1.1", "1.2", 300000),
                                    m_site.AddPatch("patches", "1.2", "1.3", 20000)};
  TestConnection_c conn;
  conn.SetTargetVersion("1.3");
  bool servers = false, patches = false;
  InWindow([&](CQuorvexPatcherDlg&) {
    servers = conn.GetPatchServers();
    patches = servers && conn.GetPatches();
  });
  EXPECT_TRUE(servers);
  EXPECT_TRUE(patches);
  EXPECT_THAT(conn.GetRoute(), ElementsAre("v1.0-v1.1", "v1.1-v1.2", "v1.2-v1.3"));
  ASSERT_EQ(1u, conn.GetGoodServers().size());  // the mirror has no map
  EXPECT_EQ("main", conn.GetGoodServers()[0].name);
  for (const PatchSetContent_t& set : sets) {
    for (const char* extension : kPatchExtensions) EXPECT_EQ(set.Of(extension), ReadBytes(Local(set, extension)));
  }
  EXPECT_TRUE(Boxes().empty());
  const std::string access = m_nginx.ReadAccessLog();
  EXPECT_THAT(access, HasSubstr("\"GET /dim/patchservers.txt HTTP/1.1\" 200"));
  EXPECT_THAT(access, HasSubstr("\"HEAD /patches/v1.1-v1.2/V1-1-V1-2.RTP HTTP/1.1\" 200"));
  EXPECT_THAT(access, HasSubstr("\"GET /patches/v1.2-v1.3/V1-2-V1-3.SIG HTTP/1.1\" 200"));
}

TEST_F(NginxTest, AnInterruptedDownloadIsResumedAndTheSetVerified) {
  m_site.Write("patches/map", "1.0 1.1\n");
  const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1", 1 << 20);
  WriteSiteFile(Local(set, "RTP"), set.rtp.substr(0, 400000));  // what an interrupted run left
  TestConnection_c conn;
  conn.SetTargetVersion("1.1");
  bool result = false;
  InWindow([&](CQuorvexPatcherDlg&) { result = conn.GetPatchServers() && conn.GetPatches(); });
  EXPECT_TRUE(result);
  EXPECT_EQ(set.rtp, ReadBytes(Local(set, "RTP")));
  const std::string access = m_nginx.ReadAccessLog();
  EXPECT_THAT(access, HasSubstr("\"GET /patches/v1.0-v1.1/V1-0-V1-1.RTP HTTP/1.1\" 206"));
  EXPECT_THAT(access, Not(HasSubstr("\"GET /patches/v1.0-v1.1/V1-0-V1-1.RTP HTTP/1.1\" 200")));
}

TEST_F(NginxTest, MaintenanceFetchesAndDecompressesAndReportsAMissingFile) {
  m_site.Write("patches/map", "1.0 1.1\n");
  m_site.Write("patches/Maintenance/1.0/Quorvex.exe.gz", GzipOf(std::string(200000, 'L') + "launcher"));
  std::filesystem::create_directories(GetUserDataPath());
  WriteBytes(GetUserDataPath() + "Maintenance.dat", "Quorvex.exe patchw32.dll");
  Answers({"Cancel"});
  TestConnection_c conn;
  conn.SetTargetVersion("");
  bool result = true;
  InWindow([&](CQuorvexPatcherDlg&) { result = conn.Maintain("1.0"); });
  EXPECT_FALSE(result);
  EXPECT_EQ(std::string(200000, 'L') + "launcher", ReadBytes(m_install / "Quorvex.exe"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "Quorvex.exe.gz"));
  EXPECT_EQ(std::vector<std::string>{"InetConnection_c::Maintain():\nError getting file "
                                     "'/patches/Maintenance/1.0/patchw32.dll.gz'\nbecause the requested file does not "
                                     "exist!\n\nClick Retry to try again, or Cancel to abort."},
            BoxTexts());
  EXPECT_THAT(m_nginx.ReadAccessLog(), HasSubstr("\"GET /patches/Maintenance/1.0/Quorvex.exe.gz HTTP/1.1\" 200"));
}

}  // namespace
}  // namespace qx::test
