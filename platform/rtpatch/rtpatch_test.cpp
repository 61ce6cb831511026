#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "platform/rtpatch/builder.h"
#include "platform/rtpatch/digest.h"
#include "platform/rtpatch/rtpatch.h"
#include "platform/rtpatch/rtpatch_format.h"
#include "platform/rtpatch/testing/tree_fixture.h"
#include "tests/support/temp_dir.h"

namespace qx::rtpatch {
namespace {

using namespace testing;
namespace fmt = format;

const Tree& OldTree() {
  static const Tree tree = {
      {"game.exe", Binary(300000, 1)},
      {"data/level1.pak", Binary(200000, 2)},
      {"data/same.pak", Binary(50000, 3)},
      {"data/gone.pak", Binary(10000, 4)},
      {"readme.txt", "version 1\n"},
  };
  return tree;
}

const Tree& NewTree() {
  static const Tree tree = {
      {"game.exe", Edited(OldTree().at("game.exe"), 11)},
      {"data/level1.pak", Edited(OldTree().at("data/level1.pak"), 12)},
      {"data/same.pak", OldTree().at("data/same.pak")},
      {"data/maps/new.map", Binary(30000, 5)},
      {"readme.txt", "version 2\n"},
      {"empty.cfg", ""},
  };
  return tree;
}

Tree Files(const Tree& t) {
  Tree out;
  for (const auto& [k, v] : t) {
    if (k.back() != '/') out[k] = v;
  }
  return out;
}

// An old and a new tree on disk, the patch between them, and a copy of the
// old tree to apply it to.
class PatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteTree(dir / "old", OldTree());
    WriteTree(dir / "new", NewTree());
    WriteTree(dir / "work", OldTree());
  }
  std::string Build(BuildOptions_t options = {}) {
    std::string patch = dir / "update.rtp", error;
    EXPECT_TRUE(BuildFolderPatch(dir / "old", dir / "new", patch, options, &stats, &error)) << error;
    return patch;
  }
  DWORD Apply(const std::string& patch) { return ApplyPatch(patch, work(), &Recorder::Callback); }
  std::string work() const { return dir / "work"; }

  qx::test::TempDir dir;
  BuildStats_t stats;
};

TEST_F(PatchTest, TurnsTheOldTreeIntoTheNewOne) {
  std::string patch = Build();
  EXPECT_EQ(stats.added, 2u);
  EXPECT_EQ(stats.modified, 3u);
  EXPECT_EQ(stats.deleted, 1u);
  EXPECT_EQ(stats.unchanged, 1u);
  Recording rec;
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Files(Snapshot(work())), NewTree());
  // Nothing else is left behind: no temporaries, no rename list.
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, ReportsCountNamesProgressAndCompletion) {
  std::string patch = Build();
  Recording rec;
  ASSERT_EQ(Apply(patch), kOk);
  const auto& calls = rec.recorder.calls;
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().id, kCallbackFileCount);
  EXPECT_EQ(calls.front().value, 6u);
  EXPECT_EQ(rec.recorder.Names(), (std::vector<std::string>{"data\\gone.pak", "data\\level1.pak",
                                                            "data\\maps\\new.map", "empty.cfg", "game.exe",
                                                            "readme.txt"}));
  EXPECT_EQ(rec.recorder.Count(kCallbackFileDone), 6);
  DWORD last = 0;
  for (const auto& c : calls) {
    if (c.id != kCallbackProgress) continue;
    EXPECT_GE(c.value, last);
    EXPECT_LE(c.value, kProgressMax);
    last = c.value;
  }
  EXPECT_EQ(last, kProgressMax);
  // Each file's name comes before its completion.
  int open = 0;
  for (const auto& c : calls) {
    if (c.id == kCallbackFileName) ++open;
    if (c.id == kCallbackFileDone) --open;
    EXPECT_GE(open, 0);
    EXPECT_LE(open, 1);
  }
  EXPECT_EQ(rec.recorder.Count(kCallbackDelayed), 0);
}

TEST_F(PatchTest, LongWorkReportsIdleCallbacks) {
  WriteFile(dir / "new/big.bin", Binary(9 << 20, 9));
  BuildOptions_t fast;
  fast.level = 1;
  std::string patch = Build(fast);
  Recording rec;
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_GE(rec.recorder.Count(kCallbackIdle), 2);
}

