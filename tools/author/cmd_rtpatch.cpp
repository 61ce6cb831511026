// qxauthor rtpatch: makes a binary patch from two folders or two files.
#include <sys/stat.h>

#include <ostream>

#include "platform/fs/path.h"
#include "platform/rtpatch/builder.h"
#include "tools/author/command.h"

namespace qx::author {

namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(fs::ResolvePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args, {"--level", "--threads", "--segment-size", "--defer", "--name"}, {"--quiet"});
  rtpatch::BuildOptions_t options;
  options.level = static_cast<int>(o.GetNumber("--level", options.level, 1, 22));
  options.threads = static_cast<int>(o.GetNumber("--threads", options.threads, 1, 64));
  options.segmentSize =
      static_cast<std::uint64_t>(o.GetNumber("--segment-size", static_cast<long long>(options.segmentSize), 4096,
                                             32ll << 20));
  options.deferred = o.GetAll("--defer");
  if (!o.ok() || o.positional().size() != 3) {
    err << "qxauthor rtpatch: " << (o.ok() ? "wants OLD NEW PATCH" : o.error()) << "\n";
    return 2;
  }
  const std::string& oldPath = o.positional()[0];
  const std::string& newPath = o.positional()[1];
  const std::string& patch = o.positional()[2];
  rtpatch::BuildStats_t stats;
  std::string error;
  bool ok;
  if (IsFolder(newPath)) {
    if (o.Has("--name")) {
      err << "qxauthor rtpatch: --name is for a patch between two files\n";
      return 2;
    }
    ok = rtpatch::BuildFolderPatch(oldPath, newPath, patch, options, &stats, &error);
  } else {
    if (IsFolder(oldPath)) {
      err << "qxauthor rtpatch: OLD is a folder but NEW is not\n";
      return 2;
    }
    ok = rtpatch::BuildFilePatch(oldPath, newPath, patch, options, &stats, &error, o.Get("--name", "tmp.dat"));
  }
  if (!ok) {
    err << "qxauthor rtpatch: " << error << "\n";
    return 1;
  }
  if (!o.Has("--quiet")) {
    out << patch << ": " << stats.added << " added, " << stats.modified << " modified, " << stats.deleted
        << " deleted, " << stats.unchanged << " unchanged; " << stats.newBytes << " bytes of new content in "
        << stats.patchSize << " bytes\n";
  }
  return 0;
}

}  // namespace

extern const Command_t kRtpatchCommand = {
    "rtpatch", "make a binary patch (.rtp) from two folders or two files",
    "usage: qxauthor rtpatch [OPTIONS] OLD NEW PATCH\n"
    "Makes the patch file PATCH that turns OLD into NEW.\n"
    "  OLD, NEW folders: files only in NEW are added, files only in OLD deleted,\n"
    "                    changed files modified (names compared without regard to case).\n"
    "  OLD, NEW files:   one entry that turns the file \"tmp.dat\" (see --name) of the\n"
    "                    updated folder from OLD into NEW; a missing OLD means no old content.\n"
    "options:\n"
    "  --level N          zstd compression level, 1..22 (default 19)\n"
    "  --threads N        files compressed at once (default 2)\n"
    "  --segment-size N   new bytes per segment, 4096..33554432 (default 33554432);\n"
    "                     bounds the memory needed to apply the patch\n"
    "  --defer PATH       mark PATH deferred: if it is busy when the patch is applied,\n"
    "                     it is staged and listed in Rename.ini (repeatable)\n"
    "  --name NAME        entry name of a patch between two files (default tmp.dat)\n"
    "  --quiet            print nothing on success\n",
    Run};

}  // namespace qx::author
