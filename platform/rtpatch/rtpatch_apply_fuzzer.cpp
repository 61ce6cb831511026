// Fuzz target: a damaged or forged patch file applied to a small folder.
//
// The input is the patch file; its whole-file checksum is recomputed before it
// is applied, so that the mutations reach the header, the entry table and the
// payloads instead of stopping at the checksum. Whatever the patch says, the
// applier must not crash or hang, must touch nothing outside the folder it
// updates, must leave no temporary file behind, and must change nothing in
// the folder when it reports a failure before its last step (the renames).
//
// On start, an empty corpus folder is given seed patches made by the builder
// from the fixture trees (modify, add, delete, a deferred entry, a file patch).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/rtpatch/builder.h"
#include "platform/rtpatch/digest.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/rtpatch_format.h"
#include "platform/rtpatch/testing/tree_fixture.h"

namespace {

using namespace qx::rtpatch;
using namespace qx::rtpatch::testing;
namespace fs = std::filesystem;

const Tree& OldTree() {
  static const Tree tree = {
      {"game.bin", Binary(6000, 1)},
      {"data/level.pak", Binary(3000, 2)},
      {"data/gone.pak", Binary(500, 3)},
      {"readme.txt", "version 1\r\n"},
      {"tmp.dat", Binary(1000, 4)},
  };
  return tree;
}

Tree NewTree() {
  Tree tree = OldTree();
  tree["game.bin"].replace(100, 40, Binary(90, 5));
  tree["data/level.pak"][2000] ^= 0x55;
  tree.erase("data/gone.pak");
  tree["data/maps/new.map"] = Binary(700, 6);
  tree["readme.txt"] = "version 2\r\n";
  return tree;
}

// The old tree as Snapshot shows it (folders included).
const Tree& OldSnapshot() {
  static const Tree tree = [] {
    Tree t = OldTree();
    t["data/"] = "";
    return t;
  }();
  return tree;
}

// The fuzzer's folder, removed when the process ends.
char s_root[] = "/tmp/qx-rtpatch-fuzz-XXXXXX";

const std::string& Root() {
  static const std::string root = [] {
    if (!::mkdtemp(s_root)) std::abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(s_root, ec);
    });
    return std::string(s_root);
  }();
  return root;
}

void WriteSeeds(const std::string& corpus) {
  if (!fs::is_directory(corpus) || !fs::is_empty(corpus)) return;
  const std::string oldDir = Root() + "/seed-old", newDir = Root() + "/seed-new";
  WriteTree(oldDir, OldTree());
  WriteTree(newDir, NewTree());
  BuildOptions_t options;
  options.level = 3;
  options.segmentSize = 4096;  // several segments per file
  std::string error;
  BuildFolderPatch(oldDir, newDir, corpus + "/folder.rtp", options, nullptr, &error);
  options.deferred = {"game.bin"};
  BuildFolderPatch(oldDir, newDir, corpus + "/deferred.rtp", options, nullptr, &error);
  BuildFilePatch(oldDir + "/tmp.dat", newDir + "/game.bin", corpus + "/file.rtp", BuildOptions_t{}, nullptr, &error);
  fs::remove_all(oldDir);
  fs::remove_all(newDir);
}

LPVOID Callback(UINT, LPVOID) { return reinterpret_cast<LPVOID>(1); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    if ((*argv)[i][0] != '-') {
      WriteSeeds((*argv)[i]);
      break;
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  const std::string folder = Root() + "/game";
  const std::string patch = Root() + "/input.rtp";
  const std::string sentinel = Root() + "/outside.txt";
  fs::remove_all(folder);
  WriteTree(folder, OldTree());
  WriteFile(sentinel, "outside");

  std::string bytes(reinterpret_cast<const char*>(input), size);
  if (bytes.size() >= format::kHeaderSize) {
    std::memset(bytes.data() + format::kChecksumOffset, 0, 8);
    const std::uint64_t sum = Digest64(bytes.data(), bytes.size());
    std::memcpy(bytes.data() + format::kChecksumOffset, &sum, 8);
  }
  WriteFile(patch, bytes);

  const DWORD result = ApplyPatch(patch, folder, Callback);

  // Nothing outside the folder: the root holds exactly what we put there.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(Root())) {
    (void)e;
    ++entries;
  }
  if (entries != 3 || ReadFile(sentinel) != "outside") std::abort();

  const Tree after = Snapshot(folder);
  for (const auto& [path, content] : after) {
    if (path.ends_with(".rtptmp")) std::abort();
  }
  if (result != kOk && result != kRenameFailed && after != OldSnapshot()) std::abort();
  return 0;
}
