#include "patcher/layout/variant.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/format.h"

namespace {

bool IsIntegerType(std::int32_t a_nType) {
  return a_nType == TYPE_INT8 || a_nType == TYPE_INT16 || a_nType == TYPE_INT32 || a_nType == TYPE_INT64;
}

// Truncation toward zero that stays defined for every double: held within the
// 64-bit range, NaN gives 0.
std::int64_t TruncateToInt64(double a_fValue) {
  if (std::isnan(a_fValue)) return 0;
  if (a_fValue >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (a_fValue <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(a_fValue);
}

std::int32_t LowBits32(std::int64_t a_nValue) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(a_nValue)));
}

std::int32_t TruncateToInt32(double a_fValue) { return LowBits32(TruncateToInt64(a_fValue)); }

// A decimal integer at the start of the text (after white space), as "%d" or a
// 64-bit "%lld" scan reads it; false when there are no digits.
bool ScanInteger(const std::string& a_sText, std::int64_t* a_pnValue) {
  const char* start = a_sText.c_str();
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(start, &end, 10);
  if (end == start) return false;
  *a_pnValue = value;
  return true;
}

bool ScanDouble(const std::string& a_sText, double* a_pfValue) {
  const char* start = a_sText.c_str();
  char* end = nullptr;
  double value = std::strtod(start, &end);
  if (end == start) return false;
  *a_pfValue = value;
  return true;
}

template <class T>
void Order(T a_left, T a_right, bool* a_pbLess, bool* a_pbGreater) {
  *a_pbLess = a_left < a_right;
  *a_pbGreater = a_left > a_right;
}

std::size_t FixedContentSize(std::int32_t a_nType) {
  switch (a_nType) {
    case TYPE_ANY: return 0;
    case TYPE_POINTER: return 4;
    case TYPE_INT8: return 1;
    case TYPE_INT16: return 2;
    case TYPE_INT32: return 4;
    case TYPE_INT64: return 8;
    case TYPE_BOOL: return 1;
    case TYPE_FLOAT: return 4;
    case TYPE_DOUBLE: return 8;
    case TYPE_IRECT: return sizeof(IRect_t);
    case TYPE_IPOINT: return sizeof(IPoint_t);
    case TYPE_RECT: return sizeof(Rect_t);
    case TYPE_POINT: return sizeof(Point_t);
    case TYPE_IDENTITY: return sizeof(Identity_t);
    case TYPE_VECTOR3: return sizeof(Vector3_t);
    default: return SIZE_MAX;  // variable (String, Archive, byte block) or unknown
  }
}

}  // namespace

// ---- setting ----

void Variant::MakeVoid() {
  m_nType = TYPE_ANY;
  m_u = {};
  m_sText.clear();
  m_aBlock.clear();
}

void Variant::SetPointer(std::uint32_t a_nValue) { MakeVoid(); m_nType = TYPE_POINTER; m_u.p = a_nValue; }
void Variant::SetInt8(std::int8_t a_nValue) { MakeVoid(); m_nType = TYPE_INT8; m_u.i = a_nValue; }
void Variant::SetInt16(std::int16_t a_nValue) { MakeVoid(); m_nType = TYPE_INT16; m_u.i = a_nValue; }
void Variant::SetInt32(std::int32_t a_nValue) { MakeVoid(); m_nType = TYPE_INT32; m_u.i = a_nValue; }
void Variant::SetInt64(std::int64_t a_nValue) { MakeVoid(); m_nType = TYPE_INT64; m_u.i = a_nValue; }
void Variant::SetBool(bool a_bValue) { MakeVoid(); m_nType = TYPE_BOOL; m_u.b = a_bValue; }
void Variant::SetFloat(float a_fValue) { MakeVoid(); m_nType = TYPE_FLOAT; m_u.f = a_fValue; }
void Variant::SetDouble(double a_fValue) { MakeVoid(); m_nType = TYPE_DOUBLE; m_u.d = a_fValue; }

void Variant::SetString(std::string a_sText) {
  MakeVoid();
  m_nType = TYPE_STRING;
  // The text ends at its first zero, as a zero-terminated string does.
  m_sText = std::move(a_sText);
  m_sText.resize(std::strlen(m_sText.c_str()));
}

