// Two installations -> "qxauthor patchset" -> the set applied to a copy of the
// old installation as the patch run applies it: the resource patch with
// PatchDatabase, the file patch through the loaded patchw32.dll. The result
// must equal the new installation, file for file and record for record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patcher/integrity/file_digest.h"
#include "patcher/integrity/signature.h"
#include "patcher/resdb/resource_patch.h"
#include "patcher/resdb/rtpatch_entry.h"
#include "platform/os/library.h"
#include "platform/ui/answers.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "tests/patchset/patchset_test_support.h"
#include "tests/support/test_installation.h"

namespace qx::test {
namespace {

using rtpatch::testing::Binary;
using rtpatch::testing::Edited;
using rtpatch::testing::Snapshot;

std::vector<std::string> s_patchedFiles;
LPVOID Callback(UINT a_nId, LPVOID a_pParm) {
  static char go[] = "";
  if (a_nId == rtpatch::kCallbackFileName) s_patchedFiles.push_back(static_cast<const char*>(a_pParm));
  if (a_nId == rtpatch::kCallbackMissingFile || a_nId == rtpatch::kCallbackInvalidPatch) return nullptr;
  return go;
}

Installation_t OldInstallation() {
  return {
      {{"version.id", "15.1\r\n"},
       {"Quorvex.exe", Binary(30000, 1)},
       {"cd_image/data/a.dat", Binary(8000, 2)},
       {"cd_image/data/gone.txt", "bye"},
       {"cd_image/data/db/other.bin", "beside the database"},
       {"Patches/leftover.txt", "old"}},
      {{{1, 1}, "deleted later"},
       {{1, 2}, "unchanged"},
       {{2, 1}, Binary(20000, 3)},
       {{1000001, 1}, Binary(60000, 4)},
       {{1000009, 3}, "will be gone"},
       {{1000010, 4}, "same"},
       {{1000026, 5}, Binary(3000, 5)},
       {{1000020, 10}, TemplateRecord(1000020, 10, "old template")},
       {{1000020, 13}, "not a template"},
       {{1040005, 11}, TemplateRecord(1040005, 11, "unchanged template")},
       {{1040005, 12}, TemplateRecord(1040005, 12, "deleted template")}},
  };
}

Installation_t NewInstallation() {
  return {
      {{"version.id", "15.2\r\n"},
       {"Quorvex.exe", Edited(Binary(30000, 1), 6)},
       {"QuorvexPatcher.exe", "the next patcher"},
       {"cd_image/data/a.dat", Binary(8000, 2)},
       {"cd_image/data/new/b.dat", "a new file"},
       {"cd_image/data/db/other.bin", "beside the database"},
       {"Patches/leftover.txt", "never part of a patch"}},
      {{{1, 2}, "unchanged"},
       {{2, 1}, Edited(Binary(20000, 3), 7)},
       {{3, 3}, ""},
       {{4, 4}, "z"},
       {{1000001, 1}, Edited(Binary(60000, 4), 8)},
       {{1000001, 7}, Binary(5000, 9)},
       {{1000010, 4}, "same"},
       {{1000026, 5}, ""},
       {{1000020, 0}, TemplateRecord(1000020, 0, "template zero")},
       {{1000020, 10}, TemplateRecord(1000020, 10, "new template, longer")},
       {{1000020, 13}, "still not a template"},
       {{1000020, 14}, TemplateRecord(1000020, 14, std::string(32767, 'm'))},
       {{1040005, 11}, TemplateRecord(1040005, 11, "unchanged template")},
       {{1040005, 15}, TemplateRecord(1040005, 15, "")}},
  };
}

// A tree without what the patch set does not carry.
Tree Comparable(Tree a_tree) {
  std::erase_if(a_tree, [](const auto& entry) {
    const std::string& path = entry.first;
    return path.rfind("Patches/", 0) == 0 || path.rfind("appdata/", 0) == 0 ||
           path.rfind("cd_image/data/db/ResourceDatabase.", 0) == 0;
  });
  return a_tree;
}

class PatchsetE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::SetRenderer(nullptr);
    ui::CAnswerList::Instance().Clear();
    ui::CTranscript::Instance().Clear();
    WriteInstallation(m_trees / "old", OldInstallation());
    WriteInstallation(m_trees / "new", NewInstallation());
  }

  TempDir m_trees;
};

