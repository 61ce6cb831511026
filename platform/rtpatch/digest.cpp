#include "platform/rtpatch/digest.h"

#include <cstring>

namespace qx::rtpatch {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

inline std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline std::uint64_t Read64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (x86-64, aarch64)
}

inline std::uint32_t Read32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t Round(std::uint64_t acc, std::uint64_t input) {
  acc += input * kPrime2;
  acc = Rotl(acc, 31);
  return acc * kPrime1;
}

inline std::uint64_t Merge(std::uint64_t acc, std::uint64_t value) {
  acc ^= Round(0, value);
  return acc * kPrime1 + kPrime4;
}

// Consumes whole 32-byte stripes from p; returns the bytes used.
std::size_t Stripes(std::uint64_t acc[4], const unsigned char* p, std::size_t size) {
  std::size_t used = 0;
  std::uint64_t a = acc[0], b = acc[1], c = acc[2], d = acc[3];
  while (size - used >= 32) {
    a = Round(a, Read64(p + used));
    b = Round(b, Read64(p + used + 8));
    c = Round(c, Read64(p + used + 16));
    d = Round(d, Read64(p + used + 24));
    used += 32;
  }
  acc[0] = a, acc[1] = b, acc[2] = c, acc[3] = d;
  return used;
}

std::uint64_t Tail(std::uint64_t h, const unsigned char* p, std::size_t size) {
  while (size >= 8) {
    h ^= Round(0, Read64(p));
    h = Rotl(h, 27) * kPrime1 + kPrime4;
    p += 8, size -= 8;
  }
  if (size >= 4) {
    h ^= static_cast<std::uint64_t>(Read32(p)) * kPrime1;
    h = Rotl(h, 23) * kPrime2 + kPrime3;
    p += 4, size -= 4;
  }
  while (size > 0) {
    h ^= (*p) * kPrime5;
    h = Rotl(h, 11) * kPrime1;
    ++p, --size;
  }
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}

std::uint64_t Converge(const std::uint64_t acc[4]) {
  std::uint64_t h = Rotl(acc[0], 1) + Rotl(acc[1], 7) + Rotl(acc[2], 12) + Rotl(acc[3], 18);
  for (int i = 0; i < 4; ++i) h = Merge(h, acc[i]);
  return h;
}

}  // namespace

std::uint64_t Digest64(const void* data, std::size_t size) {
  DigestStream_c stream;
  stream.Update(data, size);
  return stream.Finish();
}

void DigestStream_c::Reset() {
  m_acc[0] = kPrime1 + kPrime2;
  m_acc[1] = kPrime2;
  m_acc[2] = 0;
  m_acc[3] = 0 - kPrime1;
  m_total = 0;
  m_buffered = 0;
}

void DigestStream_c::Update(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  m_total += size;
  if (m_buffered > 0) {
    std::size_t take = 32 - m_buffered;
    if (take > size) take = size;
    std::memcpy(m_buffer + m_buffered, p, take);
    m_buffered += take;
    p += take, size -= take;
    if (m_buffered < 32) return;
    Stripes(m_acc, m_buffer, 32);
    m_buffered = 0;
  }
  std::size_t used = Stripes(m_acc, p, size);
  m_buffered = size - used;
  if (m_buffered > 0) std::memcpy(m_buffer, p + used, m_buffered);
}

std::uint64_t DigestStream_c::Finish() const {
  std::uint64_t h = m_total >= 32 ? Converge(m_acc) : m_acc[2] + kPrime5;
  h += m_total;
  return Tail(h, m_buffer, m_buffered);
}

}  // namespace qx::rtpatch
