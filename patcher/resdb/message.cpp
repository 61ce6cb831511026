#include "patcher/resdb/message.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

using namespace msgfmt;

namespace {

constexpr std::uint64_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

std::uint32_t LoadWord(const std::uint8_t* a_pBytes) {
  std::uint32_t value;
  std::memcpy(&value, a_pBytes, sizeof value);
  return value;
}

void StoreWord(std::uint8_t* a_pBytes, std::uint32_t a_nValue) { std::memcpy(a_pBytes, &a_nValue, sizeof a_nValue); }

// The items of a field of `a_nPayload` bytes hold exactly `a_nCount` items: fixed
// items of a_nItemSize bytes each, or (a_nItemSize 0) length-prefixed items.
bool ItemsConsistent(const std::uint8_t* a_pItems, std::uint32_t a_nPayload, std::uint32_t a_nItemSize,
                     std::uint32_t a_nCount) {
  if (a_nItemSize != 0) return std::uint64_t{a_nItemSize} * a_nCount == a_nPayload;
  std::uint32_t pos = 0;
  for (std::uint32_t i = 0; i < a_nCount; ++i) {
    if (a_nPayload - pos < kItemLengthWord) return false;
    std::uint32_t length = LoadWord(a_pItems + pos);
    pos += kItemLengthWord;
    if (length > a_nPayload - pos) return false;
    pos += length;
  }
  return pos == a_nPayload;
}

}  // namespace

// ---- Field_t ----

std::uint32_t Message::Field_t::Word(std::size_t a_nOffset) const { return LoadWord(bytes.get() + a_nOffset); }

void Message::Field_t::SetWord(std::size_t a_nOffset, std::uint32_t a_nValue) {
  StoreWord(bytes.get() + a_nOffset, a_nValue);
}

std::string_view Message::Field_t::Name() const {
  return std::string_view(reinterpret_cast<const char*>(bytes.get() + kFieldOffName), NameLength());
}

// ---- construction ----

Message::Message(std::int32_t a_nCode) : m_nCode(a_nCode), m_anReserved{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0} {}

Message::Message(const Message& a_rOther) : m_nCode(a_rOther.m_nCode), m_anReserved{} { CopyFrom(a_rOther); }

Message& Message::operator=(const Message& a_rOther) {
  if (this != &a_rOther) CopyFrom(a_rOther);
  return *this;
}

Message::Message(const void* a_pBuffer, std::size_t a_nLength) : Message(0) {
  if (Unflatten(a_pBuffer, a_nLength) != 0) throw std::invalid_argument("Invalid flatten buffer");
}

Message::~Message() = default;

void Message::CopyFrom(const Message& a_rOther) {
  // Build the copy aside first, so that running out of memory leaves this message as it was.
  FieldList copy;
  for (const Field_t& field : a_rOther.m_lFields) {
    Field_t dup;
    dup.allocated = field.Used();
    dup.bytes.reset(new std::uint8_t[dup.allocated]);
    std::memcpy(dup.bytes.get(), field.bytes.get(), dup.allocated);
    dup.SetWord(kFieldOffAllocated, dup.allocated);
    copy.push_front(std::move(dup));
  }
  m_lFields.swap(copy);
  m_nCode = a_rOther.m_nCode;
  std::memcpy(m_anReserved, a_rOther.m_anReserved, sizeof m_anReserved);
  m_nFlattenedSize = a_rOther.m_nFlattenedSize;
  m_nFlags = 0;
}

void Message::MakeEmpty() {
  m_lFields.clear();
  m_nFlattenedSize = kHeaderSize;
}

// ---- flat form ----

