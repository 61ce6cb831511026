// qxauthor patchset: the four files of a patch from one installation to the next.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <system_error>

#include "patcher/integrity/file_digest.h"
#include "patcher/net/patch_set_format.h"
#include "patcher/resdb/resource_patch_format.h"
#include "platform/fs/path.h"
#include "platform/rtpatch/builder.h"
#include "tools/author/command.h"
#include "tools/author/keyfile.h"
#include "tools/author/resource_patch_builder.h"

namespace qx::author {

namespace {

namespace stdfs = std::filesystem;

constexpr const char* kDatabase = "cd_image/data/db/ResourceDatabase.dat";

// Never part of the file patch: the resource database (the .RES updates it),
// leftovers of its conversion, the patches themselves, and the working files
// of a patch run or of the launcher.
const char* const kAlwaysExcluded[] = {
    "cd_image/data/db/ResourceDatabase.dat",     "cd_image/data/db/ResourceDatabase.idx",
    "cd_image/data/db/old_ResourceDatabase.dat", "cd_image/data/db/old_ResourceDatabase.idx",
    "Patches",                                   "tmp.dat",
    "patch.rtp",                                 "Rename.ini",
    "patchertmp",
};

// In use while a patch is applied: staged for the launcher when they cannot be replaced.
const char* const kAlwaysDeferred[] = {"QuorvexPatcher.exe", "patchw32.dll"};

std::string Normalized(std::string path) {
  path = fs::ToSlashes(path);
  while (path.rfind("./", 0) == 0) path.erase(0, 2);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// The installed version: the first line of "version.id", without its line end.
bool ReadVersion(const std::string& installation, std::string& version, std::string* error) {
  std::string text;
  if (!ReadTextFile(installation + "/version.id", text, error)) return false;
  version = text.substr(0, text.find_first_of("\r\n"));
  if (version.empty()) {
    *error = installation + "/version.id names no version";
    return false;
  }
  for (char c : version) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      *error = "the version '" + version + "' of " + installation + " holds a blank; a version map cannot name it";
      return false;
    }
  }
  if (version.size() > 31) {
    *error = "the version '" + version + "' of " + installation + " is longer than 31 characters";
    return false;
  }
  return true;
}

bool Excluded(const std::string& relative, const std::vector<std::string>& excluded) {
  for (const std::string& e : excluded) {
    if (fs::NamesEqual(relative, e)) return true;
  }
  return false;
}

// Mirrors the tree at `root` into `mirror` with hard links (copies where no
// link can be made), leaving out the excluded paths (a folder with all in it)
// and the folder `skip` (the mirror's own folder, should it lie inside the tree).
bool MirrorTree(const std::string& root, const std::string& mirror, const std::vector<std::string>& excluded,
                const std::string& skip, std::string* error) {
  std::error_code ec;
  stdfs::create_directories(mirror, ec);
  auto it = stdfs::recursive_directory_iterator(root, ec);
  if (ec) {
    *error = "cannot read " + root + ": " + ec.message();
    return false;
  }
  for (; it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string relative = it->path().lexically_relative(root).generic_string();
    const std::string target = mirror + "/" + relative;
    if (Excluded(relative, excluded)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) it.disable_recursion_pending();
      continue;
    }
    const auto status = it->symlink_status(ec);
    if (stdfs::is_directory(status)) {
      if (stdfs::equivalent(it->path(), skip, ec)) {
        it.disable_recursion_pending();
        continue;
      }
      stdfs::create_directories(target, ec);
    } else if (stdfs::is_regular_file(status)) {
      stdfs::create_hard_link(it->path(), target, ec);
      if (ec) {
        ec.clear();
        stdfs::copy_file(it->path(), target, ec);
      }
    } else {
      *error = root + "/" + relative + " is neither a file nor a folder";
      return false;
    }
    if (ec) break;
  }
  if (ec) {
    *error = "cannot mirror " + root + ": " + ec.message();
    return false;
  }
  return true;
}

