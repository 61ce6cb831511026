// The texts the patch-server access reads: the dimension server file,
// "patchservers.txt", the version map and route, patch names, the news page
// and the order of local patch sets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "patcher/integrity/integrity_test_support.h"
#include "patcher/net/local_patches.h"
#include "patcher/net/patch_download.h"
#include "patcher/net/patch_notes.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/net/server_directory.h"
#include "patcher/net/version_map.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_installation.h"

namespace {

using Groups_t = std::array<std::vector<ServerInfo_t>, InetConnection_c::kServerGroups>;

TEST(DimensionServerFile, EachLineGivesHostPortAndListPath) {
  struct Case_t {
    const char* line;
    bool server;
    const char* host;
    std::int32_t port;
    const char* path;
  } cases[] = {
      {"", false, "", 0, ""},
      {"# dim.example.com:80/", false, "", 0, ""},
      {"no port here", false, "", 0, ""},
      {"dim.example.com:7000/patch/", true, "dim.example.com", 7000, "/patch/patchservers.txt"},
      {"http://dim.example.com:7000/patch/", true, "dim.example.com", 7000, "/patch/patchservers.txt"},
      {"HtTp://dim.example.com:7000/patch/", true, "dim.example.com", 7000, "/patch/patchservers.txt"},
      {"dim:80", true, "dim", 80, "/patchservers.txt"},
      {"dim:80/patch", true, "dim", 80, "/patch/patchservers.txt"},
      {"dim:80/patch/list.TXT", true, "dim", 80, "/patch/patchservers.txt"},
      {"dim:80\\patch\\list.txt", true, "dim", 80, "\\patch/patchservers.txt"},
      {"dim:80\\patch\\", true, "dim", 80, "\\patch\\patchservers.txt"},
      {"dim:80/patch;backup", true, "dim", 80, "/patch/patchservers.txt"},
      {"dim:80/a;b/list.txt", true, "dim", 80, "/a/patchservers.txt"},
      {"dim:/p/", true, "dim", 0, "/p/patchservers.txt"},
      {"dim:99999999999/", true, "dim", INT_MAX, "/patchservers.txt"},
      {"10.1.2.3:8080/x/", true, "10.1.2.3", 8080, "/x/patchservers.txt"},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.line);
    const auto server = ParseDimensionServerLine(c.line);
    ASSERT_EQ(c.server, server.has_value());
    if (!server) continue;
    EXPECT_EQ(c.host, server->host);
    EXPECT_EQ(c.port, server->port);
    EXPECT_EQ(c.path, server->path);
  }
}

TEST(DimensionServerFile, ReadsTextLinesInOrder) {
  qx::test::TempDir dir;
  qx::test::WriteBytes(dir / "DimensionServer.url",
                       "# servers of the dimension\r\nhttp://one:80/a/\r\n\r\ntwo:81\r\nbroken line\r\nthree:82/c/x.txt");
  const auto servers = ReadDimensionServers(dir / "dimensionserver.URL");
  ASSERT_EQ(3u, servers.size());
  EXPECT_EQ("one", servers[0].host);
  EXPECT_EQ("/a/patchservers.txt", servers[0].path);
  EXPECT_EQ(81, servers[1].port);
  EXPECT_EQ("/c/patchservers.txt", servers[2].path);
  EXPECT_TRUE(ReadDimensionServers(dir / "missing.url").empty());
}

// Each server as "group name host port path", group by group.
std::vector<std::string> Listing(const Groups_t& groups) {
  std::vector<std::string> out;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (const ServerInfo_t& s : groups[g])
      out.push_back(std::to_string(g) + " " + s.name + " " + s.host + " " + std::to_string(s.port) + " " + s.path);
  }
  return out;
}

