#include "patcher/resdb/block_database.h"

#include <ace/Token.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "patcher/resdb/binary_stream.h"
#include "patcher/resdb/block_database_format.h"

using namespace qx::engine;

// ---------------------------------------------------------------------------
// Definitions handed to the engine

namespace BlockDatabaseFormat {

IFIL MakeDefinition(const std::string& dataFileName) {
  IFIL d;
  d.dataFileName = dataFileName;
  d.fixedRecordLength = kFixedPartSize;
  d.dataExtensionSize = kExtensionSize;
  d.indexExtensionSize = kExtensionSize;
  d.dataFileMode = kDataFileMode;
  d.indexFileMode = kIndexFileMode;
  IndexDefinition_t index;
  index.name = kIndexName;
  index.keyLength = kKeySize;
  index.segments = {{kTypeOffset, 4, kSegmentUnsigned}, {kInstanceOffset, 4, kSegmentUnsigned}};
  d.indexes.push_back(index);
  d.firstField = kFields[0].name;
  d.lastField = kFields[2].name;
  return d;
}

void MakeCreationBlock(std::uint8_t block[kCreationBlockSize]) {
  BinaryStream stream(block, kCreationBlockSize);
  stream.ByteOrder(BinaryStream::Native);
  for (std::uint32_t word : kCreationWords) stream.WriteU32(word);
}

}  // namespace BlockDatabaseFormat

namespace {

namespace F = BlockDatabaseFormat;

// Process-wide state shared by every shared-engine instance.
std::atomic<int> s_nInstanceCount{0};
ACE_Token* s_pDatabaseLock = nullptr;
int s_nGlobalHoldCount = 0;
int s_nGlobalLockLevel = 0;

// Serialises the first start and the last stop of the engine.
ACE_Token& StaticGuard() {
  static ACE_Token s_guard;
  return s_guard;
}

constexpr size_t kMaxBaseName = 255;

[[noreturn]] void FatalFailure(const char* a_pzMessage) {
  std::fputs("\n\n", stderr);
  std::fputs(a_pzMessage, stderr);
  std::fputs(FormatEngineErrorReport(GetLastErrors()).c_str(), stderr);
  StopEngine();
  std::fflush(nullptr);
  std::_Exit(1);
}

// The 8-byte index key of (Type, Instance): both big-endian.
void BuildKey(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint8_t a_key[8]) {
  BinaryStream key(a_key, F::kKeySize);
  key.WriteU32(a_nType).WriteU32(a_nInstance);
}

// (Type, Instance) from a fixed part handed out by the engine.
void ReadFixedPart(const std::uint8_t a_fixed[8], std::uint32_t* a_pnType, std::uint32_t* a_pnInstance) {
  std::uint8_t copy[8];
  std::memcpy(copy, a_fixed, sizeof(copy));
  BinaryStream fixed(copy, F::kFixedPartSize);
  fixed.ByteOrder(BinaryStream::Native);
  fixed.ReadU32(a_pnType).ReadU32(a_pnInstance);
}

// The base name of a path: at most 255 characters, cut before ".dat" or, if there
// is none, before ".idx", looked for in the last component only.
bool BaseNameOf(const char* a_pzPath, std::string* a_pBase) {
  std::string path = a_pzPath ? a_pzPath : "";
  size_t nameStart = path.find_last_of("/\\");
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t cut = path.find(".dat", nameStart);
  if (cut == std::string::npos) cut = path.find(".idx", nameStart);
  if (cut != std::string::npos) path.resize(cut);
  if (path.empty() || path.size() > kMaxBaseName) return false;
  *a_pBase = path;
  return true;
}

}  // namespace

