// Ordering of the patch sets found in "Patches\".
#include <strings.h>

#include <algorithm>
#include <utility>

#include "patcher/net/local_patches.h"

void SplitLocalPatchStem(std::string_view a_sStem, std::string& a_rsFrom, std::string& a_rsTo) {
  std::string text(a_sStem);
  std::replace(text.begin(), text.end(), '-', '.');
  // ".V" in either case: stems are matched without regard to case.
  std::size_t separator = std::string::npos;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '.' && (text[i + 1] == 'V' || text[i + 1] == 'v')) {
      separator = i;
      break;
    }
  }
  const std::string before = text.substr(0, separator);
  a_rsFrom = before.empty() ? std::string() : before.substr(1);  // without the leading "V"
  a_rsTo = separator == std::string::npos ? std::string() : text.substr(separator + 2);
}

LocalChain_t OrderLocalPatches(std::vector<std::string>& a_route, const std::string& a_sInstalledVersion) {
  const std::size_t count = a_route.size();
  std::string current = a_sInstalledVersion;
  std::size_t placed = 0, index = 0, misses = 0;
  std::string from, to;
  while (placed < count) {
    SplitLocalPatchStem(a_route[index], from, to);
    if (from.size() == current.size() && ::strncasecmp(from.data(), current.data(), from.size()) == 0) {
      if (index != placed) std::swap(a_route[index], a_route[placed]);
      current = to;
      ++placed;
      misses = 0;
      continue;  // the search stays at this index
    }
    index = (index + 1) % count;
    if (++misses > count) {
      a_route.erase(a_route.begin() + static_cast<std::ptrdiff_t>(placed), a_route.end());
      return LocalChain_t::kBroken;
    }
  }
  return LocalChain_t::kComplete;
}
