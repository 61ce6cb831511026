// The preference table and the XML preference archives it is read from.
//
// One table per process holds the registered preferences by name (compared
// case-sensitively), each with its current value, an optional minimum and
// maximum and a source number (0 to 4). A second table keeps a copy of every
// declaration made with keep_default. A user value for a name that was never
// declared is dropped; a declared one is clamped to its minimum and maximum
// (see Variant::IsLessThan for the ordering).
//
// Archive files are XML. Each child element of the root with a "name" is one
// preference: <value name=".." value=".." [min=".."] [max=".."]
// [keep_default=".."]/> with the value in Variant text form, or
// <Archive name=".." [code=".."]> with typed field elements below it
// (ReadMessageFromXml). Element names are compared without regard to case.
// A defaults file declares (limits only there); a user file sets values.
// Anything unrecognised is skipped without a message; nothing here logs or
// shows a message.
//
// Thread-safety: every table operation holds one process-wide ACE_Thread_Mutex
// for its whole work; LoadPrefArchive does its XML work outside the lock.
#pragma once

#include <string>

#include "patcher/layout/variant.h"
#include "patcher/resdb/message.h"

class TiXmlElement;

struct Preference_t {
  std::string m_sName;
  Variant m_vValue;
  bool m_bHasMin = false;
  Variant m_vMin;
  bool m_bHasMax = false;
  Variant m_vMax;
  int m_nSource = 1;  // 0 to 4; this program uses 1
};

// Reads an archive file into the table. True when the file was read and has a
// root element; false also for a file over 64 MiB or one whose elements nest
// deeper than 256 levels (neither is a preference file; both would cost
// unbounded memory or stack). a_bDefaults: the file declares defaults (else it holds user values).
bool LoadPrefArchive(const std::string& a_sPath, int a_nSource, bool a_bDefaults);
// The same for an archive held in memory.
bool LoadPrefArchiveText(const std::string& a_sXml, int a_nSource, bool a_bDefaults);

bool PrefExists(const std::string& a_sName);
// A copy of the current value; from the kept-defaults table when a_bKeptDefault.
// Bool false when there is no such entry.
Variant GetPrefValue(const std::string& a_sName, bool a_bKeptDefault = false);
// Registers a declaration (ignored unless its source number is 0 to 4). An
// existing entry keeps its place; with a_bOverwrite its limits, value and
// source are replaced. With a_bKeepDefault a copy goes to the kept table.
void RegisterPrefDefault(const Preference_t& a_rEntry, bool a_bOverwrite, bool a_bKeepDefault);
// Sets the value of a registered entry, clamped to its limits; an unregistered
// name is ignored.
void SetPrefValue(const std::string& a_sName, const Variant& a_rValue);
// Empties both tables (a fresh start, and tests).
void ClearPreferences();

// Fills a_rMessage from an archive element: its code from the attribute "code"
// (decimal; 0 when missing or not a number) and one field per named child, as
// the element names say: Pointer, Int8, Int16, Int32, Int64, Bool, Float,
// Double, String, Rect, IRect, Point, IPoint, Vector3, Identity (attribute
// "value" in Variant text form, converted to the type; unrecognised text
// converts from void), Variant (type 18, the value as parsed), Archive (a nested
// message, type 12), VariantArchive (a nested message held in a Variant, type
// 18) and Array (its children are fields under the Array's name). Nesting deeper
// than kMaxArchiveDepth is not read.
void ReadMessageFromXml(Message& a_rMessage, const TiXmlElement& a_rElement);
inline constexpr int kMaxArchiveDepth = 64;

// The patcher's use: reads the defaults archive (cd_image folder +
// "Gui/Default/MainPrefs.xml") and, when that succeeded, the user's archive
// (preferences folder + "Prefs.xml"), and returns the "DimensionNetworkTimeout"
// preference as whole seconds, 5 when it is not declared.
int LoadNetworkTimeoutPreference();
// The same with the two archive paths given.
int LoadNetworkTimeoutPreference(const std::string& a_sDefaultsPath, const std::string& a_sUserPath);
