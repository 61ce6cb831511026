// "qxauthor serverfolder", read back with the patcher's own readers of the
// version map, the server list and the dimension server file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "patcher/net/patch_set_format.h"
#include "patcher/net/server_directory.h"
#include "patcher/net/version_map.h"
#include "tests/patchset/patchset_test_support.h"
#include "tests/support/test_installation.h"

namespace qx::test {
namespace {

using rtpatch::testing::Snapshot;

// Four stand-in files of a set, with extensions in the case given.
void WriteSet(const std::string& a_sFolder, const std::string& a_sStem, const char* a_pzExtensions[4]) {
  for (int i = 0; i < 4; ++i) WriteFile(a_sFolder + "/" + a_sStem + "." + a_pzExtensions[i], PatchStem(a_sStem) + " " + kPatchExtensions[i]);
}

std::string Gunzip(const std::string& a_sPath) {
  gzFile gz = gzopen(a_sPath.c_str(), "rb");
  if (!gz) return "<cannot open>";
  std::string out;
  char buffer[4096];
  int n;
  while ((n = gzread(gz, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  gzclose(gz);
  return out;
}

class ServerFolderTest : public ::testing::Test {
 protected:
  std::string Site() const { return m_dir / "site"; }
  TestInstallation m_install;  // the log of the map reader lands here
  TempDir m_dir;
};

TEST_F(ServerFolderTest, SetsPresentArePublishedInChainOrder) {
  const char* upper[4] = {"RTP", "RES", "CHK", "SIG"};
  const char* lower[4] = {"rtp", "res", "chk", "sig"};
  // By name, v10.0-v11.0 sorts before v9.0-v10.0; the map must still list v9.0-v10.0 first.
  WriteSet(m_dir / "sets", "V10-0-V11-0", upper);
  WriteSet(m_dir / "sets", "v9-0-v10-0", lower);
  WriteSet(m_dir / "more", "V11-0-V11-1_B", upper);
  ASSERT_EQ(Author({"serverfolder", "--quiet", "--sets", m_dir / "sets", "--sets", m_dir / "more", Site()}).status, 0);

  const std::string map = ReadFile(Site() + "/map");
  EXPECT_EQ(map, "9.0 10.0\n10.0 11.0\n11.0 11.1_B\n");
  const RouteResult_t route = ComputeRoute("9.0", "11.1_b", ParseVersionMap(map, "site"));
  EXPECT_TRUE(route.reachesTarget);
  ASSERT_EQ(route.route.size(), 3u);
  // Every file of the route lies where the patcher asks for it.
  for (const std::string& name : route.route) {
    for (const char* extension : kPatchExtensions) {
      const std::string file = Site() + RemotePatchFile("", name, extension);
      ASSERT_TRUE(std::filesystem::exists(file)) << file;
      EXPECT_EQ(ReadFile(file), PatchStem(name) + " " + extension);
    }
  }
}

TEST_F(ServerFolderTest, NamedPatchesMaintenanceAndServerLists) {
  const char* upper[4] = {"RTP", "RES", "CHK", "SIG"};
  WriteSet(m_dir / "sets", "V1-2-V1-3", upper);
  WriteFile(m_dir / "files/Quorvex.exe", "launcher bytes");
  WriteFile(m_dir / "files/data.bin", std::string(100000, 'd'));
  ASSERT_EQ(Author({"serverfolder", "--quiet", "--sets", m_dir / "sets", "--patch", "v1.2-v1.3",
                    "--maintenance-version", "1.3", "--maintain", m_dir / "files/Quorvex.exe", "--maintain",
                    "0a1b=" + (m_dir / "files/data.bin"), "--server", "127.0.0.1:8080/patches", "--server",
                    "backup;3;example.net:80", "--installation", m_install.Root(), "--dimension",
                    "http://127.0.0.1:8080/", Site()})
                .status,
            0);
  EXPECT_EQ(ReadFile(Site() + "/map"), "1.2 1.3\n");
  EXPECT_TRUE(std::filesystem::exists(Site() + "/v1.2-v1.3/V1-2-V1-3.SIG"));
  EXPECT_EQ(Gunzip(Site() + "/Maintenance/1.3/Quorvex.exe.gz"), "launcher bytes");
  EXPECT_EQ(Gunzip(Site() + "/Maintenance/1.3/0a1b.gz"), std::string(100000, 'd'));

  std::array<std::vector<ServerInfo_t>, InetConnection_c::kServerGroups> groups;
  EXPECT_EQ(ParsePatchServerList(ReadFile(Site() + "/patchservers.txt"), groups), ServerListEnd_t::kEnd);
  ASSERT_EQ(groups[0].size(), 1u);
  EXPECT_EQ(groups[0][0].host, "127.0.0.1");
  EXPECT_EQ(groups[0][0].port, 8080);
  EXPECT_EQ(groups[0][0].path, "/patches");
  ASSERT_EQ(groups[3].size(), 1u);
  EXPECT_EQ(groups[3][0].name, "backup");

  const auto dimension = ReadDimensionServers(m_install / "cd_image/data/launcher/DimensionServer.url");
  ASSERT_EQ(dimension.size(), 1u);
  EXPECT_EQ(dimension[0].port, 8080);
  EXPECT_EQ(dimension[0].path, "/patchservers.txt");

  // Again with a further patch, map only: the map grows, nothing is repeated.
  ASSERT_EQ(Author({"serverfolder", "--quiet", "--patch", "v1.2-v1.3", "--patch", "v1.3-v1.4", Site()}).status, 0);
  EXPECT_EQ(ReadFile(Site() + "/map"), "1.2 1.3\n1.3 1.4\n");
  EXPECT_FALSE(std::filesystem::exists(Site() + "/v1.3-v1.4"));
}

TEST_F(ServerFolderTest, RefusedInput) {
  const char* upper[4] = {"RTP", "RES", "CHK", "SIG"};
  WriteSet(m_dir / "sets", "V1-V2", upper);
  std::filesystem::remove(m_dir / "sets/V1-V2.SIG");
  const struct {
    const char* name;
    author::Args args;
    int status;
    bool withSite = true;
  } cases[] = {
      {"name without -v", {"--patch", "15.1-15.2"}, 1},
      {"name with two -v", {"--patch", "v1-v2-v3"}, 1},
      {"name without a to-version", {"--patch", "v1-v"}, 1},
      {"set not in the folders", {"--sets", m_dir / "sets", "--patch", "v7-v8"}, 1},
      {"set without its signature", {"--sets", m_dir / "sets"}, 1},
      {"maintenance name with a folder", {"--maintenance-version", "1", "--maintain", "a/b=" + (m_dir / "sets/V1-V2.RTP")}, 1},
      {"maintenance file missing", {"--maintenance-version", "1", "--maintain", m_dir / "nothing"}, 1},
      {"server line without a port", {"--server", "a;0;hostonly"}, 1},
      {"maintenance without its version", {"--maintain", m_dir / "sets/V1-V2.RTP"}, 2},
      {"dimension without an installation", {"--dimension", "http://x:1/"}, 2},
      {"no site", {"--quiet"}, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    author::Args args = {"serverfolder"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.withSite) args.push_back(m_dir / ("site-" + std::string(c.name)));
    EXPECT_EQ(Author(args).status, c.status);
  }
}

}  // namespace
}  // namespace qx::test
