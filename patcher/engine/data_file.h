// The data file of a pair: its header page, record slots, and a scan that finds
// every valid record in it (see engine_format.h for the layout).
//
// DataFile owns one descriptor of the file; the record engine keeps one per pair
// and process, because the engine's byte-range locks belong to that descriptor.
// Every method reports failures as engine result codes; nothing throws. The scan
// trusts no length it has not checked against the file size and the slot rules,
// so a truncated, zero-filled or random file yields findings, never a crash.
//
// Not thread-safe; the record engine serialises all calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "patcher/engine/engine_format.h"
#include "patcher/engine/record_engine.h"

namespace qx::engine {

// How a record's 8-byte key is taken from its image.
class KeyShape {
 public:
  // kOk, or kBadDefinition when the definition has no usable unique 8-byte index.
  int Assign(const IFIL& definition);
  bool operator==(const KeyShape& other) const;

  uint32_t FixedLength() const { return m_fixedLength; }
  // Bytes the image needs at least for its key and fixed part.
  uint32_t MinImageLength() const { return m_minImage; }
  // The key as a number whose order is the key's byte order.
  bool KeyFromImage(const uint8_t* image, uint32_t length, uint64_t* key) const;
  // Copies the fixed part of a record with key `key` into `out` when the key
  // segments cover all of it; false when the record itself must be read.
  bool FixedPartFromKey(uint64_t key, uint8_t* out) const;

 private:
  uint32_t m_fixedLength = 0;
  uint32_t m_minImage = 0;
  bool m_fixedFromKey = false;
  std::vector<KeySegment_t> m_segments;
};

// Big-endian 8 key bytes <-> key number.
uint64_t KeyFromBytes(const void* key);
void KeyToBytes(uint64_t key, void* out);

class DataFile {
 public:
  DataFile() = default;
  ~DataFile();
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // Creates the file complete with its header, or not at all; kDataFileExists when
  // it exists already.
  static int Create(const std::string& path, uint32_t dataMode, uint32_t indexMode,
                    const uint8_t dataCreation[format::kParameterBlockSize],
                    const uint8_t indexCreation[format::kParameterBlockSize], int* lowLevelError);

  // kOk, kFileNotFound, kReadFailed or kDataFileDamaged.
  int Open(const std::string& path, int* lowLevelError);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  int Descriptor() const { return m_fd; }

  const format::DataHeader& Header() const { return m_header; }
  format::DataHeader& MutableHeader() { return m_header; }
  // Writes both copies of the header.
  int WriteHeader(int* lowLevelError);
  // Re-reads the header (another process may have changed it).
  int ReloadHeader(int* lowLevelError);

  // Writes a live slot: header and image in one call.
  int WriteRecord(uint64_t offset, uint32_t slotLength, uint64_t sequence, const void* image,
                  uint32_t imageLength, int* lowLevelError);
  int WriteFree(uint64_t offset, uint32_t slotLength, int* lowLevelError);
  // Reads the record image of the live slot at `offset` into `buffer` (the first
  // `want` bytes of it) and checks it: kOk, kRecordDamaged when the slot is not a
  // live record of `imageLength` bytes or fails its checksum (checked only when
  // the whole image was read), kReadFailed on an I/O error.
  int ReadImage(uint64_t offset, uint32_t imageLength, void* buffer, uint32_t want, int* lowLevelError);

  // Reads the slot header at `offset` and, for a live slot, the first `prefixLength`
  // bytes of its image into `prefix`. kOk only when the header checks out.
  int ReadSlotHead(uint64_t offset, format::SlotHeader* header, uint8_t* prefix, uint32_t prefixLength,
                   int* lowLevelError);

  uint64_t FileSize() const;
  int Truncate(uint64_t size, int* lowLevelError);
  int Sync();

 private:
  int m_fd = -1;
  format::DataHeader m_header{};
};

// The stored definition and field list (layout in engine_format.h). Decoding
// checks every length against the bytes given.
bool EncodeDefinition(const IFIL& definition, std::vector<uint8_t>& out);
bool DecodeDefinition(const uint8_t* data, size_t length, IFIL& out);
bool EncodeFieldList(const DODA* fields, int count, std::vector<uint8_t>& out);
bool DecodeFieldList(const uint8_t* data, size_t length, std::vector<DODA>& out);
// Replaces the stored definition and/or field list in the header `h` (a null
// part stays as it is); kBadDefinition, with `h` unchanged, when they do not fit.
int PutStoredInfo(format::DataHeader& h, const std::vector<uint8_t>* definition,
                  const std::vector<uint8_t>* fieldList);

bool HeaderCopyValid(const format::DataHeader& copy);
void SealHeaderCopy(format::DataHeader& copy);
bool SlotHeaderValid(const format::SlotHeader& header);
void SealSlotHeader(format::SlotHeader& header);

// One pass over the slots of a data file.
struct ScanLive {
  uint64_t key;
  uint64_t offset;
  uint32_t imageLength;
  uint32_t slotLength;
  uint64_t sequence;
};
struct ScanRegion {
  uint64_t offset;
  uint64_t length;
};
struct ScanResult {
  std::vector<ScanLive> live;     // every valid record copy, in file order
  std::vector<ScanRegion> free;   // free slots
  std::vector<ScanRegion> damaged;  // slots or regions that hold no valid record
  uint64_t tornTail = 0;          // where an incomplete last slot starts (0: none)
  uint64_t end = 0;               // end of the last whole slot
  uint64_t fileSize = 0;
  uint64_t maxSequence = 0;
};
// Reads the file from the first slot to its end. `progress` (may be empty) is
// called with the count of valid records found so far after each one.
int ScanDataFile(int fd, const KeyShape& shape, ScanResult& result,
                 const std::function<void(uint64_t)>& progress, int* lowLevelError);

}  // namespace qx::engine