std::string FormatEngineErrorReport(const EngineErrors& a_rErrors) {
  char line[128];
  const int code = a_rErrors.isamError;
  const int file = a_rErrors.fileNumber;
  switch (code) {
    case 0:
      return "";
    case 2:
      return "\nKey already in index";
    case 12:
      std::snprintf(line, sizeof(line), "\nCould not open file %d", file);
      break;
    case 16:
    case 17:
      std::snprintf(line, sizeof(line), "\nCould not create file %d", file);
      break;
    case 18:
    case 19:
      std::snprintf(line, sizeof(line), "\nTried to create existing file %d", file);
      break;
    case 42:
      return "\nCouldn't get lock on record";
    case 101:
      return "\nKey not found.";
    case 102:
      return "\nCould not open ISAM parameter file";
    case 103:
    case 106:
    case 110:
    case 111:
    case 115:
    case 117:
      std::snprintf(line, sizeof(line), "\nImproperly formatted ISAM parameter file [%d]", code);
      break;
    default:
      std::snprintf(line, sizeof(line), "\nError %d on file %d", code, file);
      break;
  }
  return line;
}

int RebuildCallback(long, int a_nEvent, const char* a_pzText) {
  switch (a_nEvent) {
    case 'd':
      std::fputs("d", stdout);
      break;
    case 'i':
      std::fputs("i", stdout);
      break;
    case 'm':
      std::printf("\n%s\n", a_pzText ? a_pzText : "");
      break;
    default:
      std::printf("RebuildCallback: Event %c not handled\n", a_nEvent);
      break;
  }
  std::fflush(stdout);
  return 0;
}

// ---------------------------------------------------------------------------
// BlockDatabase_t

BlockDatabase_t::BlockDatabase_t(bool a_bSharedEngine) : m_bSharedEngine(a_bSharedEngine) {
  m_ifil = F::MakeDefinition("");
  if (!m_bSharedEngine) return;
  // The guard also covers the count's way up from 0 and down to 0, so a start
  // never meets a stop under way on another thread.
  StaticGuard().acquire();
  if (s_nInstanceCount.load() == 0) {
    s_pDatabaseLock = new ACE_Token();
    if (InitEngine(3000, 6, 32, 1000, 1) != kOk) FatalFailure("Couldn't initialize database system.\n");
  }
  s_nInstanceCount.fetch_add(1);
  StaticGuard().release();
}

BlockDatabase_t::~BlockDatabase_t() {
  if (m_bOpen) Close();
  if (!m_bSharedEngine) return;
  StaticGuard().acquire();
  if (s_nInstanceCount.fetch_sub(1) == 1) {
    delete s_pDatabaseLock;
    s_pDatabaseLock = nullptr;
    if (ShutdownEngine() != kOk) FatalFailure("Could not close ISAM system.");
  }
  StaticGuard().release();
}

int BlockDatabase_t::GetGlobalLockLevel() { return s_nGlobalLockLevel; }
int BlockDatabase_t::GetGlobalHoldCount() { return s_nGlobalHoldCount; }

int BlockDatabase_t::Open(const char* a_pzPath, bool a_bExistingOnly) {
  std::string base;
  if (m_bOpen) Close();
  if (!BaseNameOf(a_pzPath, &base)) return -1;
  m_sBaseName = base;
  m_ifil = F::MakeDefinition(m_sBaseName);

  int rc = OpenFileSet(m_ifil);
  if (rc == kFileNotFound && !a_bExistingOnly) {
    CreatePair();
    rc = OpenFileSet(m_ifil);
  }
  if (rc != kOk) return -1;
  if (!a_bExistingOnly && ClearWriteThrough() != 0) return -1;
  StoreResourceInfo();
  m_bOpen = true;
  return 0;
}

void BlockDatabase_t::CreatePair() {
  IFIL definition = F::MakeDefinition(m_sBaseName);
  std::uint8_t block[kCreationBlockSize];
  F::MakeCreationBlock(block);
  const int rc = CreateFileSet(definition, block, block);
  // Another program created the pair between our open and our create: it is
  // the pair we wanted, and Open goes on to open it.
  if (rc == kDataFileExists) return;
  if (rc != kOk) FatalFailure("Cannot create inventory files");
  if (CloseFileSet(definition) != kOk) FatalFailure("Cannot close inventory files after creation.");
}