TEST_F(PatchTest, KeepsPermissionBits) {
  std::filesystem::permissions(dir / "new/game.exe", std::filesystem::perms(0755));
  std::string patch = Build();
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(std::filesystem::status(dir / "work/game.exe").permissions(), std::filesystem::perms(0755));
}

TEST_F(PatchTest, ApplyingTwiceFindsEverythingPatched) {
  std::string patch = Build();
  ASSERT_EQ(Apply(patch), kOk);
  Recording rec;
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
  EXPECT_EQ(rec.recorder.Count(kCallbackFileDone), 6);
}

TEST_F(PatchTest, PartlyReplacedTreeIsFinishedByAnotherApply) {
  std::string patch = Build();
  // As after a stop while files were being moved into place: some new, some old, one deleted.
  WriteFile(dir / "work/game.exe", NewTree().at("game.exe"));
  std::filesystem::remove(dir / "work/data/gone.pak");
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, EmptyFileWhereOneIsAddedCountsAsAnInterruptedAdd) {
  std::string patch = Build();
  WriteFile(dir / "work/data/maps/new.map", "");
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, AbortFromTheCallbackChangesNothing) {
  std::string patch = Build();
  const Tree before = Snapshot(work());
  for (UINT id : {kCallbackFileCount, kCallbackFileName, kCallbackFileDone, kCallbackProgress}) {
    Recording rec;
    rec.recorder.abortId = id;
    rec.recorder.abortAt = id == kCallbackFileCount ? 1 : 3;
    EXPECT_EQ(Apply(patch), kPatchFailed) << "abort at id " << id;
    EXPECT_EQ(Snapshot(work()), before) << "abort at id " << id;
  }
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, ProcessKilledMidwayLeavesATreeThatAppliesAgain) {
  std::string patch = Build();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Killed after its fourth file, temporaries on disk.
    static int done = 0;
    auto dying = [](UINT id, LPVOID) -> LPVOID {
      static char go[] = "";
      if (id == kCallbackFileDone && ++done == 4) ::kill(::getpid(), SIGKILL);
      return go;
    };
    ApplyPatch(patch, work(), dying);
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_NE(Snapshot(work()), Snapshot(dir / "old"));  // left-overs of the killed run
  ASSERT_EQ(Apply(patch), kOk);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, WriteFailureChangesNothing) {
  std::string patch = Build();
  const Tree before = Snapshot(work());
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Files may not grow past 100 KB in this process: writing game.exe fails.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(static_cast<int>(ApplyPatch(patch, work(), nullptr)));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(static_cast<DWORD>(WEXITSTATUS(status)), kWriteFailed);
  EXPECT_EQ(Snapshot(work()), before);
}

// The state of the tree decides the result; a failing apply changes nothing.
TEST_F(PatchTest, TreeStatesGiveTheirCodes) {
  std::string patch = Build();
  const struct {
    const char* what;
    void (*arrange)(const std::string& work);
    DWORD code;
    UINT callback;  // expected extra callback, 0 for none
  } cases[] = {
      {"file to patch missing", [](const std::string& w) { std::filesystem::remove(w + "/game.exe"); },
       kOldFileMissing, kCallbackMissingFile},
      {"file to patch changed", [](const std::string& w) { WriteFile(w + "/game.exe", "something else"); },
       kContentMismatch, 0},
      {"file to patch has old size, other bytes",
       [](const std::string& w) { WriteFile(w + "/readme.txt", "version 3\n"); }, kContentMismatch, 0},
      {"file to delete changed", [](const std::string& w) { WriteFile(w + "/data/gone.pak", "mine"); },
       kContentMismatch, 0},
      {"file to add exists", [](const std::string& w) { WriteFile(w + "/data/maps/new.map", "user map"); },
       kNewFileExists, 0},
      {"file to patch is a folder",
       [](const std::string& w) {
         std::filesystem::remove(w + "/readme.txt");
         std::filesystem::create_directory(w + "/readme.txt");
       },
       kOldFileOpenFailed, 0},
      {"folder of a new file is a file", [](const std::string& w) { WriteFile(w + "/data/maps", "x"); },
       kNewFileOpenFailed, 0},
  };
  for (const auto& c : cases) {
    qx::test::TempDir fresh;
    WriteTree(fresh.str(), OldTree());
    c.arrange(fresh.str());
    const Tree before = Snapshot(fresh.str());
    Recording rec;
    EXPECT_EQ(ApplyPatch(patch, fresh.str(), &Recorder::Callback), c.code) << c.what;
    EXPECT_EQ(Snapshot(fresh.str()), before) << c.what;
    if (c.callback) {
      EXPECT_EQ(rec.recorder.Count(c.callback), 1) << c.what;
    }
  }
}

