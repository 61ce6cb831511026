// Byte layouts of the record engine's two files, shared by every reader and writer.
//
// Data file "<base>.dat":
//   bytes 0..4095     the data header page: a primary copy of the header at 0 and a
//                     backup copy at 2048, each with its own checksum, so one damaged
//                     copy does not lose the file. The primary carries the format
//                     stamp as the byte pair at offset 40 ({stamp, 0}).
//   bytes 4096..      slots, each starting on a 32-byte boundary: a 32-byte slot
//                     header, then (for a live slot) the record image, then padding
//                     up to the slot length. A free slot holds a header only; what
//                     follows it up to its length is dead space.
// The data file is the authority: the index can always be rebuilt from a scan of
// it. A record is never overwritten in place; a new copy goes to another slot and
// the old slot is marked free afterwards, and the sequence number in each slot
// header lets the newest copy of a key win when a stop left two behind.
//
// Index file "<base>.idx": 4096-byte pages, mapped shared by every process that
// has the pair open. Page 0 is the index header (tree root, counters, the lists of
// free data slots by size class); the other pages are B+tree nodes over the 8-byte
// keys, pages of free-slot lists, and free pages. Everything in the index file is
// derived from the data file.
//
// All multi-byte numbers are little-endian; the code relies on a little-endian host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qx::engine::format {

static_assert(std::endian::native == std::endian::little, "the file layouts assume a little-endian host");

inline constexpr uint32_t kPageSize = 4096;

// ---------------------------------------------------------------------------
// Data header

inline constexpr uint32_t kDataHeaderSize = 4096;      // records start here
inline constexpr uint32_t kHeaderCopySize = 2048;      // one copy of the header
inline constexpr uint32_t kBackupHeaderOffset = 2048;  // where the second copy sits
inline constexpr char kDataMagic[8] = {'Q', 'X', 'R', 'E', 'C', 'D', 'A', 'T'};
inline constexpr uint32_t kLayoutVersion = 1;
// The format stamp this engine writes into new files. Stamps of 145 and above mark
// the current format; older stamps mark a pair that the database conversion copies.
inline constexpr uint16_t kCurrentFormatStamp = 145;
inline constexpr uint32_t kFormatStampOffset = 40;
inline constexpr uint32_t kParameterBlockSize = 64;

// Room for the stored definition and field list inside one header copy.
inline constexpr uint32_t kStoredInfoOffset = 256;
inline constexpr uint32_t kStoredInfoCapacity = kHeaderCopySize - kStoredInfoOffset - 4;

struct DataHeader {
  char magic[8];                     // 0   kDataMagic
  uint32_t layoutVersion;            // 8   kLayoutVersion
  uint32_t headerSize;               // 12  kDataHeaderSize
  uint64_t salt;                     // 16  random at creation; the index must carry the same
  uint32_t dataMode;                 // 24  stored mode word of the data file
  uint32_t indexMode;                // 28  stored mode word of the index file
  uint32_t flags;                    // 32  kHasDefinition | kHasFieldList
  uint32_t reserved0;                // 36
  uint16_t formatStamp;              // 40  {stamp, 0}: the byte pair the conversion reads
  uint16_t reserved1;                // 42
  uint32_t definitionSize;           // 44  bytes of the stored definition at kStoredInfoOffset
  uint32_t fieldListSize;            // 48  bytes of the stored field list after it
  uint32_t reserved2[3];             // 52
  uint8_t dataCreation[kParameterBlockSize];   // 64   creation parameter block of the data file
  uint8_t indexCreation[kParameterBlockSize];  // 128  creation parameter block of the index file
  uint8_t reserved3[kStoredInfoOffset - 192];  // 192
  uint8_t storedInfo[kStoredInfoCapacity];    // 256  definition, then field list
  uint32_t checksum;                 // 2044 checksum of bytes 0..2043 of this copy
};
static_assert(sizeof(DataHeader) == kHeaderCopySize);
static_assert(offsetof(DataHeader, formatStamp) == kFormatStampOffset);
static_assert(offsetof(DataHeader, dataCreation) == 64);
static_assert(offsetof(DataHeader, storedInfo) == kStoredInfoOffset);

