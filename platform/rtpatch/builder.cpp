#include "platform/rtpatch/builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/fs/path.h"
#include "platform/rtpatch/digest.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/rtpatch_format.h"
#include "platform/rtpatch/tree.h"

namespace qx::rtpatch {

namespace fmt = format;
namespace stdfs = std::filesystem;

namespace {

constexpr std::uint64_t kMinSegment = 4096;
constexpr std::uint64_t kMaxSegment = 32ull << 20;
constexpr unsigned kMinWindowLog = 10;

struct Item_t {
  std::string path;     // entry path, '/' separated
  std::string oldFile;  // "" when added
  std::string newFile;  // "" when deleted
  fmt::EntryHeader_t header;
  std::vector<unsigned char> payload;
  std::string error;
  bool done = false;
};

std::string Folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

unsigned CeilLog2(std::uint64_t v) {
  unsigned log = 0;
  while ((std::uint64_t{1} << log) < v) ++log;
  return log;
}

class Mapped_c {
 public:
  bool Open(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    UniqueFd_c fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    m_mode = st.st_mode & 07777;
    if (m_map.Map(fd.get(), static_cast<std::uint64_t>(st.st_size)) != kOk) {
      *error = "cannot read " + path;
      return false;
    }
    return true;
  }
  const unsigned char* data() const { return m_map.data(); }
  std::size_t size() const { return m_map.size(); }
  std::uint32_t mode() const { return m_mode; }

 private:
  MappedFile_c m_map;
  std::uint32_t m_mode = 0;
};

class Compressor_c {
 public:
  explicit Compressor_c(const BuildOptions_t& options) : m_options(options), m_cctx(ZSTD_createCCtx()) {}
  ~Compressor_c() { ZSTD_freeCCtx(m_cctx); }
  Compressor_c(const Compressor_c&) = delete;
  Compressor_c& operator=(const Compressor_c&) = delete;

  // Fills the item's header fields and payload from its old and new files.
  bool Run(Item_t& item);

 private:
  bool Segment(const unsigned char* ref, std::size_t refSize, std::uint64_t refOffset, const unsigned char* src,
               std::size_t srcSize, std::vector<unsigned char>& out, std::string* error);

  const BuildOptions_t& m_options;
  ZSTD_CCtx* m_cctx;
};

bool Compressor_c::Segment(const unsigned char* ref, std::size_t refSize, std::uint64_t refOffset,
                           const unsigned char* src, std::size_t srcSize, std::vector<unsigned char>& out,
                           std::string* error) {
  if (!m_cctx) {
    *error = "out of memory";
    return false;
  }
  ZSTD_CCtx_reset(m_cctx, ZSTD_reset_session_and_parameters);
  unsigned windowLog = std::max<unsigned>(CeilLog2(refSize + srcSize), kMinWindowLog);
  ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_compressionLevel, m_options.level);
  ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_windowLog, static_cast<int>(windowLog));
  ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_enableLongDistanceMatching, 1);
  ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(m_cctx, ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setPledgedSrcSize(m_cctx, srcSize);
  if (refSize > 0) ZSTD_CCtx_refPrefix(m_cctx, ref, refSize);

  std::size_t bound = ZSTD_compressBound(srcSize);
  std::size_t at = out.size();
  out.resize(at + fmt::kSegmentHeaderSize + bound);
  std::size_t n = ZSTD_compress2(m_cctx, out.data() + at + fmt::kSegmentHeaderSize, bound, src, srcSize);
  if (ZSTD_isError(n)) {
    *error = std::string("compression failed: ") + ZSTD_getErrorName(n);
    return false;
  }
  fmt::WriteSegmentHeader(out.data() + at, fmt::SegmentHeader_t{refOffset, refSize, srcSize, n});
  out.resize(at + fmt::kSegmentHeaderSize + n);
  return true;
}

