#include "patcher/resdb/item_template_patcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patcher/resdb/block_database.h"
#include "patcher/resdb/resource_patch_test_support.h"
#include "platform/ui/transcript.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace qx::test;

std::vector<float> s_progress;
void RecordProgress(float a_fFraction) { s_progress.push_back(a_fFraction); }

class ItemTemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUserInterface();
    s_progress.clear();
    SetItemDataProgressCallback(&RecordProgress);
    ASSERT_EQ(m_database.Open((m_dir / "ResourceDatabase").c_str(), false), 0);
  }
  void TearDown() override { SetItemDataProgressCallback(nullptr); }

  // Loads and stores one package as PatchDatabase does.
  void Apply(const std::string& a_sPackage, BlockDatabase_t* a_pDatabase = nullptr) {
    ItemTemplatePatcher patcher(a_pDatabase ? *a_pDatabase : m_database);
    patcher.Load(reinterpret_cast<const std::uint8_t*>(a_sPackage.data()), static_cast<std::uint32_t>(a_sPackage.size()));
    patcher.Store();
  }

  TempDir m_dir;
  BlockDatabase_t m_database;
};

TEST_F(ItemTemplateTest, EntriesBecomeRecordsOfTheirType) {
  Seed(m_database, {{{1000020, 9}, "old template"}, {{5, 5}, "other"}});
  const std::string data = TemplateEntry(0x8005, 7, "abcde") + TemplateEntry(0x0000, 9, "") +
                           TemplateEntry(0x0003, 0, "xyz") + TemplateEntry(0x8000 | 300, 0xFFFFFFFF, std::string(300, 'L'));
  Apply(TemplatePackage(data));

  const Contents expected = {
      {{5, 5}, "other"},
      {{1000020, 0}, TemplateRecord(1000020, 0, "xyz")},
      {{1000020, 9}, TemplateRecord(1000020, 9, "")},
      {{1040005, 7}, TemplateRecord(1040005, 7, "abcde")},
      {{1040005, 0xFFFFFFFF}, TemplateRecord(1040005, 0xFFFFFFFF, std::string(300, 'L'))},
  };
  EXPECT_EQ(ReadAll(m_database), expected);
  EXPECT_EQ(expected.at({1040005, 7}).size(), 17u);
  EXPECT_EQ(expected.at({1000020, 9}).size(), 12u);
  EXPECT_TRUE(BoxTexts().empty());
  // One report per entry, ending at the whole.
  ASSERT_EQ(s_progress.size(), 4u);
  EXPECT_FLOAT_EQ(s_progress.front(), 11.0f / static_cast<float>(data.size()));
  EXPECT_FLOAT_EQ(s_progress.back(), 1.0f);
}

TEST_F(ItemTemplateTest, CorruptPackagesShowTheBoxAndStoreNothing) {
  const std::string data = TemplateEntry(0x0002, 1, "ab") + TemplateEntry(0x0002, 2, "cd");
  std::string damaged = TemplatePackage(data);
  damaged[damaged.size() / 2] ^= 0x55;
  damaged[damaged.size() - 2] ^= 0x55;  // the checksum at the end, in case the middle still decodes
  const struct {
    const char* name;
    std::string package;
  } cases[] = {
      {"damaged zlib data", damaged},
      {"shorter than its size word", std::string("\x10\x00", 2)},
      {"size word only", Little32(16)},
      {"inflates to more than announced", Little32(static_cast<std::uint32_t>(data.size() - 1)) + ResBytes::Deflate(data)},
      {"zlib data cut short", TemplatePackage(data).substr(0, 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qx::ui::CTranscript::Instance().Clear();
    Apply(c.package);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kCorruptTemplatesText});
    EXPECT_TRUE(ReadAll(m_database).empty());
  }
  EXPECT_TRUE(s_progress.empty());
}

TEST_F(ItemTemplateTest, AnnouncedSizeLargerThanTheDataStoresWhatCameBack) {
  const std::string data = TemplateEntry(0x0001, 4, "z");
  Apply(Little32(0x7FFFFFFF) + ResBytes::Deflate(data));
  EXPECT_EQ(ReadAll(m_database), (Contents{{{1000020, 4}, TemplateRecord(1000020, 4, "z")}}));
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(ItemTemplateTest, TemplateDataEndingInsideAnEntryStopsThere) {
  const std::string good = TemplateEntry(0x0002, 1, "ab") + TemplateEntry(0x8001, 2, "c");
  const struct {
    const char* name;
    std::string tail;
  } cases[] = {
      {"template bytes cut short", TemplateEntry(0x000A, 3, "only")},
      {"header cut short", std::string("\x05\x00\x03", 3)},
      {"single byte", std::string("\x01", 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qx::ui::CTranscript::Instance().Clear();
    BlockDatabase_t database;
    TempDir dir;
    ASSERT_EQ(database.Open((dir / "db").c_str(), false), 0);
    Apply(TemplatePackage(good + c.tail), &database);
    EXPECT_EQ(ReadAll(database), (Contents{{{1000020, 1}, TemplateRecord(1000020, 1, "ab")},
                                           {{1040005, 2}, TemplateRecord(1040005, 2, "c")}}));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kCorruptTemplatesText});
  }
}

TEST_F(ItemTemplateTest, FailedWritesAreReportedOncePerProcess) {
  BlockDatabase_t closed;  // never opened: every Put fails
  const std::string package = TemplatePackage(TemplateEntry(0x0001, 1, "a") + TemplateEntry(0x0001, 2, "b"));
  Apply(package, &closed);
  Apply(package, &closed);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kTemplateWriteFailureText});
  // Every entry was still tried and reported.
  EXPECT_EQ(s_progress.size(), 4u);
}

TEST_F(ItemTemplateTest, AFailedPackageDoesNotCutLaterPackagesShort) {
  Apply("\x01\x02\x03\x04garbage");
  Apply(TemplatePackage(TemplateEntry(0x0001, 1, "a") + TemplateEntry(0x0001, 2, "b") + TemplateEntry(0x0001, 3, "c")));
  EXPECT_EQ(ReadAll(m_database).size(), 3u);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kCorruptTemplatesText});
}

TEST_F(ItemTemplateTest, EmptyTemplateDataStoresNothingAndReportsNothing) {
  Apply(TemplatePackage(""));
  EXPECT_TRUE(ReadAll(m_database).empty());
  EXPECT_TRUE(s_progress.empty());
  EXPECT_TRUE(BoxTexts().empty());
}

}  // namespace
