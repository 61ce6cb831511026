// Fuzz target: a damaged or forged resource patch (".RES") applied to a small
// resource database.
//
// Whatever the file says, PatchDatabase must not crash, hang or allocate what
// a size word claims (the fuzzer's memory limit catches that); it returns 0 or
// one of its codes; the database opens afterwards; a file of an unknown format
// version changes nothing. Binary-patch entries
// go through the real binary-patch library, template packages through the
// item template patcher (message boxes get their unattended answers).
//
// On start, an empty corpus folder is given seed patches: deletes and
// compressed stores, a binary-patch entry against a seeded blob, and a
// template package.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "patcher/layout/patcher_log.h"
#include "patcher/resdb/item_template_patcher.h"
#include "patcher/resdb/resource_patch.h"
#include "patcher/resdb/resource_patch_test_support.h"
#include "patcher/resdb/rtpatch_entry.h"
#include "platform/rtpatch/builder.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "tests/support/test_installation.h"

namespace {

using namespace qx::test;
namespace fmt = ResourcePatchFormat;
using qx::rtpatch::testing::Binary;
using qx::rtpatch::testing::WriteFile;

constexpr const char* kDatabase = "cd_image\\data\\db\\ResourceDatabase.dat";
constexpr const char* kPatch = "Patches\\V1-V2.res";

const Contents& Seeded() {
  static const Contents contents = {
      {{1000001, 7}, Binary(3000, 1)},
      {{1000009, 1}, Binary(200, 2)},
      {{5, 5}, "five"},
      {{1000020, 3}, "old template"},
  };
  return contents;
}

TestInstallation& Installation() {
  static TestInstallation installation;  // removed when the process ends
  static const bool made = [] {
    std::filesystem::create_directories(installation / "cd_image/data/db");
    std::filesystem::create_directories(installation / "Patches");
    return true;
  }();
  (void)made;
  return installation;
}

LPVOID GoOn(UINT, LPVOID) { return reinterpret_cast<LPVOID>(1); }
DWORD ApplyEntry(LPCSTR a_pzCommandLine, RTPATCH_CALLBACK a_pCallback, BOOL) {
  return qx::rtpatch::ApplyCommandLine(a_pzCommandLine, a_pCallback);
}

void WriteSeeds(const std::string& a_sCorpus) {
  if (!std::filesystem::is_directory(a_sCorpus) || !std::filesystem::is_empty(a_sCorpus)) return;
  ResBytes plain;
  plain.Header(fmt::kVersionCurrent, 4, 2).Delete(5, 5).Delete(9, 9);
  plain.Word(2).StoreBlob(6, 1, Binary(500, 3)).StoreBlob(6, 2, "");
  WriteFile(a_sCorpus + "/plain.res", plain.str());

  std::string binaryPatch, error;
  std::string newBlob = Seeded().at({1000001, 7});
  newBlob.replace(1000, 10, "edited here");
  qx::rtpatch::BuildOptions_t options;
  options.level = 3;
  if (qx::rtpatch::BuildBlobPatch(Seeded().at({1000001, 7}), newBlob, binaryPatch, options, &error)) {
    ResBytes binary;
    binary.Header(fmt::kVersionCurrent, 1, 0).Word(1).StoreRaw(1000001, 7, binaryPatch);
    WriteFile(a_sCorpus + "/binary.res", binary.str());
  }

  const std::string templates = TemplateEntry(4, 3, "tmpl") + TemplateEntry(0x8000 | 3, 9, "abc");
  ResBytes package;
  package.Header(fmt::kVersionBinaryPatches, 1, 0).Word(1).StoreRaw(1000020, 0, TemplatePackage(templates));
  WriteFile(a_sCorpus + "/templates.res", package.str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // The installation becomes the working folder: corpus folders named
  // relative to the caller's are made absolute first.
  int corpus = 0;
  for (int i = *argc - 1; i >= 1; --i) {
    if ((*argv)[i][0] == '-') continue;
    (*argv)[i] = ::strdup(std::filesystem::absolute((*argv)[i]).c_str());
    corpus = i;
  }
  Installation();
  SetRTPatchEntry(&ApplyEntry, &GoOn);
  if (corpus) WriteSeeds((*argv)[corpus]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  TestInstallation& installation = Installation();
  std::filesystem::remove(installation / "cd_image/data/db/ResourceDatabase.dat");
  std::filesystem::remove(installation / "cd_image/data/db/ResourceDatabase.idx");
  SeedDatabase(kDatabase, Seeded());
  const std::string bytes(reinterpret_cast<const char*>(input), size);
  WriteFile(installation / "Patches/V1-V2.RES", bytes);
  ResetUserInterface();
  DeleteLog();

  const int result = PatchDatabase(kDatabase, kPatch);

  if (result > 0 || result < -10 || result == -9) std::abort();
  {
    BlockDatabase_t database;
    if (database.Open(kDatabase, true) != 0) std::abort();
  }
  if (result == -2 && ReadDatabase(kDatabase) != Seeded()) std::abort();
  return 0;
}