TEST_F(PatchTest, CommandLineAndLocationCodes) {
  std::string patch = Build();
  WriteFile(dir / "afile", "x");
  const Tree before = Snapshot(work());
  const struct {
    std::string line;
    DWORD code;
  } cases[] = {
      {"", kIllegalOption},
      {"   ", kIllegalOption},
      {"-v " + patch, kIllegalOption},
      {patch + " " + work() + " extra", kTooManyArguments},
      {dir / "missing.rtp", kPatchNotFound},
      {dir / "nofolder/x.rtp", kPatchNotFound},
      {dir.str(), kPatchOpenFailed},
      {patch + " " + (dir / "nowhere"), kUpdateFolderMissing},
      {patch + " " + (dir / "afile"), kUpdateFolderInvalid},
      {"\"" + patch + "\" \"" + work() + "\"", kOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplyCommandLine(c.line.c_str(), nullptr), c.code) << c.line;
    if (c.code != kOk) {
      EXPECT_EQ(Snapshot(work()), before) << c.line;
    }
  }
  EXPECT_EQ(ApplyCommandLine(nullptr, nullptr), kIllegalOption);
  EXPECT_EQ(Snapshot(work()), Snapshot(dir / "new"));
}

TEST_F(PatchTest, DamagedPatchIsRefusedBeforeAnythingChanges) {
  const std::string patch = Build();
  const std::string good = ReadFile(patch);
  const Tree before = Snapshot(work());
  auto check = [&](const std::string& bytes, DWORD code, const std::string& what) {
    WriteFile(dir / "bad.rtp", bytes);
    Recording rec;
    EXPECT_EQ(ApplyPatch(dir / "bad.rtp", work(), &Recorder::Callback), code) << what;
    EXPECT_EQ(rec.recorder.Count(kCallbackInvalidPatch), code == kCorrupt ? 1 : 0) << what;
    EXPECT_EQ(rec.recorder.Count(kCallbackFileName), 0) << what;
    EXPECT_EQ(Snapshot(work()), before) << what;
  };
  for (std::size_t at : {std::size_t{0}, std::size_t{13}, std::size_t{20}, std::size_t{35}, fmt::kHeaderSize + 3,
                         fmt::kHeaderSize + 70, good.size() / 2, good.size() - 1}) {
    std::string bad = good;
    bad[at] ^= 0x01;
    check(bad, kCorrupt, "flipped byte at " + std::to_string(at));
  }
  for (std::size_t length : {std::size_t{0}, std::size_t{10}, fmt::kHeaderSize, good.size() / 2, good.size() - 1}) {
    check(good.substr(0, length), kCorrupt, "cut to " + std::to_string(length));
  }
  check(good + "x", kCorrupt, "trailing byte");
  check("just some text that is not a patch at all, long enough for a header.\n", kCorrupt, "text file");

  std::string later = good;  // a format version this library does not know
  fmt::Put32(reinterpret_cast<unsigned char*>(later.data()) + fmt::kVersionOffset, fmt::kFormatVersion + 1);
  check(later, kIncompatible, "newer version");
}

// A container written entry by entry, for paths and payloads the builder
// never writes.
std::string Container(const std::vector<std::pair<std::string, std::string>>& adds) {
  std::string table, payload;
  for (const auto& [path, content] : adds) {
    std::string frame(ZSTD_compressBound(content.size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), 3));
    unsigned char seg[fmt::kSegmentHeaderSize];
    fmt::WriteSegmentHeader(seg, {0, 0, content.size(), frame.size()});
    fmt::EntryHeader_t h;
    h.op = fmt::kOpAdd;
    h.pathLength = static_cast<std::uint16_t>(path.size());
    h.newSize = content.size();
    h.newDigest = Digest64(content.data(), content.size());
    h.payloadOffset = payload.size();
    h.payloadSize = sizeof seg + frame.size();
    h.segmentCount = 1;
    payload.append(reinterpret_cast<char*>(seg), sizeof seg);
    payload += frame;
    unsigned char e[fmt::kEntryFixedSize];
    fmt::WriteEntryHeader(e, h);
    table.append(reinterpret_cast<char*>(e), sizeof e);
    table += path;
  }
  std::string file(fmt::kHeaderSize, '\0');
  auto* head = reinterpret_cast<unsigned char*>(file.data());
  std::memcpy(head, fmt::kMagic, sizeof fmt::kMagic);
  fmt::Put32(head + fmt::kVersionOffset, fmt::kFormatVersion);
  fmt::Put32(head + fmt::kEntryCountOffset, static_cast<std::uint32_t>(adds.size()));
  fmt::Put64(head + fmt::kTableSizeOffset, table.size());
  fmt::Put64(head + fmt::kPayloadSizeOffset, payload.size());
  file += table + payload;
  fmt::Put64(reinterpret_cast<unsigned char*>(file.data()) + fmt::kChecksumOffset,
             Digest64(file.data(), file.size()));
  return file;
}

