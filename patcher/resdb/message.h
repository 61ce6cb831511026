// Message: a container of named, typed fields, and its flat form.
//
// Each field has a name (at most 255 bytes), a type code (TypeCode_e) and one or
// more items: fixed-size items of one size, or variable-size items (strings,
// nested flattened messages, flattened objects). Adding a value under a name and
// type that already exist appends an item to that field. Fields are kept newest
// first; Flatten writes them in that order and Unflatten and copying push each
// field to the front, so a round trip reverses the order (lookups do not depend
// on it). The flat layout is in message_format.h.
//
// Results follow the C convention of this subsystem: 0 for success, -1 for a
// failure with errno set where stated (E2BIG from Flatten, EINVAL from
// Unflatten, ENOMEM from AddMessage/AddFlat; EINVAL from the adds for a name
// longer than 255 bytes, type code 0, a fixed-size item of 0 bytes, or an item
// whose size differs from the existing field's). Unflatten checks the whole buffer before it trusts any of it: a
// truncated or inconsistent buffer gives -1 and an empty message, never a read
// outside the buffer. Pointers returned by FindData point into the message and
// stay valid until the next change to it.
//
// A message belongs to one thread at a time; it has no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/resdb/message_format.h"

class Message {
 public:
  explicit Message(std::int32_t a_nCode = 0);
  Message(const Message& a_rOther);
  Message& operator=(const Message& a_rOther);
  // Unflattens a buffer of a_nLength bytes; throws std::invalid_argument with the
  // text "Invalid flatten buffer" when the buffer is not a valid flat message.
  Message(const void* a_pBuffer, std::size_t a_nLength);
  virtual ~Message();

  std::int32_t Code() const { return m_nCode; }
  void SetCode(std::int32_t a_nCode) { m_nCode = a_nCode; }
  std::uint32_t Flags() const { return m_nFlags; }
  void SetFlags(std::uint32_t a_nFlags) { m_nFlags = a_nFlags; }
  std::uint32_t ReservedWord(int a_nIndex) const { return m_anReserved[a_nIndex & 3]; }

  std::uint32_t FlattenedSize() const { return m_nFlattenedSize; }
  // Writes the flat form into a_pBuffer. 0, or -1 with errno E2BIG when it does
  // not fit (the buffer may then hold a partial image without its size word).
  int Flatten(void* a_pBuffer, std::size_t a_nCapacity) const;
  // Replaces the content with the flat message in the first a_nLength bytes of
  // a_pBuffer. 0, or -1 with errno EINVAL and the message left empty.
  int Unflatten(const void* a_pBuffer, std::size_t a_nLength);
  // The same for a buffer known to come from Flatten: its length is taken from
  // its size word. Prefer the form with a length for anything else.
  int Unflatten(const void* a_pBuffer);

  // Adds an item of a_nItemSize bytes (copied from a_pData, or zero-filled when
  // a_pData is null) to the field a_sName of type a_nType. A new field has room
  // for a_nCountHint items (at least one). An existing field of that name and type
  // takes the item when it is variable-size or its item size equals a_nItemSize;
  // otherwise -1.
  int AddData(std::string_view a_sName, std::int32_t a_nType, const void* a_pData,
              std::uint32_t a_nItemSize, bool a_bFixedSize, std::uint32_t a_nCountHint);
  int AddPointer(std::string_view a_sName, std::uint32_t a_nValue);
  int AddInt8(std::string_view a_sName, std::int8_t a_nValue);
  int AddInt16(std::string_view a_sName, std::int16_t a_nValue);
  int AddInt32(std::string_view a_sName, std::int32_t a_nValue);
  int AddInt64(std::string_view a_sName, std::int64_t a_nValue);
  int AddBool(std::string_view a_sName, bool a_bValue);
  int AddFloat(std::string_view a_sName, float a_fValue);
  int AddDouble(std::string_view a_sName, double a_fValue);
  int AddIRect(std::string_view a_sName, const IRect_t& a_rValue);
  int AddIPoint(std::string_view a_sName, const IPoint_t& a_rValue);
  int AddRect(std::string_view a_sName, const Rect_t& a_rValue);
  int AddPoint(std::string_view a_sName, const Point_t& a_rValue);
  int AddIdentity(std::string_view a_sName, const Identity_t& a_rValue);
  int AddVector3(std::string_view a_sName, const Vector3_t& a_rValue);
  // The text with its terminating zero, as a variable-size item of type 9.
  int AddString(std::string_view a_sName, const char* a_pzText);
  // a_rMessage flattened, as a variable-size item of type 12. -1 with ENOMEM.
  int AddMessage(std::string_view a_sName, const Message& a_rMessage);
  // An object's flat form as a variable-size item of type 18. T provides
  // FlattenedSize() and Flatten(void*, size). -1 with ENOMEM.
  template <class T>
  int AddFlat(std::string_view a_sName, const T& a_rObject) {
    std::vector<std::uint8_t> flat;
    if (!ReserveFlat(flat, a_rObject.FlattenedSize())) return -1;
    if (a_rObject.Flatten(flat.data(), flat.size()) != 0) return FailNoMemory();
    return AddFlatBytes(a_sName, TYPE_VARIANT, flat);
  }