inline constexpr uint32_t kHasDefinition = 1;
inline constexpr uint32_t kHasFieldList = 2;

// ---------------------------------------------------------------------------
// Slots

inline constexpr uint32_t kSlotAlign = 32;
inline constexpr uint32_t kSlotHeaderSize = 32;
inline constexpr uint32_t kLiveTag = 0x4c525851;  // "QXRL"
inline constexpr uint32_t kFreeTag = 0x46525851;  // "QXRF"
// Largest record image the engine stores.
inline constexpr uint32_t kMaxImageLength = 1u << 30;
// Slot offsets are kept in 32-byte units in 32 bits: the data file ends at 128 GiB.
inline constexpr uint64_t kMaxDataFileSize = uint64_t{0xffffffff} * kSlotAlign;

struct SlotHeader {
  uint32_t tag;             // 0  kLiveTag or kFreeTag
  uint32_t slotLength;      // 4  bytes from the header to the next slot; a multiple of 32
  uint64_t sequence;        // 8  write order of live records; newest copy of a key wins
  uint32_t imageLength;     // 16 bytes of record image after the header (0 for free slots)
  uint32_t imageChecksum;   // 20 checksum of the image
  uint32_t reserved;        // 24 0
  uint32_t headerChecksum;  // 28 checksum of bytes 0..27
};
static_assert(sizeof(SlotHeader) == kSlotHeaderSize);

// Slot length for an image of `imageLength` bytes before rounding to a size class.
constexpr uint64_t SlotLengthFor(uint64_t imageLength) {
  return (kSlotHeaderSize + imageLength + kSlotAlign - 1) / kSlotAlign * kSlotAlign;
}

// Size classes of slots: multiples of 32 bytes up to 1 KiB, then eight classes per
// doubling. A free slot goes to the largest class whose size it reaches; a request
// takes the smallest class that holds it, so any slot on that class's list fits.
inline constexpr uint32_t kClassCount = 216;
uint64_t ClassSize(uint32_t sizeClass);
uint32_t ClassCeil(uint64_t slotLength);   // smallest class with ClassSize >= length
uint32_t ClassFloor(uint64_t slotLength);  // largest class with ClassSize <= length

// ---------------------------------------------------------------------------
// Index file

inline constexpr char kIndexMagic[8] = {'Q', 'X', 'R', 'E', 'C', 'I', 'D', 'X'};

struct IndexHeader {
  char magic[8];              // 0   kIndexMagic
  uint32_t layoutVersion;     // 8
  uint32_t pageSize;          // 12  kPageSize
  uint64_t salt;              // 16  equals the data header's salt
  uint64_t changeSequence;    // 24  odd while a change is under way; +2 per change
  uint32_t clean;             // 32  1: written by a clean close and unchanged since
  uint32_t pageCount;         // 36  pages in use, header included
  uint32_t root;              // 40  root node page, 0 for an empty tree
  uint32_t height;            // 44  levels of the tree, 0 for an empty tree
  uint64_t recordCount;       // 48
  uint32_t freePageHead;      // 56  first free page, chained through their first word
  uint32_t reserved0;         // 60
  uint64_t dataEnd;           // 64  end of the last slot of the data file
  uint64_t nextSequence;      // 72  sequence number of the next record written
  uint64_t openers;           // 80  processes that have the pair open (too high after a crash
                              //     until the next open by a process alone with the pair)
  uint64_t reserved1[5];      // 88
  uint32_t classHeads[kClassCount];  // 128  first page of each class's free-slot list
};
static_assert(offsetof(IndexHeader, classHeads) == 128);
static_assert(sizeof(IndexHeader) <= kPageSize);

