#include "patcher/engine/record_engine.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "patcher/engine/data_file.h"
#include "patcher/engine/index_file.h"
#include "platform/fs/path.h"

namespace qx::engine {

using namespace format;

namespace {

// ---------------------------------------------------------------------------
// State

// One pair as this process has it open: one descriptor per file (the byte-range
// locks belong to the descriptor, so every open of the pair in this process
// shares it), the shared index mapping, and the record locks held.
struct SharedPair {
  std::string dataPath;
  std::string indexPath;
  dev_t device = 0;
  ino_t inode = 0;
  DataFile data;
  IndexFile index;
  KeyShape shape;
  int users = 0;
  struct HeldLock {
    uint64_t key;
    short type;   // F_RDLCK or F_WRLCK
    bool placed;  // a byte-range lock exists (else the read lock is only our own note)
  };
  std::vector<HeldLock> heldLocks;
  bool locksPlaced = false;  // some record lock needs releasing
  bool notesPending = false; // some read lock is only a note
  bool holdsWriter = false;
};

// One OpenFileSet: its file numbers, its current record.
struct OpenSet {
  SharedPair* pair = nullptr;
  uint32_t openDataMode = 0;
  uint32_t openIndexMode = 0;
  bool hasCurrent = false;  // a record is current (Read/Replace/Remove act on it)
  bool positioned = false;  // a key position exists for GetNextKey
  uint64_t currentKey = 0;
  LeafValue currentValue{};
};

struct Engine {
  std::recursive_mutex mutex;
  int starts = 0;
  std::vector<std::unique_ptr<OpenSet>> sets;  // slot i: data file 2i, index file 2i+1
  std::vector<std::unique_ptr<SharedPair>> pairs;
  int lockMode = kLockNone;
  EngineErrors errors{0, -1, 0};
  RebuildCallbackProc callback = nullptr;
  long step = 0;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

int Fail(Engine& e, int code, int fileNumber, int lowLevel = 0) {
  e.errors = {code, fileNumber, lowLevel};
  return code;
}

int Succeed(Engine& e, int result = kOk) {
  e.errors.isamError = 0;
  return result;
}

OpenSet* DataSet(Engine& e, int number) {
  if (number < 0 || number % 2 != 0) return nullptr;
  size_t slot = static_cast<size_t>(number) / 2;
  return slot < e.sets.size() ? e.sets[slot].get() : nullptr;
}

OpenSet* IndexSet(Engine& e, int number) {
  if (number < 1 || number % 2 != 1) return nullptr;
  size_t slot = static_cast<size_t>(number) / 2;
  return slot < e.sets.size() ? e.sets[slot].get() : nullptr;
}

OpenSet* AnySet(Engine& e, int number) {
  if (number < 0) return nullptr;
  size_t slot = static_cast<size_t>(number) / 2;
  return slot < e.sets.size() ? e.sets[slot].get() : nullptr;
}

int FreeSetSlot(Engine& e) {
  for (size_t i = 0; i < e.sets.size(); ++i) {
    if (!e.sets[i]) return static_cast<int>(i);
  }
  e.sets.emplace_back();
  return static_cast<int>(e.sets.size() - 1);
}

// The base path of a definition's file name: "X", "X.dat" and "X.idx" all name
// the pair X.dat + X.idx.
std::string BaseName(const std::string& name) {
  if (name.size() >= 4) {
    std::string_view tail(name.data() + name.size() - 4, 4);
    if (fs::NamesEqual(tail, ".dat") || fs::NamesEqual(tail, ".idx")) return name.substr(0, name.size() - 4);
  }
  return name;
}

std::atomic<PauseHook> g_pauseHook{nullptr};

inline void Pause(PausePoint point) {
  if (PauseHook hook = g_pauseHook.load(std::memory_order_relaxed)) hook(point);
}

// ---------------------------------------------------------------------------
// Byte-range locks on the data file

bool SetLock(int fd, short type, int64_t start, int64_t length, bool wait, int* error) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno == EINTR) continue;
    if (error) *error = errno;
    return false;
  }
}

bool HeldByOther(int fd, short type, int64_t start) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

int64_t RecordLockByte(uint64_t key) { return kRecordLockBase + static_cast<int64_t>(key & kRecordLockMask); }

std::atomic_ref<uint64_t> Openers(IndexFile& index) { return std::atomic_ref<uint64_t>(index.Header()->openers); }

// Takes (or strengthens) this process's lock on `key`; false when another process
// holds it.
//
// Update locks are always byte-range locks, so that any process that opens the
// pair later sees them. A read lock only has to keep other processes from
// changing the record while it is held; as long as no other process has the pair
// open it stays a note of our own (sparing two system calls per read), and it
// becomes a byte-range lock once this process sees that another has opened the
// pair (at its next lock or read). Until then the newcomer may change a noted
// record; records are never changed in place, so the copy that positioning found
// stays whole until its slot is reused, and ReadRecord checks that it reads that
// copy (see there).
//
// Places the read locks that are still notes once another process has the pair
// open; true when another process has it open.
bool PlaceNotes(SharedPair& pair) {
  if (Openers(pair.index).load() <= 1) return false;
  if (pair.notesPending) {
    pair.notesPending = false;
    for (auto& held : pair.heldLocks) {
      if (held.placed) continue;
      if (SetLock(pair.data.Descriptor(), held.type, RecordLockByte(held.key), 1, false, nullptr)) {
        held.placed = true;
        pair.locksPlaced = true;
      } else {
        pair.notesPending = true;  // another process holds it: the record cannot be counted on
      }
    }
  }
  return true;
}

bool LockRecord(SharedPair& pair, uint64_t key, short type) {
  const int fd = pair.data.Descriptor();
  const bool others = PlaceNotes(pair);
  const bool place = type == F_WRLCK || others;
  for (auto& held : pair.heldLocks) {
    if (held.key != key) continue;
    if (held.type == F_WRLCK || (held.type == type && (held.placed || !place))) return true;
    if (place) {
      if (!SetLock(fd, type, RecordLockByte(key), 1, false, nullptr)) return false;
      held.placed = true;
      pair.locksPlaced = true;
    }
    held.type = type;
    return true;
  }
  if (place) {
    if (!SetLock(fd, type, RecordLockByte(key), 1, false, nullptr)) return false;
    pair.locksPlaced = true;
  }
  pair.heldLocks.push_back({key, type, place});
  if (!place) pair.notesPending = true;
  return true;
}

// Ends a locking session: the record locks and, if a change of the session took
// it, the writer lock (it lies just below the record locks, so one call does).
void ReleaseRecordLocks(SharedPair& pair) {
  if (pair.locksPlaced || pair.holdsWriter)
    SetLock(pair.data.Descriptor(), F_UNLCK, pair.holdsWriter ? kWriterLockByte : kRecordLockBase, 0, false, nullptr);
  pair.heldLocks.clear();
  pair.notesPending = false;
  pair.locksPlaced = false;
  pair.holdsWriter = false;
}

// Under a locking mode a record must be locked before it is used.
bool LockForMode(Engine& e, SharedPair& pair, uint64_t key) {
  if (e.lockMode == kLockRead) return LockRecord(pair, key, F_RDLCK);
  if (e.lockMode == kLockUpdate) return LockRecord(pair, key, F_WRLCK);
  return true;
}

