#include "patcher/layout/pref_archive.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>
#include <tinyxml.h>

#include "patcher/layout/install_paths.h"
#include "platform/fs/file.h"

namespace {

struct PrefTables_t {
  ACE_Thread_Mutex lock;
  std::map<std::string, Preference_t> registered;
  std::map<std::string, Preference_t> kept;
};

PrefTables_t& Tables() {
  static PrefTables_t* tables = new PrefTables_t;  // lives until the process ends
  return *tables;
}

using Guard = ACE_Guard<ACE_Thread_Mutex>;

bool NameIs(const char* a_pzName, const char* a_pzExpected) {
  return a_pzName && strcasecmp(a_pzName, a_pzExpected) == 0;
}

// The parser descends one level per nested element; a document nested deeper
// than any archive needs is refused before it is parsed. The count is an upper
// bound: tags inside comments or text count too.
constexpr int kMaxDocumentDepth = 4 * kMaxArchiveDepth;

bool NestingWithinLimit(const std::string& a_sText) {
  int depth = 0;
  for (std::size_t i = 0; i + 1 < a_sText.size(); ++i) {
    if (a_sText[i] != '<') continue;
    char next = a_sText[i + 1];
    if (next == '/') {
      --depth;
    } else if (next != '!' && next != '?') {
      std::size_t close = a_sText.find('>', i + 1);
      bool empty = close != std::string::npos && a_sText[close - 1] == '/';
      if (!empty && ++depth > kMaxDocumentDepth) return false;
    }
  }
  return true;
}

// ---- archive fields ----

void ReadArchive(Message& a_rMessage, const TiXmlElement& a_rElement, int a_nDepth);

// Adds one field for a_rElement under a_sName, as its element name says.
void AddField(Message& a_rMessage, const std::string& a_sName, const TiXmlElement& a_rElement, int a_nDepth,
              bool a_bInArray) {
  const char* kind = a_rElement.Value();
  if (NameIs(kind, "Array")) {
    if (a_bInArray) return;
    for (const TiXmlElement* child = a_rElement.FirstChildElement(); child; child = child->NextSiblingElement()) {
      AddField(a_rMessage, a_sName, *child, a_nDepth, true);
    }
    return;
  }
  if (NameIs(kind, "Archive") || NameIs(kind, "VariantArchive")) {
    if (a_nDepth >= kMaxArchiveDepth) return;
    Message nested;
    ReadArchive(nested, a_rElement, a_nDepth + 1);
    if (NameIs(kind, "Archive")) {
      a_rMessage.AddMessage(a_sName, nested);
    } else {
      Variant value;
      if (value.SetArchive(nested)) a_rMessage.AddFlat(a_sName, value);
    }
    return;
  }

  static const struct {
    const char* name;
    std::int32_t type;
  } kTyped[] = {
      {"Pointer", TYPE_POINTER}, {"Int8", TYPE_INT8},       {"Int16", TYPE_INT16},       {"Int32", TYPE_INT32},
      {"Int64", TYPE_INT64},     {"Bool", TYPE_BOOL},       {"Float", TYPE_FLOAT},       {"Double", TYPE_DOUBLE},
      {"String", TYPE_STRING},   {"Rect", TYPE_RECT},       {"IRect", TYPE_IRECT},       {"Point", TYPE_POINT},
      {"IPoint", TYPE_IPOINT},   {"Vector3", TYPE_VECTOR3}, {"Identity", TYPE_IDENTITY}, {"Variant", TYPE_VARIANT},
  };
  std::int32_t type = TYPE_ANY;
  for (const auto& typed : kTyped) {
    if (NameIs(kind, typed.name)) type = typed.type;
  }
  if (type == TYPE_ANY) return;
  const char* text = a_rElement.Attribute("value");
  if (!text) return;
  Variant value;  // stays void when the text is not recognised
  ParseVariant(value, text);
  switch (type) {
    case TYPE_POINTER: a_rMessage.AddPointer(a_sName, value.AsPointer()); break;
    case TYPE_INT8: a_rMessage.AddInt8(a_sName, value.AsInt8()); break;
    case TYPE_INT16: a_rMessage.AddInt16(a_sName, value.AsInt16()); break;
    case TYPE_INT32: a_rMessage.AddInt32(a_sName, value.AsInt32()); break;
    case TYPE_INT64: a_rMessage.AddInt64(a_sName, value.AsInt64()); break;
    case TYPE_BOOL: a_rMessage.AddBool(a_sName, value.AsBool()); break;
    case TYPE_FLOAT: a_rMessage.AddFloat(a_sName, value.AsFloat()); break;
    case TYPE_DOUBLE: a_rMessage.AddDouble(a_sName, value.AsDouble()); break;
    case TYPE_STRING: a_rMessage.AddString(a_sName, value.AsString().c_str()); break;
    case TYPE_RECT: a_rMessage.AddRect(a_sName, value.AsRect()); break;
    case TYPE_IRECT: a_rMessage.AddIRect(a_sName, value.AsIRect()); break;
    case TYPE_POINT: a_rMessage.AddPoint(a_sName, value.AsPoint()); break;
    case TYPE_IPOINT: a_rMessage.AddIPoint(a_sName, value.AsIPoint()); break;
    case TYPE_VECTOR3: a_rMessage.AddVector3(a_sName, value.AsVector3()); break;
    case TYPE_IDENTITY: a_rMessage.AddIdentity(a_sName, value.AsIdentity()); break;
    case TYPE_VARIANT: a_rMessage.AddFlat(a_sName, value); break;
    default: break;
  }
}

std::int32_t ArchiveCode(const TiXmlElement& a_rElement) {
  const char* text = a_rElement.Attribute("code");
  if (!text) return 0;
  char* end = nullptr;
  long long code = std::strtoll(text, &end, 10);
  if (end == text) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(code));
}

