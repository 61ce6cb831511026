// The patch download against a real HTTP server: sizes, downloads, retries,
// the change of server, the Retry/Cancel question, a user's cancel, and the
// checks that catch a damaged or forged patch set.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "patcher/net/my_thread.h"
#include "platform/fs/file_ops.h"
#include "patcher/resources/resource.h"
#include "patcher/resources/resources.h"
#include "tests/net/net_e2e_support.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kRetryTail = "\n\nClick Retry to try again, or Cancel to abort.";

class PatchDownloadTest : public NetE2eTest {
 protected:
  std::string Local(const std::string& a_sStem, const std::string& a_sExtension) const {
    return m_install / ("Patches/" + a_sStem + "." + a_sExtension);
  }
  bool GetPatches() {
    bool result = false;
    InWindow([&](CQuorvexPatcherDlg&) { result = m_conn.GetPatches(); });
    return result;
  }
  void ExpectSetInPlace(const PatchSetContent_t& a_set) const {
    for (const char* extension : kPatchExtensions)
      EXPECT_EQ(a_set.Of(extension), ReadBytes(Local(a_set.stem, extension))) << a_set.stem << "." << extension;
  }

  TestConnection_c m_conn;
};

TEST_F(PatchDownloadTest, ARouteOfSeveralPatchesIsDownloadedAndVerified) {
  const PatchSetContent_t first = m_site.AddPatch("patches", "1.0", "1.1");
  const PatchSetContent_t second = m_site.AddPatch("patches", "1.1", "1.2", 70000);
  m_conn.m_route = {first.name, second.name};
  m_conn.m_goodServers = {Server("/patches")};
  EXPECT_TRUE(GetPatches());
  ExpectSetInPlace(first);
  ExpectSetInPlace(second);
  EXPECT_TRUE(std::filesystem::is_directory(m_install / "PatchesUndo"));
  EXPECT_TRUE(Boxes().empty());

  // The size pass asks for every file first, then each file is fetched.
  const auto requests = RequestTargets();
  ASSERT_EQ(8u + 8u * 2u, requests.size());
  EXPECT_EQ("HEAD /patches/v1.0-v1.1/V1-0-V1-1.RTP", requests[0]);
  EXPECT_EQ("HEAD /patches/v1.1-v1.2/V1-1-V1-2.SIG", requests[7]);
  EXPECT_THAT(requests, ::testing::Contains("GET /patches/v1.1-v1.2/V1-1-V1-2.RES"));
  EXPECT_THAT(StatusLines(), ::testing::IsSupersetOf({"Verifying file signature for patch \"V1-0-V1-1\", please wait...",
                                                       "Checksumming file \"Patches\\V1-0-V1-1.RTP\", please wait...",
                                                       "Checksumming file \"Patches\\V1-1-V1-2.RES\", please wait..."}));
}

TEST_F(PatchDownloadTest, FilesAlreadyCompleteCostOnlyTheirSizeRequests) {
  const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1");
  for (const char* extension : kPatchExtensions) WriteSiteFile(Local(set.stem, extension), set.Of(extension));
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/patches")};
  EXPECT_TRUE(GetPatches());
  EXPECT_THAT(RequestTargets("GET"), ElementsAre());
  EXPECT_EQ(4, m_install.CountInLog("SocketEx_c::GetFile(): Filesize is correct"));
}