// Changes need the update lock whenever locking is on.
bool LockForChange(Engine& e, SharedPair& pair, uint64_t key) {
  if (e.lockMode == kLockNone) return true;
  return LockRecord(pair, key, F_WRLCK);
}

std::atomic_ref<uint64_t> ChangeSequence(IndexFile& index) { return std::atomic_ref<uint64_t>(index.Header()->changeSequence); }

// ---------------------------------------------------------------------------
// Repair: the index (and the data file's loose ends) from a scan of the data file

struct Progress {
  RebuildCallbackProc callback = nullptr;
  long step = 0;
  void Event(long count, int event, const char* text) const {
    if (callback) callback(count, event, text);
  }
  void Count(uint64_t count, int event) const {
    if (callback && step > 0 && count % static_cast<uint64_t>(step) == 0) callback(static_cast<long>(count), event, nullptr);
  }
};

constexpr uint64_t kMaxFreeSlot = uint64_t{1} << 30;

// Rebuilds `index` from `data`. Keeps the newest copy of each key and frees the
// others on disk, turns damaged regions into free slots, drops a torn or free
// tail, and joins neighbouring free slots. `exclusive`: no other process has the
// pair open, so the files may shrink. The change sequence stays odd throughout.
int Repair(DataFile& data, IndexFile& index, const KeyShape& shape, bool exclusive, const Progress& progress,
           int* lowLevelError) {
  bool headerSound = index.IsOpen() && index.Header() && index.MappedPages() >= 1;
  if (headerSound) {
    auto sequence = ChangeSequence(index);
    if ((sequence.load() & 1) == 0) sequence.fetch_add(1);
  }

  ScanResult scan;
  progress.Event(0, 'm', "Rebuilding data file.");
  int rc = ScanDataFile(data.Descriptor(), shape, scan, [&](uint64_t n) { progress.Count(n, 'd'); }, lowLevelError);
  if (rc != kOk) return rc;

  // Newest copy of each key wins.
  std::vector<ScanLive>& live = scan.live;
  std::sort(live.begin(), live.end(), [](const ScanLive& a, const ScanLive& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.sequence != b.sequence) return a.sequence > b.sequence;
    return a.offset > b.offset;
  });
  std::vector<ScanRegion> freeRegions = scan.free;
  std::vector<IndexEntry> entries;
  entries.reserve(live.size());
  for (size_t i = 0; i < live.size(); ++i) {
    if (i > 0 && live[i].key == live[i - 1].key) {
      rc = data.WriteFree(live[i].offset, live[i].slotLength, lowLevelError);
      if (rc != kOk) return rc;
      freeRegions.push_back({live[i].offset, live[i].slotLength});
      continue;
    }
    entries.push_back({live[i].key, {static_cast<uint32_t>(live[i].offset / kSlotAlign), live[i].imageLength,
                                     live[i].slotLength / kSlotAlign}});
  }
  for (const ScanRegion& r : scan.damaged) freeRegions.push_back(r);

  // Join neighbours; a free run at the end goes away with the torn tail.
  std::sort(freeRegions.begin(), freeRegions.end(), [](const ScanRegion& a, const ScanRegion& b) { return a.offset < b.offset; });
  std::vector<ScanRegion> joined;
  for (const ScanRegion& r : freeRegions) {
    if (!joined.empty() && joined.back().offset + joined.back().length == r.offset) {
      joined.back().length += r.length;
    } else {
      joined.push_back(r);
    }
  }
  uint64_t end = scan.end;
  if (!joined.empty() && joined.back().offset + joined.back().length >= end) {
    end = joined.back().offset;
    joined.pop_back();
  }
  if (end < kDataHeaderSize) end = kDataHeaderSize;
  if (scan.fileSize > end) {
    // Only the torn tail and free space lie past `end`; a live slot whose padding
    // was never written may end beyond the file, which is fine.
    rc = data.Truncate(end, lowLevelError);
    if (rc != kOk) return rc;
  }
  // Write one header per free slot (at most 1 GiB each).
  std::vector<ScanRegion> slots;
  for (const ScanRegion& r : joined) {
    uint64_t at = r.offset;
    uint64_t left = r.length;
    while (left > 0) {
      uint64_t piece = std::min(left, kMaxFreeSlot);
      if (left - piece > 0 && left - piece < kSlotHeaderSize) piece -= kSlotAlign;
      rc = data.WriteFree(at, static_cast<uint32_t>(piece), lowLevelError);
      if (rc != kOk) return rc;
      slots.push_back({at, piece});
      at += piece;
      left -= piece;
    }
  }

  // A fresh index.
  if (!index.IsOpen()) return kIndexDamaged;
  if (int e = index.Reset(data.Header().salt, exclusive); e != 0) {
    *lowLevelError = e;
    return kWriteFailed;
  }
  ChangeSequence(index).fetch_or(1);
  uint64_t pagesNeeded = entries.size() / kLeafCapacity + entries.size() / (kLeafCapacity * kInnerCapacity) +
                         slots.size() / kFreeListCapacity + kClassCount + 32;
  if (int e = index.Reserve(static_cast<uint32_t>(std::min<uint64_t>(pagesNeeded, 0xffffff00u))); e != 0) {
    *lowLevelError = e;
    return kWriteFailed;
  }
  progress.Event(0, 'm', "Rebuilding index file.");
  for (size_t i = 0; i < entries.size(); ++i) progress.Count(i + 1, 'i');
  if (!index.BulkLoad(entries)) return kWriteFailed;
  IndexHeader* h = index.Header();
  h->dataEnd = end;
  h->nextSequence = scan.maxSequence + 1;
  for (const ScanRegion& r : slots) {
    if (!index.PushFree(r.offset, static_cast<uint32_t>(r.length))) return kWriteFailed;
  }
  if (exclusive) index.TrimFile();
  ChangeSequence(index).fetch_add(1);  // even again: consistent
  return kOk;
}

// ---------------------------------------------------------------------------
// Changes and reads under the pair's writer lock and change sequence

class Change {
 public:
  Change(Engine& e, SharedPair& pair, int fileNumber) : m_engine(e), m_pair(pair), m_fileNumber(fileNumber) {}
  ~Change() { End(); }

  // Takes the writer lock and marks a change under way; repairs the index first
  // when the last writer stopped in the middle of a change. Under a locking mode
  // the writer lock stays until the session ends (SetLockMode(0)), which saves a
  // call per change; without one it is released at the end of the change.
  int Begin() {
    int error = 0;
    if (!m_pair.holdsWriter) {
      if (!SetLock(m_pair.data.Descriptor(), F_WRLCK, kWriterLockByte, 1, true, &error))
        return Fail(m_engine, kWriteFailed, m_fileNumber, error);
      m_pair.holdsWriter = true;
    }
    m_locked = true;
    IndexFile& index = m_pair.index;
    if (!index.Refresh() || !index.HeaderSound(m_pair.data.Header().salt) ||
        (ChangeSequence(index).load() & 1) != 0) {
      int low = 0;
      int rc = Repair(m_pair.data, index, m_pair.shape, false, Progress{}, &low);
      if (rc != kOk) return Fail(m_engine, rc, m_fileNumber, low);
    }
    ChangeSequence(index).fetch_add(1);
    index.Header()->clean = 0;
    m_open = true;
    Pause(PausePoint::kChanging);
    return kOk;
  }

