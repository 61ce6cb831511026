#include "patcher/engine/record_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <random>

#include "patcher/engine/engine_format.h"
#include "patcher/engine/engine_test_support.h"
#include "tests/support/temp_dir.h"

namespace qx::engine {
namespace {

using fixture::Image;
using fixture::Key;

class RecordEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitEngine(3000, 6, 32, 1000, 1), kOk);
    def = fixture::ResourceDefinition(dir / "Res");
  }
  void TearDown() override {
    SetLockMode(kLockNone);
    ShutdownEngine();
  }

  void Create() { ASSERT_EQ(CreateFileSet(def, fixture::CreationBlock(), fixture::CreationBlock()), kOk); }

  int Put(IFIL& d, uint32_t type, uint32_t instance, const std::string& blob) {
    uint8_t fixed[8];
    auto image = Image(type, instance, blob);
    int rc = GetEqualKey(d.dataFileNumber + 1, Key(type, instance).data(), fixed);
    if (rc == kOk) return ReplaceRecord(d.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
    if (rc == kKeyNotFound) return InsertRecord(d.dataFileNumber, image.data(), static_cast<uint32_t>(image.size()));
    return rc;
  }
  int Put(uint32_t type, uint32_t instance, const std::string& blob) { return Put(def, type, instance, blob); }

  // The blob of a key, or the engine's code as text.
  std::string Get(IFIL& d, uint32_t type, uint32_t instance) {
    uint8_t fixed[8];
    int rc = GetEqualKey(d.dataFileNumber + 1, Key(type, instance).data(), fixed);
    if (rc != kOk) return "code " + std::to_string(rc);
    uint32_t n = GetRecordLength(d.dataFileNumber);
    std::vector<uint8_t> image(n);
    rc = ReadRecord(d.dataFileNumber, image.data(), n);
    if (rc != kOk) return "read " + std::to_string(rc);
    EXPECT_EQ(0, std::memcmp(fixed, image.data(), 8));
    return std::string(image.begin() + 12, image.end());
  }
  std::string Get(uint32_t type, uint32_t instance) { return Get(def, type, instance); }

  int Remove(uint32_t type, uint32_t instance) {
    uint8_t fixed[8];
    int rc = GetEqualKey(def.dataFileNumber + 1, Key(type, instance).data(), fixed);
    return rc == kOk ? RemoveRecord(def.dataFileNumber) : rc;
  }

  std::map<std::pair<uint32_t, uint32_t>, std::string> Contents(IFIL& d) {
    std::map<std::pair<uint32_t, uint32_t>, std::string> out;
    uint8_t fixed[8];
    for (int rc = GetFirstKey(d.dataFileNumber + 1, fixed); rc == kOk; rc = GetNextKey(d.dataFileNumber + 1, fixed)) {
      uint32_t words[2];
      std::memcpy(words, fixed, 8);
      out[{words[0], words[1]}] = Get(d, words[0], words[1]);
    }
    return out;
  }

  uint64_t DataSize() { return std::filesystem::file_size(dir / "Res.dat"); }

  test::TempDir dir;
  IFIL def;
};

TEST_F(RecordEngineTest, CreateOpenCloseAndFileNumbers) {
  IFIL missing = fixture::ResourceDefinition(dir / "Nothing");
  EXPECT_EQ(OpenFileSet(missing), kFileNotFound);
  EXPECT_EQ(missing.dataFileNumber, -1);
  EXPECT_FALSE(std::filesystem::exists(dir / "Nothing.dat"));

  Create();
  EXPECT_EQ(def.dataFileNumber, 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "Res.dat"));
  EXPECT_TRUE(std::filesystem::exists(dir / "Res.idx"));
  IFIL again = def;
  again.dataFileNumber = -1;
  EXPECT_EQ(CreateFileSet(again, fixture::CreationBlock(), fixture::CreationBlock()), kDataFileExists);
  EXPECT_EQ(GetLastErrors().isamError, kDataFileExists);

  IFIL other = fixture::ResourceDefinition(dir / "Other");
  ASSERT_EQ(CreateFileSet(other, fixture::CreationBlock(), fixture::CreationBlock()), kOk);
  EXPECT_EQ(other.dataFileNumber, 2);
  // Record operations take the data number, key operations the index number.
  uint8_t fixed[8];
  EXPECT_EQ(GetFirstKey(other.dataFileNumber, fixed), kBadFileNumber);
  EXPECT_EQ(GetFirstKey(other.dataFileNumber + 1, fixed), kKeyNotFound);
  EXPECT_EQ(GetRecordLength(other.dataFileNumber + 1), 0u);

  ASSERT_EQ(CloseFileSet(def), kOk);
  EXPECT_EQ(def.dataFileNumber, -1);
  EXPECT_EQ(CloseFileSet(def), kBadFileNumber);
  ASSERT_EQ(OpenFileSet(def), kOk);
  EXPECT_EQ(def.dataFileNumber, 0);
  EXPECT_EQ(CloseFileSet(other), kOk);
}