void Variant::SetIRect(const IRect_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_IRECT;
  m_u.ir[0] = a_rValue.left, m_u.ir[1] = a_rValue.top, m_u.ir[2] = a_rValue.right, m_u.ir[3] = a_rValue.bottom;
}
void Variant::SetIPoint(const IPoint_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_IPOINT;
  m_u.ir[0] = a_rValue.x, m_u.ir[1] = a_rValue.y;
}
void Variant::SetRect(const Rect_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_RECT;
  m_u.fr[0] = a_rValue.left, m_u.fr[1] = a_rValue.top, m_u.fr[2] = a_rValue.right, m_u.fr[3] = a_rValue.bottom;
}
void Variant::SetPoint(const Point_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_POINT;
  m_u.fr[0] = a_rValue.x, m_u.fr[1] = a_rValue.y;
}
void Variant::SetIdentity(const Identity_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_IDENTITY;
  m_u.id[0] = a_rValue.first, m_u.id[1] = a_rValue.second;
}
void Variant::SetVector3(const Vector3_t& a_rValue) {
  MakeVoid();
  m_nType = TYPE_VECTOR3;
  m_u.fr[0] = a_rValue.x, m_u.fr[1] = a_rValue.y, m_u.fr[2] = a_rValue.z;
}

bool Variant::SetArchive(const Message& a_rMessage) {
  std::vector<std::uint8_t> flat(a_rMessage.FlattenedSize());
  if (a_rMessage.Flatten(flat.data(), flat.size()) != 0) return false;
  MakeVoid();
  m_nType = TYPE_ARCHIVE;
  m_aBlock = std::move(flat);
  return true;
}

void Variant::SetBytes(const void* a_pData, std::size_t a_nSize) {
  MakeVoid();
  m_nType = TYPE_BYTES;
  const auto* bytes = static_cast<const std::uint8_t*>(a_pData);
  if (bytes && a_nSize) m_aBlock.assign(bytes, bytes + a_nSize);
}

// ---- conversions ----

std::uint32_t Variant::AsPointer() const { return m_nType == TYPE_POINTER ? m_u.p : 0; }

std::int32_t Variant::AsInt32() const {
  if (IsIntegerType(m_nType)) return LowBits32(m_u.i);
  switch (m_nType) {
    case TYPE_BOOL: return m_u.b ? 1 : 0;
    case TYPE_FLOAT: return TruncateToInt32(m_u.f);
    case TYPE_DOUBLE: return TruncateToInt32(m_u.d);
    case TYPE_STRING: {
      std::int64_t value = 0;
      return ScanInteger(m_sText, &value) ? LowBits32(value) : 0;
    }
    default: return 0;
  }
}

std::int64_t Variant::AsInt64() const {
  if (IsIntegerType(m_nType)) return m_u.i;
  switch (m_nType) {
    case TYPE_BOOL: return m_u.b ? 1 : 0;
    case TYPE_FLOAT: return TruncateToInt64(m_u.f);
    case TYPE_DOUBLE: return TruncateToInt64(m_u.d);
    case TYPE_STRING: {
      std::int64_t value = 0;
      return ScanInteger(m_sText, &value) ? value : 0;
    }
    default: return 0;
  }
}

double Variant::AsDouble() const {
  if (IsIntegerType(m_nType)) return static_cast<double>(m_u.i);
  switch (m_nType) {
    case TYPE_BOOL: return m_u.b ? 1.0 : 0.0;
    case TYPE_FLOAT: return m_u.f;
    case TYPE_DOUBLE: return m_u.d;
    case TYPE_STRING: {
      double value = 0;
      return ScanDouble(m_sText, &value) ? value : 0.0;
    }
    default: return 0.0;
  }
}

bool Variant::AsBool() const {
  if (IsIntegerType(m_nType)) return m_u.i != 0;
  switch (m_nType) {
    case TYPE_BOOL: return m_u.b;
    case TYPE_FLOAT: return m_u.f != 0.0f;
    case TYPE_DOUBLE: return m_u.d != 0.0;
    case TYPE_STRING: {
      if (strcasecmp(m_sText.c_str(), "false") == 0) return false;
      if (strcasecmp(m_sText.c_str(), "true") == 0) return true;
      std::int64_t value = 0;
      return ScanInteger(m_sText, &value) && LowBits32(value) != 0;
    }
    default: return false;
  }
}

std::string Variant::AsString() const { return VariantToString(*this); }

double Variant::Number(int a_nIndex) const {
  switch (m_nType) {
    case TYPE_IRECT:
    case TYPE_IPOINT: return m_u.ir[a_nIndex];
    case TYPE_RECT:
    case TYPE_POINT:
    case TYPE_VECTOR3: return m_u.fr[a_nIndex];
    default: return 0;
  }
}