  // After a failure that may have left the index out of step with the data file.
  int RepairNow() {
    int low = 0;
    int rc = Repair(m_pair.data, m_pair.index, m_pair.shape, false, Progress{}, &low);
    if (rc != kOk) return Fail(m_engine, rc, m_fileNumber, low);
    ChangeSequence(m_pair.index).fetch_or(1);  // End() makes it even
    return kOk;
  }

  void End() {
    if (m_open) {
      m_open = false;
      ChangeSequence(m_pair.index).fetch_add(1);
      if (m_pair.data.Header().dataMode & kWriteThrough) m_pair.data.Sync();
      if (m_pair.data.Header().indexMode & kWriteThrough) m_pair.index.Sync();
    }
    if (m_locked) {
      m_locked = false;
      if (m_engine.lockMode == kLockNone) {
        SetLock(m_pair.data.Descriptor(), F_UNLCK, kWriterLockByte, 1, false, nullptr);
        m_pair.holdsWriter = false;
      }
    }
  }

 private:
  Engine& m_engine;
  SharedPair& m_pair;
  int m_fileNumber;
  bool m_locked = false;
  bool m_open = false;
};

constexpr auto kWriterPatience = std::chrono::seconds(10);

// Runs `lookup` on a consistent view of the index: looks again when a change by
// another process overlapped it, waits while one is under way, and repairs the
// index when the writer died or the tree turns out to be damaged.
template <typename Lookup>
int ReadIndex(Engine& e, SharedPair& pair, int fileNumber, const Lookup& lookup, IndexFile::Result* result) {
  IndexFile& index = pair.index;
  if (pair.holdsWriter) {
    *result = lookup();
    return kOk;
  }
  bool repaired = false;
  auto waitStart = std::chrono::steady_clock::now();
  for (unsigned spins = 0;; ++spins) {
    uint64_t before = ChangeSequence(index).load(std::memory_order_acquire);
    bool sound = (before & 1) == 0 && index.Refresh();
    if (sound) {
      IndexFile::Result r = lookup();
      Pause(PausePoint::kLookedUp);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (ChangeSequence(index).load(std::memory_order_relaxed) == before) {
        if (r != IndexFile::Result::kDamaged) {
          *result = r;
          return kOk;
        }
        if (repaired) return Fail(e, kIndexDamaged, fileNumber);
        // A stable view of a damaged tree: rebuild it from the data file.
        Change change(e, pair, fileNumber);
        int rc = change.Begin();
        if (rc == kOk) rc = change.RepairNow();
        if (rc != kOk) return rc;
        repaired = true;
        continue;
      }
    }
    if ((before & 1) == 0 && sound) continue;  // overlapped a change: look again
    // A change is under way in another process (or the mapping lags behind).
    if (spins < 64) {
      sched_yield();
      continue;
    }
    if (!HeldByOther(pair.data.Descriptor(), F_WRLCK, kWriterLockByte)) {
      // Nobody is changing the pair: the last writer stopped half-way. Taking the
      // writer lock repairs it.
      Change change(e, pair, fileNumber);
      int rc = change.Begin();
      if (rc != kOk) return rc;
      change.End();
      spins = 0;
      continue;
    }
    if (std::chrono::steady_clock::now() - waitStart > kWriterPatience) return Fail(e, kRecordLocked, fileNumber);
    ::usleep(200);
  }
}

// ---------------------------------------------------------------------------
// Opening and closing pairs
//
// Who writes the shared index: a process alone with the pair (holding the open
// lock exclusively, so no other process has the index mapped) may reset, rebuild
// and shrink it; every other change is made in place by the holder of the writer
// lock, with the change sequence odd from its start to its end. Nothing else
// writes it (but for the opener count, which each process moves atomically): that
// is what lets readers trust a view that the change sequence says is whole, and
// writers trust the tree and the free-slot lists they find.

int StatPath(const std::string& path, struct stat* st, int* error) {
  if (::stat(path.c_str(), st) == 0) return kOk;
  *error = errno;
  return errno == ENOENT ? kFileNotFound : kReadFailed;
}

void ClosePair(Engine& e, SharedPair* pair) {
  Pause(PausePoint::kClosing);
  if (pair->index.IsOpen() && pair->data.IsOpen()) {
    // Alone with the pair: mark it clean when no change is under way.
    IndexFile& index = pair->index;
    if (SetLock(pair->data.Descriptor(), F_WRLCK, kOpenLockByte, 1, false, nullptr)) {
      if (index.Refresh() && index.HeaderSound(pair->data.Header().salt)) {
        Openers(index).store(0);
        if ((ChangeSequence(index).load() & 1) == 0) {
          index.TrimFile();
          index.Header()->clean = 1;
        }
      }
    } else if (index.MappedPages() >= 1) {
      uint64_t count = Openers(index).load();
      while (count > 0 && !Openers(index).compare_exchange_weak(count, count - 1)) {
      }
    }
  }
  pair->index.Close();
  pair->data.Close();  // releases every lock of this process on the pair
  auto it = std::find_if(e.pairs.begin(), e.pairs.end(), [&](const auto& p) { return p.get() == pair; });
  if (it != e.pairs.end()) e.pairs.erase(it);
}

