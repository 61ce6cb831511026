#include "patcher/engine/engine_format.h"

#include <cstring>

namespace qx::engine::format {

namespace {

constexpr uint64_t kP1 = 0x9e3779b185ebca87ULL;
constexpr uint64_t kP2 = 0xc2b2ae3d27d4eb4fULL;
constexpr uint64_t kP3 = 0x165667b19e3779f9ULL;
constexpr uint64_t kP4 = 0x85ebca77c2b2ae63ULL;
constexpr uint64_t kP5 = 0x27d4eb2f165667c5ULL;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t Lane(uint64_t acc, uint64_t input) {
  acc += input * kP2;
  acc = std::rotl(acc, 31);
  return acc * kP1;
}
inline uint64_t Merge(uint64_t acc, uint64_t lane) {
  acc ^= Lane(0, lane);
  return acc * kP1 + kP4;
}

}  // namespace

uint64_t Hash64(const void* data, size_t length, uint64_t seed) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint8_t* end = p + length;
  uint64_t h;
  if (length >= 32) {
    uint64_t a = seed + kP1 + kP2, b = seed + kP2, c = seed, d = seed - kP1;
    const uint8_t* limit = end - 32;
    do {
      a = Lane(a, Load64(p));
      b = Lane(b, Load64(p + 8));
      c = Lane(c, Load64(p + 16));
      d = Lane(d, Load64(p + 24));
      p += 32;
    } while (p <= limit);
    h = std::rotl(a, 1) + std::rotl(b, 7) + std::rotl(c, 12) + std::rotl(d, 18);
    h = Merge(h, a);
    h = Merge(h, b);
    h = Merge(h, c);
    h = Merge(h, d);
  } else {
    h = seed + kP5;
  }
  h += static_cast<uint64_t>(length);
  for (; p + 8 <= end; p += 8) {
    h ^= Lane(0, Load64(p));
    h = std::rotl(h, 27) * kP1 + kP4;
  }
  if (p + 4 <= end) {
    h ^= static_cast<uint64_t>(Load32(p)) * kP1;
    h = std::rotl(h, 23) * kP2 + kP3;
    p += 4;
  }
  for (; p < end; ++p) {
    h ^= static_cast<uint64_t>(*p) * kP5;
    h = std::rotl(h, 11) * kP1;
  }
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

uint64_t ClassSize(uint32_t sizeClass) {
  if (sizeClass < 32) return uint64_t{kSlotAlign} * (sizeClass + 1);
  uint32_t group = (sizeClass - 32) / 8;
  uint32_t step = (sizeClass - 32) % 8;
  return (uint64_t{128} << group) * (9 + step);
}

uint32_t ClassCeil(uint64_t slotLength) {
  if (slotLength <= 1024) return slotLength <= kSlotAlign ? 0 : static_cast<uint32_t>((slotLength + kSlotAlign - 1) / kSlotAlign - 1);
  // Group g covers (1024 << g, 2048 << g].
  uint32_t group = 0;
  while ((uint64_t{2048} << group) < slotLength) ++group;
  uint64_t unit = uint64_t{128} << group;
  uint64_t steps = (slotLength + unit - 1) / unit;  // 9..16
  uint32_t c = 32 + group * 8 + static_cast<uint32_t>(steps - 9);
  return c < kClassCount ? c : kClassCount - 1;
}

uint32_t ClassFloor(uint64_t slotLength) {
  if (slotLength < kSlotAlign) return 0;
  if (slotLength < 1152) return static_cast<uint32_t>(slotLength / kSlotAlign - 1) < 31 ? static_cast<uint32_t>(slotLength / kSlotAlign - 1) : 31;
  uint32_t group = 0;
  while ((uint64_t{2304} << group) <= slotLength) ++group;  // group g covers [1152 << g, 2304 << g)
  uint64_t unit = uint64_t{128} << group;
  uint64_t steps = slotLength / unit;  // 9..17
  if (steps > 16) steps = 16;
  uint32_t c = 32 + group * 8 + static_cast<uint32_t>(steps - 9);
  return c < kClassCount ? c : kClassCount - 1;
}

}  // namespace qx::engine::format
