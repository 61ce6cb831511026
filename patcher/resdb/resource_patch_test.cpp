#include "patcher/resdb/resource_patch.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patcher/resdb/item_template_patcher.h"
#include "patcher/resdb/resource_patch_format.h"
#include "patcher/resdb/resource_patch_test_support.h"
#include "patcher/resdb/rtpatch_entry.h"
#include "platform/os/library.h"
#include "platform/rtpatch/builder.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "platform/ui/transcript.h"
#include "tests/support/test_installation.h"

namespace {

using namespace qx::test;
namespace fmt = ResourcePatchFormat;
using qx::rtpatch::testing::ReadFile;
using qx::rtpatch::testing::WriteFile;

constexpr std::uint32_t kV = fmt::kVersionCurrent;
constexpr const char* kDatabase = "cd_image\\data\\db\\ResourceDatabase.dat";

std::vector<float> s_progress;
void RecordProgress(float a_fFraction) { s_progress.push_back(a_fFraction); }

std::vector<std::string> s_callbacks;
LPVOID RecordCallback(UINT a_nId, LPVOID a_pParm) {
  static char go[] = "";
  s_callbacks.push_back(std::to_string(a_nId) + (a_nId == 7 ? std::string(" ") + static_cast<const char*>(a_pParm) : ""));
  return go;
}

std::string Blob(std::size_t a_nSize, unsigned a_nSeed) { return qx::rtpatch::testing::Binary(a_nSize, a_nSeed); }

class ResourcePatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetUserInterface();
    std::filesystem::create_directories(m_install / "cd_image/data/db");
    std::filesystem::create_directories(m_install / "Patches");
    s_progress.clear();
    s_callbacks.clear();
    SetPatchDatabaseProgressCallback(&RecordProgress);
    SetRTPatchEntry(nullptr, nullptr);
  }
  void TearDown() override {
    SetPatchDatabaseProgressCallback(nullptr);
    SetRTPatchEntry(nullptr, nullptr);
  }

  void SeedDb(const Contents& a_contents) { SeedDatabase(kDatabase, a_contents); }
  Contents Db() { return ReadDatabase(kDatabase); }

  int Patch(const std::string& a_sBytes) {
    WriteFile(m_install / "Patches/V1-V2.RES", a_sBytes);
    return PatchDatabase(kDatabase, "Patches\\V1-V2.res");
  }

  TestInstallation m_install;
};

TEST_F(ResourcePatchTest, EmptyPatchAppliesAndReportsNothing) {
  SeedDb({{{1, 1}, "one"}});
  EXPECT_EQ(Patch(ResBytes().Header(kV, 0, 0).Word(0).str()), 0);
  EXPECT_EQ(Db(), (Contents{{{1, 1}, "one"}}));
  EXPECT_TRUE(s_progress.empty());
  EXPECT_EQ(TestInstallation::LogText(), "");
}

TEST_F(ResourcePatchTest, FormatVersions) {
  SeedDb({{{1, 1}, "one"}});
  const std::uint32_t known[] = {988534, 988535, 988536};
  for (std::uint32_t version : known) {
    SCOPED_TRACE(version);
    EXPECT_EQ(Patch(ResBytes().Header(version, 1, 0).Word(1).StoreBlob(2, version, "v").str()), 0);
  }
  // An unknown version word changes nothing, even with entries behind it.
  const std::uint32_t unknown[] = {988537, 988533, 0, 0x78150F00};
  for (std::uint32_t version : unknown) {
    SCOPED_TRACE(version);
    EXPECT_EQ(Patch(ResBytes().Header(version, 2, 1).Delete(1, 1).Word(1).StoreBlob(3, 3, "x").str()), -2);
  }
  EXPECT_EQ(Db(), (Contents{{{1, 1}, "one"}, {{2, 988534}, "v"}, {{2, 988535}, "v"}, {{2, 988536}, "v"}}));
  EXPECT_EQ(TestInstallation::CountInLog("Patch file is not in a recognized format!\n"), 4);
}