// Opens the pair for this process or joins the open it has already.
int OpenPair(Engine& e, const IFIL& definition, int fileNumber, SharedPair** out) {
  KeyShape shape;
  if (shape.Assign(definition) != kOk) return Fail(e, kBadDefinition, fileNumber);
  std::string base = BaseName(definition.dataFileName);
  if (base.empty()) return Fail(e, kBadArgument, fileNumber);
  std::string dataPath = fs::ResolvePath(base + ".dat");
  std::string indexPath = fs::ResolvePath(base + ".idx");
  struct stat st;
  int error = 0;
  int rc = StatPath(dataPath, &st, &error);
  if (rc != kOk) return Fail(e, rc, fileNumber, error);
  for (auto& p : e.pairs) {
    if (p->device == st.st_dev && p->inode == st.st_ino) {
      if (!(p->shape == shape)) return Fail(e, kBadDefinition, fileNumber);
      ++p->users;
      *out = p.get();
      return kOk;
    }
  }
  auto pair = std::make_unique<SharedPair>();
  pair->dataPath = dataPath;
  pair->indexPath = indexPath;
  pair->device = st.st_dev;
  pair->inode = st.st_ino;
  pair->shape = shape;
  rc = pair->data.Open(dataPath, &error);
  if (rc != kOk) return Fail(e, rc, fileNumber, error);

  // Alone with the pair: check it, and repair it after an unclean stop. Otherwise
  // wait until whoever checks it alone has finished.
  int fd = pair->data.Descriptor();
  Pause(PausePoint::kOpening);
  bool alone = SetLock(fd, F_WRLCK, kOpenLockByte, 1, false, nullptr);
  if (!alone && !SetLock(fd, F_RDLCK, kOpenLockByte, 1, true, &error)) return Fail(e, kReadFailed, fileNumber, error);
  // Another process may have written the header while we waited.
  if (!alone && (rc = pair->data.ReloadHeader(&error)) != kOk) return Fail(e, rc, fileNumber, error);
  uint64_t salt = pair->data.Header().salt;
  struct stat indexStat;
  bool indexExists = ::stat(indexPath.c_str(), &indexStat) == 0;
  if (!indexExists && !alone) return Fail(e, kIndexDamaged, fileNumber + 1, errno);
  if (int err = pair->index.Open(indexPath, alone); err != 0) return Fail(e, kIndexDamaged, fileNumber + 1, err);
  if (alone) {
    IndexFile& index = pair->index;
    bool sound = index.HeaderSound(salt) && index.Header()->clean == 1 && (index.Header()->changeSequence & 1) == 0 &&
                 index.CheckTree(pair->data.FileSize(), nullptr, nullptr);
    if (!sound) {
      if (!index.HeaderSound(salt)) {
        if (int err = index.Reset(salt, true); err != 0) return Fail(e, kWriteFailed, fileNumber + 1, err);
      }
      rc = Repair(pair->data, index, shape, true, Progress{}, &error);
      if (rc != kOk) return Fail(e, rc, fileNumber, error);
    }
    Pause(PausePoint::kOpened);
    Openers(index).store(1);
    SetLock(fd, F_RDLCK, kOpenLockByte, 1, false, nullptr);
  } else if (!pair->index.Refresh() || !pair->index.HeaderSound(salt)) {
    return Fail(e, kIndexDamaged, fileNumber + 1);
  } else {
    Pause(PausePoint::kOpened);
    Openers(pair->index).fetch_add(1);
  }
  pair->users = 1;
  *out = pair.get();
  e.pairs.push_back(std::move(pair));
  return kOk;
}

void ReleaseSet(Engine& e, size_t slot) {
  std::unique_ptr<OpenSet> set = std::move(e.sets[slot]);
  if (!set) return;
  SharedPair* pair = set->pair;
  if (--pair->users == 0) ClosePair(e, pair);
}

void CloseEverything(Engine& e) {
  for (size_t i = 0; i < e.sets.size(); ++i) ReleaseSet(e, i);
  e.sets.clear();
  while (!e.pairs.empty()) ClosePair(e, e.pairs.back().get());
  e.lockMode = kLockNone;
}

// ---------------------------------------------------------------------------
// Positioning helpers

int CopyFixedPart(Engine& e, OpenSet& set, int fileNumber, void* fixedPart) {
  SharedPair& pair = *set.pair;
  uint8_t* out = static_cast<uint8_t*>(fixedPart);
  if (pair.shape.FixedPartFromKey(set.currentKey, out)) return kOk;
  uint32_t fixed = pair.shape.FixedLength();
  std::vector<uint8_t> buffer(fixed);
  int error = 0;
  if (set.currentValue.length < fixed) return Fail(e, kRecordDamaged, fileNumber);
  int rc = pair.data.ReadImage(uint64_t{set.currentValue.offset32} * kSlotAlign, set.currentValue.length, buffer.data(),
                               fixed, &error);
  if (rc != kOk) return Fail(e, rc, fileNumber - 1, error);
  std::memcpy(out, buffer.data(), fixed);
  return kOk;
}

// Makes a found entry current (taking the record lock the mode asks for) and
// hands out its fixed part.
int Position(Engine& e, OpenSet& set, int fileNumber, const IndexEntry& entry, void* fixedPart) {
  set.positioned = true;
  set.currentKey = entry.key;
  set.hasCurrent = false;
  Pause(PausePoint::kPositioned);
  if (!LockForMode(e, *set.pair, entry.key)) return Fail(e, kRecordLocked, fileNumber);
  set.currentValue = entry.value;
  set.hasCurrent = true;
  int rc = CopyFixedPart(e, set, fileNumber, fixedPart);
  if (rc != kOk) {
    set.hasCurrent = false;
    return rc;
  }
  return Succeed(e);
}

int TreeResult(Engine& e, IndexFile::Result r, int fileNumber) {
  if (r == IndexFile::Result::kMissing) return Fail(e, kKeyNotFound, fileNumber);
  return Fail(e, kIndexDamaged, fileNumber);
}

// Finds a slot for an image of `length` bytes: a free one (the rest of a larger
// one is split off and freed first, so a stop never exposes stale bytes) or room
// at the end of the data file.
int AllocateSlot(Engine& e, SharedPair& pair, int fileNumber, uint32_t length, uint64_t* offset, uint32_t* slotLength,
                 bool* appended) {
  IndexFile& index = pair.index;
  uint32_t sizeClass = ClassCeil(SlotLengthFor(length));
  uint64_t need = ClassSize(sizeClass);
  uint64_t at;
  uint32_t have;
  // A slot is reused only when the data file agrees that it is free; an entry
  // that does not check out is dropped (a rebuild reclaims its space).
  bool found = false;
  while (!found && index.PopFree(sizeClass, &at, &have)) {
    SlotHeader head;
    int error = 0;
    found = pair.data.ReadSlotHead(at, &head, nullptr, 0, &error) == kOk && head.tag == kFreeTag &&
            head.slotLength == have;
  }
  if (found) {
    if (have - need >= 2 * kSlotAlign) {
      int error = 0;
      int rc = pair.data.WriteFree(at + need, static_cast<uint32_t>(have - need), &error);
      if (rc != kOk || !index.PushFree(at + need, static_cast<uint32_t>(have - need))) {
        index.PushFree(at, have);
        return Fail(e, rc != kOk ? rc : kWriteFailed, fileNumber, error);
      }
      have = static_cast<uint32_t>(need);
    }
    *offset = at;
    *slotLength = have;
    *appended = false;
    return kOk;
  }
  at = index.Header()->dataEnd;
  if (at + need > kMaxDataFileSize) return Fail(e, kDataFileFull, fileNumber);
  *offset = at;
  *slotLength = static_cast<uint32_t>(need);
  *appended = true;
  return kOk;
}

// Writes a new copy of a record into a fresh slot.
int WriteNewCopy(Engine& e, SharedPair& pair, int fileNumber, const void* image, uint32_t length, LeafValue* value) {
  IndexFile& index = pair.index;
  uint64_t offset;
  uint32_t slotLength;
  bool appended;
  int rc = AllocateSlot(e, pair, fileNumber, length, &offset, &slotLength, &appended);
  if (rc != kOk) return rc;
  int error = 0;
  uint64_t sequence = index.Header()->nextSequence++;
  rc = pair.data.WriteRecord(offset, slotLength, sequence, image, length, &error);
  if (rc != kOk) {
    // Leave the slot marked free, so what was partly written never counts.
    int ignored = 0;
    if (pair.data.WriteFree(offset, slotLength, &ignored) == kOk) {
      if (appended) index.Header()->dataEnd = offset + slotLength;
      index.PushFree(offset, slotLength);
    } else if (!appended) {
      index.PushFree(offset, slotLength);
    }
    return Fail(e, rc, fileNumber, error);
  }
  if (appended) index.Header()->dataEnd = offset + slotLength;
  *value = {static_cast<uint32_t>(offset / kSlotAlign), length, slotLength / kSlotAlign};
  return kOk;
}

