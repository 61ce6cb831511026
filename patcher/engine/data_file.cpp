#include "patcher/engine/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/fs/path.h"

namespace qx::engine {

using namespace format;

// ---------------------------------------------------------------------------
// Keys

uint64_t KeyFromBytes(const void* key) {
  const uint8_t* p = static_cast<const uint8_t*>(key);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

void KeyToBytes(uint64_t key, void* out) {
  uint8_t* p = static_cast<uint8_t*>(out);
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(key);
    key >>= 8;
  }
}

int KeyShape::Assign(const IFIL& definition) {
  if (definition.indexes.size() != 1) return kBadDefinition;
  const IndexDefinition_t& index = definition.indexes[0];
  if (index.keyLength != 8 || index.duplicates != 0 || index.segments.empty() || index.segments.size() > 8)
    return kBadDefinition;
  if (definition.fixedRecordLength == 0 || definition.fixedRecordLength > 1024) return kBadDefinition;
  uint32_t total = 0;
  uint32_t minImage = definition.fixedRecordLength;
  for (const KeySegment_t& s : index.segments) {
    if (s.length == 0) return kBadDefinition;
    if (s.mode == kSegmentUnsigned) {
      if (s.length != 1 && s.length != 2 && s.length != 4 && s.length != 8) return kBadDefinition;
    } else if (s.mode != kSegmentBytes) {
      return kBadDefinition;
    }
    total += s.length;
    minImage = std::max<uint32_t>(minImage, uint32_t{s.recordOffset} + s.length);
  }
  if (total != 8) return kBadDefinition;
  m_fixedLength = definition.fixedRecordLength;
  m_minImage = minImage;
  m_segments = index.segments;
  // The fixed part can be rebuilt from the key when the segments cover every byte of it.
  std::vector<bool> covered(m_fixedLength, false);
  for (const KeySegment_t& s : m_segments) {
    for (uint32_t i = s.recordOffset; i < uint32_t{s.recordOffset} + s.length && i < m_fixedLength; ++i) covered[i] = true;
  }
  m_fixedFromKey = std::all_of(covered.begin(), covered.end(), [](bool b) { return b; });
  return kOk;
}

bool KeyShape::operator==(const KeyShape& other) const {
  if (m_fixedLength != other.m_fixedLength || m_segments.size() != other.m_segments.size()) return false;
  for (size_t i = 0; i < m_segments.size(); ++i) {
    const KeySegment_t& a = m_segments[i];
    const KeySegment_t& b = other.m_segments[i];
    if (a.recordOffset != b.recordOffset || a.length != b.length || a.mode != b.mode) return false;
  }
  return true;
}

bool KeyShape::KeyFromImage(const uint8_t* image, uint32_t length, uint64_t* key) const {
  if (length < m_minImage) return false;
  uint8_t bytes[8];
  uint32_t at = 0;
  for (const KeySegment_t& s : m_segments) {
    const uint8_t* src = image + s.recordOffset;
    if (s.mode == kSegmentUnsigned) {
      for (uint32_t i = 0; i < s.length; ++i) bytes[at + i] = src[s.length - 1 - i];
    } else {
      std::memcpy(bytes + at, src, s.length);
    }
    at += s.length;
  }
  *key = KeyFromBytes(bytes);
  return true;
}

bool KeyShape::FixedPartFromKey(uint64_t key, uint8_t* out) const {
  if (!m_fixedFromKey) return false;
  uint8_t bytes[8];
  KeyToBytes(key, bytes);
  uint32_t at = 0;
  for (const KeySegment_t& s : m_segments) {
    for (uint32_t i = 0; i < s.length; ++i) {
      uint32_t target = s.recordOffset + (s.mode == kSegmentUnsigned ? s.length - 1 - i : i);
      if (target < m_fixedLength) out[target] = bytes[at + i];
    }
    at += s.length;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Headers

bool HeaderCopyValid(const DataHeader& copy) {
  if (std::memcmp(copy.magic, kDataMagic, sizeof(kDataMagic)) != 0) return false;
  if (copy.layoutVersion != kLayoutVersion || copy.headerSize != kDataHeaderSize) return false;
  if (copy.checksum != Checksum32(&copy, offsetof(DataHeader, checksum))) return false;
  if (uint64_t{copy.definitionSize} + copy.fieldListSize > kStoredInfoCapacity) return false;
  return true;
}

void SealHeaderCopy(DataHeader& copy) { copy.checksum = Checksum32(&copy, offsetof(DataHeader, checksum)); }

bool SlotHeaderValid(const SlotHeader& h) {
  if (h.tag != kLiveTag && h.tag != kFreeTag) return false;
  if (h.headerChecksum != Checksum32(&h, offsetof(SlotHeader, headerChecksum))) return false;
  if (h.slotLength < kSlotHeaderSize || h.slotLength % kSlotAlign != 0) return false;
  if (uint64_t{h.imageLength} + kSlotHeaderSize > h.slotLength) return false;
  if (h.tag == kLiveTag && h.imageLength > kMaxImageLength) return false;
  if (h.tag == kFreeTag && h.imageLength != 0) return false;
  return true;
}

void SealSlotHeader(SlotHeader& h) { h.headerChecksum = Checksum32(&h, offsetof(SlotHeader, headerChecksum)); }

namespace {

int WriteAll(int fd, const void* data, size_t length, uint64_t offset, int* lowLevelError) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      *lowLevelError = errno;
      return kWriteFailed;
    }
    p += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return kOk;
}

// Reads exactly `length` bytes; kReadFailed on an error or when the file ends first.
int ReadAll(int fd, void* data, size_t length, uint64_t offset, int* lowLevelError) {
  uint8_t* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      *lowLevelError = errno;
      return kReadFailed;
    }
    if (n == 0) {
      *lowLevelError = 0;
      return kReadFailed;
    }
    p += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return kOk;
}

uint64_t RandomSalt() {
  std::random_device device;
  return (uint64_t{device()} << 32) ^ device();
}

// A new descriptor that is not yet linked into the folder, or -1 where the file
// system cannot do that.
int OpenUnnamed(const std::string& path) {
#ifdef O_TMPFILE
  std::string folder(fs::FolderPart(path));
  if (folder.empty()) folder = ".";
  return ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
#else
  (void)path;
  return -1;
#endif
}

}  // namespace

