#include "patcher/integrity/file_digest.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patcher/integrity/checksum_list_format.h"
#include "patcher/integrity/integrity_test_support.h"
#include "patcher/resources/resource.h"
#include "patcher/resources/resources.h"
#include "platform/ui/answers.h"
#include "platform/ui/app.h"
#include "platform/ui/dialog.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "tests/support/temp_dir.h"

namespace {

using qx::test::WriteBytes;
using qx::ui::CTranscript;
using qx::ui::TranscriptKind;

std::string Md5Text(const std::string& data) {
  unsigned char digest[kDigestBytes];
  CryptoPP::Weak::MD5().CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(data.data()), data.size());
  return DigestText(digest);
}

std::string FileMd5Text(const std::string& path) {
  unsigned char digest[kDigestBytes];
  return ComputeFileMD5(path.c_str(), digest) ? DigestText(digest) : "(failed)";
}

// Each test works in a fresh folder (the working folder) with a "Patches"
// folder, and with the patcher window open on this thread as its main window.
class DigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qx::patcher::RegisterPatcherResources();
    qx::ui::SetRenderer(nullptr);
    qx::ui::CAnswerList::Instance().Clear();
    CTranscript::Instance().Clear();
    m_oldDir = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.path());
    std::filesystem::create_directory("Patches");
    ASSERT_TRUE(m_window.Create(IDD_QUORVEXPATCHER_DIALOG));
    qx::ui::SetThreadMainWindow(&m_window);
    CTranscript::Instance().Clear();  // forget the window's own first status
  }
  void TearDown() override {
    qx::ui::SetThreadMainWindow(nullptr);
    m_window.DestroyWindow();
    std::filesystem::current_path(m_oldDir);
  }
  static std::vector<std::string> Texts(TranscriptKind kind) {
    std::vector<std::string> texts;
    for (const auto& e : CTranscript::Instance().Entries(kind)) texts.push_back(e.text);
    return texts;
  }
  static std::string MismatchText(const std::string& path) {
    return "Error checksumming file " + path + "! The checksum does not match.\n" +
           qx::patcher::LoadPatcherString(IDS_CONTACT_SUPPORT);
  }

  qx::test::TempDir m_dir;
  std::filesystem::path m_oldDir;
  CDialog m_window{IDD_QUORVEXPATCHER_DIALOG};
};

TEST_F(DigestTest, ComputeFileMD5MatchesTheReferenceAcrossBlockBoundaries) {
  struct Case_t {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"abc", "abc"},
      {"one byte under a block", std::string((1 << 20) - 1, 'x')},
      {"three blocks and a byte", std::string(3 * (1 << 20) + 1, '\xA5')},
  };
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5Text(""));  // RFC 1321 test vectors
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Text("abc"));
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes("f.bin", c.content);
    EXPECT_EQ(Md5Text(c.content), FileMd5Text("f.bin"));
  }
}

TEST_F(DigestTest, ComputeFileMD5ReportsWhatCannotBeRead) {
  unsigned char digest[kDigestBytes];
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ComputeFileMD5("Patches\\missing.bin", digest));
  EXPECT_EQ("Patches\\missing.bin can't be opened\n", testing::internal::GetCapturedStdout());

  // A folder opens but cannot be read: no digest, and nothing printed.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ComputeFileMD5("Patches", digest));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  // Paths are written the Windows way, in any letter case.
  WriteBytes("Patches/Data.Bin", "abc");
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", FileMd5Text("PATCHES\\data.bin"));
}

TEST_F(DigestTest, CheckFileDigestsAcceptsAListWhoseEveryFileMatches) {
  WriteBytes("Patches/a.txt", "alpha");
  WriteBytes("Patches/b.bin", std::string(5000, '\0'));
  WriteBytes("Patches/L.CHK", "# made by the test\r\n\r\n" + ChecksumLine("a.txt", Md5Text("alpha")) + "\r\n" +
                                  ChecksumLine("B.BIN", Md5Text(std::string(5000, '\0'))) + "\n");
  EXPECT_TRUE(CheckFileDigests("Patches\\L.CHK"));
  EXPECT_TRUE(Texts(TranscriptKind::kMessageBox).empty());
  EXPECT_EQ((std::vector<std::string>{"Checksumming file \"Patches\\a.txt\", please wait...",
                                      "Checksumming file \"Patches\\B.BIN\", please wait..."}),
            Texts(TranscriptKind::kStatus));

  // Comments and empty lines alone are a list that passes.
  WriteBytes("Patches/C.CHK", "# nothing\n\n#more\n");
  EXPECT_TRUE(CheckFileDigests("Patches\\C.CHK"));
}