TEST_F(ResourcePatchTest, DeletesAndStoresOfEveryKind) {
  const std::string large = Blob(300000, 1);
  SeedDb({{{1, 1}, "one"}, {{1, 2}, "two"}, {{2, 1}, "will be emptied"}, {{4, 4}, "kept"}});
  ResBytes patch;
  patch.Header(kV, 6, 2).Delete(1, 1).Delete(9, 9);
  patch.Word(4).StoreBlob(1, 2, "TWO").StoreBlob(3, 3, large).StoreBlob(2, 1, "").StoreBlob(0xFFFFFFFF, 0xFFFFFFFF, "max");
  EXPECT_EQ(Patch(patch.str()), 0);
  EXPECT_EQ(Db(), (Contents{{{1, 2}, "TWO"},
                            {{2, 1}, ""},
                            {{3, 3}, large},
                            {{4, 4}, "kept"},
                            {{0xFFFFFFFF, 0xFFFFFFFF}, "max"}}));
  // The missing key is logged and still counts as done.
  EXPECT_EQ(TestInstallation::LogText(), "Delete item: item 9,9 not found\n\n");
  const std::vector<float> expected = {1 / 6.f, 2 / 6.f, 3 / 6.f, 4 / 6.f, 5 / 6.f, 1.f};
  EXPECT_EQ(s_progress, expected);
}

TEST_F(ResourcePatchTest, FewerElementsThanAnnounced) {
  SeedDb({{{1, 1}, "a"}, {{1, 2}, "b"}});
  EXPECT_EQ(Patch(ResBytes().Header(kV, 5, 2).Delete(1, 1).Delete(1, 2).Word(2).StoreBlob(5, 1, "x").StoreBlob(5, 2, "y").str()),
            -6);
  EXPECT_EQ(Db(), (Contents{{{5, 1}, "x"}, {{5, 2}, "y"}}));
  EXPECT_EQ(TestInstallation::CountInLog("Error, out of 5 elements, only 4 elements were done!\n"), 1);
  EXPECT_EQ(s_progress.size(), 4u);
}

// Holds a record lock the way a running client does, from another process.
struct LockingDatabase : BlockDatabase_t {
  void Hold() { BeginOperation(LEVEL_WRITE); }
  void Release() { EndOperation(); }
};

TEST_F(ResourcePatchTest, AStoreThatCannotBeWrittenIsLoggedAndTheRestGoesOn) {
  SeedDb({{{5, 5}, "old"}});
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    LockingDatabase database;
    if (database.Open(kDatabase, true) != 0) ::_exit(2);
    database.Hold();  // the record read below stays locked until Release
    std::uint32_t size = 0;
    std::uint8_t* data = nullptr;
    if (database.Get(5, 5, &size, &data) != 0) ::_exit(3);
    delete[] data;
    char c = 'r';
    if (::write(ready[1], &c, 1) != 1 || ::read(release[0], &c, 1) != 1) ::_exit(4);
    database.Release();
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  EXPECT_EQ(Patch(ResBytes().Header(kV, 2, 0).Word(2).StoreBlob(5, 5, "new").StoreBlob(6, 6, "six").str()), 0);

  ASSERT_EQ(::write(release[1], "g", 1), 1);
  int status = 0;
  ::waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
  EXPECT_EQ(TestInstallation::LogText(), "Got an error putting element 5:5 with size 3\n\n");
  EXPECT_EQ(Db(), (Contents{{{5, 5}, "old"}, {{6, 6}, "six"}}));
  EXPECT_EQ(s_progress, (std::vector<float>{0.5f, 1.f})) << "the failed store still counts as done";
}