int Message::Flatten(void* a_pBuffer, std::size_t a_nCapacity) const {
  if (a_pBuffer == nullptr || a_nCapacity < kHeaderSize) {
    errno = E2BIG;
    return -1;
  }
  auto* out = static_cast<std::uint8_t*>(a_pBuffer);
  StoreWord(out + kOffCode, static_cast<std::uint32_t>(m_nCode));
  for (std::size_t i = 0; i < kReservedWords; ++i) StoreWord(out + kOffReserved + 4 * i, m_anReserved[i]);
  StoreWord(out + kOffFlags, m_nFlags & ~kFlagNotCarried);
  std::size_t offset = kHeaderSize;
  for (const Field_t& field : m_lFields) {
    std::uint32_t used = field.Used();
    if (used > a_nCapacity - offset) {
      errno = E2BIG;
      return -1;
    }
    std::memcpy(out + offset, field.bytes.get(), used);
    // The link and allocated-size words mean nothing outside this process.
    StoreWord(out + offset + kFieldOffLink, 0);
    StoreWord(out + offset + kFieldOffAllocated, 0);
    offset += used;
  }
  StoreWord(out + kOffTotalSize, static_cast<std::uint32_t>(offset));
  return 0;
}

int Message::Unflatten(const void* a_pBuffer) {
  if (a_pBuffer == nullptr) return Unflatten(nullptr, 0);
  return Unflatten(a_pBuffer, LoadWord(static_cast<const std::uint8_t*>(a_pBuffer)));
}

int Message::Unflatten(const void* a_pBuffer, std::size_t a_nLength) {
  MakeEmpty();
  const auto* in = static_cast<const std::uint8_t*>(a_pBuffer);
  if (in == nullptr || a_nLength < kHeaderSize) {
    std::printf("Message::Unflatten() buffer of %zu bytes is too short\n", in ? a_nLength : 0);
    errno = EINVAL;
    return -1;
  }
  std::uint32_t size = LoadWord(in + kOffTotalSize);
  m_nCode = static_cast<std::int32_t>(LoadWord(in + kOffCode));
  for (std::size_t i = 0; i < kReservedWords; ++i) m_anReserved[i] = LoadWord(in + kOffReserved + 4 * i);
  m_nFlags = LoadWord(in + kOffFlags) & ~kFlagNotCarried;
  if (size < kHeaderSize || size > a_nLength) {
    std::printf("Message::Unflatten() size %u does not fit the buffer of %zu bytes\n", size, a_nLength);
    errno = EINVAL;
    return -1;
  }

  std::uint32_t offset = kHeaderSize;
  while (offset < size) {
    // Every field must lie wholly within the size word and be consistent inside,
    // so that no later lookup reads outside it; reading stops at the first that is not.
    std::uint32_t left = size - offset;
    if (left < kFieldHeaderSize) break;
    const std::uint8_t* field = in + offset;
    std::uint32_t used = LoadWord(field + kFieldOffUsedSize);
    std::uint32_t nameLength = field[kFieldOffNameLength];
    if (used < kFieldHeaderSize + nameLength || used > left) break;
    std::uint32_t payload = used - kFieldHeaderSize - nameLength;
    if (!ItemsConsistent(field + kFieldOffName + nameLength, payload, LoadWord(field + kFieldOffItemSize),
                         LoadWord(field + kFieldOffCount))) {
      break;
    }
    Field_t copy;
    copy.bytes.reset(new (std::nothrow) std::uint8_t[used]);
    if (!copy.bytes) {
      std::printf("Message::Unflatten() out of memory\n");
      break;
    }
    copy.allocated = used;
    std::memcpy(copy.bytes.get(), field, used);
    copy.SetWord(kFieldOffLink, 0);
    copy.SetWord(kFieldOffAllocated, used);
    m_lFields.push_front(std::move(copy));
    offset += used;
  }
  m_nFlattenedSize = size;
  if (offset == size) return 0;

  std::printf("Message::Unflatten() mismatch between size %d, and bytes read %d\n", static_cast<int>(size),
              static_cast<int>(offset));
  MakeEmpty();
  errno = EINVAL;
  return -1;
}

// ---- adding ----

Message::FieldList::iterator Message::FindField(std::string_view a_sName, std::int32_t a_nType) {
  for (auto it = m_lFields.begin(); it != m_lFields.end(); ++it) {
    if ((a_nType == TYPE_ANY || it->Type() == a_nType) && it->Name() == a_sName) return it;
  }
  return m_lFields.end();
}

Message::FieldList::const_iterator Message::FindField(std::string_view a_sName, std::int32_t a_nType) const {
  for (auto it = m_lFields.begin(); it != m_lFields.end(); ++it) {
    if ((a_nType == TYPE_ANY || it->Type() == a_nType) && it->Name() == a_sName) return it;
  }
  return m_lFields.end();
}