TEST(PatchSafety, PathsLeavingTheFolderAreRefused) {
  qx::test::TempDir dir;
  WriteTree(dir / "root/work", {{"keep.txt", "keep"}});
  const std::string work = dir / "root/work";
  // A well-formed container with a harmless entry applies; the same with an unsafe one is invalid.
  WriteFile(dir / "ok.rtp", Container({{"sub/fine.txt", "fine"}}));
  EXPECT_EQ(ApplyPatch(dir / "ok.rtp", work, nullptr), kOk);
  EXPECT_EQ(ReadFile(work + "/sub/fine.txt"), "fine");

  const Tree before = Snapshot(dir.str());
  for (const char* path : {"../evil.txt", "sub/../../evil.txt", "/tmp/evil.txt", "sub\\..\\..\\evil.txt",
                           "C:evil.txt", "sub//evil.txt", "./evil.txt", "sub/", ".."}) {
    WriteFile(dir / "bad.rtp", Container({{"first.txt", "1"}, {path, "evil"}}));
    Recording rec;
    EXPECT_EQ(ApplyPatch(dir / "bad.rtp", work, &Recorder::Callback), kCorrupt) << path;
    EXPECT_EQ(rec.recorder.Count(kCallbackInvalidPatch), 1) << path;
    std::filesystem::remove(dir / "bad.rtp");
    EXPECT_EQ(Snapshot(dir.str()), before) << path;
  }
  WriteFile(dir / "bad.rtp", Container({{"Same.txt", "1"}, {"same.TXT", "2"}}));
  EXPECT_EQ(ApplyPatch(dir / "bad.rtp", work, nullptr), kCorrupt) << "one file named twice";
}

TEST(PatchSafety, SymbolicLinksAreNotFollowed) {
  qx::test::TempDir dir;
  WriteTree(dir / "outside", {{"victim.txt", "victim"}});
  WriteTree(dir / "work", {{"plain.txt", "plain"}});
  std::filesystem::create_directory_symlink(dir / "outside", dir / "work/linkdir");
  std::filesystem::create_symlink(dir / "outside/victim.txt", dir / "work/linkfile.txt");
  const Tree outside = Snapshot(dir / "outside");
  const struct {
    const char* path;
    DWORD code;
  } cases[] = {
      {"linkdir/victim.txt", kNewFileOpenFailed},
      {"linkdir/new.txt", kNewFileOpenFailed},
      {"linkfile.txt", kNewFileExists},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "p.rtp", Container({{c.path, "evil"}}));
    EXPECT_EQ(ApplyPatch(dir / "p.rtp", dir / "work", nullptr), c.code) << c.path;
    EXPECT_EQ(Snapshot(dir / "outside"), outside) << c.path;
  }
  // A modify or delete through a link is refused as well.
  WriteTree(dir / "a", {{"linkfile.txt", "victim"}});
  WriteTree(dir / "b", {{"linkfile.txt", "changed"}});
  std::string error;
  ASSERT_TRUE(BuildFolderPatch(dir / "a", dir / "b", dir / "m.rtp", {}, nullptr, &error)) << error;
  EXPECT_EQ(ApplyPatch(dir / "m.rtp", dir / "work", nullptr), kOldFileOpenFailed);
  EXPECT_EQ(Snapshot(dir / "outside"), outside);
}

