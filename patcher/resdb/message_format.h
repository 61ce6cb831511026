// The flat form of a Message and the type codes of its fields.
//
// A flattened message is a 28-byte header followed by its fields back to back;
// a field is a 28-byte header, its name (no terminating zero) and its items.
// Every word is a 32-bit value in host byte order: the flat form lives in
// memory only and is never written to a file or sent anywhere. Message (the
// writer and the reader) and Variant share these definitions; nothing else
// should need them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace msgfmt {

// Message header.
inline constexpr std::size_t kHeaderSize = 28;
inline constexpr std::size_t kOffTotalSize = 0;  // 28 + the used sizes of all fields
inline constexpr std::size_t kOffCode = 4;
inline constexpr std::size_t kOffReserved = 8;   // four words: 8, 12, 16, 20
inline constexpr std::size_t kReservedWords = 4;
inline constexpr std::size_t kOffFlags = 24;     // written with kFlagNotCarried cleared
inline constexpr std::uint32_t kFlagNotCarried = 0x10000;  // a flag that never travels in a flat form

// Field header.
inline constexpr std::size_t kFieldHeaderSize = 28;
inline constexpr std::size_t kFieldOffLink = 0;       // reserved in a buffer
inline constexpr std::size_t kFieldOffAllocated = 4;  // reserved in a buffer
inline constexpr std::size_t kFieldOffUsedSize = 8;   // 28 + name length + item bytes
inline constexpr std::size_t kFieldOffItemSize = 12;  // 0 for variable-size items
inline constexpr std::size_t kFieldOffCount = 16;
inline constexpr std::size_t kFieldOffType = 20;
inline constexpr std::size_t kFieldOffNameLength = 24;  // one byte; 25..27 reserved
inline constexpr std::size_t kFieldOffName = 28;
inline constexpr std::size_t kMaxNameLength = 255;
// A variable-size item is this length word followed by that many bytes.
inline constexpr std::size_t kItemLengthWord = 4;

}  // namespace msgfmt

// Type codes of message fields and of Variant values. Code 0 is never stored in
// a field; in a lookup it stands for any type.
enum TypeCode_e : std::int32_t {
  TYPE_ANY = 0,  // in a Variant: no value (void)
  TYPE_POINTER = 1,
  TYPE_INT8 = 2,
  TYPE_INT16 = 3,
  TYPE_INT32 = 4,
  TYPE_INT64 = 5,
  TYPE_BOOL = 6,
  TYPE_FLOAT = 7,
  TYPE_DOUBLE = 8,
  TYPE_STRING = 9,
  TYPE_IRECT = 10,
  TYPE_IPOINT = 11,
  TYPE_ARCHIVE = 12,
  TYPE_RECT = 16,
  TYPE_POINT = 17,
  TYPE_VARIANT = 18,
  TYPE_BYTES = 19,
  TYPE_IDENTITY = 20,
  TYPE_VECTOR3 = 21,
};

// Item layouts of the fixed-size geometric types (and of the same Variant values).
struct IRect_t {
  std::int32_t left, top, right, bottom;
};
struct IPoint_t {
  std::int32_t x, y;
};
struct Rect_t {
  float left, top, right, bottom;
};
struct Point_t {
  float x, y;
};
struct Identity_t {
  std::uint32_t first, second;
};
struct Vector3_t {
  float x, y, z;
};

static_assert(sizeof(IRect_t) == 16 && sizeof(IPoint_t) == 8 && sizeof(Rect_t) == 16 &&
              sizeof(Point_t) == 8 && sizeof(Identity_t) == 8 && sizeof(Vector3_t) == 12);
