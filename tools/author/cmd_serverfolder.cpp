// qxauthor serverfolder: lays out a patch server's folder.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <system_error>

#include "patcher/net/patch_set_format.h"
#include "platform/fs/path.h"
#include "tools/author/command.h"
#include "tools/author/keyfile.h"

namespace qx::author {

namespace {

namespace stdfs = std::filesystem;

struct Patch_t {
  std::string name, from, to;
};

std::string Folded(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// "v<from>-v<to>": the two versions, when the name tells them apart.
bool SplitPatchName(const std::string& name, Patch_t& patch, std::string* error) {
  const std::string folded = Folded(name);
  const std::size_t at = folded.find("-v");
  if (folded.size() < 5 || folded[0] != 'v' || at == std::string::npos || at < 2 || at + 2 >= folded.size() ||
      folded.find("-v", at + 1) != std::string::npos || name.find_first_of(" \t\r\n/\\") != std::string::npos) {
    *error = "'" + name + "' is not a patch name v<from>-v<to> with one '-v'";
    return false;
  }
  patch = {name, name.substr(1, at - 1), name.substr(at + 2)};
  return true;
}

// A stem names its versions with every '.' made '-'; read each '-' inside a
// version back as '.'.
bool NameFromStem(const std::string& stem, Patch_t& patch, std::string* error) {
  std::string name = stem;
  const std::size_t at = Folded(stem).find("-v");
  if (at == std::string::npos || Folded(stem)[0] != 'v') {
    *error = "'" + stem + "' is not the stem of a patch";
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '-' && i != at) name[i] = '.';
  }
  name[0] = 'v';
  name[at + 1] = 'v';
  return SplitPatchName(name, patch, error);
}

// The files of each set in the folders, by stem (upper case): extension -> path.
using SetFiles = std::map<std::string, std::map<std::string, std::string>>;

bool FindSets(const std::vector<std::string>& folders, SetFiles& sets, std::string* error) {
  for (const std::string& folder : folders) {
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(fs::ResolvePath(folder), ec)) {
      if (!entry.is_regular_file(ec)) continue;
      const std::string file = entry.path().filename().string();
      const std::size_t dot = file.rfind('.');
      if (dot == std::string::npos || dot == 0) continue;
      std::string extension = file.substr(dot + 1);
      std::transform(extension.begin(), extension.end(), extension.begin(),
                     [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
      if (std::find_if(kPatchExtensions.begin(), kPatchExtensions.end(),
                       [&](const char* e) { return extension == e; }) == kPatchExtensions.end())
        continue;
      sets[PatchStem(file.substr(0, dot))].emplace(extension, entry.path().string());
    }
    if (ec) {
      *error = "cannot read " + folder + ": " + ec.message();
      return false;
    }
  }
  return true;
}

// An order in which each patch follows the patches that lead to its from-version
// (as the patcher's single pass over the map needs it); ties by name.
std::vector<Patch_t> ChainOrder(std::vector<Patch_t> patches) {
  std::sort(patches.begin(), patches.end(), [](const Patch_t& a, const Patch_t& b) { return a.name < b.name; });
  std::vector<Patch_t> ordered;
  std::vector<bool> placed(patches.size(), false);
  while (ordered.size() < patches.size()) {
    bool progress = false;
    for (std::size_t i = 0; i < patches.size(); ++i) {
      if (placed[i]) continue;
      const bool waits = std::any_of(patches.begin(), patches.end(), [&](const Patch_t& p) {
        const std::size_t j = static_cast<std::size_t>(&p - patches.data());
        return !placed[j] && j != i && fs::NamesEqual(p.to, patches[i].from);
      });
      if (waits) continue;
      placed[i] = true;
      ordered.push_back(patches[i]);
      progress = true;
    }
    if (!progress) {  // a cycle: the rest in name order
      for (std::size_t i = 0; i < patches.size(); ++i) {
        if (!placed[i]) ordered.push_back(patches[i]);
      }
      break;
    }
  }
  return ordered;
}

bool GzipFile(const std::string& source, const std::string& target, std::string* error) {
  std::string content;
  if (!ReadTextFile(source, content, error)) return false;
  const std::string part = target + ".part";
  gzFile gz = gzopen(part.c_str(), "wb9");
  if (!gz) {
    *error = "cannot create " + part;
    return false;
  }
  bool ok = true;
  for (std::size_t done = 0; ok && done < content.size();) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(content.size() - done, 1 << 20));
    ok = gzwrite(gz, content.data() + done, chunk) == static_cast<int>(chunk);
    done += chunk;
  }
  ok = gzclose(gz) == Z_OK && ok;
  std::error_code ec;
  if (ok) stdfs::rename(part, target, ec);
  if (!ok || ec) {
    stdfs::remove(part, ec);
    *error = "cannot write " + target;
    return false;
  }
  return true;
}

bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args,
              {"--sets", "--patch", "--maintenance-version", "--maintain", "--server", "--installation", "--dimension"},
              {"--quiet"});
  if (!o.ok() || o.positional().size() != 1) {
    err << "qxauthor serverfolder: " << (o.ok() ? "wants SITE" : o.error()) << "\n";
    return 2;
  }
  if (o.Has("--maintain") != o.Has("--maintenance-version") || o.Has("--dimension") != o.Has("--installation")) {
    err << "qxauthor serverfolder: --maintain goes with --maintenance-version, --dimension with --installation\n";
    return 2;
  }
  std::string error;
  auto fail = [&](const std::string& message) {
    err << "qxauthor serverfolder: " << message << "\n";
    return 1;
  };
  std::error_code ec;
  const std::string site = fs::ResolvePath(o.positional()[0]);
  stdfs::create_directories(site, ec);
  if (ec) return fail("cannot create " + o.positional()[0] + ": " + ec.message());

  // The patches and their sets.
  SetFiles sets;
  if (!FindSets(o.GetAll("--sets"), sets, &error)) return fail(error);
  std::vector<Patch_t> patches;
  if (o.Has("--patch")) {
    for (const std::string& name : o.GetAll("--patch")) {
      Patch_t patch;
      if (!SplitPatchName(name, patch, &error)) return fail(error);
      patches.push_back(patch);
    }
  } else {
    for (const auto& [stem, files] : sets) {
      Patch_t patch;
      if (!NameFromStem(stem, patch, &error)) return fail(error);
      patches.push_back(patch);
    }
    patches = ChainOrder(patches);
  }
  for (const Patch_t& patch : patches) {
    const std::string stem = PatchStem(patch.name);
    auto found = sets.find(stem);
    if (found == sets.end()) {
      if (o.Has("--sets")) return fail("no patch set " + stem + " in the --sets folders");
      continue;  // a map entry only
    }
    for (const char* extension : kPatchExtensions) {
      auto file = found->second.find(extension);
      if (file == found->second.end()) return fail("patch set " + stem + " has no " + stem + "." + extension);
      const std::string target = site + "/" + patch.name + "/" + stem + "." + extension;
      stdfs::create_directories(site + "/" + patch.name, ec);
      stdfs::copy_file(file->second, target, stdfs::copy_options::overwrite_existing, ec);
      if (ec) return fail("cannot copy " + file->second + " to " + target + ": " + ec.message());
    }
  }

  // The map: lines already there are kept, new ones appended.
  if (!patches.empty() || !stdfs::exists(site + "/map", ec)) {
    std::string map;
    if (stdfs::exists(site + "/map", ec) && !ReadTextFile(site + "/map", map, &error)) return fail(error);
    if (!map.empty() && map.back() != '\n') map += "\n";
    std::set<std::string> lines;
    for (std::size_t at = 0; at < map.size();) {
      std::size_t end = map.find('\n', at);
      std::string line = map.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.insert(Folded(line));
      at = end + 1;
    }
    for (const Patch_t& patch : patches) {
      const std::string line = patch.from + " " + patch.to;
      if (lines.insert(Folded(line)).second) map += line + "\n";
    }
    if (!WriteTextFile(site + "/map", map, false, true, &error)) return fail(error);
  }

  // Maintenance files.
  const std::string version = o.Get("--maintenance-version");
  if (o.Has("--maintain") && !ValidName(version)) return fail("'" + version + "' cannot name a maintenance folder");
  for (const std::string& spec : o.GetAll("--maintain")) {
    const std::size_t eq = spec.find('=');
    const std::string file = eq == std::string::npos ? spec : spec.substr(eq + 1);
    const std::string name = eq == std::string::npos ? std::string(fs::FileNamePart(spec)) : spec.substr(0, eq);
    if (!ValidName(name)) return fail("'" + name + "' cannot name a maintenance file");
    const std::string folder = site + "/Maintenance/" + version;
    stdfs::create_directories(folder, ec);
    if (!GzipFile(file, folder + "/" + name + ".gz", &error)) return fail(error);
  }

  // The dimension's server list, and where an installation finds it.
  if (o.Has("--server")) {
    std::string list;
    int n = 0;
    for (std::string line : o.GetAll("--server")) {
      ++n;
      if (std::count(line.begin(), line.end(), ';') < 2) line = "patchserver" + std::to_string(n) + ";0;" + line;
      const std::size_t third = line.find(';', line.find(';') + 1) + 1;
      if (line.find(':', third) == std::string::npos || line.find_first_of("\r\n") != std::string::npos)
        return fail("'" + line + "' is not a server line [NAME;GROUP;]HOST:PORT[FOLDER]");
      list += line + "\r\n";
    }
    if (!WriteTextFile(site + "/patchservers.txt", list, false, true, &error)) return fail(error);
  }
  if (o.Has("--installation")) {
    std::string lines;
    for (const std::string& line : o.GetAll("--dimension")) lines += line + "\r\n";
    const std::string folder = fs::ResolvePath(o.Get("--installation") + "/cd_image/data/launcher");
    stdfs::create_directories(folder, ec);
    if (!WriteTextFile(folder + "/DimensionServer.url", lines, false, true, &error)) return fail(error);
  }

  if (!o.Has("--quiet")) {
    out << o.positional()[0] << ": " << patches.size() << " patches in the map";
    if (o.Has("--maintain")) out << ", " << o.GetAll("--maintain").size() << " maintenance files";
    out << "\n";
  }
  return 0;
}

}  // namespace

