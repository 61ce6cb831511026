// 64-bit content digest of patched files and of the patch container.
//
// The digest is the 64-bit xxHash (XXH64, seed 0): fast enough to hash every
// old and new file of an update at memory speed, and strong enough to tell an
// old file from a new one or from a damaged copy (it is not a defence against
// a forger; the patch set's signature is). Digest64 hashes one buffer;
// DigestStream_c hashes data that arrives in pieces and gives the same value.
//
// No state is shared; a DigestStream_c object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::rtpatch {

std::uint64_t Digest64(const void* data, std::size_t size);

class DigestStream_c {
 public:
  DigestStream_c() { Reset(); }
  void Reset();
  void Update(const void* data, std::size_t size);
  std::uint64_t Finish() const;  // does not change the state; more data may follow

 private:
  std::uint64_t m_acc[4];
  std::uint64_t m_total;
  unsigned char m_buffer[32];
  std::size_t m_buffered;
};

}  // namespace qx::rtpatch
