#include "patcher/resdb/resource_patch.h"

#include <zlib.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>
#include <vector>

#include "patcher/layout/patcher_log.h"
#include "patcher/resdb/binary_stream.h"
#include "patcher/resdb/block_database.h"
#include "patcher/resdb/bounded_uncompress.h"
#include "patcher/resdb/item_template_patcher.h"
#include "patcher/resdb/resource_patch_format.h"
#include "patcher/resdb/rtpatch_entry.h"
#include "platform/format.h"
#include "platform/fs/path.h"

namespace fmt = ResourcePatchFormat;

namespace {

PatchDatabaseProgressProc s_pProgress = nullptr;

__attribute__((format(printf, 1, 2))) void Log(const char* a_pzFormat, ...) {
  std::va_list args;
  va_start(args, a_pzFormat);
  const std::string text = FormatStringV(a_pzFormat, args);
  va_end(args);
  WriteLog(text);
}

void ReportProgress(std::uint32_t a_nDone, std::uint32_t a_nTotal) {
  if (!s_pProgress) return;
  // More elements than announced (or none announced) show as complete.
  const float fraction =
      a_nDone >= a_nTotal ? 1.0f : static_cast<float>(a_nDone) / static_cast<float>(a_nTotal);
  s_pProgress(fraction);
}

// The patch file, read front to back. Counts what has been consumed so that
// every size can be checked against what is left before it is trusted.
class PatchFile_c {
 public:
  explicit PatchFile_c(const char* a_pzPath) : m_stream(a_pzPath, BinaryStream::MODE_READ) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(qx::fs::ResolvePath(a_pzPath), ec);
    m_nSize = ec ? m_stream.Size() : static_cast<std::uint64_t>(size);
  }
  bool IsOpen() const { return m_stream.State() == 0; }
  bool Good() const { return m_stream.State() == 0; }
  void ReadWord(std::uint32_t* a_pValue) {
    m_stream.ReadU32(a_pValue);
    m_nConsumed += 4;
  }
  void ReadBytes(std::uint8_t* a_pDest, std::uint32_t a_nCount) {
    m_stream.Read(a_pDest, a_nCount);
    m_nConsumed += a_nCount;
  }
  std::uint64_t Left() const { return m_nConsumed < m_nSize ? m_nSize - m_nConsumed : 0; }

 private:
  BinaryStream m_stream;
  std::uint64_t m_nSize = 0;
  std::uint64_t m_nConsumed = 0;
};

void RemoveFile(const char* a_pzName) {
  std::error_code ec;
  std::filesystem::remove(qx::fs::ResolvePath(a_pzName), ec);
}

// Writes `a_nSize` bytes (none for a null buffer) to a new or truncated file.
bool WriteWholeFile(const char* a_pzName, const void* a_pData, std::size_t a_nSize) {
  std::FILE* file = std::fopen(qx::fs::ResolvePath(a_pzName).c_str(), "wb");
  if (!file) return false;
  bool ok = a_nSize == 0 || std::fwrite(a_pData, 1, a_nSize, file) == a_nSize;
  ok = std::fflush(file) == 0 && ok;
  return std::fclose(file) == 0 && ok;
}

int OutOfMemory() {
  Log("Couldn't allocate memory!");
  return -7;
}