extern const Command_t kServerfolderCommand = {
    "serverfolder", "lay out a patch server's folder (map, patch sets, maintenance files)",
    "usage: qxauthor serverfolder [OPTIONS] SITE\n"
    "Lays out the folder SITE of a patch server (created when missing):\n"
    "  SITE/map                                  one line \"<from> <to>\" per patch\n"
    "  SITE/<patch name>/<STEM>.RTP|RES|CHK|SIG  the four files of each patch\n"
    "  SITE/Maintenance/<version>/<name>.gz      maintenance files\n"
    "  SITE/patchservers.txt                     the dimension's list of patch servers\n"
    "Lines already in SITE/map are kept; new ones are appended. Running the command\n"
    "again adds to the folder.\n"
    "options:\n"
    "  --sets DIR               a folder holding patch sets as 'qxauthor patchset' writes\n"
    "                           them (repeatable)\n"
    "  --patch NAME             a patch v<from>-v<to>, in map order (repeatable); its set is\n"
    "                           taken from the --sets folders (without --sets: map only).\n"
    "                           Without --patch every set found is published, its name read\n"
    "                           from its stem ('-' inside a version read as '.'), each after\n"
    "                           the patch that leads to its from-version\n"
    "  --maintenance-version V  the version folder of the --maintain files\n"
    "  --maintain [NAME=]FILE   FILE gzip-compressed as Maintenance/V/NAME.gz; NAME (a file\n"
    "                           name or a checksum key) defaults to FILE's name (repeatable)\n"
    "  --server LINE            a line of patchservers.txt: [NAME;GROUP;]HOST:PORT[FOLDER];\n"
    "                           NAME defaults to patchserver<n>, GROUP to 0 (repeatable)\n"
    "  --installation DIR       write DIR/cd_image/data/launcher/DimensionServer.url ...\n"
    "  --dimension LINE         ... with this line, e.g. http://host:port/folder/ (repeatable)\n"
    "  --quiet                  print nothing on success\n",
    Run};

}  // namespace qx::author
