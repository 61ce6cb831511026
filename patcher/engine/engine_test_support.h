// Helpers shared by the engine's tests: the definition the resource database uses
// and small record images.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "patcher/engine/data_file.h"
#include "patcher/engine/record_engine.h"

namespace qx::engine::fixture {

// Records of (Type LE, Instance LE, blob length LE, blob) keyed by Type then Instance.
inline IFIL ResourceDefinition(const std::string& base) {
  IFIL d;
  d.dataFileName = base;
  d.fixedRecordLength = 8;
  d.dataFileMode = 6;
  d.indexFileMode = 2;
  IndexDefinition_t index;
  index.name = "ItemIdx";
  index.keyLength = 8;
  index.segments = {{0, 4, kSegmentUnsigned}, {4, 4, kSegmentUnsigned}};
  d.indexes.push_back(index);
  d.firstField = "Type";
  d.lastField = "Blob";
  return d;
}

inline std::vector<uint8_t> Image(uint32_t type, uint32_t instance, const std::string& blob) {
  std::vector<uint8_t> image(12 + blob.size());
  uint32_t words[3] = {type, instance, static_cast<uint32_t>(blob.size())};
  std::memcpy(image.data(), words, 12);
  std::memcpy(image.data() + 12, blob.data(), blob.size());
  return image;
}

inline std::vector<uint8_t> Key(uint32_t type, uint32_t instance) {
  std::vector<uint8_t> key(8);
  KeyToBytes((uint64_t{type} << 32) | instance, key.data());
  return key;
}

inline const uint8_t* CreationBlock() {
  static const uint8_t block[64] = {0x40, 0x00, 0x20, 0x00, 0x00, 0x04};
  return block;
}

}  // namespace qx::engine::fixture
