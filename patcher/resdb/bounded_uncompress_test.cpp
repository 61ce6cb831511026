#include "patcher/resdb/bounded_uncompress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "patcher/resdb/resource_patch_test_support.h"

namespace {

// What zlib's uncompress answers for a destination of `capacity` bytes.
std::pair<int, std::string> Reference(const std::string& source, std::uint32_t capacity) {
  std::string out(capacity, '\0');
  uLongf length = capacity;
  const int result = uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                                reinterpret_cast<const Bytef*>(source.data()), static_cast<uLong>(source.size()));
  out.resize(result == Z_OK ? length : 0);
  return {result, out};
}

TEST(BoundedUncompress, AnswersAsUncompressDoes) {
  std::string data;
  for (unsigned i = 0; i < 300000; ++i) data += static_cast<char>('a' + (i * i) % 7);
  const std::string z = qx::test::ResBytes::Deflate(data);
  const std::string empty = qx::test::ResBytes::Deflate("");
  std::string damaged = z;
  damaged[z.size() / 2] ^= 0x21;
  const auto size = static_cast<std::uint32_t>(data.size());
  const struct {
    const char* name;
    std::string source;
    std::uint32_t capacity;
  } cases[] = {
      {"exact size", z, size},
      {"one byte short", z, size - 1},
      {"one byte more", z, size + 1},
      {"far more", z, size * 3},
      {"cut short", z.substr(0, z.size() - 9), size},
      {"damaged", damaged, size},
      {"not zlib at all", "plain text, not compressed", 100},
      {"no input", "", 10},
      {"empty data, no room", empty, 0},
      {"empty data, room", empty, 5},
      {"data, no room", z, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> out;
    const int result = BoundedUncompress(reinterpret_cast<const std::uint8_t*>(c.source.data()), c.source.size(),
                                         c.capacity, out);
    const auto [expectedResult, expectedOut] = Reference(c.source, c.capacity);
    EXPECT_EQ(result, expectedResult);
    if (result == Z_OK) {
      EXPECT_EQ(std::string(out.begin(), out.end()), expectedOut);
    }
  }
}

TEST(BoundedUncompress, AHugeAnnouncedSizeCostsOnlyWhatTheDataHolds) {
  const std::string z = qx::test::ResBytes::Deflate("small");
  std::vector<std::uint8_t> out;
  EXPECT_EQ(BoundedUncompress(reinterpret_cast<const std::uint8_t*>(z.data()), z.size(), 0xFFFFFFF0u, out), Z_OK);
  EXPECT_EQ(std::string(out.begin(), out.end()), "small");
  EXPECT_LE(out.capacity(), 64u * 1024);
}

}  // namespace