TEST(PatchNames, LetterCaseAndSeparatorsOfTheTreeDoNotMatter) {
  qx::test::TempDir dir;
  WriteTree(dir / "old", {{"Data/Level.pak", Binary(20000, 1)}, {"Old.txt", "x"}});
  WriteTree(dir / "new", {{"Data/Level.pak", Edited(Binary(20000, 1), 2)}});
  WriteTree(dir / "work", {{"DATA/level.PAK", Binary(20000, 1)}, {"old.TXT", "x"}});
  std::string error;
  ASSERT_TRUE(BuildFolderPatch(dir / "old", dir / "new", dir / "p.rtp", {}, nullptr, &error)) << error;
  ASSERT_EQ(ApplyPatch(dir / "p.rtp", dir / "work", nullptr), kOk);
  EXPECT_EQ(Snapshot(dir / "work"), (Tree{{"DATA/", ""}, {"DATA/level.PAK", Edited(Binary(20000, 1), 2)}}));
}

TEST(FilePatch, TurnsTmpDatIntoTheNewBlob) {
  qx::test::TempDir dir;
  const std::string oldBlob = Binary(40000, 7), newBlob = Edited(oldBlob, 8);
  WriteFile(dir / "old.bin", oldBlob);
  WriteFile(dir / "new.bin", newBlob);
  WriteFile(dir / "empty.bin", "");
  std::string error;
  ASSERT_TRUE(BuildFilePatch(dir / "old.bin", dir / "new.bin", dir / "blob.rtp", {}, nullptr, &error)) << error;
  ASSERT_TRUE(BuildFilePatch(dir / "empty.bin", dir / "new.bin", dir / "fresh.rtp", {}, nullptr, &error)) << error;
  ASSERT_TRUE(BuildFilePatch(dir / "absent.bin", dir / "new.bin", dir / "fresh2.rtp", {}, nullptr, &error)) << error;

  const struct {
    const char* patch;
    const char* tmpBefore;  // nullptr: no "tmp.dat"
    DWORD code;
  } cases[] = {
      {"blob.rtp", "old", kOk},
      {"blob.rtp", "new", kOk},
      {"blob.rtp", nullptr, kOldFileMissing},
      {"blob.rtp", "other", kContentMismatch},
      {"fresh.rtp", nullptr, kOk},   // a key without a blob: no "tmp.dat" at all
      {"fresh.rtp", "", kOk},        // an empty blob
      {"fresh2.rtp", nullptr, kOk},
  };
  for (const auto& c : cases) {
    qx::test::TempDir work;
    if (c.tmpBefore) {
      std::string content = c.tmpBefore;
      WriteFile(work / "tmp.dat", content == "old" ? oldBlob : content == "new" ? newBlob : content);
    }
    const Tree before = Snapshot(work.str());
    EXPECT_EQ(ApplyPatch(dir / c.patch, work.str(), nullptr), c.code) << c.patch << " " << (c.tmpBefore ? c.tmpBefore : "-");
    if (c.code == kOk) {
      EXPECT_EQ(Snapshot(work.str()), (Tree{{"tmp.dat", newBlob}}));
    } else {
      EXPECT_EQ(Snapshot(work.str()), before);
    }
  }
}

TEST(FilePatch, BlobsInMemoryMakeTheSamePatch) {
  qx::test::TempDir dir;
  const std::string oldBlob = Binary(30000, 3), newBlob = Edited(oldBlob, 4);
  std::string patch, error;
  const struct {
    std::string old;
    const char* tmpBefore;
  } cases[] = {{oldBlob, "old"}, {"", nullptr}};
  for (const auto& c : cases) {
    ASSERT_TRUE(BuildBlobPatch(c.old, newBlob, patch, {}, &error)) << error;
    qx::test::TempDir work;
    WriteFile(work / "patch.rtp", patch);
    if (c.tmpBefore) WriteFile(work / "tmp.dat", c.old);
    ASSERT_EQ(ApplyPatch(work / "patch.rtp", work.str(), nullptr), kOk);
    EXPECT_EQ(ReadFile(work / "tmp.dat"), newBlob);
  }
}

