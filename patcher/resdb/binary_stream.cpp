#include "patcher/resdb/binary_stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/fs/path.h"

namespace {

void StoreU16(std::uint8_t* a_pOut, std::uint16_t a_nValue, BinaryStream::ByteOrder_t a_eOrder) {
  if (a_eOrder == BinaryStream::BigEndian) {
    a_pOut[0] = static_cast<std::uint8_t>(a_nValue >> 8);
    a_pOut[1] = static_cast<std::uint8_t>(a_nValue);
  } else {
    a_pOut[0] = static_cast<std::uint8_t>(a_nValue);
    a_pOut[1] = static_cast<std::uint8_t>(a_nValue >> 8);
  }
}

void StoreU32(std::uint8_t* a_pOut, std::uint32_t a_nValue, BinaryStream::ByteOrder_t a_eOrder) {
  for (int i = 0; i < 4; ++i) {
    int shift = a_eOrder == BinaryStream::BigEndian ? 8 * (3 - i) : 8 * i;
    a_pOut[i] = static_cast<std::uint8_t>(a_nValue >> shift);
  }
}

std::uint16_t LoadU16(const std::uint8_t* a_pIn, BinaryStream::ByteOrder_t a_eOrder) {
  return a_eOrder == BinaryStream::BigEndian
             ? static_cast<std::uint16_t>((a_pIn[0] << 8) | a_pIn[1])
             : static_cast<std::uint16_t>((a_pIn[1] << 8) | a_pIn[0]);
}

std::uint32_t LoadU32(const std::uint8_t* a_pIn, BinaryStream::ByteOrder_t a_eOrder) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    int shift = a_eOrder == BinaryStream::BigEndian ? 8 * (3 - i) : 8 * i;
    value |= static_cast<std::uint32_t>(a_pIn[i]) << shift;
  }
  return value;
}

}  // namespace

BinaryStream::BinaryStream(void* a_pBuffer, std::uint32_t a_nLength) : m_eBacking(BACKING_FIXED) {
  std::int32_t state = STATE_GOOD;
  if (a_nLength == 0) state += STATE_END_OF_DATA;
  if (a_pBuffer == nullptr) {
    state += STATE_NO_STORAGE;
    a_nLength = 0;  // nothing to read from or write to
  }
  m_pStart = static_cast<std::uint8_t*>(a_pBuffer);
  m_nCapacity = a_nLength;
  m_nDataEnd = a_nLength;
  m_nState = state;
}

BinaryStream::BinaryStream(std::uint32_t a_nCapacity) : m_eBacking(BACKING_GROWABLE) {
  if (a_nCapacity > 0) {
    m_pStart = static_cast<std::uint8_t*>(std::calloc(a_nCapacity, 1));
    if (m_pStart) m_nCapacity = a_nCapacity;
  }
}

BinaryStream::BinaryStream(const std::string& a_sPath, OpenMode_e a_eMode) : m_eBacking(BACKING_FILE) {
  std::string resolved = qx::fs::ResolvePath(a_sPath);
  switch (a_eMode) {
    case MODE_READ:
      m_pFile = std::fopen(resolved.c_str(), "rb");
      break;
    case MODE_UPDATE:
      m_pFile = std::fopen(resolved.c_str(), "r+b");
      if (!m_pFile && errno == ENOENT) m_pFile = std::fopen(resolved.c_str(), "w+b");
      break;
    case MODE_CREATE:
      m_pFile = std::fopen(resolved.c_str(), "w+b");
      break;
    default:
      std::fprintf(stderr, "Programmers error: no mode %d\n", static_cast<int>(a_eMode));
      errno = EINVAL;
      break;
  }
  if (!m_pFile) {
    int error = errno;
    std::fprintf(stderr, "ERROR: BinaryStream: Cannot open file %s\n", a_sPath.c_str());
    errno = error;
    std::perror("ERROR: BinaryStream");
    SetState(STATE_NO_STORAGE);
  }
}

BinaryStream::~BinaryStream() {
  if (m_eBacking == BACKING_GROWABLE) std::free(m_pStart);
  if (m_pFile) std::fclose(m_pFile);
}