// A binary-patch entry: the key's current blob goes to "tmp.dat", the S bytes
// of the entry to "patch.rtp", the binary-patch library turns "tmp.dat" into
// the new blob, which becomes the payload.
int ApplyBinaryPatch(BlockDatabase_t& a_rDatabase, PatchFile_c& a_rFile, std::uint32_t a_nType,
                     std::uint32_t a_nInstance, std::uint32_t a_nSize, std::vector<std::uint8_t>& a_rPayload) {
  std::uint32_t oldSize = 0;
  std::uint8_t* oldBlob = nullptr;
  a_rDatabase.Get(a_nType, a_nInstance, &oldSize, &oldBlob);
  if (!oldBlob) {
    RemoveFile(fmt::kBlobFile);
  } else {
    const bool written = WriteWholeFile(fmt::kBlobFile, oldBlob, oldSize);
    delete[] oldBlob;
    if (!written) {
      Log("Error: Couldn't write old blob-file!");
      return -8;
    }
  }

  {
    std::vector<std::uint8_t> patch;
    try {
      patch.resize(a_nSize);
    } catch (const std::bad_alloc&) {
      return OutOfMemory();
    }
    a_rFile.ReadBytes(patch.data(), a_nSize);
    if (!a_rFile.Good()) {
      Log("Patch file is not ok!");
      return -5;
    }
    if (!WriteWholeFile(fmt::kBlobPatchFile, patch.data(), patch.size())) {
      Log("Error: Couldn't write patch blob-file!");
      return -8;
    }
  }

  RTPATCHAPPLY32_FN apply = GetRTPatchEntry();
  if (!apply) {
    Log("Error! Couldn't patch the blob extracted from the database: %u:%u, RTPatch is not loaded", a_nType,
        a_nInstance);
    return -8;
  }
  const DWORD result = apply(fmt::kBlobPatchFile, GetRTPatchCallback(), 1);
  if (result != 0) {
    Log("Error! Couldn't patch the blob extracted from the database: %u:%u return value %d", a_nType, a_nInstance,
        static_cast<int>(result));
    return -8;
  }

  std::FILE* file = std::fopen(qx::fs::ResolvePath(fmt::kBlobFile).c_str(), "rb");
  if (!file) {
    Log("Error: Couldn't read patched blob-file!");
    return -8;
  }
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  if (length < 0 || static_cast<unsigned long>(length) > std::numeric_limits<std::uint32_t>::max() ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    Log("Couldn't get filesize!");
    return -8;
  }
  try {
    a_rPayload.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    std::fclose(file);
    return OutOfMemory();
  }
  const bool read = a_rPayload.empty() || std::fread(a_rPayload.data(), 1, a_rPayload.size(), file) == a_rPayload.size();
  std::fclose(file);
  if (!read) {
    Log("Error: Couldn't read patched blob-file!");
    return -8;
  }
  RemoveFile(fmt::kBlobPatchFile);
  RemoveFile(fmt::kBlobFile);
  return 0;
}

// A compressed entry: Z, then Z bytes that must inflate to exactly S bytes.
int InflateEntry(PatchFile_c& a_rFile, std::uint32_t a_nSize, std::vector<std::uint8_t>& a_rPayload) {
  std::uint32_t compressedSize = 0;
  a_rFile.ReadWord(&compressedSize);
  if (!a_rFile.Good() || compressedSize > a_rFile.Left()) {
    Log("Patch file is not ok!");
    return -5;
  }
  std::vector<std::uint8_t> input;
  try {
    input.resize(compressedSize);
  } catch (const std::bad_alloc&) {
    Log("uncompress(): Out of memory: compress2 reports too little memory!");
    return -4;
  }
  a_rFile.ReadBytes(input.data(), compressedSize);
  if (!a_rFile.Good()) {
    Log("Patch file is not ok!");
    return -5;
  }
  const int result = BoundedUncompress(input.data(), input.size(), a_nSize, a_rPayload);
  switch (result) {
    case Z_OK:
      if (a_rPayload.size() != a_nSize) {
        Log("uncompress(): Error, the uncompressed size was %u, not %u as we expected!",
            static_cast<unsigned>(a_rPayload.size()), a_nSize);
        return -4;
      }
      return 0;
    case Z_BUF_ERROR:
      Log("uncompress(): Programmers error, output buffer too small!");
      return -4;
    case Z_MEM_ERROR:
      Log("uncompress(): Out of memory: compress2 reports too little memory!");
      return -4;
    case Z_DATA_ERROR:
      Log("uncompress(): Error, input data is corrupted!");
      return -4;
    default:
      Log("uncompress(): Error, zlib compress2 returned %d. Exiting", result);
      return -4;
  }
}

}  // namespace

