// Patch sets found in the local "Patches\" folder, put into the order of
// application.
//
// A local patch is known by its file stem ("V15-1-V15-2": "V", the
// from-version, "-V", the to-version, with "." written as "-"); letter case
// does not matter. OrderLocalPatches sorts the stems into a chain that starts
// at the installed version: each placed stem's to-version is the next one's
// from-version. When the chain breaks, the stems that could not be placed are
// dropped. A chain that does not reach the target version is not an error
// here (the window decides what it asks).
//
// Functions only; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The from- and to-version a stem names ("V1-0-V1-1" gives "1.0" and "1.1").
void SplitLocalPatchStem(std::string_view a_sStem, std::string& a_rsFrom, std::string& a_rsTo);

enum class LocalChain_t { kComplete, kBroken };

// Reorders `a_route` in place; on kBroken the stems after the chain are removed.
LocalChain_t OrderLocalPatches(std::vector<std::string>& a_route, const std::string& a_sInstalledVersion);
