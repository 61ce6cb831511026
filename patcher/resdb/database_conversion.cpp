#include "patcher/resdb/database_conversion.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "patcher/engine/record_engine.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/resdb/block_database.h"
#include "patcher/resdb/block_database_format.h"
#include "platform/fs/file_find.h"
#include "platform/fs/file_handle.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/handle.h"

namespace {

ConversionProgressProc s_pConversionProgress = nullptr;

constexpr unsigned kCurrentStamp = 145;

std::string Format(const char* a_pzFormat, ...) {
  char small[512];
  va_list args;
  va_start(args, a_pzFormat);
  int n = std::vsnprintf(small, sizeof(small), a_pzFormat, args);
  va_end(args);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  va_start(args, a_pzFormat);
  std::vsnprintf(out.data(), out.size(), a_pzFormat, args);
  va_end(args);
  out.resize(static_cast<size_t>(n));
  return out;
}

struct FoundFile {
  std::string name;
  std::string path;
};

// The files (not folders) matching a pattern, in the order the search gives them.
std::vector<FoundFile> FindFiles(const std::string& a_sPattern) {
  std::vector<FoundFile> files;
  CFileFind finder;
  BOOL more = finder.FindFile(a_sPattern.c_str());
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots() || finder.IsDirectory()) continue;
    files.push_back({finder.GetFileName(), finder.GetFilePath()});
  }
  return files;
}

