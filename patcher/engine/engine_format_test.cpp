#include <gtest/gtest.h>

#include <cstring>

#include <random>

#include "patcher/engine/data_file.h"
#include "patcher/engine/engine_format.h"
#include "patcher/engine/engine_test_support.h"

namespace qx::engine {
namespace {

using namespace format;

TEST(EngineFormat, SizeClassesBracketEveryLength) {
  // Every slot length must fall between its floor class and its ceiling class, and
  // classes must grow, or freed slots would be handed to records they cannot hold.
  for (uint32_t c = 1; c < kClassCount; ++c) ASSERT_GT(ClassSize(c), ClassSize(c - 1)) << c;
  std::mt19937_64 random(7);
  std::vector<uint64_t> lengths = {32, 64, 992, 1024, 1056, 1152, 1153, 2048, 2049, 65536, 65568, uint64_t{1} << 30};
  for (int i = 0; i < 20000; ++i) lengths.push_back((random() % (uint64_t{1} << (random() % 27 + 1)) + 1) * kSlotAlign);
  for (uint64_t length : lengths) {
    uint32_t ceil = ClassCeil(length);
    uint32_t floor = ClassFloor(length);
    ASSERT_GE(ClassSize(ceil), length) << length;
    ASSERT_LE(ClassSize(floor), length) << length;
    if (ceil > 0) {
      ASSERT_LT(ClassSize(ceil - 1), length) << length;
    }
    if (floor + 1 < kClassCount) {
      ASSERT_GT(ClassSize(floor + 1), length) << length;
    }
  }
  // Rounding costs at most an eighth above 1 KiB.
  EXPECT_LE(ClassSize(ClassCeil(1025)), 1152u);
  EXPECT_LE(ClassSize(ClassCeil(65537)), 65536u * 9 / 8 + 1);
}

TEST(EngineFormat, ResourceKeyShape) {
  KeyShape shape;
  ASSERT_EQ(shape.Assign(fixture::ResourceDefinition("x")), kOk);
  auto image = fixture::Image(0x000F4254, 7, "abc");
  uint64_t key = 0;
  ASSERT_TRUE(shape.KeyFromImage(image.data(), static_cast<uint32_t>(image.size()), &key));
  uint8_t bytes[8];
  KeyToBytes(key, bytes);
  const uint8_t expected[8] = {0x00, 0x0F, 0x42, 0x54, 0, 0, 0, 7};
  EXPECT_EQ(0, std::memcmp(bytes, expected, 8));
  uint8_t fixed[8] = {};
  ASSERT_TRUE(shape.FixedPartFromKey(key, fixed));
  EXPECT_EQ(0, std::memcmp(fixed, image.data(), 8));
  EXPECT_FALSE(shape.KeyFromImage(image.data(), 7, &key));
}

TEST(EngineFormat, UnsupportedDefinitionsAreRefused) {
  struct Case {
    const char* what;
    void (*change)(IFIL&);
  };
  const Case cases[] = {
      {"no index", [](IFIL& d) { d.indexes.clear(); }},
      {"two indexes", [](IFIL& d) { d.indexes.push_back(d.indexes[0]); }},
      {"short key", [](IFIL& d) { d.indexes[0].keyLength = 4; }},
      {"duplicates", [](IFIL& d) { d.indexes[0].duplicates = 1; }},
      {"segments do not add up", [](IFIL& d) { d.indexes[0].segments.pop_back(); }},
      {"unknown segment mode", [](IFIL& d) { d.indexes[0].segments[0].mode = 9; }},
      {"odd integer width", [](IFIL& d) { d.indexes[0].segments = {{0, 3, 1}, {3, 5, 1}}; }},
      {"no fixed part", [](IFIL& d) { d.fixedRecordLength = 0; }},
  };
  for (const Case& c : cases) {
    IFIL d = fixture::ResourceDefinition("x");
    c.change(d);
    KeyShape shape;
    EXPECT_EQ(shape.Assign(d), kBadDefinition) << c.what;
  }
}

TEST(EngineFormat, StoredInfoRoundTripsAndRejectsEveryTruncation) {
  IFIL d = fixture::ResourceDefinition("cd_image/data/db/ResourceDatabase");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(EncodeDefinition(d, bytes));
  IFIL back;
  ASSERT_TRUE(DecodeDefinition(bytes.data(), bytes.size(), back));
  EXPECT_EQ(back.dataFileName, d.dataFileName);
  EXPECT_EQ(back.indexes.at(0).name, "ItemIdx");
  EXPECT_EQ(back.indexes[0].segments.size(), 2u);
  EXPECT_EQ(back.lastField, "Blob");
  for (size_t cut = 0; cut < bytes.size(); ++cut) ASSERT_FALSE(DecodeDefinition(bytes.data(), cut, back)) << cut;

  const DODA fields[3] = {{"Type", 59, 0}, {"Instance", 59, 0}, {"Blob", 128, 8192}};
  ASSERT_TRUE(EncodeFieldList(fields, 3, bytes));
  std::vector<DODA> list;
  ASSERT_TRUE(DecodeFieldList(bytes.data(), bytes.size(), list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].name, "Blob");
  EXPECT_EQ(list[2].type, 128);
  EXPECT_EQ(list[2].length, 8192u);
  for (size_t cut = 0; cut < bytes.size(); ++cut) ASSERT_FALSE(DecodeFieldList(bytes.data(), cut, list)) << cut;
}

TEST(EngineFormat, SlotHeaderChecksCatchDamage) {
  SlotHeader h{};
  h.tag = kLiveTag;
  h.slotLength = 64;
  h.imageLength = 20;
  h.sequence = 9;
  SealSlotHeader(h);
  ASSERT_TRUE(SlotHeaderValid(h));
  for (size_t byte = 0; byte < sizeof(h); ++byte) {
    SlotHeader bad = h;
    reinterpret_cast<uint8_t*>(&bad)[byte] ^= 0x10;
    EXPECT_FALSE(SlotHeaderValid(bad)) << byte;
  }
  // Lengths that cannot be are refused even with a matching checksum.
  SlotHeader tooLong = h;
  tooLong.imageLength = 40;
  SealSlotHeader(tooLong);
  EXPECT_FALSE(SlotHeaderValid(tooLong));
  SlotHeader unaligned = h;
  unaligned.slotLength = 70;
  SealSlotHeader(unaligned);
  EXPECT_FALSE(SlotHeaderValid(unaligned));
}

}  // namespace
}  // namespace qx::engine
