#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/path.h"
#include "platform/rtpatch/digest.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/rtpatch_format.h"
#include "platform/rtpatch/tree.h"

namespace qx::rtpatch {

namespace fmt = format;

namespace {

constexpr std::size_t kOutputBufferSize = 1 << 20;
constexpr std::uint64_t kIdleEvery = 4 << 20;       // callback 21 at least every 4 MiB of work
constexpr std::uint64_t kEntryWork = 64 << 10;      // weight of an entry beside its bytes
constexpr unsigned kMaxWorkers = 2;                 // files produced at once
constexpr const char* kTempSuffix = ".rtptmp";
constexpr const char* kDeferredSuffix = ".rtpnew";
constexpr const char* kRenameList = "Rename.ini";

constexpr std::size_t kDigestChunk = 8 << 20;

// The patch file, mapped read-only.
class PatchFile_c {
 public:
  DWORD Open(const std::string& path) {
    std::string resolved = fs::ResolvePath(path);
    UniqueFd_c fd(::open(resolved.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno == ENOENT || errno == ENOTDIR ? kPatchNotFound : kPatchOpenFailed;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kPatchOpenFailed;
    return m_map.Map(fd.get(), static_cast<std::uint64_t>(st.st_size)) == kOk ? kOk : kPatchOpenFailed;
  }
  const unsigned char* data() const { return m_map.data(); }
  std::size_t size() const { return m_map.size(); }
  const MappedFile_c& map() const { return m_map; }

 private:
  MappedFile_c m_map;
};

// Digest64 of [from, to) of a mapping, read in chunks that are released once hashed.
void DigestMapped(DigestStream_c& digest, const MappedFile_c& map, std::size_t from, std::size_t to) {
  for (std::size_t at = from; at < to; at += kDigestChunk) {
    const std::size_t end = std::min(to, at + kDigestChunk);
    digest.Update(map.data() + at, end - at);
    map.Release(at, end);
  }
}

struct Segment_t {
  fmt::SegmentHeader_t header;
  const unsigned char* frame = nullptr;
};

enum class Action { kNone, kReplace, kDelete };

struct Planned_t {
  fmt::EntryHeader_t header;
  std::string path;         // as the patch names it
  std::string displayName;  // the same with '\' between folders
  std::vector<Segment_t> segments;
  std::vector<std::string> components;  // resolved on disk
  Action action = Action::kNone;
  bool tempWritten = false;
  // Set by the worker that handled the entry, under the applier's mutex.
  bool ready = false;
  DWORD result = kOk;
};

std::string Leaf(const Planned_t& p) { return p.components.back(); }

DWORD FromWriteErrno(int err) { return err == ENOSPC || err == EDQUOT ? kDiskFull : kWriteFailed; }

// What one worker thread needs to produce files.
struct Decoder_t {
  Decoder_t() : dctx(ZSTD_createDCtx()), out(kOutputBufferSize) {
    if (dctx) ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, static_cast<int>(fmt::kMaxWindowLog));
  }
  ~Decoder_t() { ZSTD_freeDCtx(dctx); }
  Decoder_t(const Decoder_t&) = delete;
  Decoder_t& operator=(const Decoder_t&) = delete;
  ZSTD_DCtx* dctx;
  std::vector<unsigned char> out;
};

// Files are inspected and produced by worker threads, in patch order, while
// the calling thread makes every callback: it names each file, waits for it
// (reporting progress and idling meanwhile), and reports it done. The workers
// only touch their own entries' files and temporaries; a stop flag ends them
// early on a failure or an abort.
class Applier_c {
 public:
  explicit Applier_c(RTPATCH_CALLBACK callback) : m_callback(callback) {}
  ~Applier_c() { StopWorkers(); }

  DWORD Run(const std::string& patchPath, const std::string& folder);

