// Untrusted text as a preference archive (defaults or user file, chosen by the
// first byte) and as variant text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "patcher/layout/pref_archive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool defaults = data[0] & 1;

  ClearPreferences();
  if (!defaults) {
    // Something for a user file to be clamped against and completed from.
    LoadPrefArchiveText(
        "<P><value name=\"a\" value=\"5\" min=\"1\" max=\"9\"/>"
        "<Archive name=\"b\"><Int32 name=\"x\" value=\"1\"/></Archive></P>",
        1, true);
  }
  LoadPrefArchiveText(text, 1, defaults);
  for (const char* name : {"a", "b", "DimensionNetworkTimeout"}) {
    if (PrefExists(name)) {
      Variant value = GetPrefValue(name);
      VariantToString(value);
      value.AsInt32();
      Message m;
      value.AsMessage(m);
    }
  }

  Variant v;
  if (ParseVariant(v, text.c_str())) {
    VariantToString(v);
    v.AsInt64();
    v.AsIRect();
    v.AsBool();
  }
  return 0;
}
