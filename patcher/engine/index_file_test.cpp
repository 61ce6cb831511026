#include "patcher/engine/index_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include <filesystem>
#include <map>
#include <random>

#include "tests/support/temp_dir.h"

namespace qx::engine {
namespace {

using namespace format;

class IndexFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(index.Open(dir / "t.idx", true), 0);
    ASSERT_EQ(index.Reset(42, true), 0);
    index.Header()->dataEnd = uint64_t{1} << 40;  // entries may point anywhere
  }

  LeafValue ValueFor(uint64_t key) { return {static_cast<uint32_t>(key * 3 + 200), static_cast<uint32_t>(key % 97), 4}; }

  bool Insert(uint64_t key) {
    if (index.Reserve(index.Header()->height * 2 + 8) != 0) return false;
    if (!index.Insert(key, ValueFor(key))) return false;
    index.Header()->recordCount += 1;
    model[key] = ValueFor(key);
    return true;
  }

  bool Erase(uint64_t key) {
    if (!index.Erase(key)) return false;
    index.Header()->recordCount -= 1;
    model.erase(key);
    return true;
  }

  // The tree holds exactly the model, in order, whichever way it is walked.
  void ExpectMatchesModel() {
    std::vector<std::string> problems;
    ASSERT_TRUE(index.CheckTree(uint64_t{1} << 40, &problems, nullptr)) << (problems.empty() ? "" : problems[0]);
    IndexEntry entry;
    if (model.empty()) {
      EXPECT_EQ(index.First(&entry), IndexFile::Result::kMissing);
      return;
    }
    ASSERT_EQ(index.First(&entry), IndexFile::Result::kFound);
    auto it = model.begin();
    size_t walked = 0;
    for (;;) {
      ASSERT_EQ(entry.key, it->first);
      ASSERT_EQ(entry.value, it->second);
      ++walked;
      ++it;
      IndexFile::Result r = index.After(entry.key, &entry);
      if (it == model.end()) {
        ASSERT_EQ(r, IndexFile::Result::kMissing);
        break;
      }
      ASSERT_EQ(r, IndexFile::Result::kFound);
    }
    EXPECT_EQ(walked, model.size());
    ASSERT_EQ(index.Last(&entry), IndexFile::Result::kFound);
    EXPECT_EQ(entry.key, model.rbegin()->first);
  }

  test::TempDir dir;
  IndexFile index;
  std::map<uint64_t, LeafValue> model;
};

TEST_F(IndexFileTest, InsertsInOrderFillNodes) {
  // Keys arriving in order (a conversion, a bulk patch) must not leave half-empty
  // leaves behind.
  for (uint64_t k = 0; k < 3 * kLeafCapacity * 50; ++k) ASSERT_TRUE(Insert(k * 5));
  ExpectMatchesModel();
  EXPECT_GE(index.Header()->height, 2u);
  EXPECT_LE(index.Header()->pageCount, model.size() / kLeafCapacity + 10);
}

TEST_F(IndexFileTest, RandomChangesMatchAModel) {
  // Enough keys for three levels, then deletions down to nothing.
  std::mt19937_64 random(1);
  const size_t n = kLeafCapacity * kInnerCapacity + 5000;
  while (model.size() < n) {
    uint64_t key = random();
    if (model.count(key)) continue;
    ASSERT_TRUE(Insert(key));
  }
  EXPECT_EQ(index.Header()->height, 3u);
  ExpectMatchesModel();
  LeafValue v;
  EXPECT_EQ(index.Find(model.begin()->first, &v), IndexFile::Result::kFound);
  EXPECT_EQ(index.Find(model.begin()->first + 1, &v), model.count(model.begin()->first + 1) ? IndexFile::Result::kFound
                                                                                              : IndexFile::Result::kMissing);
  // Updates change values only.
  for (auto& [key, value] : model) {
    value.length += 1;
    ASSERT_TRUE(index.Update(key, value));
    if (key % 3) break;
  }
  uint32_t peakPages = index.Header()->pageCount;
  std::vector<uint64_t> keys;
  for (auto& [key, value] : model) keys.push_back(key);
  std::shuffle(keys.begin(), keys.end(), random);
  for (size_t i = 0; i < keys.size(); ++i) {
    ASSERT_TRUE(Erase(keys[i]));
    if (i == keys.size() / 2) ExpectMatchesModel();
  }
  ExpectMatchesModel();
  EXPECT_EQ(index.Header()->height, 0u);
  // Emptied pages are reused, not added.
  for (uint64_t k = 0; k < 1000; ++k) ASSERT_TRUE(Insert(k));
  EXPECT_EQ(index.Header()->pageCount, peakPages);
  ExpectMatchesModel();
}