void SetPatchDatabaseProgressCallback(PatchDatabaseProgressProc a_pCallback) { s_pProgress = a_pCallback; }

int PatchDatabase(const char* a_pzDatabasePath, const char* a_pzPatchPath) {
  PatchFile_c file(a_pzPatchPath);
  if (!file.IsOpen()) {
    Log("Cannot open patchfile '%s'", a_pzPatchPath);
    return -1;
  }
  BlockDatabase_t database(true);
  if (database.Open(a_pzDatabasePath, false) != 0) {
    Log("Cannot open database '%s' for readwrite access", a_pzDatabasePath);
    return -10;
  }

  std::uint32_t version = 0;
  file.ReadWord(&version);
  if (!fmt::IsKnownVersion(version)) {
    Log("Patch file is not in a recognized format!\n");
    return -2;
  }

  std::uint32_t total = 0;
  std::uint32_t deleteCount = 0;
  file.ReadWord(&total);
  file.ReadWord(&deleteCount);
  if (!file.Good()) {
    Log("Patch file is not ok!\n");
    return -3;
  }
  std::uint32_t done = 0;
  for (std::uint32_t i = 0; i < deleteCount; ++i) {
    std::uint32_t type = 0;
    std::uint32_t instance = 0;
    file.ReadWord(&type);
    file.ReadWord(&instance);
    if (!file.Good()) {
      Log("Patch file is not ok!\n");
      return -3;
    }
    if (database.Delete(type, instance) != 0) Log("Delete item: item %u,%u not found\n", type, instance);
    ++done;
    ReportProgress(done, total);
  }

  std::uint32_t storeCount = 0;
  file.ReadWord(&storeCount);
  if (!file.Good()) {
    Log("Patch file is not ok!");
    return -5;
  }
  for (std::uint32_t i = 0; i < storeCount; ++i) {
    std::uint32_t type = 0;
    std::uint32_t instance = 0;
    std::uint32_t size = 0;
    file.ReadWord(&type);
    file.ReadWord(&instance);
    file.ReadWord(&size);
    const fmt::StoreEntry_e kind = fmt::ClassifyStoreEntry(version, type, instance, size);
    // Every payload but a compressed one is S bytes of the file.
    if (!file.Good() || (kind != fmt::StoreEntry_e::kCompressed && size > file.Left())) {
      Log("Patch file is not ok!");
      return -5;
    }

    std::vector<std::uint8_t> payload;
    if (kind == fmt::StoreEntry_e::kTemplatePackage) {
      try {
        payload.resize(size);
      } catch (const std::bad_alloc&) {
        return OutOfMemory();
      }
      file.ReadBytes(payload.data(), size);
      if (!file.Good()) {
        Log("Patch file is not ok!");
        return -5;
      }
      ItemTemplatePatcher templates(database);
      templates.Load(payload.data(), size);
      std::vector<std::uint8_t>().swap(payload);
      templates.Store();
    } else {
      int result = 0;
      if (kind == fmt::StoreEntry_e::kBinaryPatch) {
        result = ApplyBinaryPatch(database, file, type, instance, size, payload);
      } else if (kind == fmt::StoreEntry_e::kCompressed) {
        result = InflateEntry(file, size, payload);
      }
      if (result != 0) return result;
      if (!file.Good()) {
        Log("Patch file is not ok!");
        return -5;
      }
      const auto payloadSize = static_cast<std::uint32_t>(payload.size());
      if (database.Put(type, instance, payloadSize, payload.data()) != 0)
        Log("Got an error putting element %u:%u with size %u\n", type, instance, payloadSize);
    }
    ++done;
    ReportProgress(done, total);
  }

  if (done != total) {
    Log("Error, out of %u elements, only %u elements were done!\n", total, done);
    return -6;
  }
  return 0;
}