 private:
  // False when the callback asked to abort.
  bool Notify(UINT id, LPVOID parm = nullptr) {
    if (!m_callback) return true;
    return m_callback(id, parm) != nullptr;
  }
  bool ReportProgress();
  DWORD Validate();
  DWORD ValidateEntry(const unsigned char* table, std::size_t tableSize, std::size_t& pos,
                      const unsigned char* payload, std::uint64_t payloadSize, Planned_t& out);
  void Work();
  DWORD WaitFor(Planned_t& p);
  DWORD Prepare(Planned_t& p, Decoder_t& decoder);
  DWORD Produce(Planned_t& p, const MappedFile_c& old, mode_t mode, Decoder_t& decoder);
  DWORD Decode(Planned_t& p, const MappedFile_c& old, int outFd, Decoder_t& decoder);
  DWORD Commit();
  void StopWorkers();
  DWORD Fail(DWORD rc) {
    StopWorkers();
    Rollback();
    return rc;
  }
  void Rollback();

  RTPATCH_CALLBACK m_callback;
  PatchFile_c m_patch;
  Tree_c m_tree;
  std::vector<Planned_t> m_entries;

  std::vector<std::thread> m_workers;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::size_t m_next = 0;             // next entry for a worker (under m_mutex)
  std::atomic<bool> m_stop{false};
  std::atomic<std::uint64_t> m_workDone{0};