namespace {

// Clears the write-through bit of one file of the open pair and tells whether
// it was set. `which` is "dat" or "idx".
bool ClearFileWriteThrough(int file, const char* which, std::FILE* modeErrorStream, const char* base) {
  long mode = GetFileMode(file, 3);
  if (mode <= 0) {
    std::fprintf(modeErrorStream, "Error getting file mode for %s. uerr_cod %d\n", base, GetLastErrors().lowLevelError);
    return false;
  }
  std::fprintf(stderr, "Notice: Clearing WRITETHRU flag from %s %s\n", which, base);
  if (!(mode & kWriteThrough)) return false;
  if (SetFileMode(file, static_cast<std::uint32_t>(mode) & ~kWriteThrough) != kOk)
    std::fprintf(stderr, "Error %d updating file mode for %s %s file.\n", GetLastErrors().lowLevelError, base, which);
  return true;
}

}  // namespace

int BlockDatabase_t::ClearWriteThrough() {
  const char* base = m_sBaseName.c_str();
  // The data file reports a mode it cannot read on standard output, the index
  // file on standard error; both notices go to standard error.
  const bool dataChanged = ClearFileWriteThrough(DataFile(), "dat", stdout, base);
  const bool indexChanged = ClearFileWriteThrough(IndexFile(), "idx", stderr, base);
  const bool changed = dataChanged || indexChanged;
  if (changed) {
    CloseFileSet(m_ifil);
    if (OpenFileSet(m_ifil) != kOk) return -1;
  }
  return 0;
}

void BlockDatabase_t::StoreResourceInfo() {
  int hasDefinition = HasStoredDefinition(DataFile());
  int hasFieldList = HasStoredFieldList(DataFile());
  if (hasDefinition && hasFieldList) return;
  if (CloseFileSet(m_ifil) != kOk) FatalFailure("Cannot close files to store the resource information.");
  if (!hasDefinition && StoreDefinition(m_ifil) != kOk) FatalFailure("Cannot store the IFIL structure.");
  if (!hasFieldList) {
    DODA fields[3];
    for (int i = 0; i < 3; ++i) fields[i] = {F::kFields[i].name, F::kFields[i].type, F::kFields[i].length};
    m_ifil.dataFileMode = 0;
    m_ifil.indexFileMode = 0;
    if (OpenFileSet(m_ifil) != kOk) FatalFailure("Cannot open inventory files for storing the DODA.");
    if (StoreFieldList(DataFile(), fields, 3) != kOk) FatalFailure("Cannot store DODA resource.");
    if (CloseFileSet(m_ifil) != kOk) FatalFailure("Cannot close files after storing the DODA.");
    m_ifil.dataFileMode = F::kDataFileMode;
    m_ifil.indexFileMode = F::kIndexFileMode;
  }
  if (OpenFileSet(m_ifil) != kOk) FatalFailure("Cannot reopen inventory files after storing the resources.");
}

int BlockDatabase_t::Close() {
  while (m_nHoldCount > 0) EndOperation();
  CloseFileSet(m_ifil);
  m_bOpen = false;
  return 0;
}

void BlockDatabase_t::BeginOperation(Level_e a_eLevel) {
  if (s_pDatabaseLock) s_pDatabaseLock->acquire();
  ++s_nGlobalHoldCount;
  ++m_nHoldCount;
  if (s_nGlobalLockLevel < a_eLevel) {
    SetLockMode(a_eLevel == LEVEL_READ ? kLockRead : kLockUpdate);
    s_nGlobalLockLevel = a_eLevel;
  }
  if (m_nLockLevel < a_eLevel) m_nLockLevel = a_eLevel;
}

void BlockDatabase_t::EndOperation() {
  --s_nGlobalHoldCount;
  if (--m_nHoldCount == 0) m_nLockLevel = LEVEL_NONE;
  if (s_nGlobalHoldCount == 0) {
    SetLockMode(kLockNone);
    s_nGlobalLockLevel = LEVEL_NONE;
  }
  if (s_pDatabaseLock) s_pDatabaseLock->release();
}