Rect_t Variant::AsRect() const {
  switch (m_nType) {
    case TYPE_IRECT:
    case TYPE_RECT:
      return {static_cast<float>(Number(0)), static_cast<float>(Number(1)), static_cast<float>(Number(2)),
              static_cast<float>(Number(3))};
    case TYPE_IPOINT:
    case TYPE_POINT: {
      auto x = static_cast<float>(Number(0)), y = static_cast<float>(Number(1));
      return {x, y, x, y};
    }
    default: return {0.0f, 0.0f, -1.0f, -1.0f};
  }
}

IRect_t Variant::AsIRect() const {
  switch (m_nType) {
    case TYPE_IRECT: return {m_u.ir[0], m_u.ir[1], m_u.ir[2], m_u.ir[3]};
    case TYPE_RECT:
      return {TruncateToInt32(Number(0)), TruncateToInt32(Number(1)), TruncateToInt32(Number(2)),
              TruncateToInt32(Number(3))};
    case TYPE_IPOINT:
    case TYPE_POINT: {
      std::int32_t x = TruncateToInt32(Number(0)), y = TruncateToInt32(Number(1));
      return {x, y, x, y};
    }
    default: return {0, 0, -1, -1};
  }
}

Point_t Variant::AsPoint() const {
  switch (m_nType) {
    case TYPE_IRECT:
    case TYPE_IPOINT:
    case TYPE_RECT:
    case TYPE_POINT: return {static_cast<float>(Number(0)), static_cast<float>(Number(1))};
    default: return {0.0f, 0.0f};
  }
}

IPoint_t Variant::AsIPoint() const {
  switch (m_nType) {
    case TYPE_IRECT:
    case TYPE_IPOINT: return {m_u.ir[0], m_u.ir[1]};
    case TYPE_RECT:
    case TYPE_POINT: return {TruncateToInt32(Number(0)), TruncateToInt32(Number(1))};
    default: return {0, 0};
  }
}

Identity_t Variant::AsIdentity() const {
  if (m_nType == TYPE_IDENTITY) return {m_u.id[0], m_u.id[1]};
  return {0, 0};
}

Vector3_t Variant::AsVector3() const {
  if (m_nType == TYPE_VECTOR3) return {m_u.fr[0], m_u.fr[1], m_u.fr[2]};
  return {0.0f, 0.0f, 0.0f};
}

bool Variant::AsMessage(Message& a_rMessage) const {
  a_rMessage.MakeEmpty();
  if (m_nType != TYPE_ARCHIVE) return false;
  return a_rMessage.Unflatten(m_aBlock.data(), m_aBlock.size()) == 0;
}

// ---- ordering ----

int Variant::Compare(const Variant& a_rOther, bool* a_pbOrdered) const {
  bool less = false, greater = false;
  *a_pbOrdered = true;
  switch (m_nType) {
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32: Order(AsInt32(), a_rOther.AsInt32(), &less, &greater); break;
    case TYPE_INT64: Order(AsInt64(), a_rOther.AsInt64(), &less, &greater); break;
    case TYPE_BOOL: Order(AsBool(), a_rOther.AsBool(), &less, &greater); break;
    case TYPE_FLOAT: Order(AsFloat(), a_rOther.AsFloat(), &less, &greater); break;
    case TYPE_DOUBLE: Order(AsDouble(), a_rOther.AsDouble(), &less, &greater); break;
    case TYPE_STRING: {
      // std::string compares its characters as unsigned bytes.
      const std::string other = a_rOther.m_nType == TYPE_STRING ? a_rOther.m_sText : a_rOther.AsString();
      const std::string self = a_rOther.m_nType == TYPE_STRING ? m_sText : AsString();
      int c = self.compare(other);
      less = c < 0;
      greater = c > 0;
      break;
    }
    default: *a_pbOrdered = false; break;
  }
  return less ? -1 : greater ? 1 : 0;
}

bool Variant::IsLessThan(const Variant& a_rOther) const {
  bool ordered = false;
  return Compare(a_rOther, &ordered) < 0 && ordered;
}

bool Variant::IsGreaterThan(const Variant& a_rOther) const {
  bool ordered = false;
  return Compare(a_rOther, &ordered) > 0 && ordered;
}