TEST_F(RecordEngineTest, RecordsRoundTripAndPersist) {
  Create();
  ASSERT_EQ(Put(5, 1, "first"), kOk);
  ASSERT_EQ(Put(5, 2, ""), kOk);
  ASSERT_EQ(Put(4, 0xffffffff, std::string(70000, 'z')), kOk);
  EXPECT_EQ(Get(5, 1), "first");
  EXPECT_EQ(Get(5, 2), "");
  EXPECT_EQ(Get(4, 0xffffffff), std::string(70000, 'z'));
  EXPECT_EQ(Get(5, 3), "code 101");

  auto dup = Image(5, 1, "dup");
  EXPECT_EQ(InsertRecord(def.dataFileNumber, dup.data(), static_cast<uint32_t>(dup.size())), kKeyExists);
  const uint8_t tooShort[7] = {};
  EXPECT_EQ(InsertRecord(def.dataFileNumber, tooShort, 7), kBadRecordLength);

  ASSERT_EQ(Put(5, 1, "second, longer than the first"), kOk);
  EXPECT_EQ(Get(5, 1), "second, longer than the first");
  ASSERT_EQ(Remove(5, 2), kOk);
  EXPECT_EQ(Get(5, 2), "code 101");
  EXPECT_EQ(RemoveRecord(def.dataFileNumber), kNoCurrentRecord);
  EXPECT_EQ(Remove(5, 2), kKeyNotFound);

  ASSERT_EQ(CloseFileSet(def), kOk);
  ASSERT_EQ(OpenFileSet(def), kOk);
  auto contents = Contents(def);
  ASSERT_EQ(contents.size(), 2u);
  EXPECT_EQ(contents[std::make_pair(5u, 1u)], "second, longer than the first");
  EXPECT_EQ(contents[std::make_pair(4u, 0xffffffffu)].size(), 70000u);
}

TEST_F(RecordEngineTest, WalkFollowsKeyOrder) {
  Create();
  std::mt19937 random(3);
  std::map<std::pair<uint32_t, uint32_t>, std::string> model;
  for (int i = 0; i < 3000; ++i) {
    uint32_t type = 1000000 + random() % 5, instance = random();
    model[{type, instance}] = std::to_string(i);
    ASSERT_EQ(Put(type, instance, std::to_string(i)), kOk);
  }
  EXPECT_EQ(Contents(def), model);

  uint8_t fixed[8];
  const int index = def.dataFileNumber + 1;
  ASSERT_EQ(GetLastKey(index, fixed), kOk);
  uint32_t words[2];
  std::memcpy(words, fixed, 8);
  EXPECT_EQ(std::make_pair(words[0], words[1]), model.rbegin()->first);
  EXPECT_EQ(GetNextKey(index, fixed), kKeyNotFound);
  EXPECT_EQ(GetNextKey(index, fixed), kKeyNotFound);

  // Removing the current record does not lose the place in the walk.
  ASSERT_EQ(GetFirstKey(index, fixed), kOk);
  ASSERT_EQ(RemoveRecord(def.dataFileNumber), kOk);
  ASSERT_EQ(GetNextKey(index, fixed), kOk);
  std::memcpy(words, fixed, 8);
  EXPECT_EQ(std::make_pair(words[0], words[1]), std::next(model.begin())->first);
}

