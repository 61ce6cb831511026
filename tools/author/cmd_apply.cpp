// qxauthor apply: applies a binary patch to a folder, as the patcher would.
#include <sys/resource.h>

#include <chrono>
#include <ostream>

#include "platform/rtpatch/rtpatch.h"
#include "tools/author/command.h"

namespace qx::author {

namespace {

std::ostream* g_trace = nullptr;  // callbacks are plain functions

LPVOID Trace(UINT id, LPVOID parm) {
  static char go[] = "";
  if (!g_trace) return go;
  std::ostream& t = *g_trace;
  switch (id) {
    case rtpatch::kCallbackFileCount: t << "files: " << *static_cast<DWORD*>(parm) << "\n"; break;
    case rtpatch::kCallbackFileName: t << "file: " << static_cast<const char*>(parm) << "\n"; break;
    case rtpatch::kCallbackFileDone: t << "done\n"; break;
    case rtpatch::kCallbackMissingFile: t << "missing file\n"; break;
    case rtpatch::kCallbackInvalidPatch: t << "invalid patch\n"; break;
    case rtpatch::kCallbackDelayed: t << "delayed: see Rename.ini\n"; break;
    default: break;
  }
  return go;
}

int Run(const Args& args, std::ostream& out, std::ostream& err) {
  Options_c o(args, {}, {"--verbose", "-v", "--stats"});
  if (!o.ok() || o.positional().empty() || o.positional().size() > 2) {
    err << "qxauthor apply: " << (o.ok() ? "wants PATCH [FOLDER]" : o.error()) << "\n";
    return 2;
  }
  const std::string folder = o.positional().size() == 2 ? o.positional()[1] : std::string();
  g_trace = o.Has("--verbose") || o.Has("-v") ? &out : nullptr;
  const auto start = std::chrono::steady_clock::now();
  const DWORD rc = rtpatch::ApplyPatch(o.positional()[0], folder, &Trace);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  g_trace = nullptr;
  if (o.Has("--stats")) {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    out << "seconds " << seconds << "\npeak-rss-kib " << usage.ru_maxrss << "\n";
  }
  if (rc != rtpatch::kOk) {
    err << "qxauthor apply: code " << rc << ": " << rtpatch::DescribeResult(rc) << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

extern const Command_t kApplyCommand = {
    "apply", "apply a binary patch to a folder, as the patcher does",
    "usage: qxauthor apply [OPTIONS] PATCH [FOLDER]\n"
    "Applies PATCH to FOLDER (default: the working folder) and prints the result code\n"
    "on failure; exit status 0 on success, 1 on failure.\n"
    "options:\n"
    "  -v, --verbose   print the library's callbacks (files, completion, delays)\n"
    "  --stats         print the time taken and the peak memory (resident set)\n",
    Run};

}  // namespace qx::author