bool FileDigest(const std::string& path, std::string& digest, std::string* error) {
  unsigned char bytes[kDigestBytes];
  if (!ComputeFileMD5(path.c_str(), bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  digest = DigestText(bytes);
  return true;
}

// A temporary folder below `parent`, removed with everything in it.
class Scratch_c {
 public:
  bool Make(const std::string& parent, std::string* error) {
    std::string pattern = parent + "/.qxauthor-patchset-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
      *error = "cannot make a temporary folder in " + parent;
      return false;
    }
    m_path = pattern;
    return true;
  }
  ~Scratch_c() {
    std::error_code ec;
    if (!m_path.empty()) stdfs::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args, {"--key", "--exclude", "--defer", "--format", "--level", "--threads", "--segment-size"},
              {"--quiet"});
  ResourcePatchOptions_t resOptions;
  resOptions.version = static_cast<std::uint32_t>(o.GetNumber("--format", ResourcePatchFormat::kVersionCurrent,
                                                              ResourcePatchFormat::kVersionCompressedOnly,
                                                              ResourcePatchFormat::kVersionCurrent));
  rtpatch::BuildOptions_t fileOptions;
  fileOptions.level = static_cast<int>(o.GetNumber("--level", fileOptions.level, 1, 22));
  fileOptions.threads = static_cast<int>(o.GetNumber("--threads", fileOptions.threads, 1, 64));
  fileOptions.segmentSize = static_cast<std::uint64_t>(
      o.GetNumber("--segment-size", static_cast<long long>(fileOptions.segmentSize), 4096, 32ll << 20));
  if (!o.ok() || o.positional().size() != 3 || !o.Has("--key")) {
    err << "qxauthor patchset: " << (o.ok() ? "wants --key PRIVATE OLD NEW OUTDIR" : o.error()) << "\n";
    return 2;
  }
  resOptions.blobPatch.level = fileOptions.level;
  resOptions.blobPatch.threads = 1;
  const std::string& oldInstall = o.positional()[0];
  const std::string& newInstall = o.positional()[1];
  const std::string& outDir = o.positional()[2];
  std::string error;
  auto fail = [&](const std::string& message) {
    err << "qxauthor patchset: " << message << "\n";
    return 1;
  };

  std::string fromVersion, toVersion;
  if (!ReadVersion(oldInstall, fromVersion, &error) || !ReadVersion(newInstall, toVersion, &error)) return fail(error);
  if (fs::NamesEqual(fromVersion, toVersion)) return fail("OLD and NEW both hold version " + fromVersion);
  const std::string name = PatchName(fromVersion, toVersion);
  const std::string stem = PatchStem(name);

  std::vector<std::string> excluded(std::begin(kAlwaysExcluded), std::end(kAlwaysExcluded));
  for (const std::string& e : o.GetAll("--exclude")) excluded.push_back(Normalized(e));
  fileOptions.deferred.assign(std::begin(kAlwaysDeferred), std::end(kAlwaysDeferred));
  for (const std::string& d : o.GetAll("--defer")) fileOptions.deferred.push_back(Normalized(d));

  std::error_code ec;
  stdfs::create_directories(fs::ResolvePath(outDir), ec);
  const std::string outRoot = fs::ResolvePath(outDir);
  auto setFile = [&](const char* extension) { return outRoot + "/" + stem + "." + extension; };

  // The file patch, of the two trees without what it must not touch.
  {
    Scratch_c scratch;
    if (!scratch.Make(outRoot, &error) ||
        !MirrorTree(fs::ResolvePath(oldInstall), scratch.path() + "/old", excluded, scratch.path(), &error) ||
        !MirrorTree(fs::ResolvePath(newInstall), scratch.path() + "/new", excluded, scratch.path(), &error))
      return fail(error);
    rtpatch::BuildStats_t stats;
    if (!rtpatch::BuildFolderPatch(scratch.path() + "/old", scratch.path() + "/new", setFile("RTP"), fileOptions,
                                   &stats, &error))
      return fail(error);
    if (!o.Has("--quiet")) {
      out << stem << ".RTP: " << stats.added << " added, " << stats.modified << " modified, " << stats.deleted
          << " deleted, " << stats.unchanged << " unchanged\n";
    }
  }

  // The resource patch. A database missing from OLD counts as empty; one
  // missing from NEW only when OLD has none either.
  auto database = [&](const std::string& installation) {
    const std::string path = fs::ResolvePath(installation + "/" + kDatabase);
    return stdfs::exists(path, ec) ? path : std::string();
  };
  const std::string oldDatabase = database(oldInstall), newDatabase = database(newInstall);
  if (newDatabase.empty() && !oldDatabase.empty())
    return fail(newInstall + " has no " + kDatabase + " but " + oldInstall + " has one");
  ResourcePatchStats_t resStats;
  if (!BuildResourcePatch(oldDatabase, newDatabase, setFile("RES"), resOptions, &resStats, &error))
    return fail(error);
  if (!o.Has("--quiet")) {
    out << stem << ".RES: " << resStats.deletes << " deleted, " << resStats.compressed << " compressed, "
        << resStats.binaryPatches << " binary patches, " << resStats.templates << " item templates, "
        << resStats.unchanged << " unchanged\n";
  }

  // The checksum list of the set and its signature.
  std::string rtpDigest, resDigest;
  if (!FileDigest(setFile("RTP"), rtpDigest, &error) || !FileDigest(setFile("RES"), resDigest, &error))
    return fail(error);
  const std::string list = "# checksums of " + name + "\r\n" + stem + ".RTP:" + rtpDigest + "\r\n" + stem +
                           ".RES:" + resDigest + "\r\n";
  if (!WriteTextFile(setFile("CHK"), list, false, /*overwrite=*/true, &error)) return fail(error);
  std::ostringstream signOut, signErr;
  if (RunAuthor({"sign", "--key", o.Get("--key"), "--out", setFile("SIG"), setFile("CHK")}, signOut, signErr) != 0) {
    std::string text = signErr.str();
    if (text.rfind("qxauthor sign: ", 0) == 0) text.erase(0, 15);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return fail(text);
  }
  if (!o.Has("--quiet")) out << "patch " << name << ": " << outDir << "/" << stem << ".RTP, .RES, .CHK, .SIG\n";
  return 0;
}

}  // namespace