DataFile::~DataFile() { Close(); }

int DataFile::Create(const std::string& path, uint32_t dataMode, uint32_t indexMode,
                     const uint8_t dataCreation[kCreationBlockSize], const uint8_t indexCreation[kCreationBlockSize],
                     int* lowLevelError) {
  *lowLevelError = 0;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return kDataFileExists;

  DataHeader header{};
  std::memcpy(header.magic, kDataMagic, sizeof(kDataMagic));
  header.layoutVersion = kLayoutVersion;
  header.headerSize = kDataHeaderSize;
  header.salt = RandomSalt();
  header.dataMode = dataMode;
  header.indexMode = indexMode;
  header.formatStamp = kCurrentFormatStamp;
  std::memcpy(header.dataCreation, dataCreation, kCreationBlockSize);
  std::memcpy(header.indexCreation, indexCreation, kCreationBlockSize);
  SealHeaderCopy(header);
  uint8_t page[kDataHeaderSize] = {};
  std::memcpy(page, &header, sizeof(header));
  std::memcpy(page + kBackupHeaderOffset, &header, sizeof(header));

  // Write the header into an unnamed file and link it under its name, so a stop
  // never leaves a data file without its header.
  int fd = OpenUnnamed(path);
  if (fd >= 0) {
    int rc = WriteAll(fd, page, sizeof(page), 0, lowLevelError);
    if (rc == kOk) {
      std::string self = "/proc/self/fd/" + std::to_string(fd);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        ::close(fd);
        return kOk;
      }
      int e = errno;
      ::close(fd);
      if (e == EEXIST) return kDataFileExists;
      if (e != ENOENT && e != EPERM && e != EXDEV && e != EOPNOTSUPP) {
        *lowLevelError = e;
        return kCreateDataFailed;
      }
    } else {
      ::close(fd);
      return kCreateDataFailed;
    }
  }
  // No unnamed files here: create the file exclusively and write the header.
  fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0) {
    *lowLevelError = errno;
    return errno == EEXIST ? kDataFileExists : kCreateDataFailed;
  }
  int rc = WriteAll(fd, page, sizeof(page), 0, lowLevelError);
  ::close(fd);
  if (rc != kOk) {
    ::unlink(path.c_str());
    return kCreateDataFailed;
  }
  return kOk;
}