// Whether the slot an index entry names holds the record of `key` as the entry
// describes it; checked before the slot is given up, so a damaged index can never
// make the engine free another record's slot.
bool EntryMatchesData(SharedPair& pair, uint64_t key, const LeafValue& value) {
  SlotHeader head;
  uint8_t prefix[64];
  int error = 0;
  uint32_t prefixLength = std::min<uint32_t>(pair.shape.MinImageLength(), sizeof(prefix));
  if (pair.data.ReadSlotHead(uint64_t{value.offset32} * kSlotAlign, &head, prefix, prefixLength, &error) != kOk)
    return false;
  uint64_t found;
  return head.tag == kLiveTag && head.imageLength == value.length && head.slotLength == value.slot32 * kSlotAlign &&
         prefixLength == pair.shape.MinImageLength() && pair.shape.KeyFromImage(prefix, prefixLength, &found) &&
         found == key;
}

// Finds the index entry of `key` for a change and checks it against the data
// file; a mismatch means a damaged index, which is rebuilt first.
int FindForChange(Engine& e, SharedPair& pair, Change& change, int fileNumber, uint64_t key, LeafValue* value) {
  IndexFile::Result r = pair.index.Find(key, value);
  if (r == IndexFile::Result::kFound && EntryMatchesData(pair, key, *value)) return kOk;
  if (r == IndexFile::Result::kMissing) return kKeyNotFound;
  int rc = change.RepairNow();
  if (rc != kOk) return rc;
  r = pair.index.Find(key, value);
  if (r == IndexFile::Result::kMissing) return kKeyNotFound;
  if (r != IndexFile::Result::kFound || !EntryMatchesData(pair, key, *value)) return Fail(e, kRecordDamaged, fileNumber);
  return kOk;
}

// Marks an old copy free on disk and in the lists.
int FreeOldCopy(Engine& e, SharedPair& pair, int fileNumber, const LeafValue& value) {
  int error = 0;
  uint64_t offset = uint64_t{value.offset32} * kSlotAlign;
  uint32_t slotLength = value.slot32 * kSlotAlign;
  int rc = pair.data.WriteFree(offset, slotLength, &error);
  if (rc != kOk) return Fail(e, rc, fileNumber, error);
  pair.index.PushFree(offset, slotLength);
  return kOk;
}

uint32_t ReservePages(SharedPair& pair) { return pair.index.Header()->height * 2 + 8; }

// Opens the pair of `definition` as the file numbers `number` (data, a free
// slot's) and `number` + 1 (index), and stores the data number in it.
int OpenAsSet(Engine& e, IFIL& definition, int number) {
  SharedPair* pair = nullptr;
  int rc = OpenPair(e, definition, number, &pair);
  if (rc != kOk) return rc;
  auto set = std::make_unique<OpenSet>();
  set->pair = pair;
  set->openDataMode = definition.dataFileMode;
  set->openIndexMode = definition.indexFileMode;
  e.sets[static_cast<size_t>(number / 2)] = std::move(set);
  definition.dataFileNumber = number;
  return Succeed(e);
}

}  // namespace

// ---------------------------------------------------------------------------
// Engine lifetime

int InitEngine(int bufferCount, int maxOpenFiles, int nodeSectors, int dataBufferCount, int options) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (bufferCount < 0 || maxOpenFiles < 0 || nodeSectors < 0 || dataBufferCount < 0 || options < 0)
    return Fail(e, kBadArgument, -1);
  ++e.starts;
  e.errors = {0, -1, 0};
  return kOk;
}

int ShutdownEngine() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  if (--e.starts == 0) {
    CloseEverything(e);
    e.callback = nullptr;
    e.step = 0;
  }
  return Succeed(e);
}

void StopEngine() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  CloseEverything(e);
  e.starts = 0;
}

EngineErrors GetLastErrors() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return EngineErrors{};
  return e.errors;
}

// ---------------------------------------------------------------------------
// File sets

int CreateFileSet(IFIL& definition, const uint8_t dataCreation[kCreationBlockSize],
                  const uint8_t indexCreation[kCreationBlockSize]) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  int number = FreeSetSlot(e) * 2;
  KeyShape shape;
  if (shape.Assign(definition) != kOk || !dataCreation || !indexCreation) return Fail(e, kBadDefinition, number);
  std::string base = BaseName(definition.dataFileName);
  if (base.empty()) return Fail(e, kBadArgument, number);
  std::string dataPath = fs::ResolvePath(base + ".dat");
  std::string indexPath = fs::ResolvePath(base + ".idx");
  int error = 0;
  int rc = DataFile::Create(dataPath, definition.dataFileMode, definition.indexFileMode, dataCreation, indexCreation,
                            &error);
  if (rc != kOk) return Fail(e, rc, number, error);
  Pause(PausePoint::kDataFileCreated);
  // From the moment the data file has its name, other processes may open the pair
  // and change it. The index is set up only under the exclusive open lock, like
  // every check or repair by a process alone with the pair, and only when it does
  // not already belong to this data file: a process that got in first has set it
  // up and may have recorded changes in it (and may still have it mapped), so
  // emptying or truncating it now would lose those records and reuse their space.
  {
    DataFile data;
    rc = data.Open(dataPath, &error);
    // Should even that fail, the data file stays: another process may use it
    // already, and the next open sets up its index.
    if (rc != kOk) return Fail(e, kCreateIndexFailed, number + 1, error);
    if (SetLock(data.Descriptor(), F_WRLCK, kOpenLockByte, 1, false, nullptr)) {
      IndexFile index;
      int err = index.Open(indexPath, true);
      if (err == 0 && !index.HeaderSound(data.Header().salt)) {
        err = index.Reset(data.Header().salt, true);
        if (err == 0) index.Header()->clean = 1;
      }
      if (err != 0) {
        // Nobody else has the pair open: the data file goes again.
        index.Close();
        ::unlink(dataPath.c_str());
        return Fail(e, kCreateIndexFailed, number + 1, err);
      }
    }
    // Else another process has the pair open and has set up its index.
  }
  return OpenAsSet(e, definition, number);
}

int OpenFileSet(IFIL& definition) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  return OpenAsSet(e, definition, FreeSetSlot(e) * 2);
}

int CloseFileSet(IFIL& definition) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  int number = definition.dataFileNumber;
  if (!DataSet(e, number)) return Fail(e, kBadFileNumber, number);
  ReleaseSet(e, static_cast<size_t>(number / 2));
  definition.dataFileNumber = -1;
  return Succeed(e);
}

int HasStoredDefinition(int dataFileNumber) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber), 0;
  Succeed(e);
  return (set->pair->data.Header().flags & kHasDefinition) ? 1 : 0;
}