TEST(PatchServerList, FieldsGroupsAndWhereParsingStops) {
  qx::test::TestInstallation install;  // skipped lines are logged
  struct Case_t {
    const char* name;
    const char* text;
    std::vector<std::string> servers;
    ServerListEnd_t end;
  } cases[] = {
      {"CR LF lines, sorted into groups", "a;5;h1:80/p\r\nb;3;h2:8080\r\n",
       {"3 b h2 8080 ", "5 a h1 80 /p"}, ServerListEnd_t::kEnd},
      {"LF and CR line ends", "a;0;h1:1/p\nb;0;h2:2/q\rc;0;h3:3\n",
       {"0 a h1 1 /p", "0 b h2 2 /q", "0 c h3 3 "}, ServerListEnd_t::kEnd},
      {"a last line without a line end is not read", "a;0;h1:80/p\nb;1;h2:80/q", {"0 a h1 80 /p"},
       ServerListEnd_t::kEnd},
      {"... also when its third field ends in ';'", "a;0;h1:80/p\nb;1;h2:80/q;", {"0 a h1 80 /p"},
       ServerListEnd_t::kEnd},
      {"text after a third ';' is ignored", "a;0;h1:80/p;spare;x\nb;1;h2:81\n", {"0 a h1 80 /p", "1 b h2 81 "},
       ServerListEnd_t::kEnd},
      {"the host ends at the last ':'", "a;0;h:x:81/p\n", {"0 a h:x 81 /p"}, ServerListEnd_t::kEnd},
      {"group outside 0 to 9 skips the line", "a;10;h:1/p\nb;2;h:2/q\nc;-1;h:3/r\n", {"2 b h 2 /q"},
       ServerListEnd_t::kEnd},
      {"group that is no number skips the line", "a;x;h:1/p\nb; 4 ;h:2/q\n", {"4 b h 2 /q"}, ServerListEnd_t::kEnd},
      {"third field without ':' ends the list", "a;0;h:1/p\nb;1;nohost\nc;2;h:3/r\n", {"0 a h 1 /p"},
       ServerListEnd_t::kFieldWithoutColon},
      {"a name without ';' ends quietly", "a;0;h:1/p\ngarbage\n", {"0 a h 1 /p"}, ServerListEnd_t::kEnd},
      {"a name runs to the first ';', over a line end", "a;0;h:1/p\ngarbage\nc;2;h:3/r\n",
       {"0 a h 1 /p", "2 garbage\nc h 3 /r"}, ServerListEnd_t::kEnd},
      {"a group runs to the next ';', over a line end", "a;0\nb;1;h:1/p\n", {},
       ServerListEnd_t::kFieldWithoutColon},
      {"empty text", "", {}, ServerListEnd_t::kEnd},
      {"an empty line ends the list (fewer than two characters left)", "a;0;h:1/p\r\n\n", {"0 a h 1 /p"},
       ServerListEnd_t::kEnd},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    Groups_t groups;
    EXPECT_EQ(c.end, ParsePatchServerList(c.text, groups));
    EXPECT_EQ(c.servers, Listing(groups));
  }
  install.ClearLog();
  Groups_t groups;
  ParsePatchServerList("a;12;h:1/p\n", groups);
  EXPECT_EQ("InetConnection_c::CheckPatchServers(): Server 'a' has group '12', not 0 to 9; line skipped.\n",
            install.LogText());
}

TEST(PatchSetNames, NameStemAndFilesOfAPatch) {
  EXPECT_EQ("v15.1-v15.2", PatchName("15.1", "15.2"));
  EXPECT_EQ("V15-1-V15-2", PatchStem("v15.1-v15.2"));
  EXPECT_EQ("V15-1-V15-2", PatchStem("V15-1-V15-2"));  // a stem is its own stem
  EXPECT_EQ("/patches/v15.1-v15.2/V15-1-V15-2.CHK", RemotePatchFile("/patches", "v15.1-v15.2", "CHK"));
  EXPECT_EQ("/v1.0b-v1.1/V1-0B-V1-1.RTP", RemotePatchFile("", "v1.0b-v1.1", "RTP"));
  EXPECT_EQ("Patches\\V15-1-V15-2.SIG", LocalPatchFile("v15.1-v15.2", "SIG"));
}

TEST(VersionMap, OnlyLinesWithTwoShortTokensEndedByLineFeedAreRead) {
  qx::test::TestInstallation install;  // skipped lines are logged
  const std::string longest(kMaxVersionToken, '9');
  const std::string tooLong(kMaxVersionToken + 1, '9');
  struct Case_t {
    const char* name;
    std::string text;
    std::vector<std::string> lines;  // "from>to"
  } cases[] = {
      {"LF and CR LF", "1.2 1.3\n1.3\t 1.4\r\n", {"1.2>1.3", "1.3>1.4"}},
      {"last line without LF", "1.2 1.3\n1.3 1.4", {"1.2>1.3"}},
      {"lines without two tokens", "\n   \n1.2\n 1.2 1.3 extra\n", {"1.2>1.3"}},
      {"31-character token", longest + " 2\n", {longest + ">2"}},
      {"32-character token skips its line", tooLong + " 2\n1 " + tooLong + "\n1 2\n", {"1>2"}},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    for (const MapLine_t& line : ParseVersionMap(c.text, "host:80")) lines.push_back(line.from + ">" + line.to);
    EXPECT_EQ(c.lines, lines);
  }
  install.ClearLog();
  ParseVersionMap("1 " + tooLong + "\n", "host:80");
  EXPECT_EQ("InetConnection_c::GetMapFile(host:80): Version longer than 31 characters in map line '1 " + tooLong +
                "'; line skipped.\n",
            install.LogText());
}

