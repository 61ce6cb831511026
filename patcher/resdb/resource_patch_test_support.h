// Test support for resource patches: resource patch files written byte by
// byte (so tests can also write damaged ones), item template packages, a
// database seeded from and read into a key -> blob map, and the message boxes
// the user saw.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patcher/resdb/block_database.h"
#include "patcher/resdb/item_template_patcher.h"
#include "patcher/resdb/resource_patch_format.h"
#include "platform/ui/answers.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"

namespace qx::test {

using Contents = std::map<ResourceKey, std::string>;

// A resource patch file as bytes; every method appends.
class ResBytes {
 public:
  ResBytes& Word(std::uint32_t a_nValue) {
    for (int shift = 24; shift >= 0; shift -= 8) m_bytes += static_cast<char>((a_nValue >> shift) & 0xff);
    return *this;
  }
  ResBytes& Raw(const std::string& a_sBytes) {
    m_bytes += a_sBytes;
    return *this;
  }
  // Version, T, D.
  ResBytes& Header(std::uint32_t a_nVersion, std::uint32_t a_nTotal, std::uint32_t a_nDeletes) {
    return Word(a_nVersion).Word(a_nTotal).Word(a_nDeletes);
  }
  ResBytes& Delete(std::uint32_t a_nType, std::uint32_t a_nInstance) { return Word(a_nType).Word(a_nInstance); }
  // A store entry whose payload is `a_sBytes` as they stand (template package,
  // binary patch).
  ResBytes& StoreRaw(std::uint32_t a_nType, std::uint32_t a_nInstance, const std::string& a_sBytes) {
    return Word(a_nType).Word(a_nInstance).Word(static_cast<std::uint32_t>(a_sBytes.size())).Raw(a_sBytes);
  }
  // A compressed store entry of `a_sBlob` (an empty entry for an empty blob).
  ResBytes& StoreBlob(std::uint32_t a_nType, std::uint32_t a_nInstance, const std::string& a_sBlob) {
    Word(a_nType).Word(a_nInstance).Word(static_cast<std::uint32_t>(a_sBlob.size()));
    if (a_sBlob.empty()) return *this;
    const std::string z = Deflate(a_sBlob);
    return Word(static_cast<std::uint32_t>(z.size())).Raw(z);
  }
  const std::string& str() const { return m_bytes; }

  static std::string Deflate(const std::string& a_sData) {
    uLongf length = compressBound(static_cast<uLong>(a_sData.size()));
    std::string out(length, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &length, reinterpret_cast<const Bytef*>(a_sData.data()),
              static_cast<uLong>(a_sData.size()), Z_BEST_COMPRESSION);
    out.resize(length);
    return out;
  }

 private:
  std::string m_bytes;
};

inline std::string Little32(std::uint32_t a_nValue) {
  std::string out(4, '\0');
  ResourcePatchFormat::StoreLittle32(reinterpret_cast<std::uint8_t*>(out.data()), a_nValue);
  return out;
}

// Template data entry: header word, Instance, template bytes.
inline std::string TemplateEntry(std::uint16_t a_nHeader, std::uint32_t a_nInstance, const std::string& a_sBytes) {
  std::string out;
  out += static_cast<char>(a_nHeader & 0xff);
  out += static_cast<char>(a_nHeader >> 8);
  return out + Little32(a_nInstance) + a_sBytes;
}

// A package: U, then the zlib data of `a_sTemplateData`.
inline std::string TemplatePackage(const std::string& a_sTemplateData) {
  return Little32(static_cast<std::uint32_t>(a_sTemplateData.size())) + ResBytes::Deflate(a_sTemplateData);
}

// The blob a template record holds.
inline std::string TemplateRecord(std::uint32_t a_nType, std::uint32_t a_nInstance, const std::string& a_sBytes) {
  return Little32(a_nType) + Little32(a_nInstance) + Little32(ResourcePatchFormat::kTemplateRecordMarker) + a_sBytes;
}

inline void Seed(BlockDatabase_t& a_rDatabase, const Contents& a_contents) {
  for (const auto& [key, blob] : a_contents)
    a_rDatabase.Put(key.Type, key.Instance, static_cast<std::uint32_t>(blob.size()), blob.data());
}

inline Contents ReadAll(BlockDatabase_t& a_rDatabase) {
  Contents out;
  BlockDatabaseCursor cursor(a_rDatabase);
  std::uint32_t type, instance, size;
  const std::uint8_t* data;
  while (cursor.Next(&type, &instance, &size, &data) == 0)
    out[{type, instance}] = std::string(reinterpret_cast<const char*>(data), size);
  return out;
}

// Opens (creating when missing) the pair at `a_sPath` and seeds it.
inline void SeedDatabase(const std::string& a_sPath, const Contents& a_contents) {
  BlockDatabase_t database;
  if (database.Open(a_sPath.c_str(), false) == 0) Seed(database, a_contents);
}

// The records of the pair at `a_sPath` (empty when it cannot be opened).
inline Contents ReadDatabase(const std::string& a_sPath) {
  BlockDatabase_t database;
  if (database.Open(a_sPath.c_str(), true) != 0) return {};
  return ReadAll(database);
}

// No renderer, no answers, an empty transcript and no template failure
// reported yet: message boxes get their unattended answers and are recorded.
inline void ResetUserInterface() {
  ui::SetRenderer(nullptr);
  ui::CAnswerList::Instance().Clear();
  ui::CTranscript::Instance().Clear();
  ItemTemplatePatcher::ForgetReportedFailure();
}

inline std::vector<std::string> BoxTexts() {
  std::vector<std::string> texts;
  for (const auto& box : ui::CTranscript::Instance().Entries(ui::TranscriptKind::kMessageBox)) texts.push_back(box.text);
  return texts;
}

inline constexpr const char* kCorruptTemplatesText =
    "Template-data is corrupt, unable to patch.\nPlease download the patch again, sorry about that...";
inline constexpr const char* kTemplateWriteFailureText = "Failure writing item-templates. You should reinstall QX.";

}  // namespace qx::test