namespace {

// A change of the data file's header (modes, creation blocks, stamp, stored
// definition and field list). Other processes may change the header too, and
// each keeps its own copy: under the writer lock the header is read afresh,
// `modify` changes it and it is written, so no change undoes another's. On a
// failure the header stays as read.
template <typename Modify>
int ChangeHeader(DataFile& data, bool holdsWriter, Modify modify, int* error) {
  if (!holdsWriter && !SetLock(data.Descriptor(), F_WRLCK, kWriterLockByte, 1, true, error)) return kWriteFailed;
  int rc = data.ReloadHeader(error);
  if (rc == kOk) {
    const DataHeader read = data.Header();
    rc = modify(data.MutableHeader());
    if (rc == kOk) rc = data.WriteHeader(error);
    if (rc != kOk) data.MutableHeader() = read;
  }
  if (!holdsWriter) SetLock(data.Descriptor(), F_UNLCK, kWriterLockByte, 1, false, nullptr);
  return rc;
}

}  // namespace

int StoreDefinition(const IFIL& definition) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  std::vector<uint8_t> bytes;
  if (!EncodeDefinition(definition, bytes)) return Fail(e, kBadDefinition, definition.dataFileNumber);
  std::string dataPath = fs::ResolvePath(BaseName(definition.dataFileName) + ".dat");
  struct stat st;
  int error = 0;
  int rc = StatPath(dataPath, &st, &error);
  if (rc != kOk) return Fail(e, rc, definition.dataFileNumber, error);
  auto store = [&](DataHeader& h) { return PutStoredInfo(h, &bytes, nullptr); };
  for (auto& p : e.pairs) {
    if (p->device == st.st_dev && p->inode == st.st_ino) {
      rc = ChangeHeader(p->data, p->holdsWriter, store, &error);
      return rc == kOk ? Succeed(e) : Fail(e, rc, definition.dataFileNumber, error);
    }
  }
  DataFile data;
  rc = data.Open(dataPath, &error);
  if (rc == kOk) rc = ChangeHeader(data, false, store, &error);
  return rc == kOk ? Succeed(e) : Fail(e, rc, definition.dataFileNumber, error);
}

int HasStoredFieldList(int dataFileNumber) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber), 0;
  Succeed(e);
  return (set->pair->data.Header().flags & kHasFieldList) ? 1 : 0;
}

int StoreFieldList(int dataFileNumber, const DODA* fields, int count) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (set->openDataMode != 0 || set->openIndexMode != 0) return Fail(e, kNotOpenForFieldList, dataFileNumber);
  std::vector<uint8_t> bytes;
  if (count <= 0 || !EncodeFieldList(fields, count, bytes)) return Fail(e, kBadDefinition, dataFileNumber);
  int error = 0;
  int rc = ChangeHeader(set->pair->data, set->pair->holdsWriter,
                        [&](DataHeader& h) { return PutStoredInfo(h, nullptr, &bytes); }, &error);
  return rc == kOk ? Succeed(e) : Fail(e, rc, dataFileNumber, error);
}

int GetStoredDefinition(int dataFileNumber, IFIL& out) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  const DataHeader& h = set->pair->data.Header();
  if (!(h.flags & kHasDefinition)) return Fail(e, kNoDefinition, dataFileNumber);
  if (!DecodeDefinition(h.storedInfo, h.definitionSize, out)) return Fail(e, kDataFileDamaged, dataFileNumber);
  return Succeed(e);
}

int GetStoredFieldList(int dataFileNumber, std::vector<DODA>& out) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  const DataHeader& h = set->pair->data.Header();
  if (!(h.flags & kHasFieldList)) return Fail(e, kNoDefinition, dataFileNumber);
  if (!DecodeFieldList(h.storedInfo + h.definitionSize, h.fieldListSize, out))
    return Fail(e, kDataFileDamaged, dataFileNumber);
  return Succeed(e);
}

long GetFileMode(int fileNumber, int selector) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = AnySet(e, fileNumber);
  if (!set) return Fail(e, kBadFileNumber, fileNumber), 0;
  if (selector != 3) return Fail(e, kBadArgument, fileNumber), 0;
  const DataHeader& h = set->pair->data.Header();
  Succeed(e);
  return static_cast<long>(fileNumber % 2 == 0 ? h.dataMode : h.indexMode);
}

int SetFileMode(int fileNumber, uint32_t mode) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = AnySet(e, fileNumber);
  if (!set) return Fail(e, kBadFileNumber, fileNumber);
  int error = 0;
  int rc = ChangeHeader(set->pair->data, set->pair->holdsWriter, [&](DataHeader& h) {
    (fileNumber % 2 == 0 ? h.dataMode : h.indexMode) = mode;
    return kOk;
  }, &error);
  return rc == kOk ? Succeed(e) : Fail(e, rc, fileNumber, error);
}

int GetCreationParameters(int dataFileNumber, uint8_t block[kCreationBlockSize]) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (!block) return Fail(e, kBadArgument, dataFileNumber);
  std::memcpy(block, set->pair->data.Header().dataCreation, kCreationBlockSize);
  return Succeed(e);
}

int SetCreationParameters(int dataFileNumber, const uint8_t block[kCreationBlockSize]) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (!block) return Fail(e, kBadArgument, dataFileNumber);
  int error = 0;
  int rc = ChangeHeader(set->pair->data, set->pair->holdsWriter, [&](DataHeader& h) {
    std::memcpy(h.dataCreation, block, kCreationBlockSize);
    return kOk;
  }, &error);
  return rc == kOk ? Succeed(e) : Fail(e, rc, dataFileNumber, error);
}

int GetFormatStamp(int dataFileNumber, uint16_t* stamp) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  *stamp = set->pair->data.Header().formatStamp;
  return Succeed(e);
}

int SetFormatStamp(int dataFileNumber, uint16_t stamp) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (stamp > 0xff) return Fail(e, kBadArgument, dataFileNumber);
  int error = 0;
  int rc = ChangeHeader(set->pair->data, set->pair->holdsWriter, [&](DataHeader& h) {
    h.formatStamp = stamp;
    return kOk;
  }, &error);
  return rc == kOk ? Succeed(e) : Fail(e, rc, dataFileNumber, error);
}

// ---------------------------------------------------------------------------
// Records

void SetLockMode(int mode) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (mode == kLockNone) {
    for (auto& pair : e.pairs) ReleaseRecordLocks(*pair);
    e.lockMode = kLockNone;
  } else if (mode == kLockRead || mode == kLockUpdate) {
    e.lockMode = mode;
  }
}

int GetEqualKey(int indexFileNumber, const void* key, void* fixedPart) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = IndexSet(e, indexFileNumber);
  if (!set) return Fail(e, kBadFileNumber, indexFileNumber);
  if (!key || !fixedPart) return Fail(e, kBadArgument, indexFileNumber);
  IndexEntry entry{KeyFromBytes(key), {}};
  IndexFile::Result r;
  int rc = ReadIndex(e, *set->pair, indexFileNumber, [&] { return set->pair->index.Find(entry.key, &entry.value); }, &r);
  if (rc != kOk) return rc;
  if (r != IndexFile::Result::kFound) {
    set->hasCurrent = false;
    set->positioned = true;
    set->currentKey = entry.key;
    return TreeResult(e, r, indexFileNumber);
  }
  return Position(e, *set, indexFileNumber, entry, fixedPart);
}