TEST_F(RecordEngineTest, EveryNameFormOpensTheSamePair) {
  Create();
  ASSERT_EQ(Put(1, 1, "x"), kOk);
  ASSERT_EQ(CloseFileSet(def), kOk);
  const std::string folder = dir.str();
  for (std::string name : {folder + "/Res", folder + "/Res.dat", folder + "/Res.idx", folder + "/RES.DAT",
                           folder + "\\res"}) {
    IFIL d = fixture::ResourceDefinition(name);
    ASSERT_EQ(OpenFileSet(d), kOk) << name;
    EXPECT_EQ(Get(d, 1, 1), "x") << name;
    ASSERT_EQ(CloseFileSet(d), kOk);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
}

TEST_F(RecordEngineTest, ARecordChangedSincePositioningIsReadWholeOrNotAtAll) {
  // A second open of the pair changes the record the first one is positioned on,
  // as another process may do: the reader never gets bytes of a copy whose length
  // differs from the one GetRecordLength told it.
  Create();
  IFIL other = def;
  other.dataFileNumber = -1;
  ASSERT_EQ(OpenFileSet(other), kOk);
  struct Case {
    const char* what;
    const char* now;  // null: removed
    int read;
  };
  const Case cases[] = {
      {"replaced by a copy of the same length", "wxyz", kOk},
      {"replaced by a longer copy", "a longer blob", kRecordLocked},
      {"replaced by a shorter copy", "ab", kRecordLocked},
      {"removed", nullptr, kNoCurrentRecord},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Put(1, 1, "abcd"), kOk);
    uint8_t fixed[8];
    ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
    const uint32_t told = GetRecordLength(def.dataFileNumber);
    ASSERT_EQ(told, 16u);
    if (c.now) {
      ASSERT_EQ(Put(other, 1, 1, c.now), kOk);
    } else {
      ASSERT_EQ(GetEqualKey(other.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
      ASSERT_EQ(RemoveRecord(other.dataFileNumber), kOk);
    }
    std::vector<uint8_t> image(told);
    EXPECT_EQ(ReadRecord(def.dataFileNumber, image.data(), told), c.read) << c.what;
    if (c.read == kOk) {
      EXPECT_EQ(std::string(image.begin() + 12, image.end()), c.now) << c.what;
    }
    if (c.read == kRecordLocked) {
      // The new copy is the current record now, and reads whole.
      const uint32_t now = GetRecordLength(def.dataFileNumber);
      ASSERT_EQ(now, 12 + std::strlen(c.now)) << c.what;
      image.resize(now);
      ASSERT_EQ(ReadRecord(def.dataFileNumber, image.data(), now), kOk) << c.what;
      EXPECT_EQ(std::string(image.begin() + 12, image.end()), c.now) << c.what;
    }
    if (c.read == kNoCurrentRecord) {
      EXPECT_EQ(GetRecordLength(def.dataFileNumber), 0u) << c.what;
    }
  }
  ASSERT_EQ(CloseFileSet(other), kOk);
}

TEST_F(RecordEngineTest, StoredModesParametersAndDefinitions) {
  def.dataFileMode = 6 | kWriteThrough;
  def.indexFileMode = 2 | kWriteThrough;
  Create();
  EXPECT_EQ(GetFileMode(def.dataFileNumber, 3), 6 | 0x40);
  EXPECT_EQ(GetFileMode(def.dataFileNumber + 1, 3), 2 | 0x40);
  EXPECT_LE(GetFileMode(def.dataFileNumber, 2), 0);
  ASSERT_EQ(SetFileMode(def.dataFileNumber, 6), kOk);
  ASSERT_EQ(SetFileMode(def.dataFileNumber + 1, 2), kOk);

  uint8_t block[64];
  ASSERT_EQ(GetCreationParameters(def.dataFileNumber, block), kOk);
  EXPECT_EQ(0, std::memcmp(block, fixture::CreationBlock(), 64));
  uint16_t stamp = 0;
  ASSERT_EQ(GetFormatStamp(def.dataFileNumber, &stamp), kOk);
  EXPECT_GE(stamp, 145);

  EXPECT_EQ(HasStoredDefinition(def.dataFileNumber), 0);
  EXPECT_EQ(HasStoredFieldList(def.dataFileNumber), 0);
  const DODA fields[3] = {{"Type", 59, 0}, {"Instance", 59, 0}, {"Blob", 128, 8192}};
  EXPECT_EQ(StoreFieldList(def.dataFileNumber, fields, 3), kNotOpenForFieldList);
  ASSERT_EQ(CloseFileSet(def), kOk);
  ASSERT_EQ(StoreDefinition(def), kOk);  // while closed
  IFIL exclusive = def;
  exclusive.dataFileMode = exclusive.indexFileMode = 0;
  ASSERT_EQ(OpenFileSet(exclusive), kOk);
  ASSERT_EQ(StoreFieldList(exclusive.dataFileNumber, fields, 3), kOk);
  ASSERT_EQ(CloseFileSet(exclusive), kOk);

  ASSERT_EQ(OpenFileSet(def), kOk);
  EXPECT_EQ(GetFileMode(def.dataFileNumber, 3), 6);
  EXPECT_EQ(GetFileMode(def.dataFileNumber + 1, 3), 2);
  EXPECT_NE(HasStoredDefinition(def.dataFileNumber), 0);
  EXPECT_NE(HasStoredFieldList(def.dataFileNumber), 0);
  IFIL stored;
  ASSERT_EQ(GetStoredDefinition(def.dataFileNumber, stored), kOk);
  EXPECT_EQ(stored.indexes.at(0).name, "ItemIdx");
  std::vector<DODA> list;
  ASSERT_EQ(GetStoredFieldList(def.dataFileNumber, list), kOk);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].name, "Instance");
}