void ReadArchive(Message& a_rMessage, const TiXmlElement& a_rElement, int a_nDepth) {
  a_rMessage.MakeEmpty();
  a_rMessage.SetCode(ArchiveCode(a_rElement));
  for (const TiXmlElement* child = a_rElement.FirstChildElement(); child; child = child->NextSiblingElement()) {
    const char* name = child->Attribute("name");
    if (!name) continue;
    AddField(a_rMessage, name, *child, a_nDepth, false);
  }
}

// ---- archive files ----

// Adds to a user's archive every field of the declared archive whose name it lacks.
void CompleteFromDeclared(Message& a_rUser, const std::string& a_sName) {
  Message declared;
  GetPrefValue(a_sName).AsMessage(declared);
  std::set<std::string> present;
  for (int i = 0; i < a_rUser.CountNames(); ++i) {
    std::string field;
    a_rUser.GetFieldInfo(i, &field, nullptr, nullptr);
    present.insert(field);
  }
  // From the oldest field to the newest, so that the copies keep their order.
  for (int i = declared.CountNames() - 1; i >= 0; --i) {
    std::string field;
    declared.GetFieldInfo(i, &field, nullptr, nullptr);
    if (!present.count(field)) a_rUser.AddFieldCopy(declared, i);
  }
}

bool ApplyDocument(const TiXmlDocument& a_rDocument, int a_nSource, bool a_bDefaults) {
  const TiXmlElement* root = a_rDocument.RootElement();
  if (!root) return false;
  for (const TiXmlElement* child = root->FirstChildElement(); child; child = child->NextSiblingElement()) {
    const char* name = child->Attribute("name");
    if (!name) continue;
    const char* keep = child->Attribute("keep_default");
    bool keepDefault = !keep || NameIs(keep, "true");

    Preference_t entry;
    entry.m_sName = name;
    entry.m_nSource = a_nSource;
    if (NameIs(child->Value(), "value")) {
      const char* value = child->Attribute("value");
      if (!value || !ParseVariant(entry.m_vValue, value)) continue;
      if (a_bDefaults) {
        const char* min = child->Attribute("min");
        const char* max = child->Attribute("max");
        entry.m_bHasMin = min && ParseVariant(entry.m_vMin, min);
        entry.m_bHasMax = max && ParseVariant(entry.m_vMax, max);
        RegisterPrefDefault(entry, true, keepDefault);
      } else {
        SetPrefValue(entry.m_sName, entry.m_vValue);
      }
    } else if (NameIs(child->Value(), "Archive")) {
      Message archive;
      ReadMessageFromXml(archive, *child);
      if (a_bDefaults) {
        if (!entry.m_vValue.SetArchive(archive)) continue;
        RegisterPrefDefault(entry, true, keepDefault);
      } else {
        if (!NameIs(name, "KeyBindings")) CompleteFromDeclared(archive, entry.m_sName);
        if (!entry.m_vValue.SetArchive(archive)) continue;
        SetPrefValue(entry.m_sName, entry.m_vValue);
      }
    }
  }
  return true;
}