inline constexpr uint16_t kLeafNode = 0x4c31;      // "1L"
inline constexpr uint16_t kInnerNode = 0x4931;     // "1I"
inline constexpr uint16_t kFreeListPage = 0x4631;  // "1F"
inline constexpr uint16_t kUnusedPage = 0x5531;    // "1U"

struct NodeHeader {
  uint16_t type;
  uint16_t count;  // leaf: entries; inner node: separator keys (children = count + 1)
  uint32_t next;   // free page chain / free-slot list chain
  uint64_t reserved;
};
static_assert(sizeof(NodeHeader) == 16);

struct LeafValue {
  uint32_t offset32;  // slot offset / 32
  uint32_t length;    // record image length
  uint32_t slot32;    // slot length / 32
  bool operator==(const LeafValue&) const = default;
};

inline constexpr uint32_t kLeafCapacity = (kPageSize - sizeof(NodeHeader)) / (8 + sizeof(LeafValue));
inline constexpr uint32_t kInnerCapacity = (kPageSize - sizeof(NodeHeader) - 4) / (8 + 4);

struct LeafNode {
  NodeHeader h;
  uint64_t keys[kLeafCapacity];
  LeafValue values[kLeafCapacity];
};
static_assert(sizeof(LeafNode) <= kPageSize);

struct InnerNode {
  NodeHeader h;
  uint64_t keys[kInnerCapacity];
  uint32_t children[kInnerCapacity + 1];
};
static_assert(sizeof(InnerNode) <= kPageSize);

struct FreeSlot {
  uint64_t offset;
  uint32_t length;
  uint32_t reserved;
};

inline constexpr uint32_t kFreeListCapacity = (kPageSize - sizeof(NodeHeader)) / sizeof(FreeSlot);

struct FreeListPage {
  NodeHeader h;
  FreeSlot slots[kFreeListCapacity];
};
static_assert(sizeof(FreeListPage) <= kPageSize);

// ---------------------------------------------------------------------------
// Stored definition and field list, packed one after the other into the data
// header's storedInfo (strings are a 16-bit length and the bytes):
//   definition: u16 version (1), string data file name, u32 fixed record length,
//               u32 data extension, u32 index extension, u32 data mode, u32 index
//               mode, u16 index count, per index { string name, u16 key length,
//               u8 key type, u8 duplicates, u8 null key, u8 pad byte, u16 segment
//               count, per segment { u16 record offset, u16 length, u16 mode } },
//               string first field, string last field
//   field list: u16 version (1), u16 count, per field { string name, u8 type, u32 length }
inline constexpr uint16_t kStoredInfoVersion = 1;

// ---------------------------------------------------------------------------
// Locks. Every process takes its locks on the data file with open-file-description
// byte-range locks (fcntl), far beyond any real file offset:
//   kOpenLockByte     shared while a process has the pair open; exclusive while one
//                     process checks or repairs the pair alone
//   kWriterLockByte   exclusive while a process changes the pair
//   kRecordLockBase+k record lock of key k (keys that differ only in their top two
//                     bits share a lock byte; a false conflict is the only effect)
inline constexpr int64_t kOpenLockByte = (int64_t{1} << 62) - 16;
inline constexpr int64_t kWriterLockByte = (int64_t{1} << 62) - 8;
inline constexpr int64_t kRecordLockBase = int64_t{1} << 62;
inline constexpr uint64_t kRecordLockMask = (uint64_t{1} << 62) - 1;

// ---------------------------------------------------------------------------
// Checksums: a fast 64-bit hash, folded to 32 bits where a header keeps it.

uint64_t Hash64(const void* data, size_t length, uint64_t seed = 0);
inline uint32_t Checksum32(const void* data, size_t length, uint64_t seed = 0) {
  uint64_t h = Hash64(data, length, seed);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace qx::engine::format
