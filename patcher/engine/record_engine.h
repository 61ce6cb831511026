// The record engine: keyed variable-length records in a pair of files.
//
// A file set is a data file "<base>.dat", holding the records, and an index file
// "<base>.idx", holding a B+tree of one unique 8-byte key per record. The key is
// taken from the record image through the key segments of the file definition
// (`IFIL`). The operations mirror what the block database needs of an engine:
// start and stop, create/open/close of a pair, stored definition and field list,
// stored file modes and creation parameter blocks, positioning by key (equal,
// first, next, last) that makes a record the *current* one, reading, inserting,
// replacing and removing records, record locking, and a rebuild.
//
// File numbers: OpenFileSet gives the data file an even number d and the index
// file d + 1; key operations take the index number, record operations the data
// number. Each open has its own current record.
//
// Results: 0 success; 101 no such key / end of the index; 42 the record is locked
// by another process; 12 a file of the pair does not exist; other codes below.
// The last failure is kept for GetLastErrors.
//
// Record locks are byte-range locks on the data file, so other processes see them:
// under SetLockMode(kLockRead) positioning takes a shared lock on the record it
// lands on, under SetLockMode(kLockUpdate) an exclusive one; a lock held by another
// process makes the call answer 42 at once. SetLockMode(kLockNone) releases every
// record lock and stops locking. A process that has the pair to itself keeps its
// read locks as its own notes and places them as byte-range locks once another
// process opens the pair (a count of openers lives in the shared index header);
// update locks are always placed. Several processes may have a pair open; changes
// are serialised between them by a writer lock (held from the first change of a
// locking session to its end, or for one change without locking), and readers
// never wait for it: they see the index before or after a change, never halfway.
// Header changes (file modes, creation blocks, format stamp, stored definition
// and field list) are made under the writer lock on the header as the file
// holds it then, so changes by different processes are all kept; what a
// process reports of the header is its copy as of its open or its last change.
//
// Stops: every insert, replace and remove has reached the operating system when
// it returns, so a process killed at any moment leaves a pair that reopens with
// every completed change and nothing half-done (a torn last record is dropped; the
// index is rebuilt from the data file after an unclean stop). The engine does not
// sync to the disk per operation: it is safe against a killed process, not against
// a power failure.
//
// Thread-safety: every operation takes the engine's lock, so calls from several
// threads are serialised; the current record and the lock mode are shared by the
// threads of a process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::engine {

// Engine result codes.
enum : int {
  kOk = 0,
  kKeyExists = 2,            // insert of a key the index holds already
  kFileNotFound = 12,        // a file of the pair does not exist
  kCreateDataFailed = 16,    // the data file could not be created
  kCreateIndexFailed = 17,   // the index file could not be created
  kDataFileExists = 18,      // create of a pair whose data file exists
  kIndexFileExists = 19,     // (not returned: an index without its data file is replaced)
  kBadFileNumber = 22,       // the number does not belong to an open file of the right kind
  kNoCurrentRecord = 33,     // no record is current
  kReadFailed = 35,          // a read of the data file failed
  kWriteFailed = 37,         // a write failed (disk full, ...)
  kBadRecordLength = 40,     // image shorter than the key needs, or longer than the engine stores
  kRecordLocked = 42,        // another process holds a lock on the record
  kBadDefinition = 48,       // the definition or field list is invalid or not supported
  kNotOpenForFieldList = 49, // StoreFieldList needs the pair opened with both modes 0
  kKeyNotFound = 101,        // no such key; end of the index
  kEngineNotStarted = 150,   // InitEngine has not been called
  kBadArgument = 151,        // an argument is out of range
  kDataFileDamaged = 160,    // the data file's header is unreadable: not a data file of ours
  kIndexDamaged = 161,       // the index is damaged and could not be repaired now
  kRecordDamaged = 162,      // the current record failed its checks
  kFileInUse = 163,          // the operation needs the pair to be used by no other process
  kDataFileFull = 164,       // the data file reached its largest size
  kNoDefinition = 165,       // the data file holds no stored definition
};