bool Compressor_c::Run(Item_t& item) {
  Mapped_c oldMap, newMap;
  if (!oldMap.Open(item.oldFile, &item.error) || !newMap.Open(item.newFile, &item.error)) return false;
  fmt::EntryHeader_t& h = item.header;
  h.oldSize = oldMap.size();
  h.oldDigest = Digest64(oldMap.data(), oldMap.size());
  if (item.newFile.empty()) {
    h.op = fmt::kOpDelete;
    return true;
  }
  h.newSize = newMap.size();
  h.newDigest = Digest64(newMap.data(), newMap.size());

  const std::uint64_t segment = std::clamp(m_options.segmentSize, kMinSegment, kMaxSegment);
  const std::uint64_t oldSize = h.oldSize, newSize = h.newSize;
  for (std::uint64_t start = 0; start < newSize; start += segment) {
    const std::uint64_t length = std::min(segment, newSize - start);
    // The old bytes around the same relative position, one segment either side.
    std::uint64_t refBegin = 0, refEnd = oldSize;
    if (oldSize > 3 * segment) {
      const std::uint64_t centre = newSize ? static_cast<std::uint64_t>(
                                                 static_cast<long double>(start) * oldSize / newSize)
                                           : 0;
      refBegin = centre > segment ? centre - segment : 0;
      refEnd = std::min(oldSize, refBegin + 3 * segment);
      refBegin = refEnd - 3 * segment;
    }
    if (!Segment(oldMap.data() + refBegin, refEnd - refBegin, refBegin, newMap.data() + start, length, item.payload,
                 &item.error))
      return false;
    ++h.segmentCount;
  }
  h.payloadSize = item.payload.size();
  return true;
}

bool ListTree(const std::string& root, std::map<std::string, std::string>& files, std::string* error) {
  std::error_code ec;
  stdfs::recursive_directory_iterator it(root, ec), end;
  if (ec) {
    *error = "cannot read folder " + root + ": " + ec.message();
    return false;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      *error = "cannot read folder " + root + ": " + ec.message();
      return false;
    }
    const stdfs::directory_entry& entry = *it;
    if (entry.is_symlink()) {
      *error = "symbolic link not supported in a patch tree: " + entry.path().string();
      return false;
    }
    if (entry.is_directory()) continue;
    if (!entry.is_regular_file()) {
      *error = "not a plain file: " + entry.path().string();
      return false;
    }
    std::string rel = entry.path().lexically_relative(root).generic_string();
    if (!IsSafeRelativePath(rel)) {
      *error = "file name not allowed in a patch: " + rel;
      return false;
    }
    auto [pos, fresh] = files.emplace(Folded(rel), rel);
    if (!fresh) {
      *error = "names differ only in letter case: " + pos->second + " and " + rel;
      return false;
    }
  }
  return true;
}