TEST_F(ResourcePatchTest, CompressedPayloadsThatDoNotInflateToTheirSize) {
  const std::string blob = "payload of twenty-nine bytes.";
  const std::string z = ResBytes::Deflate(blob);
  std::string damaged = z;
  damaged[z.size() / 2] ^= 0x40;
  damaged[z.size() - 1] ^= 0x40;
  const auto n = static_cast<std::uint32_t>(blob.size());
  const struct {
    const char* name;
    std::uint32_t size;
    std::string data;
    std::string line;
  } cases[] = {
      {"one byte fewer than announced", n + 1, z, "uncompress(): Error, the uncompressed size was 29, not 30 as we expected!"},
      {"more than announced", n - 1, z, "uncompress(): Programmers error, output buffer too small!"},
      {"damaged", n, damaged, "uncompress(): Error, input data is corrupted!"},
      {"cut short", n, z.substr(0, z.size() / 2), "uncompress(): Error, input data is corrupted!"},
      {"a size no data could reach", 0xFFFFFFF0u, z,
       "uncompress(): Error, the uncompressed size was 29, not 4294967280 as we expected!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestInstallation::ClearLog();
    ResBytes patch;
    patch.Header(kV, 2, 0).Word(2).StoreBlob(7, 1, "first");
    patch.Word(7).Word(2).Word(c.size).Word(static_cast<std::uint32_t>(c.data.size())).Raw(c.data);
    EXPECT_EQ(Patch(patch.str()), -4);
    EXPECT_EQ(TestInstallation::LogText(), c.line + "\n");
    // What came before the failure stays applied; the failed key is not stored.
    EXPECT_EQ(Db(), (Contents{{{7, 1}, "first"}}));
  }
}

TEST_F(ResourcePatchTest, TruncatedOrDamagedFiles) {
  const std::string package = TemplatePackage(TemplateEntry(0x0002, 1, "ab"));
  const std::string z = ResBytes::Deflate("compressed blob");
  // The whole file, with the offsets at which each part ends.
  ResBytes file;
  file.Header(kV, 4, 1);
  const std::size_t header = file.str().size();
  file.Delete(1, 1);
  const std::size_t deletes = file.str().size();
  file.Word(3);
  const std::size_t storeCount = file.str().size();
  file.Word(1).Word(2).Word(15).Word(static_cast<std::uint32_t>(z.size())).Raw(z);
  const std::size_t compressed = file.str().size();
  file.StoreRaw(fmt::kTemplatePackageType, 0, package);
  const std::size_t templates = file.str().size();
  file.StoreBlob(7, 7, "");
  const std::string whole = file.str();

  const struct {
    const char* name;
    std::string bytes;
    int code;
  } cases[] = {
      {"version only", whole.substr(0, 4), -3},
      {"inside the header", whole.substr(0, header - 2), -3},
      {"inside a delete entry", whole.substr(0, header + 5), -3},
      {"no store count", whole.substr(0, deletes), -5},
      {"inside the store count", whole.substr(0, deletes + 3), -5},
      {"inside a store entry's header", whole.substr(0, storeCount + 6), -5},
      {"inside compressed data", whole.substr(0, compressed - 4), -5},
      {"inside the template package", whole.substr(0, templates - 3), -5},
      {"inside the last entry", whole.substr(0, whole.size() - 1), -5},
      {"delete count beyond the file", ResBytes().Header(kV, 1, 0xFFFFFFFF).Delete(1, 1).str(), -3},
      {"template package beyond the file", ResBytes().Header(kV, 1, 0).Word(1).Word(1000020).Word(0).Word(0xFFFFFFF0).Raw("x").str(), -5},
      {"compressed size beyond the file", ResBytes().Header(kV, 1, 0).Word(1).Word(5).Word(5).Word(100).Word(0xFFFFFFF0).Raw("x").str(), -5},
      {"binary patch beyond the file", ResBytes().Header(kV, 1, 0).Word(1).Word(1000001).Word(5).Word(0x7FFFFFFF).Raw("x").str(), -5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Patch(c.bytes), c.code);
  }
  EXPECT_EQ(Patch(whole), 0);
  EXPECT_EQ(Db(), (Contents{{{1, 2}, "compressed blob"},
                            {{1000020, 1}, TemplateRecord(1000020, 1, "ab")},
                            {{7, 7}, ""}}));
  // Nothing was left behind by the binary-patch case: it failed before any file was made.
  EXPECT_FALSE(std::filesystem::exists(m_install / "tmp.dat"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "patch.rtp"));
}

TEST_F(ResourcePatchTest, FilesThatCannotBeOpened) {
  EXPECT_EQ(PatchDatabase(kDatabase, "Patches\\missing.res"), -1);
  EXPECT_EQ(TestInstallation::LogText(), "Cannot open patchfile 'Patches\\missing.res'\n");

  TestInstallation::ClearLog();
  WriteFile(m_install / "cd_image/data/db/ResourceDatabase.dat", std::string(4096, 'x'));
  WriteFile(m_install / "cd_image/data/db/ResourceDatabase.idx", std::string(4096, 'y'));
  EXPECT_EQ(Patch(ResBytes().Header(kV, 0, 0).Word(0).str()), -10);
  EXPECT_EQ(TestInstallation::LogText(), std::string("Cannot open database '") + kDatabase + "' for readwrite access\n");
}

TEST_F(ResourcePatchTest, OldFormatHasNoBinaryPatchEntries) {
  EXPECT_EQ(Patch(ResBytes().Header(fmt::kVersionCompressedOnly, 2, 0).Word(2).StoreBlob(1000009, 5, "plain").StoreBlob(1000001, 0, "").str()),
            0);
  EXPECT_EQ(Db(), (Contents{{{1000001, 0}, ""}, {{1000009, 5}, "plain"}}));
}

TEST_F(ResourcePatchTest, TemplatePackageBecomesRecordsAndIsNeverStoredItself) {
  SeedDb({{{1000020, 0}, "untouched"}});
  ResBytes patch;
  patch.Header(kV, 3, 0).Word(3);
  patch.StoreRaw(1000020, 0, TemplatePackage(TemplateEntry(0x8003, 1, "abc") + TemplateEntry(0x0001, 2, "d")));
  patch.StoreRaw(1000020, 0, "\x01\x00\x00\x00damaged");  // shows its box; the patch goes on
  patch.StoreBlob(8, 8, "after");
  EXPECT_EQ(Patch(patch.str()), 0);
  EXPECT_EQ(Db(), (Contents{{{8, 8}, "after"},
                            {{1000020, 0}, "untouched"},
                            {{1000020, 2}, TemplateRecord(1000020, 2, "d")},
                            {{1040005, 1}, TemplateRecord(1040005, 1, "abc")}}));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kCorruptTemplatesText});
  EXPECT_EQ(s_progress.size(), 3u);
}