namespace {

// GetFirstKey, GetNextKey and GetLastKey: `find(set, &entry)` looks the entry up
// in the tree; when there is none the position stays where it was.
template <typename Find>
int StepTo(int indexFileNumber, void* fixedPart, bool needsPosition, Find find) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = IndexSet(e, indexFileNumber);
  if (!set) return Fail(e, kBadFileNumber, indexFileNumber);
  if (!fixedPart) return Fail(e, kBadArgument, indexFileNumber);
  if (needsPosition && !set->positioned) return Fail(e, kNoCurrentRecord, indexFileNumber);
  IndexEntry entry;
  IndexFile::Result r;
  int rc = ReadIndex(e, *set->pair, indexFileNumber, [&] { return find(*set, &entry); }, &r);
  if (rc != kOk) return rc;
  if (r != IndexFile::Result::kFound) {
    set->hasCurrent = false;
    return TreeResult(e, r, indexFileNumber);
  }
  return Position(e, *set, indexFileNumber, entry, fixedPart);
}

}  // namespace

int GetFirstKey(int indexFileNumber, void* fixedPart) {
  return StepTo(indexFileNumber, fixedPart, false, [](OpenSet& set, IndexEntry* entry) {
    return set.pair->index.First(entry);
  });
}

int GetNextKey(int indexFileNumber, void* fixedPart) {
  return StepTo(indexFileNumber, fixedPart, true, [](OpenSet& set, IndexEntry* entry) {
    return set.pair->index.After(set.currentKey, entry);
  });
}

int GetLastKey(int indexFileNumber, void* fixedPart) {
  return StepTo(indexFileNumber, fixedPart, false, [](OpenSet& set, IndexEntry* entry) {
    return set.pair->index.Last(entry);
  });
}

uint32_t GetRecordLength(int dataFileNumber) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber), 0;
  if (!set->hasCurrent) return Fail(e, kNoCurrentRecord, dataFileNumber), 0;
  Succeed(e);
  return set->currentValue.length;
}

int ReadRecord(int dataFileNumber, void* buffer, uint32_t length) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (!set->hasCurrent) return Fail(e, kNoCurrentRecord, dataFileNumber);
  if (!buffer && length > 0) return Fail(e, kBadArgument, dataFileNumber);
  SharedPair& pair = *set->pair;
  if (e.lockMode != kLockNone) PlaceNotes(pair);
  // The record may have moved since it was found if another process changed it
  // (without locks, or while a read lock was still a note): look it up again a few
  // times. The caller sized its buffer by the length GetRecordLength told, so a
  // copy of another length is never handed out in its place: that answers 42, and
  // the current record becomes the new copy.
  const uint32_t told = set->currentValue.length;
  const uint32_t want = std::min(length, told);
  for (int attempt = 0; attempt < 4; ++attempt) {
    int error = 0;
    int rc = pair.data.ReadImage(uint64_t{set->currentValue.offset32} * kSlotAlign, set->currentValue.length, buffer,
                                 want, &error);
    if (rc == kReadFailed) return Fail(e, rc, dataFileNumber, error);
    if (rc == kOk) {
      uint64_t key;
      if (want < pair.shape.MinImageLength() ||
          (pair.shape.KeyFromImage(static_cast<const uint8_t*>(buffer), want, &key) && key == set->currentKey))
        return Succeed(e);
    }
    LeafValue now{};
    IndexFile::Result r;
    rc = ReadIndex(e, pair, dataFileNumber, [&] { return pair.index.Find(set->currentKey, &now); }, &r);
    if (rc != kOk) return rc;
    if (r == IndexFile::Result::kMissing) {  // removed since
      set->hasCurrent = false;
      return Fail(e, kNoCurrentRecord, dataFileNumber);
    }
    if (r != IndexFile::Result::kFound || now == set->currentValue) break;
    set->currentValue = now;
    if (now.length != told) return Fail(e, kRecordLocked, dataFileNumber);
  }
  return Fail(e, kRecordDamaged, dataFileNumber);
}

int InsertRecord(int dataFileNumber, const void* image, uint32_t length) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  SharedPair& pair = *set->pair;
  uint64_t key;
  if (!image || length > kMaxImageLength || !pair.shape.KeyFromImage(static_cast<const uint8_t*>(image), length, &key))
    return Fail(e, kBadRecordLength, dataFileNumber);
  if (!LockForChange(e, pair, key)) return Fail(e, kRecordLocked, dataFileNumber);
  Change change(e, pair, dataFileNumber);
  int rc = change.Begin();
  if (rc != kOk) return rc;
  LeafValue existing;
  IndexFile::Result found = pair.index.Find(key, &existing);
  if (found == IndexFile::Result::kDamaged) {
    if ((rc = change.RepairNow()) != kOk) return rc;
    found = pair.index.Find(key, &existing);
  }
  if (found == IndexFile::Result::kFound) return Fail(e, kKeyExists, dataFileNumber);
  if (int err = pair.index.Reserve(ReservePages(pair)); err != 0) return Fail(e, kWriteFailed, dataFileNumber + 1, err);
  LeafValue value;
  rc = WriteNewCopy(e, pair, dataFileNumber, image, length, &value);
  if (rc != kOk) return rc;
  if (!pair.index.Insert(key, value)) {
    // Cannot happen with the pages reserved; the data file holds the record, so
    // a repair brings the index up to date.
    if ((rc = change.RepairNow()) != kOk) return rc;
  } else {
    pair.index.Header()->recordCount += 1;
  }
  set->positioned = set->hasCurrent = true;
  set->currentKey = key;
  set->currentValue = value;
  return Succeed(e);
}

int ReplaceRecord(int dataFileNumber, const void* image, uint32_t length) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (!set->hasCurrent) return Fail(e, kNoCurrentRecord, dataFileNumber);
  SharedPair& pair = *set->pair;
  uint64_t key;
  if (!image || length > kMaxImageLength || !pair.shape.KeyFromImage(static_cast<const uint8_t*>(image), length, &key))
    return Fail(e, kBadRecordLength, dataFileNumber);
  uint64_t oldKey = set->currentKey;
  if (!LockForChange(e, pair, oldKey) || (key != oldKey && !LockForChange(e, pair, key)))
    return Fail(e, kRecordLocked, dataFileNumber);
  Change change(e, pair, dataFileNumber);
  int rc = change.Begin();
  if (rc != kOk) return rc;
  LeafValue old;
  rc = FindForChange(e, pair, change, dataFileNumber, oldKey, &old);
  if (rc == kKeyNotFound) {
    set->hasCurrent = false;
    return Fail(e, kNoCurrentRecord, dataFileNumber);
  }
  if (rc != kOk) return rc;
  if (key != oldKey) {
    LeafValue other;
    if (pair.index.Find(key, &other) == IndexFile::Result::kFound) return Fail(e, kKeyExists, dataFileNumber);
  }
  if (int err = pair.index.Reserve(ReservePages(pair) * 2); err != 0) return Fail(e, kWriteFailed, dataFileNumber + 1, err);
  LeafValue value;
  rc = WriteNewCopy(e, pair, dataFileNumber, image, length, &value);
  if (rc != kOk) return rc;
  // The new copy is in place (and newer); now the old one goes. If marking it
  // free fails, the newer copy still wins for the same key; under a new key the
  // old one would come back, so the change is undone instead.
  rc = FreeOldCopy(e, pair, dataFileNumber, old);
  if (rc != kOk && key != oldKey) {
    FreeOldCopy(e, pair, dataFileNumber, value);
    return Fail(e, rc, dataFileNumber);
  }
  bool indexed = key == oldKey ? pair.index.Update(key, value) : (pair.index.Erase(oldKey) && pair.index.Insert(key, value));
  if (!indexed && (rc = change.RepairNow()) != kOk) return rc;
  set->positioned = set->hasCurrent = true;
  set->currentKey = key;
  set->currentValue = value;
  return Succeed(e);
}

