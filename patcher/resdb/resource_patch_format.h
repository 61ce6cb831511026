// Layout of a resource patch (".RES") and of the item template package it may
// carry, shared by PatchDatabase (the reader) and the authoring tools (the
// writer).
//
// Resource patch: every integer a 32-bit unsigned big-endian word.
//   format version         988534, 988535 or 988536
//   element total T        D + P
//   delete count D
//   D delete entries       Type, Instance
//   store count P
//   P store entries        Type, Instance, size S, payload
//
// The payload of a store entry is told by the first case that applies
// (ClassifyStoreEntry):
//   template package   key (1000020, 0)                   S bytes: the package below;
//                                                          the key itself is never stored
//   binary patch       version 988535/988536 and Type     S bytes of a binary patch file
//                      1000001, 1000009, 1000010, 1000026  whose entry "tmp.dat" turns the
//                                                          key's current blob into the new one
//   compressed         S > 0                               Z (32-bit word), then Z bytes of
//                                                          zlib data inflating to exactly S bytes
//   empty              S = 0                               nothing; an empty blob
// Version 988534 has no binary-patch entries: entries of those four types are
// compressed (or empty) entries there.
//
// Item template package (S bytes; little-endian words):
//   0   uncompressed size U (32-bit)
//   4   S - 4 bytes of zlib data that inflate to the template data
// Template data: entries back to back, no header, no padding:
//   0   header word h (16-bit): bit 15 set for Type 1040005, clear for 1000020;
//       bits 0..14 the length L
//   2   Instance (32-bit)
//   6   L template bytes
// Each entry becomes the record (Type, Instance) whose blob (L + 12 bytes) is
//   0   Type (32-bit)   4   Instance (32-bit)   8   1000000 (32-bit)   12  L template bytes
//
// Header-only; no state.
#pragma once

#include <cstdint>