std::uint8_t* Message::CreateField(std::string_view a_sName, std::int32_t a_nType, std::uint32_t a_nItemSize,
                                   bool a_bFixedSize, std::uint32_t a_nCountHint) {
  std::uint64_t perItem = std::uint64_t{a_nItemSize} + (a_bFixedSize ? 0 : kItemLengthWord);
  std::uint64_t head = kFieldHeaderSize + a_sName.size();
  std::uint64_t used = head + perItem;
  // Room for at least the one item written now, whatever the hint says.
  std::uint64_t room = head + perItem * (a_nCountHint > 1 ? a_nCountHint : 1);
  if (room > kMaxSize || m_nFlattenedSize + used > kMaxSize) {
    errno = ENOMEM;
    return nullptr;
  }
  Field_t field;
  field.bytes.reset(new (std::nothrow) std::uint8_t[room]());
  if (!field.bytes) {
    errno = ENOMEM;
    return nullptr;
  }
  field.allocated = static_cast<std::uint32_t>(room);
  field.SetWord(kFieldOffAllocated, field.allocated);
  field.SetWord(kFieldOffUsedSize, static_cast<std::uint32_t>(used));
  field.SetWord(kFieldOffItemSize, a_bFixedSize ? a_nItemSize : 0);
  field.SetWord(kFieldOffCount, 1);
  field.SetWord(kFieldOffType, static_cast<std::uint32_t>(a_nType));
  field.bytes[kFieldOffNameLength] = static_cast<std::uint8_t>(a_sName.size());
  if (!a_sName.empty()) std::memcpy(field.bytes.get() + kFieldOffName, a_sName.data(), a_sName.size());
  std::uint8_t* item = field.Items();
  if (!a_bFixedSize) {
    StoreWord(item, a_nItemSize);
    item += kItemLengthWord;
  }
  m_lFields.push_front(std::move(field));
  m_nFlattenedSize += static_cast<std::uint32_t>(used);
  return item;
}

std::uint8_t* Message::AppendItem(FieldList::iterator a_itField, std::uint32_t a_nItemSize) {
  bool variable = a_itField->ItemSize() == 0;
  std::uint32_t oldUsed = a_itField->Used();
  std::uint64_t grow = std::uint64_t{a_nItemSize} + (variable ? kItemLengthWord : 0);
  std::uint64_t need = oldUsed + grow;
  if (need > kMaxSize || m_nFlattenedSize + grow > kMaxSize) {
    errno = ENOMEM;
    return nullptr;
  }
  if (a_itField->allocated < need) {
    // Move to a block of exactly the needed size; the moved field goes to the front.
    Field_t moved;
    moved.bytes.reset(new (std::nothrow) std::uint8_t[need]());
    if (!moved.bytes) {
      errno = ENOMEM;
      return nullptr;
    }
    moved.allocated = static_cast<std::uint32_t>(need);
    std::memcpy(moved.bytes.get(), a_itField->bytes.get(), oldUsed);
    moved.SetWord(kFieldOffAllocated, moved.allocated);
    m_lFields.erase(a_itField);
    m_lFields.push_front(std::move(moved));
    a_itField = m_lFields.begin();
  }
  Field_t& field = *a_itField;
  std::uint8_t* item = field.bytes.get() + oldUsed;
  std::memset(item, 0, static_cast<std::size_t>(grow));
  if (variable) {
    StoreWord(item, a_nItemSize);
    item += kItemLengthWord;
  }
  field.SetWord(kFieldOffUsedSize, static_cast<std::uint32_t>(need));
  field.SetWord(kFieldOffCount, field.Count() + 1);
  m_nFlattenedSize += static_cast<std::uint32_t>(grow);
  return item;
}

std::uint8_t* Message::AddItem(std::string_view a_sName, std::int32_t a_nType, std::uint32_t a_nItemSize,
                               bool a_bFixedSize, std::uint32_t a_nCountHint) {
  // A name longer than its length byte, the "any type" code, and a fixed item of
  // no bytes (its size word would read as variable) cannot be stored faithfully.
  if (a_sName.size() > kMaxNameLength || a_nType == TYPE_ANY || (a_bFixedSize && a_nItemSize == 0)) {
    errno = EINVAL;
    return nullptr;
  }
  auto it = FindField(a_sName, a_nType);
  if (it == m_lFields.end()) return CreateField(a_sName, a_nType, a_nItemSize, a_bFixedSize, a_nCountHint);
  if (it->ItemSize() != 0 && it->ItemSize() != a_nItemSize) {
    errno = EINVAL;
    return nullptr;
  }
  return AppendItem(it, a_nItemSize);
}