int RemoveRecord(int dataFileNumber) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  OpenSet* set = DataSet(e, dataFileNumber);
  if (!set) return Fail(e, kBadFileNumber, dataFileNumber);
  if (!set->hasCurrent) return Fail(e, kNoCurrentRecord, dataFileNumber);
  SharedPair& pair = *set->pair;
  uint64_t key = set->currentKey;
  if (!LockForChange(e, pair, key)) return Fail(e, kRecordLocked, dataFileNumber);
  Change change(e, pair, dataFileNumber);
  int rc = change.Begin();
  if (rc != kOk) return rc;
  LeafValue old;
  rc = FindForChange(e, pair, change, dataFileNumber, key, &old);
  if (rc == kKeyNotFound) {
    set->hasCurrent = false;
    return Fail(e, kNoCurrentRecord, dataFileNumber);
  }
  if (rc != kOk) return rc;
  if (int err = pair.index.Reserve(ReservePages(pair)); err != 0) return Fail(e, kWriteFailed, dataFileNumber + 1, err);
  rc = FreeOldCopy(e, pair, dataFileNumber, old);
  if (rc != kOk) return rc;
  if (pair.index.Erase(key)) {
    pair.index.Header()->recordCount -= 1;
  } else if ((rc = change.RepairNow()) != kOk) {
    return rc;
  }
  set->hasCurrent = false;
  return Succeed(e);
}

// ---------------------------------------------------------------------------
// Test support

void SetPauseHook(PauseHook hook) { g_pauseHook.store(hook); }

// ---------------------------------------------------------------------------
// Rebuild and check

void SetRebuildCallback(RebuildCallbackProc callback, long step) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  e.callback = callback;
  e.step = step;
}

int RebuildFileSet(IFIL& definition) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  if (e.starts == 0) return Fail(e, kEngineNotStarted, -1);
  KeyShape shape;
  if (shape.Assign(definition) != kOk) return Fail(e, kBadDefinition, -1);
  std::string base = BaseName(definition.dataFileName);
  std::string dataPath = fs::ResolvePath(base + ".dat");
  std::string indexPath = fs::ResolvePath(base + ".idx");
  struct stat st;
  int error = 0;
  int rc = StatPath(dataPath, &st, &error);
  if (rc != kOk) return Fail(e, rc, -1, error);
  for (auto& p : e.pairs) {
    if (p->device == st.st_dev && p->inode == st.st_ino) return Fail(e, kFileInUse, -1);
  }
  DataFile data;
  rc = data.Open(dataPath, &error);
  if (rc != kOk) return Fail(e, rc, -1, error);
  if (!SetLock(data.Descriptor(), F_WRLCK, kOpenLockByte, 1, false, &error)) return Fail(e, kFileInUse, -1, error);
  // Rewrite the header too: a damaged primary copy is restored from the backup.
  if ((rc = data.WriteHeader(&error)) != kOk) return Fail(e, rc, -1, error);
  IndexFile index;
  if (int err = index.Open(indexPath, true); err != 0) return Fail(e, kCreateIndexFailed, 1, err);
  if (int err = index.Reset(data.Header().salt, true); err != 0) return Fail(e, kWriteFailed, 1, err);
  rc = Repair(data, index, shape, true, Progress{e.callback, e.step}, &error);
  if (rc != kOk) return Fail(e, rc, 0, error);
  index.Header()->openers = 0;
  index.Header()->clean = 1;
  return Succeed(e);
}

int CheckFileSet(const IFIL& definition, CheckReport& report) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.mutex);
  report = CheckReport{};
  KeyShape shape;
  if (shape.Assign(definition) != kOk) return Fail(e, kBadDefinition, -1);
  std::string base = BaseName(definition.dataFileName);
  DataFile data;
  int error = 0;
  int rc = data.Open(fs::ResolvePath(base + ".dat"), &error);
  if (rc != kOk) return Fail(e, rc, 0, error);
  ScanResult scan;
  rc = ScanDataFile(data.Descriptor(), shape, scan, {}, &error);
  if (rc != kOk) return Fail(e, rc, 0, error);
  report.dataFileSize = scan.fileSize;
  std::sort(scan.live.begin(), scan.live.end(), [](const ScanLive& a, const ScanLive& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.sequence > b.sequence;
  });
  std::vector<IndexEntry> fromData;
  for (size_t i = 0; i < scan.live.size(); ++i) {
    if (i > 0 && scan.live[i].key == scan.live[i - 1].key) {
      ++report.staleCopies;
      continue;
    }
    const ScanLive& l = scan.live[i];
    fromData.push_back({l.key, {static_cast<uint32_t>(l.offset / kSlotAlign), l.imageLength, l.slotLength / kSlotAlign}});
  }
  report.liveRecords = fromData.size();
  report.freeSlots = scan.free.size();
  for (const ScanRegion& r : scan.free) report.freeBytes += r.length;
  report.damagedRegions = scan.damaged.size();
  for (const ScanRegion& r : scan.damaged) {
    report.damagedBytes += r.length;
    char text[96];
    std::snprintf(text, sizeof(text), "damaged data at offset %llu, %llu bytes", static_cast<unsigned long long>(r.offset),
                  static_cast<unsigned long long>(r.length));
    report.problems.push_back(text);
  }
  if (scan.tornTail) {
    report.tornTailBytes = scan.fileSize - scan.tornTail;
    report.problems.push_back("incomplete last record (a stop while it was written)");
  }
  if (report.staleCopies) report.problems.push_back("older copies of records left by a stop");

  IndexFile index;
  if (int err = index.Open(fs::ResolvePath(base + ".idx"), false); err != 0) {
    report.problems.push_back("index file cannot be opened");
    return Succeed(e);
  }
  if (!index.HeaderSound(data.Header().salt)) {
    report.problems.push_back("index header does not belong to this data file");
    return Succeed(e);
  }
  if (index.Header()->clean != 1) report.problems.push_back("index not closed cleanly");
  std::vector<IndexEntry> indexed;
  bool treeOk = index.CheckTree(scan.fileSize, &report.problems, &indexed);
  report.indexedRecords = indexed.size();
  report.indexMatches = treeOk && indexed.size() == fromData.size() &&
                        std::equal(indexed.begin(), indexed.end(), fromData.begin(), [](const IndexEntry& a, const IndexEntry& b) {
                          return a.key == b.key && a.value == b.value;
                        });
  if (treeOk && !report.indexMatches) report.problems.push_back("index and data file disagree");
  return Succeed(e);
}

}  // namespace qx::engine