namespace ResourcePatchFormat {

// Format versions.
inline constexpr std::uint32_t kVersionCompressedOnly = 988534;  // 0x000F1576
inline constexpr std::uint32_t kVersionBinaryPatches = 988535;   // 0x000F1577
inline constexpr std::uint32_t kVersionCurrent = 988536;         // 0x000F1578

inline bool IsKnownVersion(std::uint32_t a_nVersion) {
  return a_nVersion == kVersionCompressedOnly || a_nVersion == kVersionBinaryPatches ||
         a_nVersion == kVersionCurrent;
}

// The types whose store entries are binary patches (in versions that have them).
inline constexpr std::uint32_t kBinaryPatchTypes[] = {1000001, 1000009, 1000010, 1000026};

inline bool IsBinaryPatchType(std::uint32_t a_nType) {
  for (std::uint32_t type : kBinaryPatchTypes) {
    if (type == a_nType) return true;
  }
  return false;
}

inline bool HasBinaryPatches(std::uint32_t a_nVersion) {
  return a_nVersion == kVersionBinaryPatches || a_nVersion == kVersionCurrent;
}

// Sizes of the fixed parts, in bytes.
inline constexpr std::uint32_t kFileHeaderSize = 12;       // version, T, D
inline constexpr std::uint32_t kDeleteEntrySize = 8;       // Type, Instance
inline constexpr std::uint32_t kStoreEntryHeaderSize = 12; // Type, Instance, S
inline constexpr std::uint32_t kCompressedSizeWordSize = 4;

// The store entry that carries the item template package.
inline constexpr std::uint32_t kTemplatePackageType = 1000020;
inline constexpr std::uint32_t kTemplatePackageInstance = 0;

enum class StoreEntry_e { kTemplatePackage, kBinaryPatch, kCompressed, kEmpty };

inline StoreEntry_e ClassifyStoreEntry(std::uint32_t a_nVersion, std::uint32_t a_nType, std::uint32_t a_nInstance,
                                       std::uint32_t a_nSize) {
  if (a_nType == kTemplatePackageType && a_nInstance == kTemplatePackageInstance) return StoreEntry_e::kTemplatePackage;
  if (HasBinaryPatches(a_nVersion) && IsBinaryPatchType(a_nType)) return StoreEntry_e::kBinaryPatch;
  return a_nSize > 0 ? StoreEntry_e::kCompressed : StoreEntry_e::kEmpty;
}

// Files of a binary-patch entry, in the working folder: the blob before and
// after patching, and the patch itself (the command line given to RTPatch).
inline constexpr const char* kBlobFile = "tmp.dat";
inline constexpr const char* kBlobPatchFile = "patch.rtp";

// Item templates.
inline constexpr std::uint32_t kTemplateType = 1000020;          // header bit 15 clear
inline constexpr std::uint32_t kExtendedTemplateType = 1040005;  // header bit 15 set
inline constexpr std::uint16_t kTemplateTypeBit = 0x8000;
inline constexpr std::uint32_t kMaxTemplateLength = 0x7FFF;
inline constexpr std::uint32_t kPackageHeaderSize = 4;         // U
inline constexpr std::uint32_t kTemplateEntryHeaderSize = 6;   // h, Instance
inline constexpr std::uint32_t kTemplateRecordHeaderSize = 12; // Type, Instance, marker
inline constexpr std::uint32_t kTemplateRecordMarker = 1000000;
inline constexpr std::uint32_t kMaxTemplateRecordSize = kTemplateRecordHeaderSize + kMaxTemplateLength;

inline bool IsTemplateType(std::uint32_t a_nType) {
  return a_nType == kTemplateType || a_nType == kExtendedTemplateType;
}

inline std::uint32_t TemplateTypeOf(std::uint16_t a_nHeader) {
  return (a_nHeader & kTemplateTypeBit) ? kExtendedTemplateType : kTemplateType;
}

inline std::uint32_t TemplateLengthOf(std::uint16_t a_nHeader) { return a_nHeader & kMaxTemplateLength; }

// The header word of an entry; `a_nLength` must not exceed kMaxTemplateLength.
inline std::uint16_t TemplateHeaderWord(std::uint32_t a_nType, std::uint32_t a_nLength) {
  return static_cast<std::uint16_t>((a_nType == kExtendedTemplateType ? kTemplateTypeBit : 0) |
                                    (a_nLength & kMaxTemplateLength));
}

inline std::uint32_t LoadLittle32(const std::uint8_t* a_p) {
  return static_cast<std::uint32_t>(a_p[0]) | static_cast<std::uint32_t>(a_p[1]) << 8 |
         static_cast<std::uint32_t>(a_p[2]) << 16 | static_cast<std::uint32_t>(a_p[3]) << 24;
}

inline void StoreLittle32(std::uint8_t* a_p, std::uint32_t a_nValue) {
  a_p[0] = static_cast<std::uint8_t>(a_nValue);
  a_p[1] = static_cast<std::uint8_t>(a_nValue >> 8);
  a_p[2] = static_cast<std::uint8_t>(a_nValue >> 16);
  a_p[3] = static_cast<std::uint8_t>(a_nValue >> 24);
}

// The 12-byte header of a template record's blob.
inline void WriteTemplateRecordHeader(std::uint8_t* a_pOut, std::uint32_t a_nType, std::uint32_t a_nInstance) {
  StoreLittle32(a_pOut, a_nType);
  StoreLittle32(a_pOut + 4, a_nInstance);
  StoreLittle32(a_pOut + 8, kTemplateRecordMarker);
}

// True when the blob of record (Type, Instance) is what a package entry would
// have stored: a header naming the same key and the marker, and at most
// kMaxTemplateLength template bytes after it. Only such records can travel in
// a package.
inline bool IsTemplateRecord(std::uint32_t a_nType, std::uint32_t a_nInstance, const std::uint8_t* a_pBlob,
                             std::uint32_t a_nSize) {
  return IsTemplateType(a_nType) && a_nSize >= kTemplateRecordHeaderSize && a_nSize <= kMaxTemplateRecordSize &&
         LoadLittle32(a_pBlob) == a_nType && LoadLittle32(a_pBlob + 4) == a_nInstance &&
         LoadLittle32(a_pBlob + 8) == kTemplateRecordMarker;
}

}  // namespace ResourcePatchFormat