bool operator==(const Variant& a, const Variant& b) {
  if (a.m_nType != b.m_nType) return false;
  switch (a.m_nType) {
    case TYPE_ANY: return true;
    case TYPE_STRING: return a.m_sText == b.m_sText;
    case TYPE_ARCHIVE:
    case TYPE_BYTES: return a.m_aBlock == b.m_aBlock;
    case TYPE_FLOAT: return a.m_u.f == b.m_u.f;
    case TYPE_DOUBLE: return a.m_u.d == b.m_u.d;
    case TYPE_BOOL: return a.m_u.b == b.m_u.b;
    case TYPE_POINTER: return a.m_u.p == b.m_u.p;
    default:
      if (IsIntegerType(a.m_nType)) return a.m_u.i == b.m_u.i;
      for (int i = 0; i < 4; ++i) {
        if (a.Number(i) != b.Number(i)) return false;
      }
      return a.m_nType != TYPE_IDENTITY || (a.m_u.id[0] == b.m_u.id[0] && a.m_u.id[1] == b.m_u.id[1]);
  }
}

// ---- flat form ----

std::uint32_t Variant::FlattenedSize() const {
  std::size_t content = FixedContentSize(m_nType);
  if (content == SIZE_MAX) content = m_nType == TYPE_STRING ? m_sText.size() + 1 : m_aBlock.size();
  return static_cast<std::uint32_t>(4 + content);
}

int Variant::Flatten(void* a_pBuffer, std::size_t a_nCapacity) const {
  std::uint32_t size = FlattenedSize();
  if (!a_pBuffer || a_nCapacity < size) return -1;
  auto* out = static_cast<std::uint8_t*>(a_pBuffer);
  std::memcpy(out, &m_nType, 4);
  out += 4;
  switch (m_nType) {
    case TYPE_ANY: break;
    case TYPE_POINTER: std::memcpy(out, &m_u.p, 4); break;
    case TYPE_INT8: { auto v = static_cast<std::int8_t>(m_u.i); std::memcpy(out, &v, 1); break; }
    case TYPE_INT16: { auto v = static_cast<std::int16_t>(m_u.i); std::memcpy(out, &v, 2); break; }
    case TYPE_INT32: { auto v = static_cast<std::int32_t>(m_u.i); std::memcpy(out, &v, 4); break; }
    case TYPE_INT64: std::memcpy(out, &m_u.i, 8); break;
    case TYPE_BOOL: *out = m_u.b ? 1 : 0; break;
    case TYPE_FLOAT: std::memcpy(out, &m_u.f, 4); break;
    case TYPE_DOUBLE: std::memcpy(out, &m_u.d, 8); break;
    case TYPE_STRING: std::memcpy(out, m_sText.c_str(), m_sText.size() + 1); break;
    case TYPE_IRECT:
    case TYPE_IPOINT:
    case TYPE_RECT:
    case TYPE_POINT:
    case TYPE_IDENTITY:
    case TYPE_VECTOR3: std::memcpy(out, &m_u, size - 4); break;
    default:
      if (!m_aBlock.empty()) std::memcpy(out, m_aBlock.data(), m_aBlock.size());
      break;
  }
  return 0;
}

bool Variant::Unflatten(const void* a_pBuffer, std::size_t a_nLength) {
  if (!a_pBuffer || a_nLength < 4) return false;
  const auto* in = static_cast<const std::uint8_t*>(a_pBuffer);
  std::int32_t type;
  std::memcpy(&type, in, 4);
  const std::uint8_t* content = in + 4;
  std::size_t length = a_nLength - 4;
  std::size_t fixed = FixedContentSize(type);
  Variant value;
  if (fixed != SIZE_MAX) {
    if (length != fixed) return false;
    value.m_nType = type;
    switch (type) {
      case TYPE_INT8: { std::int8_t v; std::memcpy(&v, content, 1); value.m_u.i = v; break; }
      case TYPE_INT16: { std::int16_t v; std::memcpy(&v, content, 2); value.m_u.i = v; break; }
      case TYPE_INT32: { std::int32_t v; std::memcpy(&v, content, 4); value.m_u.i = v; break; }
      case TYPE_BOOL: value.m_u.b = *content != 0; break;
      default: if (fixed) std::memcpy(&value.m_u, content, fixed); break;
    }
  } else if (type == TYPE_STRING) {
    if (length == 0 || content[length - 1] != 0) return false;
    value.SetString(std::string(reinterpret_cast<const char*>(content), length - 1));
  } else if (type == TYPE_ARCHIVE || type == TYPE_BYTES) {
    value.m_nType = type;
    value.m_aBlock.assign(content, content + length);
  } else {
    return false;
  }
  *this = std::move(value);
  return true;
}