int DataFile::Open(const std::string& path, int* lowLevelError) {
  Close();
  *lowLevelError = 0;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *lowLevelError = errno;
    return errno == ENOENT ? kFileNotFound : kReadFailed;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *lowLevelError = errno;
    ::close(fd);
    return kDataFileDamaged;
  }
  m_fd = fd;
  int rc = ReloadHeader(lowLevelError);
  if (rc != kOk) Close();
  return rc;
}

int DataFile::ReloadHeader(int* lowLevelError) {
  // Another process may be writing the header while it is read. It writes one
  // copy after the other, so at least one reads whole; should a read still
  // catch both copies mid-write, a few more reads settle it. A header that
  // stays unreadable is damaged.
  for (int attempt = 0;; ++attempt) {
    uint8_t page[kDataHeaderSize];
    ssize_t n;
    do {
      n = ::pread(m_fd, page, sizeof(page), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      *lowLevelError = errno;
      return kReadFailed;
    }
    if (static_cast<size_t>(n) < sizeof(page)) return kDataFileDamaged;
    DataHeader primary, backup;
    std::memcpy(&primary, page, sizeof(primary));
    std::memcpy(&backup, page + kBackupHeaderOffset, sizeof(backup));
    if (HeaderCopyValid(primary)) {
      m_header = primary;
      return kOk;
    }
    if (HeaderCopyValid(backup)) {
      // The backup copy stands in; the next header write repairs the primary.
      m_header = backup;
      return kOk;
    }
    if (attempt == 4) return kDataFileDamaged;
    ::usleep(1000);
  }
}

void DataFile::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

int DataFile::WriteHeader(int* lowLevelError) {
  SealHeaderCopy(m_header);
  uint8_t page[kDataHeaderSize] = {};
  std::memcpy(page, &m_header, sizeof(m_header));
  std::memcpy(page + kBackupHeaderOffset, &m_header, sizeof(m_header));
  // One copy after the other: a reader (or a stop) in between finds the other
  // copy whole.
  int rc = WriteAll(m_fd, page, kBackupHeaderOffset, 0, lowLevelError);
  if (rc != kOk) return rc;
  return WriteAll(m_fd, page + kBackupHeaderOffset, kDataHeaderSize - kBackupHeaderOffset, kBackupHeaderOffset,
                  lowLevelError);
}

int DataFile::WriteRecord(uint64_t offset, uint32_t slotLength, uint64_t sequence, const void* image,
                          uint32_t imageLength, int* lowLevelError) {
  SlotHeader h{};
  h.tag = kLiveTag;
  h.slotLength = slotLength;
  h.sequence = sequence;
  h.imageLength = imageLength;
  h.imageChecksum = Checksum32(image, imageLength);
  SealSlotHeader(h);
  struct iovec iov[2];
  iov[0].iov_base = &h;
  iov[0].iov_len = sizeof(h);
  iov[1].iov_base = const_cast<void*>(image);
  iov[1].iov_len = imageLength;
  size_t total = sizeof(h) + imageLength;
  ssize_t n;
  do {
    n = ::pwritev(m_fd, iov, 2, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *lowLevelError = errno;
    return kWriteFailed;
  }
  if (static_cast<size_t>(n) < total) {
    // Short write (a full disk): finish it, or fail.
    if (static_cast<size_t>(n) < sizeof(h)) {
      int rc = WriteAll(m_fd, reinterpret_cast<uint8_t*>(&h) + n, sizeof(h) - static_cast<size_t>(n),
                        offset + static_cast<uint64_t>(n), lowLevelError);
      if (rc != kOk) return rc;
      n = sizeof(h);
    }
    size_t done = static_cast<size_t>(n) - sizeof(h);
    return WriteAll(m_fd, static_cast<const uint8_t*>(image) + done, imageLength - done,
                    offset + static_cast<uint64_t>(n), lowLevelError);
  }
  return kOk;
}

int DataFile::WriteFree(uint64_t offset, uint32_t slotLength, int* lowLevelError) {
  SlotHeader h{};
  h.tag = kFreeTag;
  h.slotLength = slotLength;
  SealSlotHeader(h);
  return WriteAll(m_fd, &h, sizeof(h), offset, lowLevelError);
}

int DataFile::ReadImage(uint64_t offset, uint32_t imageLength, void* buffer, uint32_t want, int* lowLevelError) {
  if (want > imageLength) want = imageLength;
  SlotHeader h;
  struct iovec iov[2];
  iov[0].iov_base = &h;
  iov[0].iov_len = sizeof(h);
  iov[1].iov_base = buffer;
  iov[1].iov_len = want;
  size_t total = sizeof(h) + want;
  ssize_t n;
  do {
    n = ::preadv(m_fd, iov, 2, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *lowLevelError = errno;
    return kReadFailed;
  }
  if (static_cast<size_t>(n) < total) {
    if (static_cast<size_t>(n) < sizeof(h)) return kRecordDamaged;  // the file ends before the slot
    int rc = ReadAll(m_fd, static_cast<uint8_t*>(buffer) + (static_cast<size_t>(n) - sizeof(h)),
                     total - static_cast<size_t>(n), offset + static_cast<uint64_t>(n), lowLevelError);
    if (rc != kOk) return kRecordDamaged;
  }
  if (!SlotHeaderValid(h) || h.tag != kLiveTag || h.imageLength != imageLength) return kRecordDamaged;
  if (want == imageLength && h.imageChecksum != Checksum32(buffer, imageLength)) return kRecordDamaged;
  return kOk;
}

int DataFile::ReadSlotHead(uint64_t offset, SlotHeader* header, uint8_t* prefix, uint32_t prefixLength,
                           int* lowLevelError) {
  uint8_t buffer[kSlotHeaderSize + 64];
  if (prefixLength > 64) return kBadArgument;
  size_t want = kSlotHeaderSize + prefixLength;
  ssize_t n;
  do {
    n = ::pread(m_fd, buffer, want, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *lowLevelError = errno;
    return kReadFailed;
  }
  if (static_cast<size_t>(n) < kSlotHeaderSize) return kRecordDamaged;
  std::memcpy(header, buffer, kSlotHeaderSize);
  if (!SlotHeaderValid(*header)) return kRecordDamaged;
  if (header->tag == kLiveTag && prefixLength > 0) {
    if (static_cast<size_t>(n) < want || header->imageLength < prefixLength) return kRecordDamaged;
    std::memcpy(prefix, buffer + kSlotHeaderSize, prefixLength);
  }
  return kOk;
}

uint64_t DataFile::FileSize() const {
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

int DataFile::Truncate(uint64_t size, int* lowLevelError) {
  if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
    *lowLevelError = errno;
    return kWriteFailed;
  }
  return kOk;
}

int DataFile::Sync() { return ::fdatasync(m_fd) == 0 ? kOk : kWriteFailed; }

// ---------------------------------------------------------------------------
// Stored definition and field list

namespace {

class Packer {
 public:
  explicit Packer(std::vector<uint8_t>& out) : m_out(out) { m_out.clear(); }
  void U8(uint8_t v) { m_out.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  bool Text(const std::string& s) {
    if (s.size() > 0xffff) return false;
    U16(static_cast<uint16_t>(s.size()));
    m_out.insert(m_out.end(), s.begin(), s.end());
    return true;
  }

 private:
  std::vector<uint8_t>& m_out;
};

class Unpacker {
 public:
  Unpacker(const uint8_t* data, size_t length) : m_p(data), m_end(data + length) {}
  bool U8(uint8_t& v) {
    if (m_end - m_p < 1) return false;
    v = *m_p++;
    return true;
  }
  bool U16(uint16_t& v) {
    if (m_end - m_p < 2) return false;
    v = static_cast<uint16_t>(m_p[0] | (m_p[1] << 8));
    m_p += 2;
    return true;
  }
  bool U32(uint32_t& v) {
    uint16_t lo, hi;
    if (!U16(lo) || !U16(hi)) return false;
    v = lo | (uint32_t{hi} << 16);
    return true;
  }
  bool Text(std::string& s) {
    uint16_t n;
    if (!U16(n) || m_end - m_p < n) return false;
    s.assign(reinterpret_cast<const char*>(m_p), n);
    m_p += n;
    return true;
  }
  bool AtEnd() const { return m_p == m_end; }

 private:
  const uint8_t* m_p;
  const uint8_t* m_end;
};

}  // namespace

bool EncodeDefinition(const IFIL& d, std::vector<uint8_t>& out) {
  Packer p(out);
  p.U16(kStoredInfoVersion);
  if (!p.Text(d.dataFileName)) return false;
  p.U32(d.fixedRecordLength);
  p.U32(d.dataExtensionSize);
  p.U32(d.indexExtensionSize);
  p.U32(d.dataFileMode);
  p.U32(d.indexFileMode);
  if (d.indexes.size() > 0xff) return false;
  p.U16(static_cast<uint16_t>(d.indexes.size()));
  for (const IndexDefinition_t& index : d.indexes) {
    if (!p.Text(index.name) || index.segments.size() > 0xff) return false;
    p.U16(index.keyLength);
    p.U8(index.keyType);
    p.U8(index.duplicates);
    p.U8(index.nullKey);
    p.U8(index.padByte);
    p.U16(static_cast<uint16_t>(index.segments.size()));
    for (const KeySegment_t& s : index.segments) {
      p.U16(s.recordOffset);
      p.U16(s.length);
      p.U16(s.mode);
    }
  }
  return p.Text(d.firstField) && p.Text(d.lastField) && out.size() <= kStoredInfoCapacity;
}

bool DecodeDefinition(const uint8_t* data, size_t length, IFIL& d) {
  Unpacker u(data, length);
  uint16_t version, indexCount;
  d = IFIL{};
  if (!u.U16(version) || version != kStoredInfoVersion) return false;
  if (!u.Text(d.dataFileName) || !u.U32(d.fixedRecordLength) || !u.U32(d.dataExtensionSize) ||
      !u.U32(d.indexExtensionSize) || !u.U32(d.dataFileMode) || !u.U32(d.indexFileMode) || !u.U16(indexCount))
    return false;
  for (uint16_t i = 0; i < indexCount; ++i) {
    IndexDefinition_t index;
    uint16_t segments;
    if (!u.Text(index.name) || !u.U16(index.keyLength) || !u.U8(index.keyType) || !u.U8(index.duplicates) ||
        !u.U8(index.nullKey) || !u.U8(index.padByte) || !u.U16(segments))
      return false;
    for (uint16_t j = 0; j < segments; ++j) {
      KeySegment_t s;
      if (!u.U16(s.recordOffset) || !u.U16(s.length) || !u.U16(s.mode)) return false;
      index.segments.push_back(s);
    }
    d.indexes.push_back(std::move(index));
  }
  return u.Text(d.firstField) && u.Text(d.lastField) && u.AtEnd();
}

bool EncodeFieldList(const DODA* fields, int count, std::vector<uint8_t>& out) {
  if (count < 0 || count > 0xff || (count > 0 && !fields)) return false;
  Packer p(out);
  p.U16(kStoredInfoVersion);
  p.U16(static_cast<uint16_t>(count));
  for (int i = 0; i < count; ++i) {
    if (!p.Text(fields[i].name)) return false;
    p.U8(fields[i].type);
    p.U32(fields[i].length);
  }
  return out.size() <= kStoredInfoCapacity;
}

bool DecodeFieldList(const uint8_t* data, size_t length, std::vector<DODA>& out) {
  Unpacker u(data, length);
  uint16_t version, count;
  out.clear();
  if (!u.U16(version) || version != kStoredInfoVersion || !u.U16(count)) return false;
  for (uint16_t i = 0; i < count; ++i) {
    DODA f;
    if (!u.Text(f.name) || !u.U8(f.type) || !u.U32(f.length)) return false;
    out.push_back(std::move(f));
  }
  return u.AtEnd();
}

int PutStoredInfo(DataHeader& h, const std::vector<uint8_t>* definition, const std::vector<uint8_t>* fieldList) {
  std::vector<uint8_t> def(h.storedInfo, h.storedInfo + h.definitionSize);
  std::vector<uint8_t> fields(h.storedInfo + h.definitionSize, h.storedInfo + h.definitionSize + h.fieldListSize);
  uint32_t flags = h.flags;
  if (definition) {
    def = *definition;
    flags |= kHasDefinition;
  }
  if (fieldList) {
    fields = *fieldList;
    flags |= kHasFieldList;
  }
  if (def.size() + fields.size() > kStoredInfoCapacity) return kBadDefinition;
  std::memset(h.storedInfo, 0, sizeof(h.storedInfo));
  if (!def.empty()) std::memcpy(h.storedInfo, def.data(), def.size());
  if (!fields.empty()) std::memcpy(h.storedInfo + def.size(), fields.data(), fields.size());
  h.definitionSize = static_cast<uint32_t>(def.size());
  h.fieldListSize = static_cast<uint32_t>(fields.size());
  h.flags = flags;
  return kOk;
}

// ---------------------------------------------------------------------------
// Scan

namespace {

// A window over the file that serves reads of any length at increasing offsets.
class ScanWindow {
 public:
  ScanWindow(int fd, uint64_t fileSize) : m_fd(fd), m_fileSize(fileSize), m_buffer(std::min<uint64_t>(kChunk, fileSize)) {}

  // Pointer to [offset, offset + length), or null on a read failure. The caller
  // has checked that the range lies inside the file.
  const uint8_t* Get(uint64_t offset, uint64_t length, int* lowLevelError) {
    if (offset >= m_start && offset + length <= m_start + m_length) return m_buffer.data() + (offset - m_start);
    uint64_t want = std::max<uint64_t>(length, kChunk);
    want = std::min<uint64_t>(want, m_fileSize - offset);
    if (want < length) return nullptr;
    if (m_buffer.size() < want) m_buffer.resize(want);
    if (ReadAll(m_fd, m_buffer.data(), want, offset, lowLevelError) != kOk) return nullptr;
    m_start = offset;
    m_length = want;
    return m_buffer.data();
  }

 private:
  static constexpr uint64_t kChunk = 1 << 20;
  int m_fd;
  uint64_t m_fileSize;
  std::vector<uint8_t> m_buffer;
  uint64_t m_start = 0;
  uint64_t m_length = 0;
};

enum class SlotKind { kLive, kFree, kBad, kTorn };

// Classifies the slot at `offset`; for a live slot fills `live`.
SlotKind ClassifySlot(ScanWindow& window, uint64_t offset, uint64_t fileSize, const KeyShape& shape,
                      SlotHeader* header, ScanLive* live, int* lowLevelError, bool* ioFailed) {
  const uint8_t* p = window.Get(offset, kSlotHeaderSize, lowLevelError);
  if (!p) {
    *ioFailed = true;
    return SlotKind::kBad;
  }
  std::memcpy(header, p, sizeof(*header));
  if (!SlotHeaderValid(*header)) return SlotKind::kBad;
  if (header->tag == kFreeTag) {
    if (offset + kSlotHeaderSize > fileSize) return SlotKind::kTorn;
    return SlotKind::kFree;
  }
  uint64_t imageEnd = offset + kSlotHeaderSize + header->imageLength;
  if (imageEnd > fileSize) return SlotKind::kTorn;
  const uint8_t* image = window.Get(offset + kSlotHeaderSize, header->imageLength, lowLevelError);
  if (!image && header->imageLength > 0) {
    *ioFailed = true;
    return SlotKind::kBad;
  }
  if (header->imageChecksum != Checksum32(image, header->imageLength)) return SlotKind::kBad;
  uint64_t key;
  if (!shape.KeyFromImage(image, header->imageLength, &key)) return SlotKind::kBad;
  live->key = key;
  live->offset = offset;
  live->imageLength = header->imageLength;
  live->slotLength = header->slotLength;
  live->sequence = header->sequence;
  return SlotKind::kLive;
}

}  // namespace

int ScanDataFile(int fd, const KeyShape& shape, ScanResult& result, const std::function<void(uint64_t)>& progress,
                 int* lowLevelError) {
  result = ScanResult{};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *lowLevelError = errno;
    return kReadFailed;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  result.fileSize = size;
  ScanWindow window(fd, size);
  uint64_t pos = kDataHeaderSize;
  bool ioFailed = false;
  while (pos < size) {
    if (pos + kSlotHeaderSize > size) {
      result.tornTail = pos;  // a fragment too short for a slot header
      break;
    }
    SlotHeader h;
    ScanLive live;
    SlotKind kind = ClassifySlot(window, pos, size, shape, &h, &live, lowLevelError, &ioFailed);
    if (ioFailed) return kReadFailed;
    if (kind == SlotKind::kTorn) {
      result.tornTail = pos;
      break;
    }
    if (kind == SlotKind::kLive) {
      result.live.push_back(live);
      result.maxSequence = std::max(result.maxSequence, live.sequence);
      if (progress) progress(result.live.size());
      pos += h.slotLength;
      continue;
    }
    if (kind == SlotKind::kFree) {
      result.free.push_back({pos, h.slotLength});
      pos += h.slotLength;
      continue;
    }
    if (SlotHeaderValid(h)) {
      // A sound header over a bad image: the slot's extent is known.
      result.damaged.push_back({pos, h.slotLength});
      pos += h.slotLength;
      continue;
    }
    // Unreadable header: look for the next slot that checks out.
    uint64_t q = pos + kSlotAlign;
    bool found = false;
    for (; q + kSlotHeaderSize <= size; q += kSlotAlign) {
      SlotHeader candidate;
      ScanLive candidateLive;
      const uint8_t* p = window.Get(q, kSlotHeaderSize, lowLevelError);
      if (!p) return kReadFailed;
      uint32_t tag;
      std::memcpy(&tag, p, sizeof(tag));
      if (tag != kLiveTag && tag != kFreeTag) continue;
      SlotKind k = ClassifySlot(window, q, size, shape, &candidate, &candidateLive, lowLevelError, &ioFailed);
      if (ioFailed) return kReadFailed;
      if (k == SlotKind::kLive || k == SlotKind::kFree || k == SlotKind::kTorn) {
        found = true;
        break;
      }
    }
    if (!found) q = size;
    result.damaged.push_back({pos, q - pos});
    pos = q;
  }
  result.end = result.tornTail ? result.tornTail : std::max<uint64_t>(pos, kDataHeaderSize);
  return kOk;
}

}  // namespace qx::engine