// Each list below fails at its first bad line with the message shown, deletes
// the file named there (when it exists) and reads no further line.
TEST_F(DigestTest, CheckFileDigestsStopsAtTheFirstBadEntry) {
  const std::string good = Md5Text("alpha");
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case_t {
    const char* name;
    std::string list;
    std::string message;
    const char* deleted;  // file removed by the check, or null
  } cases[] = {
      {"empty digest", "a.txt:\nlater.txt:0\n", MismatchText("Patches\\a.txt"), "a.txt"},
      {"upper-case digits", "a.txt:" + upper + "\nlater.txt:0\n", MismatchText("Patches\\a.txt"), "a.txt"},
      {"blank after the digest", "a.txt:" + good + " \nlater.txt:0\n", MismatchText("Patches\\a.txt"), "a.txt"},
      {"stray carriage return", "a.txt:" + good + "\r\r\nlater.txt:0\n", MismatchText("Patches\\a.txt"), "a.txt"},
      {"name with a colon is split at the first", "a.txt:x:" + good + "\nlater.txt:0\n",
       MismatchText("Patches\\a.txt"), "a.txt"},
      {"file missing", "gone.txt:" + good + "\nlater.txt:0\n", MismatchText("Patches\\gone.txt"), nullptr},
      {"line without a colon", "a.txt:" + good + "\njust text\nlater.txt:0\n",
       "Error in checksum file Patches\\L.CHK", nullptr},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.name);
    CTranscript::Instance().Clear();
    WriteBytes("Patches/a.txt", "alpha");
    WriteBytes("Patches/later.txt", "must survive");
    WriteBytes("Patches/L.CHK", c.list);
    EXPECT_FALSE(CheckFileDigests("Patches\\L.CHK"));
    const auto boxes = CTranscript::Instance().Entries(TranscriptKind::kMessageBox);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(c.message, boxes[0].text);
    EXPECT_EQ("OK", boxes[0].buttons);
    EXPECT_EQ(c.deleted == nullptr, std::filesystem::exists("Patches/a.txt"));
    EXPECT_TRUE(std::filesystem::exists("Patches/later.txt"));
  }
}

TEST_F(DigestTest, CheckFileDigestsWithoutItsList) {
  EXPECT_FALSE(CheckFileDigests("Patches\\NONE.CHK"));
  EXPECT_EQ(std::vector<std::string>{"Fatal error! Couldn't open Patches\\NONE.CHK"},
            Texts(TranscriptKind::kMessageBox));
}

TEST(ChecksumListFormat, SplitsAtTheFirstColonAndKeepsEverythingElse) {
  struct Case_t {
    const char* line;
    ChecksumLine_t kind;
    const char* name;
    const char* value;
  } cases[] = {
      {"", ChecksumLine_t::kNothing, "", ""},
      {"#a:b", ChecksumLine_t::kNothing, "", ""},
      {" #a:b", ChecksumLine_t::kEntry, " #a", "b"},
      {"a:b:c", ChecksumLine_t::kEntry, "a", "b:c"},
      {"a: b ", ChecksumLine_t::kEntry, "a", " b "},
      {":key", ChecksumLine_t::kEntry, "", "key"},
      {"a:", ChecksumLine_t::kEntry, "a", ""},
      {"key only", ChecksumLine_t::kNoColon, "", "key only"},
  };
  for (const Case_t& c : cases) {
    SCOPED_TRACE(c.line);
    std::string name = "x", value = "y";
    EXPECT_EQ(c.kind, SplitChecksumLine(c.line, name, value));
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(c.value, value);
  }
}

}  // namespace