TEST(FilePatch, LargeFilesAreSplitIntoBoundedSegments) {
  qx::test::TempDir dir;
  std::string oldBig = Binary(1 << 20, 21);
  std::string newBig = Edited(oldBig, 22);
  newBig.insert(100000, Binary(30000, 23));
  newBig.erase(700000, 20000);
  WriteFile(dir / "old.bin", oldBig);
  WriteFile(dir / "new.bin", newBig);
  BuildOptions_t options;
  options.segmentSize = 64 << 10;
  BuildStats_t stats;
  std::string error;
  ASSERT_TRUE(BuildFilePatch(dir / "old.bin", dir / "new.bin", dir / "p.rtp", options, &stats, &error, "big.bin"))
      << error;
  const std::string patch = ReadFile(dir / "p.rtp");
  const auto entry = fmt::ReadEntryHeader(reinterpret_cast<const unsigned char*>(patch.data()) + fmt::kHeaderSize);
  EXPECT_EQ(entry.segmentCount, (newBig.size() + options.segmentSize - 1) / options.segmentSize);
  EXPECT_LT(stats.patchSize, 100000u);  // the references still find the unchanged bytes
  WriteFile(dir / "work/big.bin", oldBig);
  ASSERT_EQ(ApplyPatch(dir / "p.rtp", dir / "work", nullptr), kOk);
  EXPECT_EQ(ReadFile(dir / "work/big.bin"), newBig);
}

TEST(DeferredPatch, BusyTargetIsStagedForTheLauncher) {
  qx::test::TempDir dir;
  WriteTree(dir / "old", {{"Quorvex.exe", Binary(5000, 1)}, {"data.pak", "old data"}});
  WriteTree(dir / "new", {{"Quorvex.exe", Binary(5000, 2)}, {"data.pak", "new data"}});
  BuildOptions_t options;
  options.deferred = {"quorvex.exe"};
  std::string error;
  ASSERT_TRUE(BuildFolderPatch(dir / "old", dir / "new", dir / "p.rtp", options, nullptr, &error)) << error;

  // Not busy: replaced at once.
  WriteTree(dir / "idle", {{"Quorvex.exe", Binary(5000, 1)}, {"data.pak", "old data"}});
  ASSERT_EQ(ApplyPatch(dir / "p.rtp", dir / "idle", nullptr), kOk);
  EXPECT_EQ(Snapshot(dir / "idle"), Snapshot(dir / "new"));

  // Busy (a lock held on it, as a running program holds its file): staged beside it.
  WriteTree(dir / "busy", {{"Quorvex.exe", Binary(5000, 1)}, {"data.pak", "old data"}});
  int fd = ::open((dir / "busy/Quorvex.exe").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
  for (int round = 0; round < 2; ++round) {  // a second apply lists the file once
    Recording rec;
    ASSERT_EQ(ApplyPatch(dir / "p.rtp", dir / "busy", &Recorder::Callback), kOk);
    EXPECT_EQ(rec.recorder.Count(kCallbackDelayed), 1);
    EXPECT_EQ(Snapshot(dir / "busy"), (Tree{{"Quorvex.exe", Binary(5000, 1)},
                                           {"Quorvex.exe.rtpnew", Binary(5000, 2)},
                                           {"data.pak", "new data"},
                                           {"Rename.ini", "[Rename]\r\nQuorvex.exe.rtpnew=Quorvex.exe\r\n"}}));
  }
  ::close(fd);
}

TEST(Builder, RefusesWhatItCannotRepresent) {
  qx::test::TempDir dir;
  WriteTree(dir / "a", {{"x.txt", "1"}});
  WriteTree(dir / "b", {{"X.txt", "1"}, {"x.TXT", "2"}});
  WriteTree(dir / "c", {{"y.txt", "1"}});
  std::filesystem::create_symlink("y.txt", dir / "c/link");
  std::string error;
  EXPECT_FALSE(BuildFolderPatch(dir / "a", dir / "b", dir / "p.rtp", {}, nullptr, &error));
  EXPECT_NE(error.find("letter case"), std::string::npos) << error;
  EXPECT_FALSE(BuildFolderPatch(dir / "a", dir / "c", dir / "p.rtp", {}, nullptr, &error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(BuildFolderPatch(dir / "a", dir / "missing", dir / "p.rtp", {}, nullptr, &error));
  EXPECT_FALSE(BuildFilePatch(dir / "a/x.txt", dir / "missing", dir / "p.rtp", {}, nullptr, &error));
  EXPECT_FALSE(BuildFilePatch(dir / "a/x.txt", dir / "a/x.txt", dir / "p.rtp", {}, nullptr, &error, "../x"));
  EXPECT_FALSE(std::filesystem::exists(dir / "p.rtp"));
  EXPECT_FALSE(std::filesystem::exists(dir / "p.rtp.tmp"));
}

}  // namespace
}  // namespace qx::rtpatch
