// Byte layout of a binary patch file (".rtp"), shared by the builder and the
// applier. All integers are little-endian.
//
//   header (48 bytes)
//     0  magic "QXRTPAT\x1a"
//     8  u32 format version (kFormatVersion)
//    12  u32 entry count N
//    16  u64 table size: bytes of the N entries that follow the header
//    24  u64 payload size: bytes of the payload area that follows the table
//    32  u64 checksum: Digest64 of the whole file, read with these 8 bytes as zero
//    40  u64 reserved, 0
//   N entries, each kEntryFixedSize bytes and then its path
//     0  u8  operation (kOpAdd, kOpModify, kOpDelete)
//     1  u8  flags (kFlagDeferred)
//     2  u16 path length in bytes (1..kMaxPathLength)
//     4  u32 permission bits of the new file (0: keep the old file's, or 0644 for a new one)
//     8  u64 old size       16 u64 old digest
//    24  u64 new size       32 u64 new digest
//    40  u64 payload offset, relative to the start of the payload area
//    48  u64 payload size
//    56  u32 segment count  60 u32 reserved, 0
//    64  path: relative, '/' between components, no "", "." or ".." component
//   payload area: per add or modify entry, its segments one after the other
//     segment header (32 bytes)
//       0  u64 offset of the reference range in the old file
//       8  u64 size of the reference range (0 for an added file)
//      16  u64 bytes of new file this segment produces
//      24  u64 size of the zstd frame that follows
//     the zstd frame, compressed with the reference range as its prefix
//
// The segments of an entry produce its new file in order; the sum of their
// sizes is the entry's new size. Digests are Digest64 (platform/rtpatch/digest.h).
// A file whose total size differs from 48 + table size + payload size, or whose
// checksum differs, is damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qx::rtpatch::format {

inline constexpr char kMagic[8] = {'Q', 'X', 'R', 'T', 'P', 'A', 'T', '\x1a'};
inline constexpr std::uint32_t kFormatVersion = 1;

inline constexpr std::size_t kHeaderSize = 48;
inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kEntryCountOffset = 12;
inline constexpr std::size_t kTableSizeOffset = 16;
inline constexpr std::size_t kPayloadSizeOffset = 24;
inline constexpr std::size_t kChecksumOffset = 32;

inline constexpr std::size_t kEntryFixedSize = 64;
inline constexpr std::size_t kMaxPathLength = 4096;
inline constexpr std::size_t kSegmentHeaderSize = 32;

inline constexpr std::uint8_t kOpAdd = 1;
inline constexpr std::uint8_t kOpModify = 2;
inline constexpr std::uint8_t kOpDelete = 3;

inline constexpr std::uint8_t kFlagDeferred = 0x01;
inline constexpr std::uint8_t kKnownFlags = kFlagDeferred;

// The largest zstd window a patch may ask for (2^27 = 128 MiB). The builder
// keeps every segment's reference range plus its new bytes below it.
inline constexpr unsigned kMaxWindowLog = 27;

struct EntryHeader_t {
  std::uint8_t op = 0;
  std::uint8_t flags = 0;
  std::uint16_t pathLength = 0;
  std::uint32_t mode = 0;
  std::uint64_t oldSize = 0;
  std::uint64_t oldDigest = 0;
  std::uint64_t newSize = 0;
  std::uint64_t newDigest = 0;
  std::uint64_t payloadOffset = 0;
  std::uint64_t payloadSize = 0;
  std::uint32_t segmentCount = 0;
};

struct SegmentHeader_t {
  std::uint64_t refOffset = 0;
  std::uint64_t refSize = 0;
  std::uint64_t newSize = 0;
  std::uint64_t frameSize = 0;
};

inline std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t Get64(const unsigned char* p) {
  return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Put64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void WriteEntryHeader(unsigned char* p, const EntryHeader_t& e) {
  std::memset(p, 0, kEntryFixedSize);
  p[0] = e.op;
  p[1] = e.flags;
  Put16(p + 2, e.pathLength);
  Put32(p + 4, e.mode);
  Put64(p + 8, e.oldSize);
  Put64(p + 16, e.oldDigest);
  Put64(p + 24, e.newSize);
  Put64(p + 32, e.newDigest);
  Put64(p + 40, e.payloadOffset);
  Put64(p + 48, e.payloadSize);
  Put32(p + 56, e.segmentCount);
}

inline EntryHeader_t ReadEntryHeader(const unsigned char* p) {
  EntryHeader_t e;
  e.op = p[0];
  e.flags = p[1];
  e.pathLength = Get16(p + 2);
  e.mode = Get32(p + 4);
  e.oldSize = Get64(p + 8);
  e.oldDigest = Get64(p + 16);
  e.newSize = Get64(p + 24);
  e.newDigest = Get64(p + 32);
  e.payloadOffset = Get64(p + 40);
  e.payloadSize = Get64(p + 48);
  e.segmentCount = Get32(p + 56);
  return e;
}

inline void WriteSegmentHeader(unsigned char* p, const SegmentHeader_t& s) {
  Put64(p, s.refOffset);
  Put64(p + 8, s.refSize);
  Put64(p + 16, s.newSize);
  Put64(p + 24, s.frameSize);
}

inline SegmentHeader_t ReadSegmentHeader(const unsigned char* p) {
  return SegmentHeader_t{Get64(p), Get64(p + 8), Get64(p + 16), Get64(p + 24)};
}

}  // namespace qx::rtpatch::format