// ---- text forms ----

bool ParseVariant(Variant& a_rVariant, const char* a_pzText) {
  if (!a_pzText) return false;
  const std::string text(a_pzText);

  if (strcasecmp(a_pzText, "false") == 0) {
    a_rVariant.SetBool(false);
    return true;
  }
  if (strcasecmp(a_pzText, "true") == 0) {
    a_rVariant.SetBool(true);
    return true;
  }

  // A decimal number: an optional "-", digits and at most one ".".
  {
    std::size_t pos = text.empty() || text[0] != '-' ? 0 : 1;
    std::size_t digits = 0, dots = 0;
    bool numeric = pos < text.size();
    for (std::size_t i = pos; i < text.size() && numeric; ++i) {
      if (std::isdigit(static_cast<unsigned char>(text[i]))) {
        ++digits;
      } else if (text[i] == '.') {
        ++dots;
      } else {
        numeric = false;
      }
    }
    if (numeric && dots <= 1) {
      if (digits == 0) return false;  // "-", ".", "-." hold no number
      if (dots == 1) {
        a_rVariant.SetFloat(std::strtof(a_pzText, nullptr));
        return true;
      }
      errno = 0;
      long long value = std::strtoll(a_pzText, nullptr, 10);
      if (errno == ERANGE) return false;  // beyond 64 bits: no value to hold
      if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
        a_rVariant.SetInt32(static_cast<std::int32_t>(value));
      } else {
        a_rVariant.SetInt64(value);
      }
      return true;
    }
  }

  if (!text.empty() && text[0] == '"') {
    a_rVariant.SetString(text.size() <= 2 ? std::string() : text.substr(1, text.size() - 2));
    return true;
  }

  float f[4];
  int n[4];
  unsigned u[2];
  void* p = nullptr;
  if (std::sscanf(a_pzText, "Rect(%f,%f,%f,%f)", &f[0], &f[1], &f[2], &f[3]) == 4) {
    a_rVariant.SetRect({f[0], f[1], f[2], f[3]});
    return true;
  }
  if (std::sscanf(a_pzText, "Point(%f,%f)", &f[0], &f[1]) == 2) {
    a_rVariant.SetPoint({f[0], f[1]});
    return true;
  }
  if (std::sscanf(a_pzText, "Identity(%u,%u)", &u[0], &u[1]) == 2) {
    a_rVariant.SetIdentity({u[0], u[1]});
    return true;
  }
  if (std::sscanf(a_pzText, "Vector3(%f,%f,%f)", &f[0], &f[1], &f[2]) == 3) {
    a_rVariant.SetVector3({f[0], f[1], f[2]});
    return true;
  }
  if (std::sscanf(a_pzText, "IRect(%d,%d,%d,%d)", &n[0], &n[1], &n[2], &n[3]) == 4) {
    a_rVariant.SetIRect({n[0], n[1], n[2], n[3]});
    return true;
  }
  if (std::sscanf(a_pzText, "IPoint(%d,%d)", &n[0], &n[1]) == 2) {
    a_rVariant.SetIPoint({n[0], n[1]});
    return true;
  }
  if (std::sscanf(a_pzText, "Ptr(%p)", &p) == 1) {
    a_rVariant.SetPointer(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)));
    return true;
  }

  if (strcasecmp(a_pzText, "void") == 0) {
    a_rVariant.MakeVoid();
    return true;
  }
  return false;
}

std::string VariantToString(const Variant& a_rVariant) {
  switch (a_rVariant.Type()) {
    case TYPE_ANY: return "void";
    case TYPE_POINTER: return FormatString("%08X", a_rVariant.AsPointer());
    case TYPE_INT8:
    case TYPE_INT16:
    case TYPE_INT32: return FormatString("%d", a_rVariant.AsInt32());
    case TYPE_INT64: return FormatString("%lld", static_cast<long long>(a_rVariant.AsInt64()));
    case TYPE_BOOL: return a_rVariant.AsBool() ? "true" : "false";
    case TYPE_FLOAT:
    case TYPE_DOUBLE: return FormatString("%f", a_rVariant.AsDouble());
    case TYPE_STRING: return a_rVariant.Text();
    case TYPE_ARCHIVE: return "[Archive]";
    default: return std::string();
  }
}