bool WriteAt(int fd, const unsigned char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n, size -= static_cast<std::size_t>(n), offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// Compresses the items on worker threads and writes the patch file in item order.
bool WritePatch(std::vector<Item_t>& items, const std::string& patchPath, const BuildOptions_t& options,
                BuildStats_t* stats, std::string* error) {
  const std::string target = fs::ResolvePath(patchPath);
  const std::string temp = target + ".tmp";
  UniqueFd_c fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }

  std::uint64_t tableSize = 0;
  for (const Item_t& item : items) tableSize += fmt::kEntryFixedSize + item.path.size();

  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0, written = 0;
  const unsigned threadCount = static_cast<unsigned>(std::clamp(options.threads, 1, 64));
  auto work = [&] {
    Compressor_c compressor(options);
    for (;;) {
      std::size_t index;
      {
        std::unique_lock lock(mutex);
        // Stay at most two items per thread ahead of the writer, so memory stays bounded.
        changed.wait(lock, [&] { return next >= items.size() || next < written + 2 * threadCount; });
        if (next >= items.size()) return;
        index = next++;
      }
      Item_t& item = items[index];
      bool ok = compressor.Run(item);
      if (!ok && item.error.empty()) item.error = "cannot build the entry for " + item.path;
      std::lock_guard lock(mutex);
      item.done = true;
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < threadCount; ++i) workers.emplace_back(work);

  bool ok = true;
  std::uint64_t payloadSize = 0;
  const std::uint64_t payloadStart = fmt::kHeaderSize + tableSize;
  for (Item_t& item : items) {
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return item.done; });
    }
    if (ok && !item.error.empty()) {
      *error = item.error;
      ok = false;
    }
    if (ok) {
      item.header.payloadOffset = payloadSize;
      if (!WriteAt(fd.get(), item.payload.data(), item.payload.size(), payloadStart + payloadSize)) {
        *error = "cannot write " + temp + ": " + std::strerror(errno);
        ok = false;
      }
      payloadSize += item.payload.size();
    }
    std::vector<unsigned char>().swap(item.payload);
    std::lock_guard lock(mutex);
    ++written;
    if (!ok) next = items.size();  // stop the workers
    changed.notify_all();
    if (!ok) break;
  }
  for (std::thread& t : workers) t.join();

  if (ok) {
    std::vector<unsigned char> head(fmt::kHeaderSize + tableSize);
    std::memcpy(head.data(), fmt::kMagic, sizeof fmt::kMagic);
    fmt::Put32(head.data() + fmt::kVersionOffset, fmt::kFormatVersion);
    fmt::Put32(head.data() + fmt::kEntryCountOffset, static_cast<std::uint32_t>(items.size()));
    fmt::Put64(head.data() + fmt::kTableSizeOffset, tableSize);
    fmt::Put64(head.data() + fmt::kPayloadSizeOffset, payloadSize);
    std::size_t at = fmt::kHeaderSize;
    for (Item_t& item : items) {
      item.header.pathLength = static_cast<std::uint16_t>(item.path.size());
      fmt::WriteEntryHeader(head.data() + at, item.header);
      std::memcpy(head.data() + at + fmt::kEntryFixedSize, item.path.data(), item.path.size());
      at += fmt::kEntryFixedSize + item.path.size();
      if (stats) {
        stats->added += item.header.op == fmt::kOpAdd;
        stats->modified += item.header.op == fmt::kOpModify;
        stats->deleted += item.header.op == fmt::kOpDelete;
        stats->newBytes += item.header.newSize;
      }
    }
    // The checksum covers everything but its own field: the header and table
    // from memory, the payload read back.
    DigestStream_c sum;
    sum.Update(head.data(), head.size());
    std::vector<unsigned char> buffer(1 << 20);
    for (std::uint64_t off = 0; ok && off < payloadSize;) {
      ssize_t n = ::pread(fd.get(), buffer.data(), std::min<std::uint64_t>(buffer.size(), payloadSize - off),
                          static_cast<off_t>(payloadStart + off));
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        *error = "cannot read back " + temp;
        ok = false;
        break;
      }
      sum.Update(buffer.data(), static_cast<std::size_t>(n));
      off += static_cast<std::uint64_t>(n);
    }
    fmt::Put64(head.data() + fmt::kChecksumOffset, sum.Finish());
    if (ok && (!WriteAt(fd.get(), head.data(), head.size(), 0) || ::fsync(fd.get()) != 0)) {
      *error = "cannot write " + temp + ": " + std::strerror(errno);
      ok = false;
    }
    if (stats) stats->patchSize = head.size() + payloadSize;
  }
  fd.reset();
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    *error = "cannot rename " + temp + " to " + target + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameContent(const std::string& a, const std::string& b) {
  Mapped_c ma, mb;
  std::string ignored;
  if (!ma.Open(a, &ignored) || !mb.Open(b, &ignored)) return false;
  return ma.size() == mb.size() && (ma.size() == 0 || std::memcmp(ma.data(), mb.data(), ma.size()) == 0);
}

bool IsDeferred(const BuildOptions_t& options, const std::string& path) {
  for (const std::string& d : options.deferred) {
    if (fs::NamesEqual(fs::ToSlashes(d), path)) return true;
  }
  return false;
}

}  // namespace