TEST_F(IndexFileTest, BulkLoadBuildsASoundTree) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{kLeafCapacity}, size_t{kLeafCapacity + 1}, size_t{kLeafCapacity * (kInnerCapacity + 1) + 1}}) {
    ASSERT_EQ(index.Reset(42, true), 0);
    index.Header()->dataEnd = uint64_t{1} << 40;
    model.clear();
    std::vector<IndexEntry> entries;
    for (uint64_t k = 0; k < n; ++k) {
      entries.push_back({k * 7 + 1, ValueFor(k * 7 + 1)});
      model[k * 7 + 1] = ValueFor(k * 7 + 1);
    }
    ASSERT_EQ(index.Reserve(static_cast<uint32_t>(n / kLeafCapacity + 10)), 0);
    ASSERT_TRUE(index.BulkLoad(entries));
    ExpectMatchesModel();
    // And it takes further changes.
    ASSERT_TRUE(Insert(3));
    ASSERT_TRUE(Insert(~uint64_t{0}));
    if (n > 0) { ASSERT_TRUE(Erase(1)); }
    ExpectMatchesModel();
  }
}

TEST_F(IndexFileTest, FreeSlotListsHandOutFittingSlots) {
  std::vector<std::pair<uint64_t, uint32_t>> pushed;
  for (uint32_t i = 0; i < 2000; ++i) {
    uint32_t length = (i % 40 + 2) * kSlotAlign;
    ASSERT_EQ(index.Reserve(4), 0);
    ASSERT_TRUE(index.PushFree(kDataHeaderSize + uint64_t{i} * 4096, length));
    pushed.emplace_back(kDataHeaderSize + uint64_t{i} * 4096, length);
  }
  ASSERT_TRUE(index.CheckTree(uint64_t{1} << 40, nullptr, nullptr));
  uint64_t offset;
  uint32_t length;
  size_t taken = 0;
  while (index.PopFree(ClassCeil(20 * kSlotAlign), &offset, &length)) {
    ASSERT_GE(length, 20 * kSlotAlign);
    ++taken;
  }
  EXPECT_EQ(taken, 2000u * 22 / 40);
  EXPECT_TRUE(index.PopFree(0, &offset, &length));
  ASSERT_TRUE(index.CheckTree(uint64_t{1} << 40, nullptr, nullptr));
}

TEST_F(IndexFileTest, DamagedNodesAreReportedNotFollowed) {
  for (uint64_t k = 0; k < kLeafCapacity * 20; ++k) ASSERT_TRUE(Insert(k));
  ASSERT_GE(index.Header()->height, 2u);
  struct Case {
    const char* what;
    void (*damage)(uint8_t* page);
  };
  const Case cases[] = {
      {"zeroed node", [](uint8_t* page) { std::memset(page, 0, kPageSize); }},
      {"count beyond capacity", [](uint8_t* page) { reinterpret_cast<NodeHeader*>(page)->count = 0xffff; }},
      {"child outside the file", [](uint8_t* page) {
         auto* inner = reinterpret_cast<InnerNode*>(page);
         if (inner->h.type == kInnerNode) inner->children[0] = 0x7fffffff;
         else std::memset(page, 0xff, kPageSize);
       }},
      {"child points at itself", [](uint8_t* page) {
         auto* inner = reinterpret_cast<InnerNode*>(page);
         if (inner->h.type == kInnerNode) inner->children[0] = 0;
       }},
  };
  std::vector<uint8_t> saved(kPageSize);
  uint32_t root = index.Header()->root;
  uint8_t* rootPage = reinterpret_cast<uint8_t*>(index.Header()) + uint64_t{root} * kPageSize;
  std::memcpy(saved.data(), rootPage, kPageSize);
  for (const Case& c : cases) {
    c.damage(rootPage);
    LeafValue v;
    IndexEntry entry;
    EXPECT_EQ(index.Find(5, &v), IndexFile::Result::kDamaged) << c.what;
    EXPECT_EQ(index.First(&entry), IndexFile::Result::kDamaged) << c.what;
    EXPECT_EQ(index.After(5, &entry), IndexFile::Result::kDamaged) << c.what;
    EXPECT_FALSE(index.CheckTree(uint64_t{1} << 40, nullptr, nullptr)) << c.what;
    std::memcpy(rootPage, saved.data(), kPageSize);
  }
  // Restored, the tree is whole again.
  ExpectMatchesModel();
}

TEST_F(IndexFileTest, GrowingNeverShrinksAFileAnotherMappingUses) {
  // Two mappings of one file, as two processes have it: the one that lags behind
  // grows from the file's size, not from its own mapping, and sees the pages the
  // other added.
  IndexFile lagging;
  ASSERT_EQ(lagging.Open(dir / "t.idx", false), 0);
  const uint32_t small = lagging.MappedPages();
  ASSERT_EQ(index.Reserve(small * 8), 0);
  const uint32_t big = index.MappedPages();
  ASSERT_GT(big, small * 8);
  ASSERT_EQ(lagging.Reserve(small), 0);
  EXPECT_GE(lagging.MappedPages(), big);
  EXPECT_EQ(std::filesystem::file_size(dir / "t.idx"), uint64_t{big} * kPageSize);
  // The far end of the other mapping is still backed by the file.
  reinterpret_cast<uint8_t*>(index.Header())[uint64_t{big} * kPageSize - 1] = 1;
  EXPECT_EQ(reinterpret_cast<uint8_t*>(lagging.Header())[uint64_t{big} * kPageSize - 1], 1);
}

}  // namespace
}  // namespace qx::engine