TEST_F(RecordEngineTest, FreedSpaceIsReused) {
  // A database patched many times keeps a size near its content.
  Create();
  std::mt19937 random(11);
  auto size = [&] { return static_cast<size_t>(16 + random() % 3000); };
  for (uint32_t i = 0; i < 400; ++i) ASSERT_EQ(Put(7, i, std::string(size(), 'a')), kOk);
  uint64_t afterFirstRounds = 0;
  for (int round = 0; round < 30; ++round) {
    for (uint32_t i = 0; i < 400; ++i) {
      if (random() % 5 == 0) {
        int rc = Remove(7, i);
        ASSERT_TRUE(rc == kOk || rc == kKeyNotFound) << rc;
      } else {
        ASSERT_EQ(Put(7, i, std::string(size(), char('a' + round % 26))), kOk);
      }
    }
    if (round == 5) afterFirstRounds = DataSize();
  }
  EXPECT_LE(DataSize(), afterFirstRounds * 5 / 4);
  EXPECT_LE(DataSize(), uint64_t{400} * 3100 * 2);
}

TEST_F(RecordEngineTest, LocksFollowTheModeAndAreVisibleToOthers) {
  Create();
  ASSERT_EQ(Put(1, 1, "a"), kOk);
  ASSERT_EQ(Put(1, 2, "b"), kOk);
  // Another open file description stands in for another process.
  int other = ::open((dir / "Res.dat").c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  auto lockAt = [&](int64_t byte) {
    struct flock probe{};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = byte;
    probe.l_len = 1;
    EXPECT_EQ(::fcntl(other, F_OFD_GETLK, &probe), 0);
    return probe.l_type;
  };
  auto lockedBy = [&](uint32_t type, uint32_t instance) {
    return lockAt(format::kRecordLockBase + static_cast<int64_t>((uint64_t{type} << 32) | instance));
  };
  // Another process having the pair open, as the shared index header counts it.
  auto otherOpeners = [&](uint64_t count) {
    uint64_t openers = 1 + count;
    int index = ::open((dir / "Res.idx").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::pwrite(index, &openers, 8, offsetof(format::IndexHeader, openers)), 8);
    ::close(index);
  };
  uint8_t fixed[8];
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
  EXPECT_EQ(lockedBy(1, 1), F_UNLCK);  // no locking mode: no lock
  SetLockMode(kLockRead);
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
  EXPECT_EQ(lockedBy(1, 1), F_UNLCK);  // alone with the pair: a read lock is our own note
  otherOpeners(1);
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
  EXPECT_EQ(lockedBy(1, 1), F_RDLCK);  // with another process about, it is placed
  SetLockMode(kLockUpdate);  // a read lock in force is kept, new ones are for update
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 2).data(), fixed), kOk);
  EXPECT_EQ(lockedBy(1, 2), F_WRLCK);
  EXPECT_EQ(lockedBy(1, 1), F_RDLCK);
  // Our own locks never stand in our way.
  ASSERT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
  auto image = Image(1, 1, "changed");
  ASSERT_EQ(ReplaceRecord(def.dataFileNumber, image.data(), static_cast<uint32_t>(image.size())), kOk);
  EXPECT_EQ(lockAt(format::kWriterLockByte), F_WRLCK);  // a change keeps other writers out until the session ends
  SetLockMode(kLockNone);
  EXPECT_EQ(lockedBy(1, 1), F_UNLCK);
  EXPECT_EQ(lockedBy(1, 2), F_UNLCK);
  EXPECT_EQ(lockAt(format::kWriterLockByte), F_UNLCK);
  EXPECT_EQ(lockAt(format::kOpenLockByte), F_RDLCK);  // open, shared with others

  // A lock held elsewhere makes positioning answer 42 at once.
  struct flock held{};
  held.l_type = F_WRLCK;
  held.l_whence = SEEK_SET;
  held.l_start = format::kRecordLockBase + static_cast<int64_t>((uint64_t{1} << 32) | 2);
  held.l_len = 1;
  ASSERT_EQ(::fcntl(other, F_OFD_SETLK, &held), 0);
  SetLockMode(kLockRead);
  EXPECT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 2).data(), fixed), kRecordLocked);
  EXPECT_EQ(GetLastErrors().isamError, kRecordLocked);
  EXPECT_EQ(GetRecordLength(def.dataFileNumber), 0u);
  EXPECT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 1).data(), fixed), kOk);
  SetLockMode(kLockNone);
  EXPECT_EQ(GetEqualKey(def.dataFileNumber + 1, Key(1, 2).data(), fixed), kOk);  // no locking: no check
  ::close(other);
}

