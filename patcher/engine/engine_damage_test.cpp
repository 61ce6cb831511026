// Damaged files: every case must end in an error code or a repair, never in a
// crash, a hang, wrong data handed out, or good records lost.
#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "patcher/engine/engine_format.h"
#include "patcher/engine/engine_test_support.h"
#include "patcher/engine/record_engine.h"
#include "tests/support/temp_dir.h"

namespace qx::engine {
namespace {

using Model = std::map<uint64_t, std::vector<uint8_t>>;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Fill(const std::string& path, size_t from, size_t length, int byte) {
  auto bytes = ReadFile(path);
  std::mt19937 random(5);
  for (size_t i = from; i < from + length && i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(byte < 0 ? random() : byte);
  WriteFile(path, bytes);
}

class EngineDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    def = fixture::ResourceDefinition(dir / "Res");
    ASSERT_EQ(CreateFileSet(def, fixture::CreationBlock(), fixture::CreationBlock()), kOk);
    std::mt19937 random(9);
    for (uint32_t i = 0; i < 300; ++i) {
      auto image = fixture::Image(100 + i % 3, i, std::string(random() % 3000, static_cast<char>('a' + i % 26)));
      ASSERT_EQ(InsertRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size())), kOk);
      model[(uint64_t{100 + i % 3} << 32) | i] = image;
    }
    ASSERT_EQ(CloseFileSet(def), kOk);
    // A second pair, for an index that belongs elsewhere.
    IFIL other = fixture::ResourceDefinition(dir / "Other");
    ASSERT_EQ(CreateFileSet(other, fixture::CreationBlock(), fixture::CreationBlock()), kOk);
    auto image = fixture::Image(1, 1, "other");
    ASSERT_EQ(InsertRecord(other.dataFileNumber, image.data(), static_cast<uint32_t>(image.size())), kOk);
    ASSERT_EQ(CloseFileSet(other), kOk);
  }
  void TearDown() override { ShutdownEngine(); }

  // Walks the open pair: every record handed out must be the one stored; damaged
  // records may answer with an error code. Returns how many came out whole.
  size_t CheckContents() {
    size_t good = 0;
    uint8_t fixed[8];
    int rc = GetFirstKey(def.dataFileNumber + 1, fixed);
    for (int guard = 0; rc == kOk && guard < 1000; ++guard) {
      uint32_t words[2];
      std::memcpy(words, fixed, 8);
      uint64_t key = (uint64_t{words[0]} << 32) | words[1];
      uint32_t n = GetRecordLength(def.dataFileNumber);
      std::vector<uint8_t> image(n);
      int read = ReadRecord(def.dataFileNumber, image.data(), n);
      if (read == kOk) {
        EXPECT_TRUE(model.count(key)) << key;
        if (model.count(key)) {
          EXPECT_EQ(image, model[key]) << key;
        }
        ++good;
      } else {
        EXPECT_EQ(read, kRecordDamaged);
      }
      rc = GetNextKey(def.dataFileNumber + 1, fixed);
    }
    EXPECT_EQ(rc, kKeyNotFound);
    return good;
  }

  std::string Dat() { return dir / "Res.dat"; }
  std::string Idx() { return dir / "Res.idx"; }

  test::TempDir dir;
  IFIL def;
  Model model;
};