bool ReadWholeFile(const std::string& a_sPath, std::string& a_rText) {
  try {
    CFile file;
    if (!file.Open(a_sPath.c_str(), CFile::modeRead | CFile::shareDenyWrite)) return false;
    ULONGLONG length = file.GetLength();
    if (length > 64u * 1024 * 1024) return false;  // no preference file is anywhere near this
    a_rText.resize(static_cast<std::size_t>(length));
    std::size_t got = 0;
    while (got < a_rText.size()) {
      UINT n = file.Read(a_rText.data() + got, static_cast<UINT>(a_rText.size() - got));
      if (n == 0) break;
      got += n;
    }
    a_rText.resize(got);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void ReadMessageFromXml(Message& a_rMessage, const TiXmlElement& a_rElement) {
  ReadArchive(a_rMessage, a_rElement, 0);
}

bool LoadPrefArchiveText(const std::string& a_sXml, int a_nSource, bool a_bDefaults) {
  if (!NestingWithinLimit(a_sXml)) return false;
  // Line ends as the parser expects them from a file: CR LF and lone CR become LF.
  std::string text;
  text.reserve(a_sXml.size());
  for (std::size_t i = 0; i < a_sXml.size(); ++i) {
    if (a_sXml[i] == '\r') {
      text += '\n';
      if (i + 1 < a_sXml.size() && a_sXml[i + 1] == '\n') ++i;
    } else {
      text += a_sXml[i];
    }
  }
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (document.Error()) return false;
  return ApplyDocument(document, a_nSource, a_bDefaults);
}

bool LoadPrefArchive(const std::string& a_sPath, int a_nSource, bool a_bDefaults) {
  std::string text;
  if (!ReadWholeFile(a_sPath, text)) return false;
  return LoadPrefArchiveText(text, a_nSource, a_bDefaults);
}

// ---- the table ----

bool PrefExists(const std::string& a_sName) {
  PrefTables_t& t = Tables();
  Guard guard(t.lock);
  return t.registered.count(a_sName) != 0;
}

Variant GetPrefValue(const std::string& a_sName, bool a_bKeptDefault) {
  PrefTables_t& t = Tables();
  Guard guard(t.lock);
  const auto& table = a_bKeptDefault ? t.kept : t.registered;
  auto it = table.find(a_sName);
  if (it != table.end()) return it->second.m_vValue;
  Variant none;
  none.SetBool(false);
  return none;
}

void RegisterPrefDefault(const Preference_t& a_rEntry, bool a_bOverwrite, bool a_bKeepDefault) {
  if (a_rEntry.m_nSource < 0 || a_rEntry.m_nSource > 4) return;
  PrefTables_t& t = Tables();
  Guard guard(t.lock);
  auto it = t.registered.find(a_rEntry.m_sName);
  if (it == t.registered.end()) {
    t.registered.emplace(a_rEntry.m_sName, a_rEntry);
  } else if (a_bOverwrite) {
    Preference_t& entry = it->second;
    entry.m_bHasMin = a_rEntry.m_bHasMin;
    entry.m_vMin = a_rEntry.m_vMin;
    entry.m_bHasMax = a_rEntry.m_bHasMax;
    entry.m_vMax = a_rEntry.m_vMax;
    entry.m_vValue = a_rEntry.m_vValue;
    entry.m_nSource = a_rEntry.m_nSource;
  }
  if (a_bKeepDefault) t.kept[a_rEntry.m_sName] = a_rEntry;
}

void SetPrefValue(const std::string& a_sName, const Variant& a_rValue) {
  PrefTables_t& t = Tables();
  Guard guard(t.lock);
  auto it = t.registered.find(a_sName);
  if (it == t.registered.end()) return;
  Preference_t& entry = it->second;
  if (entry.m_bHasMin && a_rValue.IsLessThan(entry.m_vMin)) {
    entry.m_vValue = entry.m_vMin;
  } else if (entry.m_bHasMax && a_rValue.IsGreaterThan(entry.m_vMax)) {
    entry.m_vValue = entry.m_vMax;
  } else {
    entry.m_vValue = a_rValue;
  }
}

void ClearPreferences() {
  PrefTables_t& t = Tables();
  Guard guard(t.lock);
  t.registered.clear();
  t.kept.clear();
}

// ---- the patcher's use ----

int LoadNetworkTimeoutPreference(const std::string& a_sDefaultsPath, const std::string& a_sUserPath) {
  if (LoadPrefArchive(a_sDefaultsPath, 1, true)) LoadPrefArchive(a_sUserPath, 1, false);
  int timeout = 5;
  if (PrefExists("DimensionNetworkTimeout")) timeout = GetPrefValue("DimensionNetworkTimeout").AsInt32();
  return timeout;
}

int LoadNetworkTimeoutPreference() {
  return LoadNetworkTimeoutPreference(GetCdImagePath() + "Gui/Default/MainPrefs.xml", GetPrefsPath() + "Prefs.xml");
}