extern const Command_t kPatchsetCommand = {
    "patchset", "make the four files of a patch from two installations",
    "usage: qxauthor patchset [OPTIONS] --key PRIVATE OLD NEW OUTDIR\n"
    "Makes the patch set that updates installation OLD to installation NEW, in OUTDIR:\n"
    "  STEM.RTP  the file patch of the two trees\n"
    "  STEM.RES  the resource patch of their cd_image/data/db/ResourceDatabase\n"
    "  STEM.CHK  the checksum list of STEM.RTP and STEM.RES (MD5, names relative to Patches\\)\n"
    "  STEM.SIG  the signature of STEM.CHK made with PRIVATE ('qxauthor keygen')\n"
    "The patch name is v<old>-v<new> from the first lines of OLD/version.id and\n"
    "NEW/version.id; STEM is the name with '.' made '-', in capitals (v15.1-v15.2: V15-1-V15-2).\n"
    "The file patch leaves out the resource database, Patches/, patchertmp/, tmp.dat,\n"
    "patch.rtp and Rename.ini; QuorvexPatcher.exe and patchw32.dll are deferred (staged\n"
    "for the launcher when they are busy). A database missing from OLD counts as empty.\n"
    "options:\n"
    "  --key PRIVATE      private key that signs the checksum list (required)\n"
    "  --exclude PATH     also leave PATH (a file, or a folder with all in it) out of the\n"
    "                     file patch; relative, '/' or '\\', any letter case (repeatable)\n"
    "  --defer PATH       also mark PATH deferred in the file patch (repeatable)\n"
    "  --format N         resource patch format: 988534 (compressed entries only),\n"
    "                     988535 or 988536 (binary patches for the types 1000001, 1000009,\n"
    "                     1000010, 1000026); default 988536\n"
    "  --level N          zstd level of the binary patches, 1..22 (default 19)\n"
    "  --threads N        files compressed at once (default 2)\n"
    "  --segment-size N   new bytes per segment of the file patch (default 33554432)\n"
    "  --quiet            print nothing on success\n",
    Run};

}  // namespace qx::author