TEST_F(EngineDamageTest, DamagedIndexFilesAreRebuiltWithoutLoss) {
  const auto original = ReadFile(Idx());
  struct Case {
    const char* what;
    std::function<void()> damage;
  };
  const Case cases[] = {
      {"deleted", [&] { std::filesystem::remove(Idx()); }},
      {"empty", [&] { WriteFile(Idx(), {}); }},
      {"shorter than its header", [&] { WriteFile(Idx(), std::vector<uint8_t>(original.begin(), original.begin() + 100)); }},
      {"cut in half", [&] { WriteFile(Idx(), std::vector<uint8_t>(original.begin(), original.begin() + original.size() / 2)); }},
      {"zero-filled", [&] { WriteFile(Idx(), std::vector<uint8_t>(original.size(), 0)); }},
      {"random", [&] { Fill(Idx(), 0, original.size(), -1); }},
      {"random node, header intact", [&] { Fill(Idx(), format::kPageSize, format::kPageSize, -1); }},
      {"zeroed node, header intact", [&] { Fill(Idx(), format::kPageSize, format::kPageSize, 0); }},
      {"belongs to another pair", [&] { std::filesystem::copy_file(dir / "Other.idx", Idx(), std::filesystem::copy_options::overwrite_existing); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Idx(), original);
    c.damage();
    ASSERT_EQ(OpenFileSet(def), kOk);
    EXPECT_EQ(CheckContents(), model.size());
    ASSERT_EQ(CloseFileSet(def), kOk);
    CheckReport report;
    ASSERT_EQ(CheckFileSet(def, report), kOk);
    EXPECT_TRUE(report.indexMatches);
  }
}

TEST_F(EngineDamageTest, UnreadableDataFilesGiveAnErrorCode) {
  const auto original = ReadFile(Dat());
  struct Case {
    const char* what;
    std::function<void()> damage;
    int code;
  };
  const Case cases[] = {
      {"empty", [&] { WriteFile(Dat(), {}); }, kDataFileDamaged},
      {"cut inside the header", [&] { WriteFile(Dat(), std::vector<uint8_t>(original.begin(), original.begin() + 100)); }, kDataFileDamaged},
      {"zero-filled", [&] { WriteFile(Dat(), std::vector<uint8_t>(original.size(), 0)); }, kDataFileDamaged},
      {"random", [&] { Fill(Dat(), 0, original.size(), -1); }, kDataFileDamaged},
      {"a folder", [&] { std::filesystem::remove(Dat()); std::filesystem::create_directory(Dat()); }, kReadFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Dat());
    WriteFile(Dat(), original);
    c.damage();
    EXPECT_EQ(OpenFileSet(def), c.code);
    EXPECT_EQ(def.dataFileNumber, -1);
    EXPECT_NE(RebuildFileSet(def), kOk);
  }
  std::filesystem::remove_all(Dat());
  WriteFile(Dat(), original);
  ASSERT_EQ(OpenFileSet(def), kOk);
  EXPECT_EQ(CheckContents(), model.size());
  ASSERT_EQ(CloseFileSet(def), kOk);
}

TEST_F(EngineDamageTest, DamagedRecordsAreRefusedAndTheRestSurvives) {
  const auto original = ReadFile(Dat());
  const size_t middle = original.size() / 2;
  struct Case {
    const char* what;
    std::function<void()> damage;
    size_t survivors;  // records that must come through the rebuild at least
  };
  const Case cases[] = {
      {"cut in the middle", [&] { WriteFile(Dat(), std::vector<uint8_t>(original.begin(), original.begin() + middle)); }, 130},
      {"cut just after the header", [&] { WriteFile(Dat(), std::vector<uint8_t>(original.begin(), original.begin() + 4100)); }, 0},
      {"zeros in the middle", [&] { Fill(Dat(), middle, 20000, 0); }, 270},
      {"random bytes in the middle", [&] { Fill(Dat(), middle, 20000, -1); }, 270},
      {"random after the header", [&] { Fill(Dat(), format::kDataHeaderSize, original.size(), -1); }, 0},
      {"primary header copy damaged", [&] { Fill(Dat(), 0, 300, -1); }, 300},
      {"one flipped bit", [&] { Fill(Dat(), middle, 1, 0x5a); }, 299},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Dat(), original);
    c.damage();
    // With the index as it was, damaged records answer with an error code.
    ASSERT_EQ(OpenFileSet(def), kOk);
    size_t before = CheckContents();
    ASSERT_EQ(CloseFileSet(def), kOk);
    // A rebuild drops what is damaged and keeps the rest.
    ASSERT_EQ(RebuildFileSet(def), kOk);
    ASSERT_EQ(OpenFileSet(def), kOk);
    size_t after = CheckContents();
    ASSERT_EQ(CloseFileSet(def), kOk);
    EXPECT_GE(after, before);
    CheckReport report;
    ASSERT_EQ(CheckFileSet(def, report), kOk);
    EXPECT_TRUE(report.indexMatches);
    EXPECT_EQ(report.damagedRegions, 0u);
    EXPECT_GE(after, c.survivors);
  }
}

}  // namespace
}  // namespace qx::engine