TEST(VersionMap, RouteOfOneForwardPass) {
  struct Case_t {
    const char* name;
    const char* local;
    const char* target;
    std::vector<MapLine_t> map;
    bool reaches;
    bool rebuilt;
    std::vector<std::string> route;
  } cases[] = {
      {"chain in order", "1.2", "1.4", {{"1.2", "1.3"}, {"1.3", "1.4"}}, true, true, {"v1.2-v1.3", "v1.3-v1.4"}},
      {"chain in reverse order", "1.2", "1.4", {{"1.3", "1.4"}, {"1.2", "1.3"}}, false, true, {"v1.2-v1.3"}},
      {"first of two lines from the same version", "1.2", "1.4", {{"1.2", "1.4"}, {"1.2", "1.3"}}, true, true,
       {"v1.2-v1.4"}},
      {"stops at the target", "1", "2", {{"1", "2"}, {"2", "3"}}, true, true, {"v1-v2"}},
      {"versions compare without case, names keep the map's", "A1", "a3", {{"a1", "A2"}, {"a2", "A3"}}, true, true,
       {"va1-vA2", "va2-vA3"}},
      {"equal but for case: route untouched", "1.2B", "1.2b", {{"1.2B", "1.3"}}, true, false, {}},
      {"same base, no line", "1.2_a", "1.2_b", {}, true, true, {}},
      {"missing link", "1.0", "1.3", {{"1.0", "1.1"}, {"1.2", "1.3"}}, false, true, {"v1.0-v1.1"}},
      {"no line at all", "1.0", "1.3", {}, false, true, {}},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    const RouteResult_t result = ComputeRoute(c.local, c.target, c.map);
    EXPECT_EQ(c.reaches, result.reachesTarget);
    EXPECT_EQ(c.rebuilt, result.routeRebuilt);
    EXPECT_EQ(c.route, result.route);
  }
  EXPECT_EQ("1.2", VersionBase("1.2_a_b"));
  EXPECT_EQ("1.2", VersionBase("1.2"));
}

TEST(PatchNotes, HtmlToText) {
  struct Case_t {
    const char* html;
    const char* text;
  } cases[] = {
      {"a    b", "a  b"},  // one pass: four blanks become two
      {"<br><br><br><br><br><br>", "\r\n\r\n\r\n\r\n"},
      {"x<BR>y", "xy"},  // capitals are a tag like any other
      {"a&nbsp;b", "ab"},
      {"line1\r\nline2\n", "line1line2"},
      {"<p>x</p>", "\r\n\r\nx\r\n"},
      {"a<hr>b", "a\r\n---\r\nb"},
      {"<ul><li>one</li><li>two</li></ul>", "one\r\ntwo\r\n"},
      {"<a href=\"x\">link</a> &amp; more", "link &amp; more"},
      {"x > y", "x > y"},
      {"<b>1</b> < 2 <i>3</i>", "1 3"},  // a tag runs from "<" to the first ">"
      {"<b>1</b> < 2", "1 < 2"},        // a "<" without ">" keeps the rest
      {"<!--QXMSG.begin -->\r\nThe site 'x' is down.\r\n<!--QXMSG.end -->", "The site 'x' is down."},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.html);
    std::string text = c.html;
    HtmlToText(text);
    EXPECT_EQ(c.text, text);
  }
}

TEST(PatchNotes, NewsAddressAndMarkers) {
  struct Case_t {
    const char* address;
    const char* host;
    std::int32_t port;
    const char* path;
  } cases[] = {
      {"http://news.example.com/news/page.html", "news.example.com", 80, "/news/page.html"},
      {"http://news.example.com:8080/page", "news.example.com", 8080, "/page"},
      {"https://h/", "h", 80, "/"},
      {"about:blank", "", 80, "about:blank"},
      {"http://host-without-path", "", 80, "http://host-without-path"},
      {"http://host:port/x", "host:port", 80, "/x"},
      {"http://host:99999/x", "host:99999", 80, "/x"},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.address);
    const NewsAddress_t address = SplitNewsAddress(c.address);
    EXPECT_EQ(c.host, address.host);
    EXPECT_EQ(c.port, address.port);
    EXPECT_EQ(c.path, address.path);
  }

  const std::string begin = kNotesBeginMarker, end = kNotesEndMarker;
  EXPECT_EQ("notes", CutNotesBetweenMarkers("head" + begin + "\nnotes" + end + "tail"));
  EXPECT_EQ("head" + begin + "\nnotes", CutNotesBetweenMarkers("head" + begin + "\nnotes"));
  EXPECT_EQ("notes", CutNotesBetweenMarkers(end + begin + "\nnotes" + end));
  EXPECT_EQ("notes", CutNotesBetweenMarkers(end + begin + "\nnotes"));
  EXPECT_EQ("", CutNotesBetweenMarkers(end + begin));
}