int Message::AddData(std::string_view a_sName, std::int32_t a_nType, const void* a_pData, std::uint32_t a_nItemSize,
                     bool a_bFixedSize, std::uint32_t a_nCountHint) {
  std::uint8_t* item = AddItem(a_sName, a_nType, a_nItemSize, a_bFixedSize, a_nCountHint);
  if (!item) return -1;
  if (a_pData && a_nItemSize > 0) std::memcpy(item, a_pData, a_nItemSize);
  return 0;
}

int Message::AddFixed(std::string_view a_sName, std::int32_t a_nType, const void* a_pData, std::uint32_t a_nSize) {
  return AddData(a_sName, a_nType, a_pData, a_nSize, true, 1);
}

int Message::AddPointer(std::string_view a_sName, std::uint32_t a_nValue) {
  return AddFixed(a_sName, TYPE_POINTER, &a_nValue, 4);
}
int Message::AddInt8(std::string_view a_sName, std::int8_t a_nValue) {
  return AddFixed(a_sName, TYPE_INT8, &a_nValue, 1);
}
int Message::AddInt16(std::string_view a_sName, std::int16_t a_nValue) {
  return AddFixed(a_sName, TYPE_INT16, &a_nValue, 2);
}
int Message::AddInt32(std::string_view a_sName, std::int32_t a_nValue) {
  return AddFixed(a_sName, TYPE_INT32, &a_nValue, 4);
}
int Message::AddInt64(std::string_view a_sName, std::int64_t a_nValue) {
  return AddFixed(a_sName, TYPE_INT64, &a_nValue, 8);
}
int Message::AddBool(std::string_view a_sName, bool a_bValue) {
  std::uint8_t byte = a_bValue ? 1 : 0;
  return AddFixed(a_sName, TYPE_BOOL, &byte, 1);
}
int Message::AddFloat(std::string_view a_sName, float a_fValue) {
  return AddFixed(a_sName, TYPE_FLOAT, &a_fValue, 4);
}
int Message::AddDouble(std::string_view a_sName, double a_fValue) {
  return AddFixed(a_sName, TYPE_DOUBLE, &a_fValue, 8);
}
int Message::AddIRect(std::string_view a_sName, const IRect_t& a_rValue) {
  return AddFixed(a_sName, TYPE_IRECT, &a_rValue, sizeof a_rValue);
}
int Message::AddIPoint(std::string_view a_sName, const IPoint_t& a_rValue) {
  return AddFixed(a_sName, TYPE_IPOINT, &a_rValue, sizeof a_rValue);
}
int Message::AddRect(std::string_view a_sName, const Rect_t& a_rValue) {
  return AddFixed(a_sName, TYPE_RECT, &a_rValue, sizeof a_rValue);
}
int Message::AddPoint(std::string_view a_sName, const Point_t& a_rValue) {
  return AddFixed(a_sName, TYPE_POINT, &a_rValue, sizeof a_rValue);
}
int Message::AddIdentity(std::string_view a_sName, const Identity_t& a_rValue) {
  return AddFixed(a_sName, TYPE_IDENTITY, &a_rValue, sizeof a_rValue);
}
int Message::AddVector3(std::string_view a_sName, const Vector3_t& a_rValue) {
  return AddFixed(a_sName, TYPE_VECTOR3, &a_rValue, sizeof a_rValue);
}

int Message::AddString(std::string_view a_sName, const char* a_pzText) {
  if (!a_pzText) a_pzText = "";
  std::size_t length = std::strlen(a_pzText) + 1;
  if (length > kMaxSize) {
    errno = ENOMEM;
    return -1;
  }
  return AddData(a_sName, TYPE_STRING, a_pzText, static_cast<std::uint32_t>(length), false, 1);
}