namespace qx::engine {
namespace {

// An index that passes its structural checks but names the wrong slots must not
// make a change overwrite or free another record.
TEST(EngineMisleadingIndex, NeverCostsAnotherRecord) {
  test::TempDir dir;
  ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
  IFIL def = fixture::ResourceDefinition(dir / "Res");
  ASSERT_EQ(CreateFileSet(def, fixture::CreationBlock(), fixture::CreationBlock()), kOk);
  const std::string same(100, 's');
  auto insert = [&](uint32_t instance, const std::string& blob) {
    auto image = fixture::Image(1, instance, blob);
    ASSERT_EQ(InsertRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size())), kOk);
  };
  insert(1, same);
  insert(2, same);
  insert(3, same);
  uint8_t fixed[8];
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, fixture::Key(1, 2).data(), fixed), kOk);
  ASSERT_EQ(RemoveRecord(def.dataFileNumber), kOk);  // its slot goes on a free list
  ASSERT_EQ(CloseFileSet(def), kOk);

  // Point the free-list entry at record 1's slot and record 3's entry at record 1 too.
  auto index = ReadFile(dir / "Res.idx");
  uint32_t firstSlot = 0;
  for (size_t page = 1; page * format::kPageSize < index.size(); ++page) {
    auto* leaf = reinterpret_cast<format::LeafNode*>(index.data() + page * format::kPageSize);
    if (leaf->h.type == format::kLeafNode) {
      ASSERT_EQ(leaf->h.count, 2);
      firstSlot = leaf->values[0].offset32;
      leaf->values[1].offset32 = firstSlot;
    }
  }
  for (size_t page = 1; page * format::kPageSize < index.size(); ++page) {
    auto* list = reinterpret_cast<format::FreeListPage*>(index.data() + page * format::kPageSize);
    if (list->h.type == format::kFreeListPage) list->slots[0].offset = uint64_t{firstSlot} * format::kSlotAlign;
  }
  ASSERT_NE(firstSlot, 0u);
  WriteFile(dir / "Res.idx", index);

  ASSERT_EQ(OpenFileSet(def), kOk);
  insert(4, same);  // must not land on record 1
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, fixture::Key(1, 3).data(), fixed), kOk);
  ASSERT_EQ(RemoveRecord(def.dataFileNumber), kOk);  // must remove 3, not 1
  std::map<uint32_t, std::string> left;
  for (int rc = GetFirstKey(def.dataFileNumber + 1, fixed); rc == kOk; rc = GetNextKey(def.dataFileNumber + 1, fixed)) {
    uint32_t words[2];
    std::memcpy(words, fixed, 8);
    std::vector<uint8_t> image(GetRecordLength(def.dataFileNumber));
    ASSERT_EQ(ReadRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size())), kOk);
    left[words[1]] = std::string(image.begin() + 12, image.end());
  }
  EXPECT_EQ(left, (std::map<uint32_t, std::string>{{1, same}, {4, same}}));
  ASSERT_EQ(CloseFileSet(def), kOk);
  CheckReport report;
  ASSERT_EQ(CheckFileSet(def, report), kOk);
  EXPECT_TRUE(report.indexMatches);
  ShutdownEngine();
}

}  // namespace
}  // namespace qx::engine