bool BuildFolderPatch(const std::string& oldFolder, const std::string& newFolder, const std::string& patchPath,
                      const BuildOptions_t& options, BuildStats_t* stats, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (stats) *stats = BuildStats_t{};
  const std::string oldRoot = fs::ResolvePath(oldFolder), newRoot = fs::ResolvePath(newFolder);
  if (!IsFolder(oldRoot) || !IsFolder(newRoot)) {
    *error = "not a folder: " + (IsFolder(oldRoot) ? newFolder : oldFolder);
    return false;
  }
  std::map<std::string, std::string> oldFiles, newFiles;
  if (!ListTree(oldRoot, oldFiles, error) || !ListTree(newRoot, newFiles, error)) return false;

  std::vector<Item_t> items;
  for (const auto& [key, rel] : newFiles) {
    Item_t item;
    item.path = rel;
    item.newFile = newRoot + "/" + rel;
    auto old = oldFiles.find(key);
    if (old != oldFiles.end()) {
      item.oldFile = oldRoot + "/" + old->second;
      if (SameContent(item.oldFile, item.newFile)) {
        if (stats) ++stats->unchanged;
        continue;
      }
    }
    item.header.op = old != oldFiles.end() ? fmt::kOpModify : fmt::kOpAdd;
    item.header.flags = IsDeferred(options, rel) ? fmt::kFlagDeferred : 0;
    struct stat st;
    if (::stat(item.newFile.c_str(), &st) == 0) item.header.mode = st.st_mode & 0777;
    items.push_back(std::move(item));
  }
  for (const auto& [key, rel] : oldFiles) {
    if (newFiles.count(key)) continue;
    Item_t item;
    item.path = rel;
    item.oldFile = oldRoot + "/" + rel;
    item.header.op = fmt::kOpDelete;
    items.push_back(std::move(item));
  }
  std::sort(items.begin(), items.end(), [](const Item_t& a, const Item_t& b) { return a.path < b.path; });
  return WritePatch(items, patchPath, options, stats, error);
}

bool BuildFilePatch(const std::string& oldFile, const std::string& newFile, const std::string& patchPath,
                    const BuildOptions_t& options, BuildStats_t* stats, std::string* error,
                    const std::string& entryName) {
  std::string ignored;
  if (!error) error = &ignored;
  if (stats) *stats = BuildStats_t{};
  const std::string entry = fs::ToSlashes(entryName);
  if (!IsSafeRelativePath(entry)) {
    *error = "entry name not allowed in a patch: " + entryName;
    return false;
  }
  Item_t item;
  item.path = entry;
  item.newFile = fs::ResolvePath(newFile);
  struct stat st;
  if (::stat(item.newFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "not a file: " + newFile;
    return false;
  }
  const std::string old = fs::ResolvePath(oldFile);
  if (!oldFile.empty() && ::stat(old.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      *error = "not a file: " + oldFile;
      return false;
    }
    item.oldFile = old;
  }
  item.header.op = fmt::kOpModify;
  item.header.flags = IsDeferred(options, entry) ? fmt::kFlagDeferred : 0;
  std::vector<Item_t> items;
  items.push_back(std::move(item));
  return WritePatch(items, patchPath, options, stats, error);
}

bool BuildBlobPatch(std::string_view oldBlob, std::string_view newBlob, std::string& patch,
                    const BuildOptions_t& options, std::string* error, const std::string& entryName) {
  std::string ignored;
  if (!error) error = &ignored;
  std::string folder = (stdfs::temp_directory_path() / "qxrtpatch-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    *error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  auto write = [&](const std::string& path, std::string_view bytes) {
    UniqueFd_c fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    return fd && WriteAt(fd.get(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), 0);
  };
  const std::string oldFile = folder + "/old", newFile = folder + "/new", patchFile = folder + "/patch";
  bool ok = (oldBlob.empty() || write(oldFile, oldBlob)) && write(newFile, newBlob);
  if (!ok) *error = "cannot write into " + folder;
  ok = ok && BuildFilePatch(oldBlob.empty() ? std::string() : oldFile, newFile, patchFile, options, nullptr, error,
                            entryName);
  if (ok) {
    Mapped_c map;
    ok = map.Open(patchFile, error);
    if (ok) patch.assign(reinterpret_cast<const char*>(map.data()), map.size());
  }
  std::error_code ec;
  stdfs::remove_all(folder, ec);
  return ok;
}

}  // namespace qx::rtpatch