// File mode bit: every change is synced to the disk before the call returns.
inline constexpr uint32_t kWriteThrough = 0x40;

// Locking modes of SetLockMode.
inline constexpr int kLockNone = 0;
inline constexpr int kLockUpdate = 3;
inline constexpr int kLockRead = 11;

// Key segment mode: unsigned integer read little-endian from the record and put
// into the key big-endian (lengths 1, 2, 4 or 8). Mode 0 copies the bytes as they are.
inline constexpr uint16_t kSegmentBytes = 0;
inline constexpr uint16_t kSegmentUnsigned = 1;

// Field type codes of a field list.
inline constexpr uint8_t kFieldUnsigned32 = 59;
inline constexpr uint8_t kFieldVariable = 128;

inline constexpr size_t kCreationBlockSize = 64;

struct KeySegment_t {
  uint16_t recordOffset = 0;
  uint16_t length = 0;
  uint16_t mode = kSegmentUnsigned;
};

struct IndexDefinition_t {
  std::string name;           // e.g. "ItemIdx"
  uint16_t keyLength = 8;     // only 8-byte keys are supported
  uint8_t keyType = 0;
  uint8_t duplicates = 0;     // must be 0: keys are unique
  uint8_t nullKey = 0;
  uint8_t padByte = 0;
  std::vector<KeySegment_t> segments;
};

// The file definition of a pair.
struct IFIL {
  std::string dataFileName;        // base name; ".dat" and ".idx" are added (a trailing ".dat" or ".idx" is taken off first)
  uint32_t fixedRecordLength = 0;  // bytes every record has at least; positioning copies them
  uint32_t dataExtensionSize = 4096;
  uint32_t indexExtensionSize = 4096;
  uint32_t dataFileMode = 0;
  uint32_t indexFileMode = 0;
  std::vector<IndexDefinition_t> indexes;  // exactly one
  std::string firstField;
  std::string lastField;
  int dataFileNumber = -1;  // assigned by OpenFileSet/CreateFileSet, -1 while closed
};

// One entry of a field list.
struct DODA {
  std::string name;
  uint8_t type = 0;
  uint32_t length = 0;
};

struct EngineErrors {
  int isamError = -1;     // code of the last failure, 0 if the last call succeeded
  int fileNumber = -1;    // file the code concerns
  int lowLevelError = -1; // operating-system error number of the last failure
};

// Called during a rebuild with (records processed so far, event letter, text or
// null): 'm' once at the start of each phase with its text, 'd' during the data
// pass and 'i' during the index pass each time the count reaches a multiple of the
// step. The result is not used.
using RebuildCallbackProc = int (*)(long count, int event, const char* text);

// --- engine lifetime --------------------------------------------------------
// The five sizing values are accepted and checked for sense, not otherwise used.
// Calls nest: each InitEngine is matched by one ShutdownEngine.
int InitEngine(int bufferCount, int maxOpenFiles, int nodeSectors, int dataBufferCount, int options);
// Closes whatever the matching start left open; 0 when the engine stopped (or,
// for a nested start, stays running for the outer one).
int ShutdownEngine();
// Closes every open pair and stops the engine whatever the nesting.
void StopEngine();
EngineErrors GetLastErrors();

// --- file sets --------------------------------------------------------------
// Creates both files and opens the pair. The data file appears complete or not at
// all. An index file left without its data file is replaced.
int CreateFileSet(IFIL& definition, const uint8_t dataCreation[kCreationBlockSize],
                  const uint8_t indexCreation[kCreationBlockSize]);
// 0 and file numbers assigned; 12 when the data file does not exist. A missing or
// damaged index file is rebuilt from the data file when no other process has the
// pair open.
int OpenFileSet(IFIL& definition);
int CloseFileSet(IFIL& definition);

int HasStoredDefinition(int dataFileNumber);
// Stores `definition` in its data file; the pair may be closed.
int StoreDefinition(const IFIL& definition);
int HasStoredFieldList(int dataFileNumber);
int StoreFieldList(int dataFileNumber, const DODA* fields, int count);
// The stored definition and field list of an open pair (tools).
int GetStoredDefinition(int dataFileNumber, IFIL& out);
int GetStoredFieldList(int dataFileNumber, std::vector<DODA>& out);