// Shared by Get and GetView: positions on the key and reads the whole record
// into the record buffer; *a_ppView points at the blob in it.
int BlockDatabase_t::Read(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize,
                          const std::uint8_t** a_ppView) {
  std::uint8_t key[8];
  std::uint8_t fixed[8];
  BuildKey(a_nType, a_nInstance, key);
  int rc = GetEqualKey(IndexFile(), key, fixed);
  if (rc == kKeyNotFound) return 1;
  if (rc != kOk) return -1;
  std::uint32_t length = GetRecordLength(DataFile());
  // A record shorter than its own header, or one that cannot be read, is a
  // failure, never a blob.
  if (length < F::kRecordHeaderSize) return -1;
  if (m_nRecordBufferSize < length) {
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[length]);
    if (!buffer) return -1;
    m_pRecordBuffer = std::move(buffer);
    m_nRecordBufferSize = length;
  }
  if (ReadRecord(DataFile(), m_pRecordBuffer.get(), length) != kOk) return -1;
  *a_pnSize = length - F::kRecordHeaderSize;
  *a_ppView = m_pRecordBuffer.get() + F::kRecordHeaderSize;
  return 0;
}

int BlockDatabase_t::Get(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize,
                         std::uint8_t** a_ppData) {
  if (!a_pnSize || !a_ppData) return -1;
  *a_pnSize = 0;
  BeginOperation(LEVEL_READ);
  std::uint32_t size = 0;
  const std::uint8_t* view = nullptr;
  int result = Read(a_nType, a_nInstance, &size, &view);
  if (result == 0) {
    std::uint8_t* copy = new (std::nothrow) std::uint8_t[size];
    if (copy) {
      if (size) std::memcpy(copy, view, size);
      *a_pnSize = size;
      *a_ppData = copy;
    } else {
      result = -1;
    }
  }
  EndOperation();
  return result;
}

int BlockDatabase_t::GetView(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize,
                             const std::uint8_t** a_ppData) {
  if (!a_pnSize || !a_ppData) return -1;
  *a_pnSize = 0;
  BeginOperation(LEVEL_READ);
  std::uint32_t size = 0;
  const std::uint8_t* view = nullptr;
  int result = Read(a_nType, a_nInstance, &size, &view);
  if (result == 0) {
    *a_pnSize = size;
    *a_ppData = view;
  }
  EndOperation();
  return result;
}

int BlockDatabase_t::Put(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t a_nSize, const void* a_pData) {
  // The record (blob + 12 bytes) must be representable, and the bytes must exist.
  if (a_nSize > UINT32_MAX - F::kRecordHeaderSize || (a_nSize > 0 && !a_pData)) return -1;
  std::uint8_t key[8];
  std::uint8_t fixed[8];
  BuildKey(a_nType, a_nInstance, key);
  BeginOperation(LEVEL_WRITE);
  int result = -1;
  int rc = GetEqualKey(IndexFile(), key, fixed);
  if (rc == kOk || rc == kKeyNotFound) {
    BinaryStream image(a_nSize + F::kRecordHeaderSize);
    image.ByteOrder(BinaryStream::Native);
    image.WriteU32(a_nType).WriteU32(a_nInstance).WriteU32(a_nSize);
    if (a_nSize > 0) image.Write(a_pData, a_nSize);
    if (image.State() == 0) {
      std::uint32_t length = image.WritePosition();
      rc = rc == kOk ? ReplaceRecord(DataFile(), image.Buffer(), length) : InsertRecord(DataFile(), image.Buffer(), length);
      if (rc == kOk) result = 0;
    }
  }
  EndOperation();
  return result;
}

int BlockDatabase_t::Delete(std::uint32_t a_nType, std::uint32_t a_nInstance) {
  std::uint8_t key[8];
  std::uint8_t fixed[8];
  BuildKey(a_nType, a_nInstance, key);
  BeginOperation(LEVEL_WRITE);
  int result = -1;
  if (GetEqualKey(IndexFile(), key, fixed) == kOk && RemoveRecord(DataFile()) == kOk) result = 0;
  EndOperation();
  return result;
}