TEST(PatchDownload, DriveSpaceQuestionAndCauses) {
  struct DriveCase_t {
    const char* folder;
    const char* drive;
  } drives[] = {
      {"C:\\Games\\Quorvex Online\\", "C:\\"},
      {"d:/games/qx", "d:/"},
      {"/home/player/Quorvex Online", "/home/player/Quorvex Online/"},
      {"/home/player/Quorvex Online/", "/home/player/Quorvex Online/"},
  };
  for (const DriveCase_t& c : drives) EXPECT_EQ(c.drive, DownloadDrive(c.folder)) << c.folder;

  // Needed and missing space in whole KB; the difference uses the full free space.
  EXPECT_EQ("You need at least 3000 Kb free space on drive 'C:\\' to download the patches.\nThis means that you need to "
            "(manually) free up 1000 Kb on drive 'C:\\' to continue.\nClick OK to try again or Cancel to quit.",
            DiskSpaceQuestion(3000 * 1024 + 1023, 2000 * 1024 + 1023, "C:\\"));
  EXPECT_THAT(DiskSpaceQuestion(6ull << 30, 5ull << 30, "/"), ::testing::HasSubstr("free up 1048576 Kb"));

  // The texts as the user sees them, spelling included.
  struct CauseCase_t {
    int error;
    const char* cause;
  } causes[] = {
      {10050, " because the network is down."},
      {10051, " because the network is ureachable (no route to host)."},
      {10060, " because of a timeout."},
      {10064, " because the sever is down."},
      {10065, " because the server is unreachable."},
      {0, " Unknown error 0 (File does not exist on server?)"},
      {10061, " Unknown error 10061 (File does not exist on server?)"},
  };
  for (const CauseCase_t& c : causes) EXPECT_EQ(c.cause, PatchDownloadCause(c.error)) << c.error;
}

TEST(LocalPatches, StemsNameTheirVersions) {
  struct Case_t {
    const char* stem;
    const char* from;
    const char* to;
  } cases[] = {
      {"V15-1-V15-2", "15.1", "15.2"},
      {"v1-0-v1-1", "1.0", "1.1"},
      {"V1-V2", "1", "2"},
      {"V1-0", "1.0", ""},
      {"", "", ""},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.stem);
    std::string from, to;
    SplitLocalPatchStem(c.stem, from, to);
    EXPECT_EQ(c.from, from);
    EXPECT_EQ(c.to, to);
  }
}

TEST(LocalPatches, OrderOfApplication) {
  struct Case_t {
    const char* name;
    const char* installed;
    std::vector<std::string> found;
    LocalChain_t chain;
    std::vector<std::string> route;
  } cases[] = {
      {"found in reverse order", "1.0", {"V1-1-V1-2", "V1-0-V1-1"}, LocalChain_t::kComplete, {"V1-0-V1-1", "V1-1-V1-2"}},
      {"three shuffled", "1.0", {"V1-2-V1-3", "V1-0-V1-1", "V1-1-V1-2"}, LocalChain_t::kComplete,
       {"V1-0-V1-1", "V1-1-V1-2", "V1-2-V1-3"}},
      {"nothing starts at the installed version", "1.0", {"V1-1-V1-2"}, LocalChain_t::kBroken, {}},
      {"a gap keeps the chain before it", "1.0", {"V1-2-V1-3", "V1-0-V1-1"}, LocalChain_t::kBroken, {"V1-0-V1-1"}},
      {"letter case does not matter", "1.0A", {"v1-0a-v1-1"}, LocalChain_t::kComplete, {"v1-0a-v1-1"}},
      {"none found", "1.0", {}, LocalChain_t::kComplete, {}},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> route = c.found;
    EXPECT_EQ(c.chain, OrderLocalPatches(route, c.installed));
    EXPECT_EQ(c.route, route);
  }
}

}  // namespace
