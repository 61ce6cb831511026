// Names of patches and of the four files of a patch set, shared by the
// version map, the download, local detection and patch application.
//
//  - patch name:  "v" + from + "-v" + to, letter case as in the map
//                 ("v15.1-v15.2");
//  - file stem:   the patch name with every "." made "-", in capitals
//                 ("V15-1-V15-2"); a stem is its own stem, so the route may
//                 hold either (stems in local mode);
//  - patch set:   stem + "." + RTP (file patch), RES (resource patch),
//                 CHK (checksum list), SIG (signature of the list), in this
//                 order;
//  - on a server: folder + "/" + patch name + "/" + stem + "." + extension;
//  - locally:     "Patches\" + stem + "." + extension (relative to the
//                 working folder; names match without regard to case).
//
// Header-only; no state.
#pragma once

#include <array>
#include <cctype>
#include <string>
#include <string_view>

inline constexpr std::array<const char*, 4> kPatchExtensions = {"RTP", "RES", "CHK", "SIG"};
inline constexpr const char* kPatchFolder = "Patches\\";

inline std::string PatchName(std::string_view a_sFrom, std::string_view a_sTo) {
  std::string name = "v";
  name += a_sFrom;
  name += "-v";
  name += a_sTo;
  return name;
}

inline std::string PatchStem(std::string_view a_sPatchName) {
  std::string stem(a_sPatchName);
  for (char& c : stem) c = c == '.' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return stem;
}

inline std::string RemotePatchFile(std::string_view a_sServerFolder, std::string_view a_sPatchName,
                                   std::string_view a_sExtension) {
  std::string path(a_sServerFolder);
  path += '/';
  path += a_sPatchName;
  path += '/';
  path += PatchStem(a_sPatchName);
  path += '.';
  path += a_sExtension;
  return path;
}

inline std::string LocalPatchFile(std::string_view a_sPatchNameOrStem, std::string_view a_sExtension) {
  std::string path = kPatchFolder;
  path += PatchStem(a_sPatchNameOrStem);
  path += '.';
  path += a_sExtension;
  return path;
}
