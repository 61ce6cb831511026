// Layout of the resource database's records and keys, and the definitions the
// block database hands to the record engine for it.
//
// Record (every word little-endian):
//   0  Type          4 bytes
//   4  Instance      4 bytes
//   8  blob length   4 bytes (written; on reading the blob length is the record
//                    length minus 12 and this word is not consulted)
//   12 blob          L bytes
// The first 8 bytes are the record's fixed part.
//
// Index key "ItemIdx": Type big-endian, then Instance big-endian, so that bytewise
// order is key order. One record per key.
#pragma once

#include <cstdint>
#include <string>

#include "patcher/engine/record_engine.h"

namespace BlockDatabaseFormat {

inline constexpr std::uint32_t kRecordHeaderSize = 12;
inline constexpr std::uint32_t kFixedPartSize = 8;
inline constexpr std::uint32_t kKeySize = 8;
inline constexpr std::uint32_t kTypeOffset = 0;
inline constexpr std::uint32_t kInstanceOffset = 4;
inline constexpr std::uint32_t kBlobLengthOffset = 8;

inline constexpr const char* kIndexName = "ItemIdx";
inline constexpr std::uint32_t kDataFileMode = 6;   // write-through (0x40) clear
inline constexpr std::uint32_t kIndexFileMode = 2;
inline constexpr std::uint32_t kExtensionSize = 4096;

// The creation parameter block (the same for both files): 32-bit words.
inline constexpr std::uint32_t kCreationWords[16] = {0x00200040, 1024, 0, 0, 0x00100000, 0x00100000, 1024};
// Bit of the block's first byte that marks a database in the current form.
inline constexpr std::uint8_t kCreationOptionBit = 0x40;

// Field list: name, engine type code, declared length.
struct FieldEntry {
  const char* name;
  std::uint8_t type;
  std::uint32_t length;
};
inline constexpr FieldEntry kFields[3] = {
    {"Type", qx::engine::kFieldUnsigned32, 0},
    {"Instance", qx::engine::kFieldUnsigned32, 0},
    {"Blob", qx::engine::kFieldVariable, 8192},
};

// The file definition with `dataFileName` as given and modes 6 and 2.
qx::engine::IFIL MakeDefinition(const std::string& dataFileName);
// The creation parameter block as bytes.
void MakeCreationBlock(std::uint8_t block[qx::engine::kCreationBlockSize]);

}  // namespace BlockDatabaseFormat
