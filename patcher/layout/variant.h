// Variant: a tagged value of one of the message type codes (TypeCode_e), as a
// preference holds it, with its text forms and conversions.
//
// Types: void (TYPE_ANY, no value), Pointer (a 32-bit address value), Int8,
// Int16, Int32, Int64, Bool, Float, Double, String (owned text), IRect, IPoint,
// Archive (an owned flattened Message), Rect, Point, a byte block (TYPE_BYTES,
// compared byte by byte, no text form), Identity and Vector3. A variant owns the
// memory of its content; copying copies it, assigning releases the old content.
//
// Text forms (ParseVariant reads them, first match wins):
//   true / false (any case)                Bool
//   -?digits with at most one "."          Float with a ".", else Int32 when it
//                                          fits, else Int64 (beyond 64 bits: not
//                                          recognised)
//   "text"                                 String (first and last character dropped)
//   Rect(f,f,f,f) Point(f,f) Identity(u,u) Vector3(f,f,f) IRect(d,d,d,d)
//   IPoint(d,d) Ptr(p)                     the types named (letter case exact)
//   void (any case)                        void
// VariantToString writes: void "void", Pointer as 8 upper-case hex digits,
// integers in decimal, Bool "true"/"false", Float and Double "%f", a String its
// text, Archive "[Archive]", anything else the empty text.
//
// The As* conversions never fail: a value that has no conversion to the asked
// type gives that type's default (0, false, 0,0,-1,-1 for rectangles). A float
// converted to an integer is truncated toward zero and held within the range of
// a 64-bit integer (NaN gives 0) before its low bits are taken.
//
// Flat form (for message fields of type 18; in memory only): the type code as a
// 32-bit host-order word, then the content: numbers and geometric values in
// their message item layout, a String's text with its terminating zero, an
// Archive's flattened message, a byte block's bytes; void has no content.
//
// A variant is a plain value; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "patcher/resdb/message.h"

class Variant {
 public:
  Variant() = default;  // void

  std::int32_t Type() const { return m_nType; }
  bool IsVoid() const { return m_nType == TYPE_ANY; }

  void MakeVoid();
  void SetPointer(std::uint32_t a_nValue);
  void SetInt8(std::int8_t a_nValue);
  void SetInt16(std::int16_t a_nValue);
  void SetInt32(std::int32_t a_nValue);
  void SetInt64(std::int64_t a_nValue);
  void SetBool(bool a_bValue);
  void SetFloat(float a_fValue);
  void SetDouble(double a_fValue);
  void SetString(std::string a_sText);
  void SetIRect(const IRect_t& a_rValue);
  void SetIPoint(const IPoint_t& a_rValue);
  void SetRect(const Rect_t& a_rValue);
  void SetPoint(const Point_t& a_rValue);
  void SetIdentity(const Identity_t& a_rValue);
  void SetVector3(const Vector3_t& a_rValue);
  // The message flattened. False (and the variant unchanged) when it cannot be.
  bool SetArchive(const Message& a_rMessage);
  void SetBytes(const void* a_pData, std::size_t a_nSize);

  std::uint32_t AsPointer() const;
  std::int8_t AsInt8() const { return static_cast<std::int8_t>(AsInt32()); }
  std::int16_t AsInt16() const { return static_cast<std::int16_t>(AsInt32()); }
  std::int32_t AsInt32() const;
  std::int64_t AsInt64() const;
  bool AsBool() const;
  float AsFloat() const { return static_cast<float>(AsDouble()); }
  double AsDouble() const;
  std::string AsString() const;  // the text form
  IRect_t AsIRect() const;
  IPoint_t AsIPoint() const;
  Rect_t AsRect() const;
  Point_t AsPoint() const;
  Identity_t AsIdentity() const;
  Vector3_t AsVector3() const;
  // Unflattens an Archive value into a_rMessage; any other value (or a block
  // that does not unflatten) leaves it empty. True for a valid Archive.
  bool AsMessage(Message& a_rMessage) const;
  // The text of a String value (empty otherwise).
  const std::string& Text() const { return m_sText; }
  // The owned block of an Archive or byte-block value (empty otherwise).
  const std::vector<std::uint8_t>& Block() const { return m_aBlock; }

  // The ordering preferences are clamped by, decided by this value's type:
  // Int8/16/32 as Int32, Int64, Bool (false < true), Float, Double, each after
  // converting the other value to that type; a String against a String byte by
  // byte (unsigned), against anything else by text form. Other types are never
  // less or greater.
  bool IsLessThan(const Variant& a_rOther) const;
  bool IsGreaterThan(const Variant& a_rOther) const;

  std::uint32_t FlattenedSize() const;
  int Flatten(void* a_pBuffer, std::size_t a_nCapacity) const;  // 0, or -1 when it does not fit
  // Replaces the value with the flat form in a_nLength bytes; false (and the
  // variant unchanged) when it is not a valid flat variant.
  bool Unflatten(const void* a_pBuffer, std::size_t a_nLength);

  friend bool operator==(const Variant& a, const Variant& b);

 private:
  int Compare(const Variant& a_rOther, bool* a_pbOrdered) const;
  double Number(int a_nIndex) const;  // component a_nIndex of a geometric value

  std::int32_t m_nType = TYPE_ANY;
  union {
    std::int64_t i;
    double d;
    float f;
    bool b;
    std::uint32_t p;
    std::int32_t ir[4];
    float fr[4];
    std::uint32_t id[2];
  } m_u{};
  std::string m_sText;               // String
  std::vector<std::uint8_t> m_aBlock;  // Archive, byte block
};

bool ParseVariant(Variant& a_rVariant, const char* a_pzText);
std::string VariantToString(const Variant& a_rVariant);