  std::uint64_t m_workTotal = 1;
  std::uint64_t m_idleMark = 0;       // work done at the last idle callback
  DWORD m_lastProgress = ~DWORD{0};
};

// Progress (5) when it moved, idle (21) at least every kIdleEvery of work and
// whenever the caller waits. False when the callback aborts.
bool Applier_c::ReportProgress() {
  const std::uint64_t done = std::min(m_workDone.load(), m_workTotal);
  DWORD progress = static_cast<DWORD>(done * kProgressMax / m_workTotal);
  if (progress != m_lastProgress) {
    m_lastProgress = progress;
    if (!Notify(kCallbackProgress, &progress)) return false;
  }
  return true;
}

void Applier_c::Work() {
  Decoder_t decoder;
  for (;;) {
    std::size_t index;
    {
      std::lock_guard lock(m_mutex);
      if (m_stop || m_next >= m_entries.size()) return;
      index = m_next++;
    }
    Planned_t& p = m_entries[index];
    DWORD rc;
    try {
      rc = decoder.dctx ? Prepare(p, decoder) : kNoMemory;
    } catch (const std::bad_alloc&) {
      rc = kNoMemory;
    }
    std::lock_guard lock(m_mutex);
    p.result = rc;
    p.ready = true;
    m_changed.notify_all();
  }
}

DWORD Applier_c::WaitFor(Planned_t& p) {
  std::unique_lock lock(m_mutex);
  while (!p.ready) {
    m_changed.wait_for(lock, std::chrono::milliseconds(50));
    if (p.ready) break;
    lock.unlock();
    const bool go = Notify(kCallbackIdle) && ReportProgress();
    m_idleMark = m_workDone.load();
    lock.lock();
    if (!go) return kPatchFailed;
  }
  return p.result;
}

void Applier_c::StopWorkers() {
  m_stop = true;
  for (std::thread& t : m_workers) t.join();
  m_workers.clear();
}

DWORD Applier_c::Run(const std::string& patchPath, const std::string& folder) {
  if (DWORD rc = m_patch.Open(patchPath); rc != kOk) return rc;
  if (DWORD rc = Validate(); rc != kOk) {
    if (rc == kCorrupt) Notify(kCallbackInvalidPatch);
    return rc;
  }
  if (DWORD rc = m_tree.Open(folder); rc != kOk) return rc;

  m_workTotal = 1;
  for (const Planned_t& p : m_entries) m_workTotal += kEntryWork + p.header.newSize;

  DWORD count = static_cast<DWORD>(m_entries.size());
  if (!Notify(kCallbackFileCount, &count) || !ReportProgress()) return kPatchFailed;

  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
  for (unsigned i = 0; i < threads && i < m_entries.size(); ++i) m_workers.emplace_back([this] { Work(); });

  for (Planned_t& p : m_entries) {
    if (!Notify(kCallbackFileName, p.displayName.data())) return Fail(kPatchFailed);
    DWORD rc = WaitFor(p);
    if (rc == kOldFileMissing) Notify(kCallbackMissingFile);
    if (rc != kOk) return Fail(rc);
    m_workDone += kEntryWork + (p.action == Action::kReplace ? 0 : p.header.newSize);
    if (!Notify(kCallbackFileDone)) return Fail(kPatchFailed);
    if (m_workDone - m_idleMark >= kIdleEvery) {
      m_idleMark = m_workDone;
      if (!Notify(kCallbackIdle)) return Fail(kPatchFailed);
    }
    if (!ReportProgress()) return Fail(kPatchFailed);
  }
  StopWorkers();
  DWORD rc = Commit();
  if (rc != kOk) return rc;
  DWORD full = kProgressMax;
  if (m_lastProgress != full) Notify(kCallbackProgress, &full);
  return kOk;
}

// Checks the whole container before anything is touched: sizes, checksum,
// every entry, path and segment.
DWORD Applier_c::Validate() {
  const unsigned char* d = m_patch.data();
  const std::size_t size = m_patch.size();
  if (size < fmt::kHeaderSize || std::memcmp(d, fmt::kMagic, sizeof fmt::kMagic) != 0) return kCorrupt;
  if (fmt::Get32(d + fmt::kVersionOffset) != fmt::kFormatVersion) return kIncompatible;
  const std::uint32_t count = fmt::Get32(d + fmt::kEntryCountOffset);
  const std::uint64_t tableSize = fmt::Get64(d + fmt::kTableSizeOffset);
  const std::uint64_t payloadSize = fmt::Get64(d + fmt::kPayloadSizeOffset);
  const std::uint64_t rest = size - fmt::kHeaderSize;
  if (tableSize > rest || payloadSize != rest - tableSize) return kCorrupt;
  if (count > tableSize / fmt::kEntryFixedSize) return kCorrupt;
  if (fmt::Get64(d + 40) != 0) return kCorrupt;

  DigestStream_c sum;
  static const unsigned char kZero[8] = {};
  sum.Update(d, fmt::kChecksumOffset);
  sum.Update(kZero, 8);
  DigestMapped(sum, m_patch.map(), fmt::kChecksumOffset + 8, size);
  if (sum.Finish() != fmt::Get64(d + fmt::kChecksumOffset)) return kCorrupt;

  const unsigned char* table = d + fmt::kHeaderSize;
  const unsigned char* payload = table + tableSize;
  std::size_t pos = 0;
  m_entries.resize(count);
  for (Planned_t& p : m_entries) {
    if (DWORD rc = ValidateEntry(table, tableSize, pos, payload, payloadSize, p); rc != kOk) return rc;
  }
  if (pos != tableSize) return kCorrupt;
  for (std::size_t i = 0; i < m_entries.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (fs::NamesEqual(m_entries[i].path, m_entries[j].path)) return kCorrupt;
    }
  }
  return kOk;
}

DWORD Applier_c::ValidateEntry(const unsigned char* table, std::size_t tableSize, std::size_t& pos,
                               const unsigned char* payload, std::uint64_t payloadSize, Planned_t& p) {
  if (tableSize - pos < fmt::kEntryFixedSize) return kCorrupt;
  p.header = fmt::ReadEntryHeader(table + pos);
  const fmt::EntryHeader_t& h = p.header;
  if (fmt::Get32(table + pos + 60) != 0) return kCorrupt;
  pos += fmt::kEntryFixedSize;
  if (h.pathLength == 0 || h.pathLength > fmt::kMaxPathLength || tableSize - pos < h.pathLength) return kCorrupt;
  p.path.assign(reinterpret_cast<const char*>(table + pos), h.pathLength);
  pos += h.pathLength;
  if (!IsSafeRelativePath(p.path)) return kCorrupt;
  p.displayName = p.path;
  for (char& c : p.displayName) {
    if (c == '/') c = '\\';
  }
  if ((h.flags & ~fmt::kKnownFlags) != 0 || (h.mode & ~07777u) != 0) return kCorrupt;

  switch (h.op) {
    case fmt::kOpDelete:
      if (h.newSize != 0 || h.payloadSize != 0 || h.segmentCount != 0) return kCorrupt;
      return kOk;
    case fmt::kOpAdd:
      if (h.oldSize != 0) return kCorrupt;
      break;
    case fmt::kOpModify:
      break;
    default:
      return kCorrupt;
  }
  if (h.payloadOffset > payloadSize || h.payloadSize > payloadSize - h.payloadOffset) return kCorrupt;
  if (h.segmentCount > h.payloadSize / fmt::kSegmentHeaderSize) return kCorrupt;

  const unsigned char* at = payload + h.payloadOffset;
  std::uint64_t left = h.payloadSize;
  std::uint64_t produced = 0;
  p.segments.resize(h.segmentCount);
  for (Segment_t& s : p.segments) {
    if (left < fmt::kSegmentHeaderSize) return kCorrupt;
    s.header = fmt::ReadSegmentHeader(at);
    at += fmt::kSegmentHeaderSize;
    left -= fmt::kSegmentHeaderSize;
    const fmt::SegmentHeader_t& sh = s.header;
    if (sh.frameSize > left || sh.frameSize == 0) return kCorrupt;
    if (sh.refOffset > h.oldSize || sh.refSize > h.oldSize - sh.refOffset) return kCorrupt;
    if (sh.newSize > h.newSize - produced) return kCorrupt;
    produced += sh.newSize;
    s.frame = at;
    // One whole frame that names the segment's size; the decoder refuses a
    // window above the limit when it gets there.
    const std::size_t frameSize = static_cast<std::size_t>(sh.frameSize);
    if (ZSTD_getFrameContentSize(at, frameSize) != sh.newSize) return kCorrupt;
    if (ZSTD_findFrameCompressedSize(at, frameSize) != frameSize) return kCorrupt;
    at += sh.frameSize;
    left -= sh.frameSize;
  }
  if (left != 0 || produced != h.newSize) return kCorrupt;
  return kOk;
}

// Looks at the entry's file and, when it needs new content, writes and
// verifies that content under the temporary name.
DWORD Applier_c::Prepare(Planned_t& p, Decoder_t& decoder) {
  const fmt::EntryHeader_t& h = p.header;
  const bool adding = h.op == fmt::kOpAdd;
  p.components = m_tree.Resolve(p.path);

  FileState_t state;
  DWORD rc = m_tree.Inspect(p.components, state);
  if (rc != kOk) return adding ? kNewFileOpenFailed : kOldFileOpenFailed;

  // An empty file where a non-empty one is to be added is taken for an add
  // that a power loss cut short (the name made it to disk, the data did not).
  if (adding && state.kind == FileState_t::kRegular && state.size == 0 && h.newSize != 0) {
    state.kind = FileState_t::kMissing;
  }
  MappedFile_c old;
  if (state.kind == FileState_t::kRegular) {
    if (DWORD mrc = old.Map(state.fd.get(), state.size); mrc != kOk) return mrc;
    const bool sizeIsNew = h.op != fmt::kOpDelete && state.size == h.newSize;
    const bool sizeIsOld = !adding && state.size == h.oldSize;
    std::uint64_t digest = 0;
    if (sizeIsNew || sizeIsOld) {
      DigestStream_c stream;
      DigestMapped(stream, old, 0, old.size());
      digest = stream.Finish();
    }
    if (sizeIsNew && digest == h.newDigest) {
      p.action = Action::kNone;
      return kOk;
    }
    if (!(sizeIsOld && digest == h.oldDigest)) return adding ? kNewFileExists : kContentMismatch;
  } else if (state.kind == FileState_t::kOther) {
    return adding ? kNewFileExists : kOldFileOpenFailed;
  } else {  // missing
    if (h.op == fmt::kOpDelete) {
      p.action = Action::kNone;
      return kOk;
    }
    // An empty old file and a missing one are the same old state.
    if (h.op == fmt::kOpModify && h.oldSize != 0) return kOldFileMissing;
  }

  if (h.op == fmt::kOpDelete) {
    p.action = Action::kDelete;
    return kOk;
  }
  p.action = Action::kReplace;
  mode_t mode = h.mode != 0 ? static_cast<mode_t>(h.mode)
                            : (state.kind == FileState_t::kRegular ? (state.mode & 07777) : 0644);
  return Produce(p, old, mode, decoder);
}

DWORD Applier_c::Produce(Planned_t& p, const MappedFile_c& old, mode_t mode, Decoder_t& decoder) {
  UniqueFd_c dir;
  if (DWORD rc = m_tree.OpenParent(p.components, /*create=*/true, dir); rc != kOk) return rc;
  const std::string temp = Leaf(p) + kTempSuffix;
  ::unlinkat(dir.get(), temp.c_str(), 0);  // a left-over of an earlier, interrupted run
  UniqueFd_c out(::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return errno == ENOSPC || errno == EDQUOT ? kDiskFull : kTempFileFailed;
  p.tempWritten = true;

  DWORD rc = Decode(p, old, out.get(), decoder);
  if (rc != kOk) return rc;
  if (::fchmod(out.get(), mode) != 0) return kWriteFailed;
  // Start writing the file back now, while the next files are produced, so
  // that making everything durable before the renames costs little.
  ::sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  if (::close(out.release()) != 0) return FromWriteErrno(errno);
  return kOk;
}

DWORD Applier_c::Decode(Planned_t& p, const MappedFile_c& old, int outFd, Decoder_t& decoder) {
  DigestStream_c digest;
  std::uint64_t written = 0;
  for (const Segment_t& s : p.segments) {
    ZSTD_DCtx_reset(decoder.dctx, ZSTD_reset_session_only);
    if (s.header.refSize > 0) {
      if (ZSTD_isError(ZSTD_DCtx_refPrefix(decoder.dctx, old.data() + s.header.refOffset,
                                           static_cast<std::size_t>(s.header.refSize))))
        return kPatchFailed;
    }
    ZSTD_inBuffer in{s.frame, static_cast<std::size_t>(s.header.frameSize), 0};
    std::uint64_t segmentOut = 0;
    for (;;) {
      ZSTD_outBuffer out{decoder.out.data(), decoder.out.size(), 0};
      std::size_t ret = ZSTD_decompressStream(decoder.dctx, &out, &in);
      if (ZSTD_isError(ret)) return ZSTD_getErrorCode(ret) == ZSTD_error_memory_allocation ? kNoMemory : kPatchFailed;
      if (out.pos > 0) {
        segmentOut += out.pos;
        if (segmentOut > s.header.newSize) return kVerifyFailed;
        digest.Update(decoder.out.data(), out.pos);
        const unsigned char* w = decoder.out.data();
        std::size_t left = out.pos;
        while (left > 0) {
          ssize_t n = ::write(outFd, w, left);
          if (n < 0) {
            if (errno == EINTR) continue;
            return FromWriteErrno(errno);
          }
          w += n;
          left -= static_cast<std::size_t>(n);
        }
        m_workDone += out.pos;
        if (m_stop) return kPatchFailed;
      }
      if (ret == 0) break;                                   // frame complete
      if (in.pos == in.size && out.pos < out.size) return kPatchFailed;  // frame cut short
    }
    if (in.pos != in.size || segmentOut != s.header.newSize) return kVerifyFailed;
    written += segmentOut;
    // Done with this segment's part of the patch and of the old file.
    const std::size_t frameAt = static_cast<std::size_t>(s.frame - m_patch.data());
    m_patch.map().Release(frameAt, frameAt + in.size);
    old.Release(static_cast<std::size_t>(s.header.refOffset),
                static_cast<std::size_t>(s.header.refOffset + s.header.refSize));
  }
  if (written != p.header.newSize || digest.Finish() != p.header.newDigest) return kVerifyFailed;
  return kOk;
}

// Moves every produced file into place, removes deleted files and lists the
// deferred ones. Past this point the files are new or old one by one, and the
// patch can be applied again to finish.
DWORD Applier_c::Commit() {
  std::vector<std::string> deferredLines;
  DWORD result = kOk;
  // Every produced file reaches the disk before any of them replaces its
  // target: a power loss during the renames leaves each file old or new,
  // never a renamed file whose content was still only in memory.
  if (::syncfs(m_tree.root()) != 0) result = FromWriteErrno(errno);
  for (Planned_t& p : m_entries) {
    if (p.action == Action::kNone) continue;
    if (result != kOk) {
      if (p.tempWritten) m_tree.RemoveTemp(p.components, kTempSuffix);
      continue;
    }
    UniqueFd_c dir;
    if (m_tree.OpenParent(p.components, /*create=*/false, dir) != kOk) {
      result = kRenameFailed;
      continue;
    }
    const std::string leaf = Leaf(p);
    if (p.action == Action::kDelete) {
      if (::unlinkat(dir.get(), leaf.c_str(), 0) != 0 && errno != ENOENT) result = kRenameFailed;
      continue;
    }
    const std::string temp = leaf + kTempSuffix;
    std::string target = leaf;
    const bool deferred = (p.header.flags & fmt::kFlagDeferred) != 0 && IsBusy(dir.get(), leaf);
    if (deferred) target = leaf + kDeferredSuffix;
    if (::renameat(dir.get(), temp.c_str(), dir.get(), target.c_str()) != 0) {
      result = kRenameFailed;
      ::unlinkat(dir.get(), temp.c_str(), 0);
      continue;
    }
    p.tempWritten = false;
    if (deferred) deferredLines.push_back(p.displayName + kDeferredSuffix + "=" + p.displayName);
  }
  if (!deferredLines.empty()) {
    if (!m_tree.AppendRenameList(kRenameList, deferredLines)) {
      if (result == kOk) result = kWriteFailed;
    }
    for (std::size_t i = 0; i < deferredLines.size(); ++i) Notify(kCallbackDelayed);
  }
  return result;
}

void Applier_c::Rollback() {
  for (Planned_t& p : m_entries) {
    if (p.tempWritten) m_tree.RemoveTemp(p.components, kTempSuffix);
    p.tempWritten = false;
  }
  m_tree.RemoveCreatedFolders();
}

// Splits a command line the Windows way: blanks separate arguments, '"' quotes.
std::vector<std::string> SplitCommandLine(const char* line) {
  std::vector<std::string> args;
  if (!line) return args;
  const char* c = line;
  while (*c) {
    while (*c == ' ' || *c == '\t') ++c;
    if (!*c) break;
    std::string arg;
    bool quoted = false;
    while (*c && (quoted || (*c != ' ' && *c != '\t'))) {
      if (*c == '"') {
        quoted = !quoted;
      } else {
        arg.push_back(*c);
      }
      ++c;
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace

const char* DescribeResult(DWORD code) {
  switch (code) {
    case kOk: return "success";
    case kIllegalOption: return "illegal command line";
    case kNoMemory: return "out of memory";
    case kUpdateFolderMissing: return "folder to update does not exist";
    case kUpdateFolderInvalid: return "folder to update is not a folder";
    case kPatchNotFound: return "patch file not found";
    case kPatchOpenFailed: return "patch file cannot be opened";
    case kIncompatible: return "patch file of an unknown format version";
    case kCorrupt: return "patch file is damaged or not a patch";
    case kOldFileMissing: return "file to patch is missing";
    case kNewFileExists: return "file to add exists with other content";
    case kOldFileOpenFailed: return "file to patch cannot be opened";
    case kNewFileOpenFailed: return "folder of a new file cannot be made";
    case kWriteFailed: return "write failed";
    case kReadFailed: return "read failed";
    case kRenameFailed: return "file cannot be renamed or removed";
    case kVerifyFailed: return "produced file does not verify";
    case kDiskFull: return "disk full";
    case kTempFileFailed: return "temporary file cannot be created";
    case kTooManyArguments: return "too many arguments";
    case kContentMismatch: return "file is neither the old nor the new version";
    case kPatchFailed: return "error patching file (or aborted)";
    default: return "unknown result";
  }
}

DWORD ApplyPatch(const std::string& patchPath, const std::string& folder, RTPATCH_CALLBACK callback) {
  try {
    Applier_c applier(callback);
    return applier.Run(patchPath, folder);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

DWORD ApplyCommandLine(const char* commandLine, RTPATCH_CALLBACK callback) {
  std::vector<std::string> args;
  try {
    args = SplitCommandLine(commandLine);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  if (args.empty()) return kIllegalOption;
  for (const std::string& a : args) {
    if (a.empty() || a[0] == '-') return kIllegalOption;
  }
  if (args.size() > 2) return kTooManyArguments;
  return ApplyPatch(args[0], args.size() == 2 ? args[1] : std::string(), callback);
}

}  // namespace qx::rtpatch