TEST_F(RecordEngineTest, RebuildReportsItsPhases) {
  Create();
  for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(Put(3, i, std::string(i % 50, 'q')), kOk);
  for (uint32_t i = 0; i < 1000; i += 3) ASSERT_EQ(Remove(3, i), kOk);
  auto before = Contents(def);

  IFIL rebuild = fixture::ResourceDefinition(dir / "Res.dat");  // named with its extension, as the rebuilder does
  EXPECT_EQ(RebuildFileSet(rebuild), kFileInUse);
  ASSERT_EQ(CloseFileSet(def), kOk);

  static std::vector<std::string> events;
  events.clear();
  SetRebuildCallback(
      [](long count, int event, const char* text) {
        events.push_back(std::string(1, static_cast<char>(event)) + std::to_string(count) + (text ? std::string(" ") + text : ""));
        return 0;
      },
      256);
  ASSERT_EQ(RebuildFileSet(rebuild), kOk);
  SetRebuildCallback(nullptr, 0);
  const std::vector<std::string> expected = {"m0 Rebuilding data file.", "d256", "d512",  "m0 Rebuilding index file.",
                                             "i256", "i512"};
  EXPECT_EQ(events, expected);
  ASSERT_EQ(OpenFileSet(def), kOk);
  EXPECT_EQ(Contents(def), before);
  ASSERT_EQ(CloseFileSet(def), kOk);
  CheckReport report;
  ASSERT_EQ(CheckFileSet(def, report), kOk);
  EXPECT_TRUE(report.indexMatches);
  EXPECT_EQ(report.liveRecords, before.size());
  EXPECT_TRUE(report.problems.empty()) << report.problems[0];
}

TEST_F(RecordEngineTest, StateLeftByAStopReopensWithEveryChange) {
  // Copying the files of an open pair gives what a killed process leaves behind.
  Create();
  for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(Put(9, i, std::to_string(i)), kOk);
  for (uint32_t i = 0; i < 500; i += 2) ASSERT_EQ(Put(9, i, "again " + std::to_string(i)), kOk);
  for (uint32_t i = 1; i < 500; i += 4) ASSERT_EQ(Remove(9, i), kOk);
  auto expected = Contents(def);
  for (const char* ext : {".dat", ".idx"}) {
    std::filesystem::copy_file(dir / ("Res" + std::string(ext)), dir / ("Copy" + std::string(ext)));
  }
  IFIL copy = fixture::ResourceDefinition(dir / "Copy");
  CheckReport report;
  ASSERT_EQ(CheckFileSet(copy, report), kOk);
  EXPECT_FALSE(report.problems.empty());  // not closed cleanly
  ASSERT_EQ(OpenFileSet(copy), kOk);
  EXPECT_EQ(Contents(copy), expected);
  ASSERT_EQ(CloseFileSet(copy), kOk);
  ASSERT_EQ(CheckFileSet(copy, report), kOk);
  EXPECT_TRUE(report.indexMatches);
  EXPECT_TRUE(report.problems.empty()) << report.problems[0];
}

}  // namespace
}  // namespace qx::engine