// Binary-patch entries go through the library the patch run loaded.
class ResourceBinaryPatchTest : public ResourcePatchTest {
 protected:
  void SetUp() override {
    ResourcePatchTest::SetUp();
    m_library = LoadLibraryA(QX_BINARY_DIR "/bin/patchw32.dll");
    ASSERT_NE(m_library, nullptr);
    auto entry = reinterpret_cast<RTPATCHAPPLY32_FN>(GetProcAddress(m_library, "RTPatchApply32@12"));
    ASSERT_NE(entry, nullptr);
    SetRTPatchEntry(entry, &RecordCallback);
  }
  void TearDown() override {
    ResourcePatchTest::TearDown();
    if (m_library) FreeLibrary(m_library);
  }

  static std::string BlobPatch(const std::string& a_sOld, const std::string& a_sNew) {
    std::string patch, error;
    EXPECT_TRUE(qx::rtpatch::BuildBlobPatch(a_sOld, a_sNew, patch, {}, &error)) << error;
    return patch;
  }

  HMODULE m_library = nullptr;
};

TEST_F(ResourceBinaryPatchTest, BlobsArePatchedInTheWorkingFolder) {
  const std::string old1 = Blob(50000, 2);
  const std::string new1 = qx::rtpatch::testing::Edited(old1, 3);
  const std::string added = Blob(7000, 4);
  SeedDb({{{1000001, 1}, old1}, {{1000026, 3}, "to be emptied"}});
  // A stale "tmp.dat" must not be taken for the blob of a missing key.
  WriteFile(m_install / "tmp.dat", "stale");
  ResBytes patch;
  patch.Header(kV, 3, 0).Word(3);
  patch.StoreRaw(1000001, 1, BlobPatch(old1, new1));
  patch.StoreRaw(1000010, 2, BlobPatch("", added));
  patch.StoreRaw(1000026, 3, BlobPatch("to be emptied", ""));
  EXPECT_EQ(Patch(patch.str()), 0) << TestInstallation::LogText();
  EXPECT_EQ(Db(), (Contents{{{1000001, 1}, new1}, {{1000010, 2}, added}, {{1000026, 3}, ""}}));
  EXPECT_FALSE(std::filesystem::exists(m_install / "tmp.dat"));
  EXPECT_FALSE(std::filesystem::exists(m_install / "patch.rtp"));
  // The patch run's callback heard about each blob.
  EXPECT_EQ(std::count(s_callbacks.begin(), s_callbacks.end(), "7 tmp.dat"), 3);
}

TEST_F(ResourceBinaryPatchTest, AFailingPatchStopsWithItsCode) {
  SeedDb({{{1000009, 5}, "not the old blob"}});
  ResBytes patch;
  patch.Header(kV, 2, 0).Word(2).StoreBlob(6, 6, "before").StoreRaw(1000009, 5, BlobPatch(Blob(900, 5), Blob(900, 6)));
  EXPECT_EQ(Patch(patch.str()), -8);
  EXPECT_EQ(TestInstallation::CountInLog("Error! Couldn't patch the blob extracted from the database: 1000009:5 return value "), 1);
  EXPECT_EQ(Db(), (Contents{{{6, 6}, "before"}, {{1000009, 5}, "not the old blob"}}));
  // The files of the failed step stay for inspection.
  EXPECT_EQ(ReadFile(m_install / "tmp.dat"), "not the old blob");
  EXPECT_TRUE(std::filesystem::exists(m_install / "patch.rtp"));

  // Without the library loaded, the entry fails the same way instead of calling nothing.
  SetRTPatchEntry(nullptr, nullptr);
  TestInstallation::ClearLog();
  EXPECT_EQ(Patch(ResBytes().Header(kV, 1, 0).Word(1).StoreRaw(1000009, 7, BlobPatch("", "x")).str()), -8);
  EXPECT_EQ(TestInstallation::CountInLog("Couldn't patch the blob extracted from the database: 1000009:7"), 1);
}

}  // namespace