bool Message::ReserveFlat(std::vector<std::uint8_t>& a_rFlat, std::uint32_t a_nSize) {
  try {
    a_rFlat.resize(a_nSize);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return false;
  }
  return true;
}

int Message::FailNoMemory() {
  errno = ENOMEM;
  return -1;
}

int Message::AddFlatBytes(std::string_view a_sName, std::int32_t a_nType, const std::vector<std::uint8_t>& a_rFlat) {
  if (a_rFlat.size() > kMaxSize) return FailNoMemory();
  std::uint8_t* item = AddItem(a_sName, a_nType, static_cast<std::uint32_t>(a_rFlat.size()), false, 1);
  if (!item) {
    if (errno != EINVAL) errno = ENOMEM;
    return -1;
  }
  if (!a_rFlat.empty()) std::memcpy(item, a_rFlat.data(), a_rFlat.size());
  return 0;
}

int Message::AddMessage(std::string_view a_sName, const Message& a_rMessage) {
  // Flattened aside first: a_rMessage may be this very message.
  std::vector<std::uint8_t> flat;
  if (!ReserveFlat(flat, a_rMessage.FlattenedSize())) return -1;
  if (a_rMessage.Flatten(flat.data(), flat.size()) != 0) return FailNoMemory();
  return AddFlatBytes(a_sName, TYPE_ARCHIVE, flat);
}

int Message::AddFieldCopy(const Message& a_rSource, int a_nIndex) {
  if (a_nIndex < 0 || a_nIndex >= a_rSource.CountNames()) return -1;
  auto it = a_rSource.m_lFields.begin();
  std::advance(it, a_nIndex);
  std::uint32_t used = it->Used();
  if (m_nFlattenedSize + std::uint64_t{used} > kMaxSize) return FailNoMemory();
  Field_t copy;
  copy.bytes.reset(new (std::nothrow) std::uint8_t[used]);
  if (!copy.bytes) return FailNoMemory();
  copy.allocated = used;
  std::memcpy(copy.bytes.get(), it->bytes.get(), used);
  copy.SetWord(kFieldOffAllocated, used);
  m_lFields.push_front(std::move(copy));
  m_nFlattenedSize += used;
  return 0;
}

// ---- lookups ----

int Message::FindData(std::string_view a_sName, std::int32_t a_nType, std::int32_t a_nIndex, const void** a_ppData,
                      std::uint32_t* a_pnSize) const {
  auto it = FindField(a_sName, a_nType);
  if (it == m_lFields.end() || a_nIndex < 0 || static_cast<std::uint32_t>(a_nIndex) >= it->Count()) return -1;
  const std::uint8_t* items = it->Items();
  std::uint32_t itemSize = it->ItemSize();
  const std::uint8_t* data;
  std::uint32_t size;
  if (itemSize != 0) {
    data = items + std::size_t{itemSize} * static_cast<std::uint32_t>(a_nIndex);
    size = itemSize;
  } else {
    const std::uint8_t* p = items;
    for (std::int32_t i = 0; i < a_nIndex; ++i) p += kItemLengthWord + LoadWord(p);
    size = LoadWord(p);
    data = p + kItemLengthWord;
  }
  if (a_ppData) *a_ppData = data;
  if (a_pnSize) *a_pnSize = size;
  return 0;
}

int Message::GetInfo(std::string_view a_sName, std::int32_t* a_pnType, std::int32_t* a_pnCount) const {
  auto it = FindField(a_sName, TYPE_ANY);
  if (it == m_lFields.end()) return -1;
  if (a_pnType) *a_pnType = it->Type();
  if (a_pnCount) *a_pnCount = static_cast<std::int32_t>(it->Count());
  return 0;
}

int Message::GetFieldInfo(int a_nIndex, std::string* a_psName, std::int32_t* a_pnType,
                          std::int32_t* a_pnCount) const {
  if (a_nIndex < 0 || a_nIndex >= CountNames()) return -1;
  auto it = m_lFields.begin();
  std::advance(it, a_nIndex);
  if (a_psName) a_psName->assign(it->Name());
  if (a_pnType) *a_pnType = it->Type();
  if (a_pnCount) *a_pnCount = static_cast<std::int32_t>(it->Count());
  return 0;
}