TEST_F(PatchsetE2eTest, AppliedSetTurnsTheOldInstallationIntoTheNewOne) {
  const std::string formats[] = {"988536", "988534"};
  for (const std::string& format : formats) {
    SCOPED_TRACE("format " + format);
    const std::string out = m_trees / ("set-" + format);
    ASSERT_EQ(RunProgram("patchset --quiet --format " + format + " --key " + TestKeys::Get().privateKey() + " " +
                         (m_trees / "old") + " " + (m_trees / "new") + " " + out),
              0);
    const Tree set = Snapshot(out);
    ASSERT_EQ(set.size(), 4u);
    for (const char* extension : {"RTP", "RES", "CHK", "SIG"})
      EXPECT_EQ(set.count(std::string("V15-1-V15-2.") + extension), 1u) << extension;
    EXPECT_EQ(set.at("V15-1-V15-2.CHK").rfind("# checksums of v15.1-v15.2\r\nV15-1-V15-2.RTP:", 0), 0u);

    TestInstallation install;
    WriteInstallation(install.Root(), OldInstallation());
    std::filesystem::create_directories(install / "Patches");
    for (const auto& [name, content] : set) WriteFile(install / ("Patches/" + name), content);

    // The patch download's checks, as the patcher makes them.
    EXPECT_TRUE(VerifyFileSignature(TestKeys::Get().publicKey().c_str(), "Patches\\V15-1-V15-2.CHK",
                                    "Patches\\V15-1-V15-2.SIG"));
    EXPECT_TRUE(CheckFileDigests("Patches\\V15-1-V15-2.CHK"));

    // The patch run: the library loaded, its entry registered for PatchDatabase.
    HMODULE library = LoadLibraryA(QX_BINARY_DIR "/bin/patchw32.dll");
    ASSERT_NE(library, nullptr);
    auto apply = reinterpret_cast<RTPATCHAPPLY32_FN>(GetProcAddress(library, "RTPatchApply32@12"));
    ASSERT_NE(apply, nullptr);
    SetRTPatchEntry(apply, &Callback);
    s_patchedFiles.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(PatchDatabase("cd_image\\data\\db\\ResourceDatabase.dat", "Patches\\V15-1-V15-2.res"), 0);
    testing::internal::GetCapturedStderr();
    // Binary-patch entries went through the library, one "tmp.dat" each.
    EXPECT_EQ(std::count(s_patchedFiles.begin(), s_patchedFiles.end(), "tmp.dat"), format == "988536" ? 3 : 0);
    EXPECT_EQ(apply("Patches\\V15-1-V15-2.rtp", &Callback, 1), 0u);
    SetRTPatchEntry(nullptr, nullptr);
    FreeLibrary(library);

    EXPECT_EQ(TestInstallation::LogText(), "");
    EXPECT_TRUE(ui::CTranscript::Instance().Entries(ui::TranscriptKind::kMessageBox).empty());
    EXPECT_EQ(Comparable(Snapshot(install.Root())), Comparable(Snapshot(m_trees / "new")));
    EXPECT_EQ(ReadDatabase(install / kDatabaseFile), NewInstallation().database);
    EXPECT_FALSE(std::filesystem::exists(install / "tmp.dat"));
    EXPECT_FALSE(std::filesystem::exists(install / "patch.rtp"));
  }
}

TEST_F(PatchsetE2eTest, InstallationsThatCannotMakeASet) {
  const std::string key = TestKeys::Get().privateKey();
  const std::string old = m_trees / "old";
  WriteFile(m_trees / "same/version.id", "15.1");
  WriteFile(m_trees / "blank/version.id", "15 1\n");
  WriteFile(m_trees / "empty/version.id", "\r\n");
  WriteFile(m_trees / "nodb/version.id", "16");
  const struct {
    const char* name;
    std::string other;
    std::string message;
  } cases[] = {
      {"same version", m_trees / "same", "both hold version 15.1"},
      {"version with a blank", m_trees / "blank", "holds a blank"},
      {"empty version", m_trees / "empty", "names no version"},
      {"no version.id", m_trees / "none", "version.id"},
      {"database only in OLD", m_trees / "nodb", "has no cd_image/data/db/ResourceDatabase.dat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const AuthorResult_t r = Author({"patchset", "--key", key, old, c.other, m_trees / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(Author({"patchset", old, m_trees / "new", m_trees / "out"}).status, 2);  // no key
  EXPECT_EQ(Author({"patchset", "--key", key, "--format", "988537", old, m_trees / "new", m_trees / "out"}).status, 2);
  const AuthorResult_t badKey = Author({"patchset", "--key", m_trees / "old/version.id", old, m_trees / "new", m_trees / "out"});
  EXPECT_EQ(badKey.status, 1);
}

TEST_F(PatchsetE2eTest, ExcludedPathsStayOutOfTheFilePatch) {
  const std::string out = m_trees / "set";
  ASSERT_EQ(Author({"patchset", "--quiet", "--exclude", "CD_IMAGE\\data\\new", "--key", TestKeys::Get().privateKey(),
                    m_trees / "old", m_trees / "new", out})
                .status,
            0);
  // Apply the file patch alone and look at what it touched.
  TempDir copy;
  WriteTree(copy.str(), OldInstallation().files);
  const AuthorResult_t r = Author({"apply", out + "/V15-1-V15-2.RTP", copy.str()});
  ASSERT_EQ(r.status, 0) << r.err;
  const Tree result = Snapshot(copy.str());
  EXPECT_EQ(result.count("cd_image/data/new/b.dat"), 0u);
  EXPECT_EQ(result.at("Patches/leftover.txt"), "old");
  EXPECT_EQ(result.at("version.id"), "15.2\r\n");
}

}  // namespace
}  // namespace qx::test