bool BlockDatabase_t::HasCreationOption(int* a_pnErrorCode) {
  int ignored;
  int* error = a_pnErrorCode ? a_pnErrorCode : &ignored;
  if (!m_bOpen) {
    *error = kFileNotFound;
    return false;
  }
  std::uint8_t block[kCreationBlockSize];
  *error = GetCreationParameters(DataFile(), block);
  if (*error != kOk) return false;
  return (block[0] & F::kCreationOptionBit) != 0;
}

// ---------------------------------------------------------------------------
// BlockDatabaseCursor

BlockDatabaseCursor::BlockDatabaseCursor(BlockDatabase_t& a_rDatabase) : m_rDatabase(a_rDatabase) {}

int BlockDatabaseCursor::Next(std::uint32_t* a_pnType, std::uint32_t* a_pnInstance, std::uint32_t* a_pnSize,
                              const std::uint8_t** a_ppData) {
  std::uint8_t fixed[8];
  int rc;
  switch (m_nState) {
    case 0:
      rc = GetFirstKey(m_rDatabase.IndexFile(), fixed);
      if (rc == kOk) ReadFixedPart(fixed, &m_nLastType, &m_nLastInstance);
      break;
    case 1:
      rc = kOk;
      break;
    case 2:
      rc = GetNextKey(m_rDatabase.IndexFile(), fixed);
      if (rc == kOk) {
        ReadFixedPart(fixed, &m_nLastType, &m_nLastInstance);
      } else if (rc != kKeyNotFound && rc > 1) {
        std::fprintf(stderr, "Error: GetNextKey for %u:%u failed with error %d\n", m_nLastType, m_nLastInstance, rc);
      }
      break;
    default:
      rc = -1;
      break;
  }
  m_nState = 2;
  *a_pnType = m_nLastType;
  *a_pnInstance = m_nLastInstance;
  if (rc != kOk) return rc;
  return m_rDatabase.GetView(m_nLastType, m_nLastInstance, a_pnSize, a_ppData);
}

int BlockDatabaseCursor::LastKey(std::uint32_t* a_pnType, std::uint32_t* a_pnInstance) {
  std::uint8_t fixed[8];
  int rc = GetLastKey(m_rDatabase.IndexFile(), fixed);
  if (rc == kOk) ReadFixedPart(fixed, &m_nLastType, &m_nLastInstance);
  *a_pnType = m_nLastType;
  *a_pnInstance = m_nLastInstance;
  m_nState = 1;
  return rc;
}

// ---------------------------------------------------------------------------
// BlockDatabaseRebuilder

BlockDatabaseRebuilder::BlockDatabaseRebuilder(const char* a_pzDataFilePath)
    : m_ifil(F::MakeDefinition(a_pzDataFilePath ? a_pzDataFilePath : "")), m_sPath(a_pzDataFilePath ? a_pzDataFilePath : "") {
  if (InitEngine(12000, 20, 32, 1000, 1) != kOk) FatalFailure("Couldn't initialize database system.\n");
  qx::engine::SetRebuildCallback(RebuildCallback, 256);
}

BlockDatabaseRebuilder::~BlockDatabaseRebuilder() {
  if (ShutdownEngine() != kOk) FatalFailure("Could not close ISAM system\n");
}

long BlockDatabaseRebuilder::CountRecords() {
  long count = -1;
  if (OpenFileSet(m_ifil) != kOk) {
    std::printf("Error opening database %s\n", m_sPath.c_str());
  } else {
    std::uint8_t fixed[8];
    count = 0;
    for (int rc = GetFirstKey(m_ifil.dataFileNumber + 1, fixed); rc == kOk; rc = GetNextKey(m_ifil.dataFileNumber + 1, fixed))
      ++count;
  }
  CloseFileSet(m_ifil);
  return count;
}

void BlockDatabaseRebuilder::SetRebuildCallback(RebuildCallbackProc a_pCallback, long a_nStep) {
  qx::engine::SetRebuildCallback(a_pCallback, a_nStep);
}

int BlockDatabaseRebuilder::Rebuild() { return RebuildFileSet(m_ifil); }
