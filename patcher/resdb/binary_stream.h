// BinaryStream: raw bytes and 16/32-bit unsigned integers over a buffer or a file.
//
// One class, three backings chosen by the constructor:
//   - fixed memory: a caller's buffer and its length. The stream never owns or
//     frees it and never writes beyond it. The whole buffer is readable.
//   - growable memory: a buffer the stream owns, created with an initial
//     capacity (zero-filled) and at least doubled whenever a write does not fit.
//   - file: a file opened by path and mode (0 read, 1 update or create, 2 create
//     or truncate), with read and write positions kept independently of each
//     other on the one handle.
//
// Every integer passes through the byte order: BigEndian (the default of every
// new stream) stores the most significant byte first, Native stores the value
// little-endian, as the x86 host holds it in memory.
//
// Errors never throw and never end the process: an operation that fails leaves a
// state code (see State_e) and changes nothing it could not finish. A successful
// operation never clears the state; a caller that wants to carry on after a
// failure calls SetState(0). Read and write operations return the stream so that
// calls chain: s.WriteU32(type).WriteU32(instance).
//
// A stream is not copyable and has no locking: one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class BinaryStream {
 public:
  enum ByteOrder_t { BigEndian, Native };

  // State codes; setting one replaces the previous one.
  enum State_e : std::int32_t {
    STATE_GOOD = 0,
    STATE_END_OF_DATA = 1,      // empty fixed buffer; a file read or seek that hit the end
    STATE_WRITE_SEEK = 2,       // write position set beyond the capacity of a memory stream
    STATE_READ_ERROR = 3,       // read past the data end; read seek beyond it; file read/seek error
    STATE_NO_STORAGE = 4,       // null fixed buffer (5 when also empty); file not opened
    STATE_WRITE_ERROR = 5,      // a write that did not fit a fixed buffer; a file write error
  };

  // Fixed memory over the caller's buffer. Length 0 gives state 1; a null buffer
  // adds 4 (and is treated as having no room at all, whatever the length).
  BinaryStream(void* a_pBuffer, std::uint32_t a_nLength);

  // Growable memory with a_nCapacity zero bytes of room and no data. If the room
  // cannot be allocated the stream starts empty (capacity 0) and grows on demand.
  explicit BinaryStream(std::uint32_t a_nCapacity);

  // How a file stream opens its file.
  enum OpenMode_e : int {
    MODE_READ = 0,    // "rb"
    MODE_UPDATE = 1,  // "r+b"; created ("w+b") when it does not exist
    MODE_CREATE = 2,  // "w+b": created or truncated
  };

  // File backing. Any mode other than the three above is a programming error
  // reported on standard error. When nothing could be opened, two lines go to
  // standard error and the state is 4. The path goes through the platform's path
  // mapping ('\' or '/', letter case of existing names ignored). The mode is an
  // enumeration so that a (buffer, length) pair can never pick this constructor.
  BinaryStream(const std::string& a_sPath, OpenMode_e a_eMode);

  ~BinaryStream();
  BinaryStream(const BinaryStream&) = delete;
  BinaryStream& operator=(const BinaryStream&) = delete;

  BinaryStream& Read(void* a_pDest, std::uint32_t a_nCount);
  BinaryStream& Write(const void* a_pSource, std::uint32_t a_nCount);
  // Sets *a_pValue to 0, then reads; a failed read leaves it 0.
  BinaryStream& ReadU16(std::uint16_t* a_pValue);
  BinaryStream& ReadU32(std::uint32_t* a_pValue);
  BinaryStream& WriteU16(std::uint16_t a_nValue);
  BinaryStream& WriteU32(std::uint32_t a_nValue);

  // Memory: bytes of data (data end minus start). File: the file's length.
  std::uint32_t Size();
  std::uint32_t ReadPosition();
  std::uint32_t WritePosition();
  void SeekRead(std::uint32_t a_nOffset);
  void SeekWrite(std::uint32_t a_nOffset);

  std::int32_t State() const { return m_nState; }
  // Replaces the state. On a file stream a pending error of the handle is first
  // reported on standard error ("BinaryStream: <system text>"), then the handle's
  // error and end-of-file indicators are cleared.
  void SetState(std::int32_t a_nState);

  void ByteOrder(ByteOrder_t a_eOrder) { m_eByteOrder = a_eOrder; }
  ByteOrder_t GetByteOrder() const { return m_eByteOrder; }

  // Memory streams: the start of the buffer (null for a file stream) and the room
  // it has. The pointer changes when a growable stream grows.
  std::uint8_t* Buffer() { return m_pStart; }
  const std::uint8_t* Buffer() const { return m_pStart; }
  std::uint32_t Capacity() const { return m_nCapacity; }
  bool IsFile() const { return m_eBacking == BACKING_FILE; }

 private:
  enum Backing_e { BACKING_FIXED, BACKING_GROWABLE, BACKING_FILE };

  bool ReadBytes(void* a_pDest, std::uint32_t a_nCount);
  bool MemoryRead(void* a_pDest, std::uint32_t a_nCount);
  bool MemoryWrite(const void* a_pSource, std::uint32_t a_nCount);
  bool Grow(std::uint32_t a_nNeeded);
  bool FileRead(void* a_pDest, std::uint32_t a_nCount);
  bool FileWrite(const void* a_pSource, std::uint32_t a_nCount);
  void FileSeek(std::uint32_t a_nOffset);
  void PositionForReading();
  void PositionForWriting();

  Backing_e m_eBacking;
  ByteOrder_t m_eByteOrder = BigEndian;
  std::int32_t m_nState = STATE_GOOD;

  // Memory backings: offsets from m_pStart; m_nDataEnd <= m_nCapacity and
  // m_nWritePos <= m_nDataEnd always hold. m_nReadPos may lie beyond the data
  // end (within the capacity); a read from there fails.
  std::uint8_t* m_pStart = nullptr;
  std::uint32_t m_nCapacity = 0;
  std::uint32_t m_nDataEnd = 0;
  std::uint32_t m_nReadPos = 0;
  std::uint32_t m_nWritePos = 0;

  // File backing.
  std::FILE* m_pFile = nullptr;
  long m_nSavedReadOffset = 0;
  long m_nSavedWriteOffset = 0;
  bool m_bPositionedForWriting = false;
};