TEST_F(PatchDownloadTest, AFailedFileIsTriedOnceMoreOnTheSameServer) {
  const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1");
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/patches/v1.0-v1.1/V1-0-V1-1.RES", 1));
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/patches")};
  EXPECT_TRUE(GetPatches());
  ExpectSetInPlace(set);
  EXPECT_EQ(1, m_install.CountInLog("InetConnection_c::GetFile() failed -> Retrying..."));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(PatchDownloadTest, AFileFailingTwiceIsFetchedFromTheNextServerWhichServesTheRestToo) {
  const PatchSetContent_t set = m_site.AddPatch("a", "1.0", "1.1");
  m_site.AddPatch("b", "1.0", "1.1");
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/a/v1.0-v1.1/V1-0-V1-1.RES"));
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/a"), Server("/b")};
  EXPECT_TRUE(GetPatches());
  ExpectSetInPlace(set);
  EXPECT_THAT(RequestTargets("GET"),
              ElementsAre("GET /a/v1.0-v1.1/V1-0-V1-1.RTP", "GET /a/v1.0-v1.1/V1-0-V1-1.RES",
                          "GET /a/v1.0-v1.1/V1-0-V1-1.RES", "GET /b/v1.0-v1.1/V1-0-V1-1.RES",
                          "GET /b/v1.0-v1.1/V1-0-V1-1.CHK", "GET /b/v1.0-v1.1/V1-0-V1-1.SIG"));
  EXPECT_EQ(1, m_install.CountInLog(
                   "InetConnection_c::GetFile() Couldn't get file several times in row. Trying new server127.0.0.1"));
}

TEST_F(PatchDownloadTest, WhenEveryServerFailsTheUserIsAskedAndRetryStartsAtTheFirst) {
  const PatchSetContent_t set = m_site.AddPatch("a", "1.0", "1.1");
  m_site.AddPatch("b", "1.0", "1.1");
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/a/v1.0-v1.1/V1-0-V1-1.CHK", 2));
  m_server.AddFault(httpd::FaultRule_t::For(httpd::Fault::kNotFound, "GET", "/b/v1.0-v1.1/V1-0-V1-1.CHK", 2));
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/a"), Server("/b")};
  Answers({"Retry"});
  EXPECT_TRUE(GetPatches());
  ExpectSetInPlace(set);
  ASSERT_EQ(1u, Boxes().size());
  EXPECT_EQ(std::string("InetConnection_c::GetPatches():\nError getting file '/b/v1.0-v1.1/V1-0-V1-1.CHK' Unknown "
                        "error 0 (File does not exist on server?)") + kRetryTail,
            Boxes()[0].text);
  EXPECT_EQ("Retry/Cancel", Boxes()[0].buttons);
  // After Retry the first server is asked again, and serves the last file too.
  const auto gets = RequestTargets("GET");
  EXPECT_EQ("GET /a/v1.0-v1.1/V1-0-V1-1.CHK", gets[gets.size() - 2]);
  EXPECT_EQ("GET /a/v1.0-v1.1/V1-0-V1-1.SIG", gets.back());
}

TEST_F(PatchDownloadTest, CancelAtTheQuestionEndsTheDownloadWithTheCauseInTheLog) {
  // A server that refuses connections: the size pass learns nothing (which
  // fails nothing), and the download fails with the refusal's socket error.
  m_conn.m_route = {"v1.0-v1.1"};
  m_conn.m_goodServers = {Server("/a", 1)};
  Answers({"Cancel"});
  EXPECT_FALSE(GetPatches());
  const std::string text =
      "InetConnection_c::GetPatches():\nError getting file '/a/v1.0-v1.1/V1-0-V1-1.RTP' Unknown error 10061 (File "
      "does not exist on server?)";
  EXPECT_EQ(std::vector<std::string>{text + kRetryTail}, BoxTexts());
  const std::string log = m_install.LogText();
  EXPECT_THAT(log, HasSubstr("InetConnection_c::GetPatches(): Error getting filesize for '/a/v1.0-v1.1/V1-0-V1-1.RTP'\n"));
  EXPECT_THAT(log, HasSubstr(text + "\n"));
  EXPECT_TRUE(GetTransferProgress().abortRequested.load());
}

TEST_F(PatchDownloadTest, CancelInTheWindowDuringADownloadEndsAtOnceWithoutAQuestion) {
  const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1", 400000);
  httpd::FaultRule_t trickle = httpd::FaultRule_t::For(httpd::Fault::kTrickle, "GET", "/patches/v1.0-v1.1/V1-0-V1-1.RTP");
  trickle.chunk = 8192;
  trickle.delayMs = 20;
  m_server.AddFault(trickle);
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/patches")};
  Answers({"Yes"});  // "Are you sure you want to cancel ?"
  bool result = true;
  std::atomic<bool> done{false};
  InWindow([&](CQuorvexPatcherDlg& a_rDialog) {
    a_rDialog.m_bBusy = true;  // the download phase of a run: the window stays
    std::thread user([&] {
      while (GetTransferProgress().bytesDone < 50000 && !done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      a_rDialog.PostMessage(WM_CLOSE);
    });
    result = m_conn.GetPatches();
    done = true;
    user.join();
    a_rDialog.m_bBusy = false;
  });
  EXPECT_FALSE(result);
  EXPECT_EQ(std::vector<std::string>{"Are you sure you want to cancel ?"}, BoxTexts());
  EXPECT_TRUE(IsQuitRequested());
  EXPECT_THAT(m_install.LogText(),
              HasSubstr("InetConnection_c::GetPatches():\nError getting file '/patches/v1.0-v1.1/V1-0-V1-1.RTP' "
                        "because the user aborted the download process.\n"));
  const auto kept = std::filesystem::file_size(Local(set.stem, "RTP"));
  EXPECT_GE(kept, 50000u);
  EXPECT_LT(kept, 400000u);
  EXPECT_EQ(1u, RequestTargets("GET").size());
}

// A byte changed in any file of a set on the server is caught: a list or
// signature that does not verify deletes the list; a file whose digest
// differs is deleted itself. Nothing else is removed.
TEST_F(PatchDownloadTest, ADamagedFileOfASetIsCaughtAndDeleted) {
  const std::string forged =
      "The file 'Patches\\V1-0-V1-1.CHK' is not a valid patch,\nor it has been tampered with. It will not be "
      "applied.\nPlease contact support@quorvex-online.com for instructions on what to do.";
  auto mismatch = [](const char* a_pzFile) {
    return std::string("Error checksumming file ") + a_pzFile + "! The checksum does not match.\n" +
           patcher::LoadPatcherString(IDS_CONTACT_SUPPORT);
  };
  struct Case_t {
    const char* extension;
    std::string message;
    const char* deleted;
  } cases[] = {
      {"CHK", forged, "CHK"},
      {"SIG", forged, "CHK"},
      {"RTP", mismatch("Patches\\V1-0-V1-1.RTP"), "RTP"},
      {"RES", mismatch("Patches\\V1-0-V1-1.RES"), "RES"},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.extension);
    std::filesystem::remove_all(m_install / "Patches");
    ui::CTranscript::Instance().Clear();
    const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1");
    std::string damaged = set.Of(c.extension);
    char& middle = damaged[damaged.size() / 2];
    if (std::string(c.extension) == "SIG" || std::string(c.extension) == "CHK") {
      // Another hexadecimal digit (the key pair is new every run, so the
      // digit found there differs from run to run).
      middle = middle == '1' ? '2' : '1';
    } else {
      middle ^= 0x01;
    }
    m_site.Write(PatchSite_c::RemoteName("patches", set.name, c.extension), damaged);
    m_conn.m_route = {set.name};
    m_conn.m_goodServers = {Server("/patches")};
    EXPECT_FALSE(GetPatches());
    EXPECT_EQ(std::vector<std::string>{c.message}, BoxTexts());
    for (const char* extension : kPatchExtensions)
      EXPECT_EQ(std::string(extension) != c.deleted, std::filesystem::exists(Local(set.stem, extension))) << extension;
  }
}

TEST_F(PatchDownloadTest, AForgedListAfterTheUserGaveUpEndsWithoutAMessage) {
  const PatchSetContent_t set = m_site.AddPatch("patches", "1.0", "1.1");
  m_site.Write(PatchSite_c::RemoteName("patches", set.name, "SIG"), Signer().SignHex("something else"));
  m_conn.m_route = {set.name};
  m_conn.m_goodServers = {Server("/patches")};
  bool result = true;
  InWindow([&](CQuorvexPatcherDlg&) {
    SetQuitRequested(true);
    result = m_conn.GetPatches();
  });
  EXPECT_FALSE(result);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(std::filesystem::exists(Local(set.stem, "CHK")));
}

// The space check: sizes announced by the server (HEAD answers with a
// Content-Length 2,000,000,000 above the file's) make a route that needs more
// than the disk has.
class DiskSpaceTest : public PatchDownloadTest {
 protected:
  static constexpr std::int64_t kExtra = 2000000000;

  void SetUp() override {
    PatchDownloadTest::SetUp();
    ULARGE_INTEGER available{};
    ASSERT_TRUE(::GetDiskFreeSpaceExA(".", &available, nullptr, nullptr));
    const std::uint64_t perPatch = 3ull * 4 * kExtra;
    if (available.QuadPart > 400ull * perPatch) GTEST_SKIP() << "too much free space to ask for more";
    m_nPatches = static_cast<int>(available.QuadPart / perPatch) + 1;
  }
  // A route of m_nPatches patches on `a_sFolder`, and the space it needs
  // when the server announces the extra size for each file.
  std::uint64_t AddRoute(const std::string& a_sFolder) {
    std::uint64_t needed = 0;
    m_conn.m_route.clear();
    for (int i = 0; i < m_nPatches; ++i) {
      const PatchSetContent_t set = m_site.AddPatch(a_sFolder, std::to_string(i), std::to_string(i + 1), 100);
      m_conn.m_route.push_back(set.name);
      for (const char* extension : kPatchExtensions) needed += 3 * (set.Of(extension).size() + kExtra);
    }
    return needed;
  }
  // `a_nTimes` limits the rule to the size pass: a download of a file whose
  // announced size it never reaches would wait for the rest without limit.
  void AnnounceExtra(const std::string& a_sPrefix, int a_nTimes = -1) {
    httpd::FaultRule_t rule = httpd::FaultRule_t::For(httpd::Fault::kWrongLength, "HEAD", a_sPrefix, a_nTimes);
    rule.delta = kExtra;
    m_server.AddFault(rule);
  }

  int m_nPatches = 0;
};

TEST_F(DiskSpaceTest, TooLittleSpaceAsksUntilTheUserGivesUp) {
  const std::uint64_t needed = AddRoute("patches");
  AnnounceExtra("/patches/*");
  m_conn.m_goodServers = {Server("/patches")};
  Answers({"OK", "Cancel"});
  EXPECT_FALSE(GetPatches());
  const auto boxes = Boxes();
  ASSERT_EQ(2u, boxes.size());
  for (const auto& box : boxes) {
    EXPECT_THAT(box.text, HasSubstr("You need at least " + std::to_string(needed / 1024) + " Kb free space on drive '"));
    EXPECT_EQ("OK/Cancel", box.buttons);
  }
  EXPECT_TRUE(IsQuitRequested());
  EXPECT_EQ(1, m_install.CountInLog(
                   "InetConnection_c::GetPatches(): User aborted patch-download due to insufficient disk-space."));
  EXPECT_THAT(RequestTargets("GET"), ElementsAre());
}

TEST_F(DiskSpaceTest, ARepeatedSizePassCountsOnlyTheServerThatAnswered) {
  // The first server announces huge sizes but cannot tell the size of the
  // last file; the second tells the true sizes, which fit.
  AddRoute("a");
  const std::string last = m_conn.m_route.back();
  std::filesystem::remove(m_site / PatchSite_c::RemoteName("a", last, "SIG"));
  AddRoute("b");
  AnnounceExtra("/a/*", 4 * m_nPatches + 1);  // every size request to the first server
  m_conn.m_goodServers = {Server("/a"), Server("/b")};
  EXPECT_TRUE(GetPatches());
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(1, m_install.CountInLog("InetConnection_c::GetPatches(): Error getting filesize for '/a/" + last + "/" +
                                    PatchStem(last) + ".SIG'"));
}

TEST_F(PatchDownloadTest, AnEmptyRouteIsNoSuccess) {
  m_conn.m_goodServers = {Server("/patches")};
  EXPECT_FALSE(GetPatches());
  EXPECT_TRUE(std::filesystem::is_directory(m_install / "Patches"));
}

// Local patch sets are checked like downloaded ones before they are applied,
// and nothing is fetched.
TEST_F(PatchDownloadTest, LocalPatchSetsAreVerifiedToo) {
  const PatchSetContent_t first = m_site.AddPatch("", "1.0", "1.1");
  const PatchSetContent_t second = m_site.AddPatch("", "1.1", "1.2");
  for (const PatchSetContent_t* set : {&second, &first}) {
    for (const char* extension : kPatchExtensions) WriteSiteFile(Local(set->stem, extension), set->Of(extension));
  }
  WriteSiteFile(Local("V1-1-V1-2", "TMP"), "stray");
  m_conn.SetTargetVersion("1.2");
  m_conn.SetLocalMode(true);
  EXPECT_THAT(m_conn.GetRoute(), ElementsAre("V1-0-V1-1", "V1-1-V1-2"));
  EXPECT_FALSE(std::filesystem::exists(Local("V1-1-V1-2", "TMP")));
  EXPECT_EQ(1, m_install.CountInLog("Local patch 'V1-0-V1-1' detected."));
  EXPECT_TRUE(GetPatches());
  EXPECT_TRUE(Boxes().empty());

  // The second set's resource patch is changed on the medium.
  WriteSiteFile(Local(second.stem, "RES"), second.res + "x");
  EXPECT_FALSE(GetPatches());
  EXPECT_EQ(std::vector<std::string>{"Error checksumming file Patches\\V1-1-V1-2.RES! The checksum does not match.\n" +
                                     patcher::LoadPatcherString(IDS_CONTACT_SUPPORT)},
            BoxTexts());
  EXPECT_FALSE(std::filesystem::exists(Local(second.stem, "RES")));
  EXPECT_TRUE(m_server.GetRequests().empty());
}

TEST_F(PatchDownloadTest, LocalPatchesThatDoNotChainFromTheInstalledVersion) {
  struct Case_t {
    const char* name;
    std::vector<std::string> stems;
    std::vector<std::string> route;
    std::string message;
    const char* answer;
    bool quit;
  } cases[] = {
      {"a gap: the chain before it is offered", {"V1-0-V1-1", "V1-2-V1-3"}, {"V1-0-V1-1"},
       "One or more patchfiles are missing from the \"\\Patches\" folder.\nThe following patch(es) will be "
       "applied:\n\n\tV1-0-V1-1\n\nSince the remote version is '1.3', this means you'll have to patch\nmore files "
       "when done with this patch. Click OK to start patching,\nor click Cancel to quit the patcher.",
       "OK", false},
      {"the same, declined", {"V1-0-V1-1", "V1-2-V1-3"}, {"V1-0-V1-1"}, "", "Cancel", true},
      {"nothing starts at 1.0", {"V1-1-V1-2"}, {}, "Couldn't find any valid patches to apply.", "OK", true},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(m_install / "Patches");
    for (const std::string& stem : c.stems) WriteSiteFile(Local(stem, "RTP"), "x");
    ui::CTranscript::Instance().Clear();
    SetQuitRequested(false);
    Answers({c.answer});
    TestConnection_c conn;
    conn.SetTargetVersion("1.3");
    conn.SetLocalMode(true);
    EXPECT_EQ(c.route, conn.GetRoute());
    EXPECT_EQ(c.quit, IsQuitRequested());
    ASSERT_EQ(1u, Boxes().size());
    if (!c.message.empty()) {
      EXPECT_EQ(c.message, Boxes()[0].text);
    }
    EXPECT_EQ(c.quit && c.route.empty() ? "OK" : "OK/Cancel", Boxes()[0].buttons);
  }
}

}  // namespace
}  // namespace qx::test