void BinaryStream::SetState(std::int32_t a_nState) {
  if (m_pFile) {
    if (std::ferror(m_pFile)) std::perror("BinaryStream");
    std::clearerr(m_pFile);
  }
  m_nState = a_nState;
}

// ---- memory backings ----

bool BinaryStream::MemoryRead(void* a_pDest, std::uint32_t a_nCount) {
  if (m_nReadPos > m_nDataEnd || a_nCount > m_nDataEnd - m_nReadPos) {
    SetState(STATE_READ_ERROR);
    return false;
  }
  if (a_nCount > 0) std::memcpy(a_pDest, m_pStart + m_nReadPos, a_nCount);
  m_nReadPos += a_nCount;
  return true;
}

bool BinaryStream::Grow(std::uint32_t a_nNeeded) {
  // At least double; never less than the count being written.
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t doubled = m_nCapacity > kMax / 2 ? kMax : m_nCapacity * 2;
  std::uint32_t capacity = doubled > a_nNeeded ? doubled : a_nNeeded;
  if (capacity <= m_nCapacity) return false;  // cannot grow any further
  auto* fresh = static_cast<std::uint8_t*>(std::calloc(capacity, 1));
  if (!fresh) return false;
  if (m_nCapacity > 0) std::memcpy(fresh, m_pStart, m_nCapacity);
  std::free(m_pStart);
  m_pStart = fresh;
  m_nCapacity = capacity;
  return true;
}

bool BinaryStream::MemoryWrite(const void* a_pSource, std::uint32_t a_nCount) {
  for (;;) {
    if (a_nCount <= m_nCapacity - m_nWritePos) {
      if (a_nCount > 0) std::memcpy(m_pStart + m_nWritePos, a_pSource, a_nCount);
      m_nWritePos += a_nCount;
      if (m_nWritePos > m_nDataEnd) m_nDataEnd = m_nWritePos;
      return true;
    }
    if (m_eBacking != BACKING_GROWABLE || !Grow(a_nCount)) {
      // A fixed buffer is full, or a growable one cannot take more: nothing written.
      SetState(STATE_WRITE_ERROR);
      return false;
    }
  }
}

// ---- file backing ----

void BinaryStream::PositionForReading() {
  if (!m_bPositionedForWriting) return;
  m_nSavedWriteOffset = std::ftell(m_pFile);
  std::fseek(m_pFile, m_nSavedReadOffset, SEEK_SET);
  m_bPositionedForWriting = false;
}

void BinaryStream::PositionForWriting() {
  if (m_bPositionedForWriting) return;
  m_nSavedReadOffset = std::ftell(m_pFile);
  std::fseek(m_pFile, m_nSavedWriteOffset, SEEK_SET);
  m_bPositionedForWriting = true;
}

bool BinaryStream::FileRead(void* a_pDest, std::uint32_t a_nCount) {
  PositionForReading();
  if (std::fread(a_pDest, 1, a_nCount, m_pFile) == a_nCount) return true;
  if (std::feof(m_pFile)) {
    SetState(STATE_END_OF_DATA);
  } else {
    SetState(STATE_READ_ERROR);
  }
  return false;
}

bool BinaryStream::FileWrite(const void* a_pSource, std::uint32_t a_nCount) {
  PositionForWriting();
  std::size_t written = std::fwrite(a_pSource, 1, a_nCount, m_pFile);
  if (std::ferror(m_pFile) || written != a_nCount) {
    SetState(STATE_WRITE_ERROR);
    return false;
  }
  return true;
}

void BinaryStream::FileSeek(std::uint32_t a_nOffset) {
  if (std::fseek(m_pFile, static_cast<long>(a_nOffset), SEEK_SET) != 0) {
    SetState(std::feof(m_pFile) ? STATE_END_OF_DATA : STATE_READ_ERROR);
  }
}

// ---- operations ----

bool BinaryStream::ReadBytes(void* a_pDest, std::uint32_t a_nCount) {
  if (m_eBacking != BACKING_FILE) return MemoryRead(a_pDest, a_nCount);
  if (m_pFile) return FileRead(a_pDest, a_nCount);
  SetState(STATE_READ_ERROR);
  return false;
}