// Selector 3: the stored mode word (> 0). 0 on failure.
long GetFileMode(int fileNumber, int selector);
int SetFileMode(int fileNumber, uint32_t mode);
int GetCreationParameters(int dataFileNumber, uint8_t block[kCreationBlockSize]);

// The format stamp of an open pair's data file, and a way to set it (test and
// support tools write pairs that look like an older format).
int GetFormatStamp(int dataFileNumber, uint16_t* stamp);
int SetFormatStamp(int dataFileNumber, uint16_t stamp);
int SetCreationParameters(int dataFileNumber, const uint8_t block[kCreationBlockSize]);

// --- records ----------------------------------------------------------------
void SetLockMode(int mode);

// Positioning: `key` and `fixedPart` are the definition's key length (8) and fixed
// record length long. 0 positions on the record and copies its fixed part.
int GetEqualKey(int indexFileNumber, const void* key, void* fixedPart);
int GetFirstKey(int indexFileNumber, void* fixedPart);
int GetNextKey(int indexFileNumber, void* fixedPart);
int GetLastKey(int indexFileNumber, void* fixedPart);

// Length of the current record; 0 when there is none (the reason in GetLastErrors).
uint32_t GetRecordLength(int dataFileNumber);
// Copies the current record (at most `length` bytes) into `buffer`. A record that
// another process replaced since it was positioned on is read in its new copy when
// that has the length GetRecordLength told; else 42 (GetRecordLength now tells the
// new length), or 33 when the record was removed.
int ReadRecord(int dataFileNumber, void* buffer, uint32_t length);
int InsertRecord(int dataFileNumber, const void* image, uint32_t length);
int ReplaceRecord(int dataFileNumber, const void* image, uint32_t length);
int RemoveRecord(int dataFileNumber);

// --- rebuild ----------------------------------------------------------------
void SetRebuildCallback(RebuildCallbackProc callback, long step);
// Repairs the data file (drops torn and damaged slots, keeps the newest copy of
// each key, frees trailing space) and builds a fresh index. Needs the pair closed
// in this process and unused by others.
int RebuildFileSet(IFIL& definition);

// --- checks (tools) -----------------------------------------------------------
struct CheckReport {
  uint64_t liveRecords = 0;      // valid records in the data file (newest copy per key)
  uint64_t staleCopies = 0;      // older copies of keys left by a stop
  uint64_t freeSlots = 0;
  uint64_t freeBytes = 0;
  uint64_t damagedRegions = 0;   // unreadable slots or regions
  uint64_t damagedBytes = 0;
  uint64_t tornTailBytes = 0;    // bytes of an incomplete last slot
  uint64_t indexedRecords = 0;   // keys in the index
  uint64_t dataFileSize = 0;
  bool indexMatches = false;     // the index holds exactly the valid records
  std::vector<std::string> problems;  // one line per finding
};
// Reads a closed pair and reports on it without changing anything.
int CheckFileSet(const IFIL& definition, CheckReport& report);

// --- test support ---------------------------------------------------------------
// Places inside the engine where another process can step in: a test makes a
// process dwell there (sched_yield, a short sleep) so that rare interleavings of
// several processes come up often. Without a hook a point costs one load.
enum class PausePoint {
  kDataFileCreated,  // CreateFileSet: the data file exists, its index is not set up yet
  kOpening,          // OpenPair: the data file is open, the open lock not yet taken
  kOpened,           // OpenPair: checked (or joined) the pair, not yet counted as an opener
  kChanging,         // a change is under way (writer lock held, change sequence odd)
  kLookedUp,         // a lookup read the shared index and has not yet checked it was stable
  kPositioned,       // a record was found and is about to be locked
  kClosing,          // ClosePair: about to find out whether this process is the last
};
using PauseHook = void (*)(PausePoint point);
// Sets the hook of this process (null: none). Meant for tests only.
void SetPauseHook(PauseHook hook);

}  // namespace qx::engine
