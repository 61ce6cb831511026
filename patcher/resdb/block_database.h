// BlockDatabase_t: the game's resources as typed blobs in the resource database.
//
// A database is a pair of record-engine files, "<base>.dat" and "<base>.idx";
// each record holds the blob of one ResourceKey (layout in block_database_format.h).
// BlockDatabase_t opens the pair (creating it when allowed), and reads, stores and
// deletes blobs. BlockDatabaseCursor walks every record in key order;
// BlockDatabaseRebuilder rebuilds a damaged pair.
//
// Engine lifetime: the first shared-engine BlockDatabase_t of the process starts
// the record engine and the last one stops it. A BlockDatabaseRebuilder starts and
// stops the engine on its own and is used only while no BlockDatabase_t exists.
//
// Results: Open 0/-1; Get and GetView 0 found, 1 no such key, -1 locked record or
// failure; Put and Delete 0/-1 (Delete of a missing key is -1). A record locked by
// another process is not waited for.
//
// Ownership: the blob Get hands out is a new buffer of exactly the blob's size
// (never null when found, also for an empty blob) that the caller frees with
// delete[]. GetView hands out a pointer into the database's own record buffer,
// valid until the next read through the same database.
//
// Thread-safety: Get, GetView, Put and Delete of every instance serialise on one
// process-wide recursive lock whose waiters are served in arrival order, so one
// thread may nest operations. The engine's record locking follows the strongest
// level in use: read locks while only reads run, update locks from the first Put
// or Delete until the outermost operation ends. Opening, closing and the cursor's
// key positioning take no lock; each object is used by one thread at a time.
//
// Failures that leave the engine unusable (start, stop, creating the pair, storing
// its definition) write a message and the engine's error report to standard error
// and end the process with exit status 1.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <string>

#include "patcher/engine/record_engine.h"

// The key of a resource: ordered by Type, then Instance (both unsigned).
struct ResourceKey {
  std::uint32_t Type = 0;
  std::uint32_t Instance = 0;
  friend auto operator<=>(const ResourceKey&, const ResourceKey&) = default;
};

// Rebuild progress: (records processed, event letter, text or null); see record_engine.h.
using RebuildCallbackProc = qx::engine::RebuildCallbackProc;

// The default rebuild callback: writes "d" for 'd', "i" for 'i', "\n<text>\n" for
// 'm' and "RebuildCallback: Event <c> not handled\n" for anything else to standard
// output. Returns 0.
int RebuildCallback(long a_nCount, int a_nEvent, const char* a_pzText);

// The engine error report line for `errors` (empty for code 0).
std::string FormatEngineErrorReport(const qx::engine::EngineErrors& a_rErrors);

class BlockDatabase_t {
 public:
  explicit BlockDatabase_t(bool a_bSharedEngine = true);
  virtual ~BlockDatabase_t();
  BlockDatabase_t(const BlockDatabase_t&) = delete;
  BlockDatabase_t& operator=(const BlockDatabase_t&) = delete;

  // `a_pzPath` may end in ".dat", ".idx" or neither; all name the same pair.
  // With `a_bExistingOnly` false a missing pair is created and the write-through
  // mode is cleared. 0 open, -1 failed (nothing is printed).
  int Open(const char* a_pzPath, bool a_bExistingOnly);
  int Close();

  int Get(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize, std::uint8_t** a_ppData);
  int GetView(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize, const std::uint8_t** a_ppData);
  int Put(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t a_nSize, const void* a_pData);
  int Delete(std::uint32_t a_nType, std::uint32_t a_nInstance);

  // True when bit 0x40 of the first byte of the data file's creation parameter
  // block is set; otherwise false with the engine's code (0 when the block was
  // read) or 12 when the pair is not open.
  bool HasCreationOption(int* a_pnErrorCode);

  bool IsOpen() const { return m_bOpen; }
  const std::string& GetBaseName() const { return m_sBaseName; }
  // Bookkeeping, for tests: this instance's lock level and hold count, and the process's.
  int GetLockLevel() const { return m_nLockLevel; }
  int GetHoldCount() const { return m_nHoldCount; }
  static int GetGlobalLockLevel();
  static int GetGlobalHoldCount();

 protected:
  enum Level_e { LEVEL_NONE = 0, LEVEL_READ = 1, LEVEL_WRITE = 2 };

  // The steps around every Get, GetView, Put and Delete: take the process-wide
  // lock (recursively), count the hold, raise the engine's record locking to the
  // level; the end step undoes them and stops record locking when the last hold
  // of the process ends.
  void BeginOperation(Level_e a_eLevel);
  void EndOperation();

 private:
  friend class BlockDatabaseCursor;
  int Read(std::uint32_t a_nType, std::uint32_t a_nInstance, std::uint32_t* a_pnSize, const std::uint8_t** a_ppView);
  void CreatePair();
  int ClearWriteThrough();
  void StoreResourceInfo();
  int DataFile() const { return m_ifil.dataFileNumber; }
  int IndexFile() const { return m_ifil.dataFileNumber + 1; }

  std::string m_sBaseName;
  bool m_bSharedEngine;
  std::unique_ptr<std::uint8_t[]> m_pRecordBuffer;
  std::uint32_t m_nRecordBufferSize = 0;
  qx::engine::IFIL m_ifil;
  bool m_bOpen = false;
  int m_nLockLevel = LEVEL_NONE;
  int m_nHoldCount = 0;
};

// Walks a database's records in key order. Next hands out each blob as a pointer
// into the database's record buffer.
class BlockDatabaseCursor {
 public:
  explicit BlockDatabaseCursor(BlockDatabase_t& a_rDatabase);

  // 0: the next record; 101: no more keys; other: the walk failed (1 the key's
  // record was not found, -1 locked or unreadable, or the engine's code).
  int Next(std::uint32_t* a_pnType, std::uint32_t* a_pnInstance, std::uint32_t* a_pnSize, const std::uint8_t** a_ppData);
  // 0 and the last key of the index, or the engine's code.
  int LastKey(std::uint32_t* a_pnType, std::uint32_t* a_pnInstance);

 private:
  BlockDatabase_t& m_rDatabase;
  int m_nState = 0;  // 0 not started, 1 positioned, 2 delivered
  std::uint32_t m_nLastType = 0;
  std::uint32_t m_nLastInstance = 0;
};

// Rebuilds a damaged pair. Starts the engine itself: use it only while no
// BlockDatabase_t exists.
class BlockDatabaseRebuilder {
 public:
  // `a_pzDataFilePath` is the data file's path including ".dat".
  explicit BlockDatabaseRebuilder(const char* a_pzDataFilePath);
  ~BlockDatabaseRebuilder();
  BlockDatabaseRebuilder(const BlockDatabaseRebuilder&) = delete;
  BlockDatabaseRebuilder& operator=(const BlockDatabaseRebuilder&) = delete;

  // Keys in the index; -1 when the pair cannot be opened.
  long CountRecords();
  void SetRebuildCallback(RebuildCallbackProc a_pCallback, long a_nStep);
  // The engine's result.
  int Rebuild();

 private:
  qx::engine::IFIL m_ifil;
  std::string m_sPath;
};
