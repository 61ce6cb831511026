#include "platform/rtpatch/digest.h"

#include <gtest/gtest.h>

#include <vector>

namespace qx::rtpatch {
namespace {

std::vector<unsigned char> Pattern(std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
  return v;
}

// Reference values of the 64-bit xxHash (seed 0) for every tail length class:
// below 4, 4..7, 8..31, exactly one stripe and several stripes plus a tail.
TEST(Digest64, MatchesReferenceValues) {
  const struct {
    std::size_t size;
    std::uint64_t digest;
  } cases[] = {
      {0, 0xef46db3751d8e999ULL},  {1, 0x1f25c8d0bc1f4bb6ULL},   {3, 0x31d2363f52e564c9ULL},
      {4, 0x9bb64b7d66ee9fdaULL},  {8, 0xdab99d95c6f90092ULL},   {31, 0xa2aa5f33cc4a6119ULL},
      {32, 0x23c3c17ef790fd97ULL}, {33, 0x50a7cfc7ba588784ULL},  {100, 0xa61f8d4c170fe531ULL},
      {1000, 0x5f235fa033f1a3fbULL},
  };
  for (const auto& c : cases) {
    auto data = Pattern(c.size);
    EXPECT_EQ(Digest64(data.data(), data.size()), c.digest) << "size " << c.size;
  }
}

TEST(Digest64, StreamGivesTheSameValueForAnySplit) {
  auto data = Pattern(1000);
  const std::uint64_t whole = Digest64(data.data(), data.size());
  for (std::size_t piece : {1, 5, 31, 32, 33, 64, 999}) {
    DigestStream_c stream;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      stream.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(stream.Finish(), whole) << "pieces of " << piece;
  }
}

}  // namespace
}  // namespace qx::rtpatch
