// Fuzz target: a pair whose files were damaged in arbitrary ways. Opening,
// walking, reading and changing it, checking and rebuilding it must never crash
// or hang, and after a successful rebuild the pair must be sound.
//
// Input: byte 0 picks what is damaged, bytes 1-2 give an offset (times 4), the
// rest is the payload. Bit 0: the payload is XORed into the index file at the
// offset; bit 1: the data file's records are replaced by the payload; bit 2: the
// payload is XORed into the data file at the offset; bit 3: the data file is cut
// at the offset; bit 4: the index file is replaced by the payload.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "patcher/engine/data_file.h"
#include "patcher/engine/engine_format.h"
#include "patcher/engine/engine_test_support.h"
#include "patcher/engine/record_engine.h"

namespace {

using namespace qx::engine;

std::vector<uint8_t> Image(uint32_t type, uint32_t instance, size_t size) {
  std::vector<uint8_t> image(12 + size, static_cast<uint8_t>(instance));
  uint32_t words[3] = {type, instance, static_cast<uint32_t>(size)};
  std::memcpy(image.data(), words, 12);
  return image;
}

void Walk(IFIL& d) {
  uint8_t fixed[8];
  int steps = 0;
  for (int rc = GetFirstKey(d.dataFileNumber + 1, fixed); rc == kOk && steps < 2000;
       rc = GetNextKey(d.dataFileNumber + 1, fixed), ++steps) {
    uint32_t n = GetRecordLength(d.dataFileNumber);
    std::vector<uint8_t> buffer(n);
    ReadRecord(d.dataFileNumber, buffer.data(), n);
  }
  if (steps >= 2000) std::abort();  // more steps than records could ever be: a loop
}

const std::string& Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/qx-engine-fuzz-XXXXXX";
    if (!::mkdtemp(pattern)) std::abort();
    return std::string(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 3) return 0;
  const uint8_t what = input[0];
  const size_t at = (size_t{input[1]} << 8 | input[2]) * 4;
  const uint8_t* payload = input + 3;
  const size_t length = size - 3;
  const std::string base = Folder() + "/Res";
  std::filesystem::remove(base + ".dat");
  std::filesystem::remove(base + ".idx");

  InitEngine(3000, 6, 32, 1000, 1);
  IFIL d = fixture::ResourceDefinition(base);
  uint8_t block[64] = {0x40};
  if (CreateFileSet(d, block, block) != kOk) std::abort();
  for (uint32_t i = 0; i < 30; ++i) {
    auto image = Image(5 + i % 2, i, (i * 37) % 300);
    InsertRecord(d.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
  }
  CloseFileSet(d);

  if (what & (1 | 16)) {
    std::vector<uint8_t> index;
    {
      std::ifstream in(base + ".idx", std::ios::binary);
      index.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (what & 1) {
      for (size_t i = 0; i < length && at + i < index.size(); ++i) index[at + i] ^= payload[i];
    }
    if (what & 16) index.assign(payload, payload + length);
    std::ofstream(base + ".idx", std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(index.data()), static_cast<std::streamsize>(index.size()));
  }
  if (what & (2 | 4 | 8)) {
    std::vector<uint8_t> data;
    {
      std::ifstream in(base + ".dat", std::ios::binary);
      data.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (what & 2) {
      data.resize(format::kDataHeaderSize);
      data.insert(data.end(), payload, payload + length);
    }
    if (what & 4) {
      for (size_t i = 0; i < length && at + i < data.size(); ++i) data[at + i] ^= payload[i];
    }
    if (what & 8) data.resize(std::min(data.size(), at));
    std::ofstream(base + ".dat", std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  if (OpenFileSet(d) == kOk) {
    Walk(d);
    uint8_t fixed[8];
    uint8_t key[8];
    KeyToBytes((uint64_t{5} << 32) | 4, key);
    if (GetEqualKey(d.dataFileNumber + 1, key, fixed) == kOk) RemoveRecord(d.dataFileNumber);
    auto image = Image(5, 1000, 50);
    InsertRecord(d.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
    Walk(d);
    CloseFileSet(d);
  }
  CheckReport report;
  CheckFileSet(d, report);
  if (RebuildFileSet(d) == kOk) {
    CheckFileSet(d, report);
    if (!report.indexMatches || report.damagedRegions != 0 || report.tornTailBytes != 0) std::abort();
    if (OpenFileSet(d) != kOk) std::abort();
    Walk(d);
    CloseFileSet(d);
  }
  ShutdownEngine();
  return 0;
}