// Size of a file opened for reading with read sharing; false when it cannot be
// opened or sized.
bool SizeOf(const std::string& a_sPath, std::uint64_t* a_pnSize) {
  HANDLE file = CreateFileA(a_sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  BOOL ok = GetFileSizeEx(file, &size);
  CloseHandle(file);
  if (!ok || size.QuadPart < 0) return false;
  *a_pnSize = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

// Opens an existing pair with the engine to change its data header.
template <typename Change>
int ChangePair(const std::string& a_sPath, Change a_change) {
  BlockDatabase_t keepEngineRunning;
  qx::engine::IFIL definition = BlockDatabaseFormat::MakeDefinition(a_sPath);
  int rc = qx::engine::OpenFileSet(definition);
  if (rc != qx::engine::kOk) return rc;
  rc = a_change(definition.dataFileNumber);
  qx::engine::CloseFileSet(definition);
  return rc;
}

}  // namespace

void SetConversionProgressCallback(ConversionProgressProc a_pCallback) { s_pConversionProgress = a_pCallback; }

unsigned ReadFormatStamp(const std::string& a_sDataFilePath) {
  HANDLE file = CreateFileA(a_sDataFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  unsigned char head[42];
  DWORD got = 0;
  DWORD total = 0;
  while (total < sizeof(head) && ReadFile(file, head + total, sizeof(head) - total, &got, nullptr) && got > 0) total += got;
  CloseHandle(file);
  if (total < sizeof(head)) return 0;
  unsigned first = head[40];
  unsigned second = head[41];
  if (first == 0) return second;
  if (second == 0) return first;
  return 0;
}

bool HasRoomForConversion(std::uint64_t a_nFreeBytes, std::uint64_t a_nOldFilesSize) {
  float total = static_cast<float>(a_nOldFilesSize);
  return !(static_cast<double>(a_nFreeBytes) < 1.2 * static_cast<double>(total));
}

bool ConvertResourceDatabase(const std::string& a_sFolder, std::string& a_rMessage) {
  const std::string& folder = a_sFolder;
  const unsigned stamp = ReadFormatStamp(folder + "ResourceDatabase.dat");
  const bool oldPairLeft = !FindFiles(folder + "old_ResourceDatabase.*").empty();

  BlockDatabase_t current(true);
  if (!oldPairLeft && current.Open((folder + "ResourceDatabase").c_str(), true) != 0) {
    a_rMessage = "Could not open ResourceDatabase.";
    return false;
  }
  bool creationOption = false;
  if (current.IsOpen()) {
    int code = 0;
    creationOption = current.HasCreationOption(&code);
    if (!creationOption && code != 0) {
      a_rMessage = Format("There was a problem getting creation parameters from the old RDB, return value %d.", code);
      return false;
    }
  }
  current.Close();
  if (!oldPairLeft && stamp >= kCurrentStamp && creationOption) return true;

  WriteLog("Database conversion required.");

  // Move the current files to "old_" names; a file whose "old_" name is taken
  // already stays (an earlier run moved its pair).
  for (const FoundFile& file : FindFiles(folder + "ResourceDatabase.*")) {
    std::string newName = folder + "old_" + file.name;
    if (PathFileExistsA(newName.c_str())) continue;
    if (!MoveFileA(file.path.c_str(), newName.c_str())) {
      a_rMessage = "Could not move " + file.name + " to old_" + file.name;
      return false;
    }
    WriteLog("Renamed " + file.path + " to " + newName);
  }
  // What is left under the current name is a partial copy of an earlier run.
  for (const FoundFile& file : FindFiles(folder + "ResourceDatabase.*")) {
    if (DeleteFileA(file.path.c_str())) WriteLog("Deleted " + file.path);
  }

  ULARGE_INTEGER freeBytes;
  if (!GetDiskFreeSpaceExA(folder.c_str(), &freeBytes, nullptr, nullptr)) {
    a_rMessage = "Could not determine free disk space available.";
    return false;
  }
  std::uint64_t total = 0;
  for (const FoundFile& file : FindFiles(folder + "old_ResourceDatabase.*")) {
    std::uint64_t size = 0;
    if (!SizeOf(file.path, &size)) {
      a_rMessage = "Could not get the file size of " + file.path;
      return false;
    }
    total += size;
  }
  if (!HasRoomForConversion(freeBytes.QuadPart, total)) {
    a_rMessage = Format("%u kB of free space required for conversion.", static_cast<unsigned>(total / 1024));
    return false;
  }

  BlockDatabase_t oldDatabase(true);
  BlockDatabase_t newDatabase(true);
  if (oldDatabase.Open((folder + "old_ResourceDatabase").c_str(), true) != 0) {
    a_rMessage = "Could not open old_ResourceDatabase.";
    return false;
  }
  if (newDatabase.Open((folder + "ResourceDatabase").c_str(), false) != 0) {
    a_rMessage = "Could not create ResourceDatabase.";
    oldDatabase.Close();
    return false;
  }
  WriteLog(Format("Conversion starting. %u kB free.", static_cast<unsigned>(freeBytes.QuadPart / 1024)));

  // Copy record by record in key order; empty blobs are not carried over.
  bool failed = false;
  std::uint64_t copied = 0;
  std::uint32_t type = 0, instance = 0, size = 0;
  const std::uint8_t* data = nullptr;
  BlockDatabaseCursor cursor(oldDatabase);
  int walk;
  while ((walk = cursor.Next(&type, &instance, &size, &data)) == 0) {
    if (s_pConversionProgress) s_pConversionProgress(total ? static_cast<float>(copied) / static_cast<float>(total) : 0.0f);
    if (size != 0) {
      int result = newDatabase.Put(type, instance, size, data);
      if (result != 0) {
        a_rMessage = Format("Could not write data to the new RDB: %u:%u, return value %d.", type, instance, result);
        failed = true;
        break;
      }
    }
    copied += size;
  }
  if (!failed) {
    std::uint32_t lastType = 0, lastInstance = 0;
    int code = cursor.LastKey(&lastType, &lastInstance);
    if (code != 0) {
      a_rMessage = Format("Could not get the last key of the old database. Return value %d.", code);
      failed = true;
    } else if (lastType != type || lastInstance != instance) {
      a_rMessage = Format("The last key is %u:%u, but we stopped at %u:%u. Return value %d.", lastType, lastInstance, type,
                          instance, 0);
      failed = true;
    } else if (walk != qx::engine::kKeyNotFound) {
      // The walk reached the last key but could not read its record: that
      // record was not copied, so the old pair must stay.
      a_rMessage = Format("The last key is %u:%u, but we stopped at %u:%u. Return value %d.", lastType, lastInstance, type,
                          instance, walk);
      failed = true;
    }
  }
  oldDatabase.Close();
  newDatabase.Close();
  if (failed) return false;

  for (const FoundFile& file : FindFiles(folder + "old_ResourceDatabase.*")) {
    if (DeleteFileA(file.path.c_str())) WriteLog("Deleted " + file.path);
  }
  WriteLog("Database conversion completed.");
  return true;
}

int SetResourceDatabaseStamp(const std::string& a_sPath, unsigned a_nStamp) {
  if (a_nStamp < 1 || a_nStamp > 255) return qx::engine::kBadArgument;
  return ChangePair(a_sPath, [&](int dataFile) { return qx::engine::SetFormatStamp(dataFile, static_cast<std::uint16_t>(a_nStamp)); });
}

int SetResourceDatabaseCreationOption(const std::string& a_sPath, bool a_bSet) {
  return ChangePair(a_sPath, [&](int dataFile) {
    std::uint8_t block[qx::engine::kCreationBlockSize];
    int rc = qx::engine::GetCreationParameters(dataFile, block);
    if (rc != qx::engine::kOk) return rc;
    if (a_bSet) {
      block[0] |= BlockDatabaseFormat::kCreationOptionBit;
    } else {
      block[0] &= static_cast<std::uint8_t>(~BlockDatabaseFormat::kCreationOptionBit);
    }
    return qx::engine::SetCreationParameters(dataFile, block);
  });
}