BinaryStream& BinaryStream::Read(void* a_pDest, std::uint32_t a_nCount) {
  ReadBytes(a_pDest, a_nCount);
  return *this;
}

BinaryStream& BinaryStream::Write(const void* a_pSource, std::uint32_t a_nCount) {
  if (m_eBacking != BACKING_FILE) {
    MemoryWrite(a_pSource, a_nCount);
  } else if (m_pFile) {
    FileWrite(a_pSource, a_nCount);
  } else {
    SetState(STATE_WRITE_ERROR);
  }
  return *this;
}

BinaryStream& BinaryStream::ReadU16(std::uint16_t* a_pValue) {
  *a_pValue = 0;
  std::uint8_t bytes[2];
  if (ReadBytes(bytes, sizeof bytes)) *a_pValue = LoadU16(bytes, m_eByteOrder);
  return *this;
}

BinaryStream& BinaryStream::ReadU32(std::uint32_t* a_pValue) {
  *a_pValue = 0;
  std::uint8_t bytes[4];
  if (ReadBytes(bytes, sizeof bytes)) *a_pValue = LoadU32(bytes, m_eByteOrder);
  return *this;
}

BinaryStream& BinaryStream::WriteU16(std::uint16_t a_nValue) {
  std::uint8_t bytes[2];
  StoreU16(bytes, a_nValue, m_eByteOrder);
  return Write(bytes, sizeof bytes);
}

BinaryStream& BinaryStream::WriteU32(std::uint32_t a_nValue) {
  std::uint8_t bytes[4];
  StoreU32(bytes, a_nValue, m_eByteOrder);
  return Write(bytes, sizeof bytes);
}

std::uint32_t BinaryStream::Size() {
  if (m_eBacking != BACKING_FILE) return m_nDataEnd;
  if (!m_pFile) return 0;
  long here = std::ftell(m_pFile);
  long size = 0;
  if (std::fseek(m_pFile, 0, SEEK_END) == 0) size = std::ftell(m_pFile);
  if (here >= 0) std::fseek(m_pFile, here, SEEK_SET);
  return size > 0 ? static_cast<std::uint32_t>(size) : 0;
}

std::uint32_t BinaryStream::ReadPosition() {
  if (m_eBacking != BACKING_FILE) return m_nReadPos;
  if (!m_pFile) return 0;
  PositionForReading();
  long offset = std::ftell(m_pFile);
  if (offset < 0) return 0;
  m_nSavedReadOffset = offset;
  return static_cast<std::uint32_t>(offset);
}

std::uint32_t BinaryStream::WritePosition() {
  if (m_eBacking != BACKING_FILE) return m_nWritePos;
  if (!m_pFile) return 0;
  PositionForWriting();
  long offset = std::ftell(m_pFile);
  if (offset < 0) return 0;
  m_nSavedWriteOffset = offset;
  return static_cast<std::uint32_t>(offset);
}

void BinaryStream::SeekRead(std::uint32_t a_nOffset) {
  if (m_eBacking == BACKING_FILE) {
    if (!m_pFile) {
      SetState(STATE_READ_ERROR);
      return;
    }
    PositionForReading();
    FileSeek(a_nOffset);
    return;
  }
  if (a_nOffset > m_nDataEnd && a_nOffset > m_nCapacity) {
    SetState(STATE_READ_ERROR);
    return;
  }
  m_nReadPos = a_nOffset;
}

void BinaryStream::SeekWrite(std::uint32_t a_nOffset) {
  if (m_eBacking == BACKING_FILE) {
    if (!m_pFile) {
      SetState(STATE_WRITE_ERROR);
      return;
    }
    PositionForWriting();
    FileSeek(a_nOffset);
    return;
  }
  if (a_nOffset <= m_nDataEnd) {
    m_nWritePos = a_nOffset;
  } else if (a_nOffset > m_nCapacity) {
    SetState(STATE_WRITE_SEEK);
  } else {
    m_nWritePos = a_nOffset;
    m_nDataEnd = a_nOffset;
  }
}