  // The item a_nIndex of the first field named a_sName whose type is a_nType
  // (TYPE_ANY: any type). 0 with *a_ppData and *a_pnSize (may be null) set, or -1.
  int FindData(std::string_view a_sName, std::int32_t a_nType, std::int32_t a_nIndex,
               const void** a_ppData, std::uint32_t* a_pnSize) const;
  // Type and item count of the first field named a_sName, any type. 0 or -1.
  int GetInfo(std::string_view a_sName, std::int32_t* a_pnType, std::int32_t* a_pnCount) const;
  int CountNames() const { return static_cast<int>(m_lFields.size()); }

  // Fields by position in list order (0 is the newest): name, type and count.
  int GetFieldInfo(int a_nIndex, std::string* a_psName, std::int32_t* a_pnType,
                   std::int32_t* a_pnCount) const;
  // Copies field a_nIndex of a_rSource (name, type, every item) to the front of
  // this message. 0, or -1 when there is no such field or memory runs out.
  int AddFieldCopy(const Message& a_rSource, int a_nIndex);

  // Removes every field; header words stay.
  void MakeEmpty();

 private:
  // One field: a single block holding the flat layout (header, name, items).
  // Only the first `used` bytes are meaningful; the block may be larger.
  struct Field_t {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t allocated = 0;

    std::uint32_t Word(std::size_t a_nOffset) const;
    void SetWord(std::size_t a_nOffset, std::uint32_t a_nValue);
    std::uint32_t Used() const { return Word(msgfmt::kFieldOffUsedSize); }
    std::uint32_t ItemSize() const { return Word(msgfmt::kFieldOffItemSize); }
    std::uint32_t Count() const { return Word(msgfmt::kFieldOffCount); }
    std::int32_t Type() const { return static_cast<std::int32_t>(Word(msgfmt::kFieldOffType)); }
    std::uint8_t NameLength() const { return bytes[msgfmt::kFieldOffNameLength]; }
    std::string_view Name() const;
    std::uint8_t* Items() { return bytes.get() + msgfmt::kFieldOffName + NameLength(); }
    const std::uint8_t* Items() const { return bytes.get() + msgfmt::kFieldOffName + NameLength(); }
  };
  using FieldList = std::list<Field_t>;

  FieldList::iterator FindField(std::string_view a_sName, std::int32_t a_nType);
  FieldList::const_iterator FindField(std::string_view a_sName, std::int32_t a_nType) const;
  std::uint8_t* CreateField(std::string_view a_sName, std::int32_t a_nType, std::uint32_t a_nItemSize,
                            bool a_bFixedSize, std::uint32_t a_nCountHint);
  std::uint8_t* AppendItem(FieldList::iterator a_itField, std::uint32_t a_nItemSize);
  std::uint8_t* AddItem(std::string_view a_sName, std::int32_t a_nType, std::uint32_t a_nItemSize,
                        bool a_bFixedSize, std::uint32_t a_nCountHint);
  int AddFixed(std::string_view a_sName, std::int32_t a_nType, const void* a_pData, std::uint32_t a_nSize);
  int AddFlatBytes(std::string_view a_sName, std::int32_t a_nType, const std::vector<std::uint8_t>& a_rFlat);
  static bool ReserveFlat(std::vector<std::uint8_t>& a_rFlat, std::uint32_t a_nSize);
  static int FailNoMemory();
  void CopyFrom(const Message& a_rOther);

  std::int32_t m_nCode;
  std::uint32_t m_nFlags = 0;
  std::uint32_t m_anReserved[msgfmt::kReservedWords];
  std::uint32_t m_nFlattenedSize = msgfmt::kHeaderSize;
  FieldList m_lFields;  // newest first
};
