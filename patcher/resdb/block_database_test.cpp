#include "patcher/resdb/block_database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "patcher/engine/engine_format.h"
#include "patcher/resdb/block_database_format.h"
#include "tests/support/temp_dir.h"

namespace {

namespace engine = qx::engine;

// Exposes the begin and end steps, to nest operations as a caller holding a read would.
class NestingDatabase : public BlockDatabase_t {
 public:
  using BlockDatabase_t::BeginOperation;
  using BlockDatabase_t::EndOperation;
  using BlockDatabase_t::LEVEL_READ;
};

std::string Blob(const BlockDatabase_t&, std::uint32_t size, std::uint8_t* data) {
  std::string out(reinterpret_cast<const char*>(data), size);
  delete[] data;
  return out;
}

class BlockDatabaseTest : public ::testing::Test {
 protected:
  std::string Base() { return dir / "ResourceDatabase"; }

  // The blob stored under a key, or "result N".
  std::string Get(BlockDatabase_t& db, std::uint32_t type, std::uint32_t instance) {
    std::uint32_t size = 77;
    std::uint8_t* data = nullptr;
    int rc = db.Get(type, instance, &size, &data);
    if (rc != 0) {
      EXPECT_EQ(size, 0u);
      EXPECT_EQ(data, nullptr);
      return "result " + std::to_string(rc);
    }
    EXPECT_NE(data, nullptr);
    return Blob(db, size, data);
  }

  std::vector<ResourceKey> Keys(BlockDatabase_t& db) {
    std::vector<ResourceKey> keys;
    BlockDatabaseCursor cursor(db);
    std::uint32_t type, instance, size;
    const std::uint8_t* data;
    while (cursor.Next(&type, &instance, &size, &data) == 0) keys.push_back({type, instance});
    return keys;
  }

  // Whether another process would find a lock on the record of a key.
  short LockOn(std::uint32_t type, std::uint32_t instance) {
    int fd = ::open((Base() + ".dat").c_str(), O_RDWR);
    struct flock probe{};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = engine::format::kRecordLockBase + static_cast<int64_t>((uint64_t{type} << 32) | instance);
    probe.l_len = 1;
    EXPECT_EQ(::fcntl(fd, F_OFD_GETLK, &probe), 0);
    ::close(fd);
    return probe.l_type;
  }

  qx::test::TempDir dir;
};

TEST_F(BlockDatabaseTest, OpenCreatesOnlyWhenAllowed) {
  BlockDatabase_t db;
  EXPECT_EQ(db.Open(Base().c_str(), true), -1);
  EXPECT_FALSE(db.IsOpen());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  testing::internal::CaptureStderr();
  ASSERT_EQ(db.Open((Base() + ".dat").c_str(), false), 0);
  std::string notices = testing::internal::GetCapturedStderr();
  EXPECT_NE(notices.find("Notice: Clearing WRITETHRU flag from dat " + Base() + "\n"), std::string::npos);
  EXPECT_NE(notices.find("Notice: Clearing WRITETHRU flag from idx " + Base() + "\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(Base() + ".dat"));
  EXPECT_TRUE(std::filesystem::exists(Base() + ".idx"));
  EXPECT_EQ(db.GetBaseName(), Base());
  int error = -1;
  EXPECT_TRUE(db.HasCreationOption(&error));
  EXPECT_EQ(error, 0);
  db.Close();
  EXPECT_FALSE(db.HasCreationOption(&error));
  EXPECT_EQ(error, 12);

  // The new pair carries its definition and field list.
  engine::IFIL def = BlockDatabaseFormat::MakeDefinition(Base());
  ASSERT_EQ(engine::OpenFileSet(def), 0);
  EXPECT_NE(engine::HasStoredDefinition(def.dataFileNumber), 0);
  std::vector<engine::DODA> fields;
  ASSERT_EQ(engine::GetStoredFieldList(def.dataFileNumber, fields), 0);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[2].name, "Blob");
  EXPECT_EQ(fields[2].length, 8192u);
  std::uint8_t block[64];
  ASSERT_EQ(engine::GetCreationParameters(def.dataFileNumber, block), 0);
  const std::uint8_t expected[28] = {0x40, 0, 0x20, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 4, 0, 0};
  EXPECT_EQ(0, std::memcmp(block, expected, sizeof(expected)));
  EXPECT_EQ(engine::GetFileMode(def.dataFileNumber, 3), 6);
  EXPECT_EQ(engine::GetFileMode(def.dataFileNumber + 1, 3), 2);
  engine::CloseFileSet(def);
}

TEST_F(BlockDatabaseTest, LeftOverFilesOfAPairDoNotStopItsCreation) {
  // An index without its data file is stale and replaced; a data file without
  // its index gets a new one built from it. Neither ends the process.
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
    ASSERT_EQ(db.Put(1, 1, 3, "one"), 0);
  }
  std::filesystem::remove(Base() + ".dat");
  testing::internal::CaptureStderr();
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
    EXPECT_EQ(Get(db, 1, 1), "result 1");
    ASSERT_EQ(db.Put(2, 2, 3, "two"), 0);
  }
  std::filesystem::remove(Base() + ".idx");
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
    EXPECT_EQ(Get(db, 2, 2), "two");
  }
  testing::internal::GetCapturedStderr();
}

TEST_F(BlockDatabaseTest, EveryNameOfThePairOpensIt) {
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
    ASSERT_EQ(db.Put(1, 2, 3, "abc"), 0);
  }
  std::filesystem::create_directory(dir / "old.data");
  for (std::string path : {Base() + ".dat", Base() + ".idx", Base(), dir.str() + "\\resourcedatabase.DAT"}) {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(path.c_str(), true), 0) << path;
    EXPECT_EQ(Get(db, 1, 2), "abc") << path;
  }
  // A folder whose name holds ".dat" does not cut the name short.
  BlockDatabase_t db;
  ASSERT_EQ(db.Open((dir / "old.data/ResourceDatabase.dat").c_str(), false), 0);
  EXPECT_EQ(db.GetBaseName(), dir / "old.data/ResourceDatabase");
  EXPECT_TRUE(std::filesystem::exists(dir / "old.data/ResourceDatabase.dat"));
  // A name too long to keep is refused rather than cut to another file's name.
  EXPECT_EQ(db.Open((dir.str() + "/" + std::string(300, 'x') + ".dat").c_str(), false), -1);
}

TEST_F(BlockDatabaseTest, GetPutDeleteResults) {
  BlockDatabase_t db;
  EXPECT_EQ(Get(db, 1, 1), "result -1");  // not open
  EXPECT_EQ(db.Put(1, 1, 1, "x"), -1);
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);

  ASSERT_EQ(db.Put(1000001, 5, 0, nullptr), 0);  // empty blob: a 12-byte record
  std::uint32_t size = 9;
  std::uint8_t* data = nullptr;
  ASSERT_EQ(db.Get(1000001, 5, &size, &data), 0);
  EXPECT_EQ(size, 0u);
  EXPECT_NE(data, nullptr);
  delete[] data;

  ASSERT_EQ(db.Put(1000001, 6, 5, "first"), 0);
  ASSERT_EQ(db.Put(1000001, 6, 3, "new"), 0);  // replaces the whole record
  EXPECT_EQ(Get(db, 1000001, 6), "new");
  EXPECT_EQ(Keys(db).size(), 2u);
  EXPECT_EQ(Get(db, 1000001, 7), "result 1");

  EXPECT_EQ(db.Delete(1000001, 7), -1);
  EXPECT_EQ(Keys(db).size(), 2u);
  EXPECT_EQ(db.Delete(1000001, 6), 0);
  EXPECT_EQ(Get(db, 1000001, 6), "result 1");
  EXPECT_EQ(db.Delete(1000001, 6), -1);

  EXPECT_EQ(db.Put(1, 1, 5, nullptr), -1);
  EXPECT_EQ(db.Put(1, 1, 0xfffffff8u, "x"), -1);
  EXPECT_EQ(db.GetGlobalHoldCount(), 0);
  EXPECT_EQ(db.GetGlobalLockLevel(), 0);
}

TEST_F(BlockDatabaseTest, RecordsShorterThanTheirHeaderAreFailures) {
  BlockDatabase_t db;
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  // A record of only the fixed part, as another writer of the pair could leave.
  engine::IFIL def = BlockDatabaseFormat::MakeDefinition(Base());
  ASSERT_EQ(engine::OpenFileSet(def), 0);
  const std::uint32_t fixedOnly[2] = {4, 4};
  ASSERT_EQ(engine::InsertRecord(def.dataFileNumber, fixedOnly, 8), 0);
  engine::CloseFileSet(def);
  EXPECT_EQ(Get(db, 4, 4), "result -1");
  std::uint32_t size;
  const std::uint8_t* view;
  EXPECT_EQ(db.GetView(4, 4, &size, &view), -1);
}

TEST_F(BlockDatabaseTest, RecordBufferIsReusedAndOnlyGrows) {
  BlockDatabase_t db;
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  std::string big(5000, 'b');
  ASSERT_EQ(db.Put(1, 1, static_cast<std::uint32_t>(big.size()), big.data()), 0);
  ASSERT_EQ(db.Put(1, 2, 5, "small"), 0);
  std::uint32_t size;
  const std::uint8_t* first;
  const std::uint8_t* second;
  ASSERT_EQ(db.GetView(1, 1, &size, &first), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), size), big);
  ASSERT_EQ(db.GetView(1, 2, &size, &second), 0);
  EXPECT_EQ(second, first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(second), size), "small");
}

TEST_F(BlockDatabaseTest, CursorWalksInKeyOrder) {
  BlockDatabase_t db;
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  BlockDatabaseCursor empty(db);
  std::uint32_t type = 9, instance = 9, size = 9, lastType, lastInstance;
  const std::uint8_t* data;
  EXPECT_EQ(empty.Next(&type, &instance, &size, &data), 101);
  EXPECT_EQ(empty.LastKey(&lastType, &lastInstance), 101);

  const ResourceKey keys[] = {{2, 0}, {1, 0xffffffff}, {0xffffffff, 0}, {1, 1}, {1000020, 3}};
  for (const ResourceKey& k : keys) ASSERT_EQ(db.Put(k.Type, k.Instance, 4, "blob"), 0);
  std::vector<ResourceKey> sorted(std::begin(keys), std::end(keys));
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Keys(db), sorted);

  BlockDatabaseCursor cursor(db);
  for (size_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(cursor.Next(&type, &instance, &size, &data), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), "blob");
  // Past the end: 101, with the last key handed back again.
  EXPECT_EQ(cursor.Next(&type, &instance, &size, &data), 101);
  EXPECT_EQ((ResourceKey{type, instance}), sorted.back());
  EXPECT_EQ(cursor.Next(&type, &instance, &size, &data), 101);
  ASSERT_EQ(cursor.LastKey(&lastType, &lastInstance), 0);
  EXPECT_EQ((ResourceKey{lastType, lastInstance}), sorted.back());
  // After LastKey the cursor stands on the last record.
  EXPECT_EQ(cursor.Next(&type, &instance, &size, &data), 0);
  EXPECT_EQ((ResourceKey{type, instance}), sorted.back());
}

TEST_F(BlockDatabaseTest, WriteThroughIsClearedOnOpenForWriting) {
  {
    // A pair created with write-through on both files.
    BlockDatabase_t keepEngine;
    engine::IFIL def = BlockDatabaseFormat::MakeDefinition(Base());
    def.dataFileMode |= engine::kWriteThrough;
    def.indexFileMode |= engine::kWriteThrough;
    std::uint8_t block[64];
    BlockDatabaseFormat::MakeCreationBlock(block);
    ASSERT_EQ(engine::CreateFileSet(def, block, block), 0);
    ASSERT_EQ(engine::CloseFileSet(def), 0);
    BlockDatabase_t reader;
    ASSERT_EQ(reader.Open(Base().c_str(), true), 0);  // reading leaves it
    ASSERT_EQ(engine::OpenFileSet(def), 0);
    EXPECT_EQ(engine::GetFileMode(def.dataFileNumber, 3), 6 | 0x40);
    engine::CloseFileSet(def);
  }
  BlockDatabase_t db;
  testing::internal::CaptureStderr();
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(db.Put(1, 1, 1, "x"), 0);
  engine::IFIL def = BlockDatabaseFormat::MakeDefinition(Base());
  ASSERT_EQ(engine::OpenFileSet(def), 0);
  EXPECT_EQ(engine::GetFileMode(def.dataFileNumber, 3), 6);
  EXPECT_EQ(engine::GetFileMode(def.dataFileNumber + 1, 3), 2);
  engine::CloseFileSet(def);
}

TEST_F(BlockDatabaseTest, NestedOperationsShareTheLockAndTheStrongestLevel) {
  NestingDatabase db;
  ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  ASSERT_EQ(db.Put(1, 1, 1, "a"), 0);
  ASSERT_EQ(db.Put(1, 2, 1, "b"), 0);
  EXPECT_EQ(LockOn(1, 1), F_UNLCK);
  {
    // Count a second process with the pair open, so that read locks are placed
    // where others see them (alone, a process keeps them to itself).
    std::uint64_t openers = 2;
    int index = ::open((Base() + ".idx").c_str(), O_RDWR);
    ASSERT_EQ(::pwrite(index, &openers, 8, offsetof(engine::format::IndexHeader, openers)), 8);
    ::close(index);
  }

  db.BeginOperation(NestingDatabase::LEVEL_READ);  // an outer read in progress
  EXPECT_EQ(Get(db, 1, 1), "a");                    // nested: does not block
  EXPECT_EQ(db.GetGlobalLockLevel(), 1);
  EXPECT_EQ(LockOn(1, 1), F_RDLCK);                 // read locks stay while the outer read runs
  ASSERT_EQ(db.Put(1, 2, 1, "c"), 0);               // a nested write raises the level
  EXPECT_EQ(db.GetGlobalLockLevel(), 2);
  EXPECT_EQ(db.GetLockLevel(), 2);
  EXPECT_EQ(LockOn(1, 2), F_WRLCK);
  EXPECT_EQ(Get(db, 1, 2), "c");
  EXPECT_EQ(db.GetGlobalLockLevel(), 2);            // and it stays until the outer end
  EXPECT_EQ(db.GetHoldCount(), 1);
  db.EndOperation();
  EXPECT_EQ(db.GetGlobalLockLevel(), 0);
  EXPECT_EQ(db.GetLockLevel(), 0);
  EXPECT_EQ(LockOn(1, 1), F_UNLCK);
  EXPECT_EQ(LockOn(1, 2), F_UNLCK);

  // Close ends holds left behind.
  db.BeginOperation(NestingDatabase::LEVEL_READ);
  db.Close();
  EXPECT_EQ(db.GetGlobalHoldCount(), 0);
  EXPECT_EQ(db.GetGlobalLockLevel(), 0);
}

TEST_F(BlockDatabaseTest, ThreadsSerialiseOnTheDatabaseLock) {
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
  }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (std::uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      BlockDatabase_t db;
      if (db.Open(Base().c_str(), false) != 0) {
        ++failures;
        return;
      }
      for (std::uint32_t i = 0; i < 300; ++i) {
        std::string blob = std::to_string(t) + ":" + std::to_string(i);
        if (db.Put(t, i, static_cast<std::uint32_t>(blob.size()), blob.data()) != 0) ++failures;
        std::uint32_t size;
        std::uint8_t* data;
        if (db.Get(t, i, &size, &data) != 0 || std::string(reinterpret_cast<char*>(data), size) != blob) ++failures;
        else delete[] data;
        if (i % 7 == 0 && db.Delete(t, i) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  BlockDatabase_t db;
  ASSERT_EQ(db.Open(Base().c_str(), true), 0);
  EXPECT_EQ(Keys(db).size(), 4u * (300 - 43));
  EXPECT_EQ(BlockDatabase_t::GetGlobalHoldCount(), 0);
}

TEST_F(BlockDatabaseTest, RebuilderCountsAndRebuilds) {
  {
    BlockDatabase_t db;
    ASSERT_EQ(db.Open(Base().c_str(), false), 0);
    for (std::uint32_t i = 0; i < 600; ++i) ASSERT_EQ(db.Put(3, i, 3, "abc"), 0);
  }
  {
    BlockDatabaseRebuilder missing((dir / "Nothing.dat").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(missing.CountRecords(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening database " + (dir / "Nothing.dat") + "\n");
  }
  std::filesystem::resize_file(Base() + ".idx", 100);  // damage the index
  BlockDatabaseRebuilder rebuilder((Base() + ".dat").c_str());
  EXPECT_EQ(rebuilder.CountRecords(), 600);
  testing::internal::CaptureStdout();
  EXPECT_EQ(rebuilder.Rebuild(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nRebuilding data file.\ndd\nRebuilding index file.\nii");
  static std::vector<long> counts;
  rebuilder.SetRebuildCallback([](long count, int event, const char*) { if (event == 'd') counts.push_back(count); return 0; }, 100);
  EXPECT_EQ(rebuilder.Rebuild(), 0);
  EXPECT_EQ(counts, (std::vector<long>{100, 200, 300, 400, 500, 600}));
  EXPECT_EQ(rebuilder.CountRecords(), 600);
}

TEST(RebuildCallbackTest, WritesItsEvents) {
  testing::internal::CaptureStdout();
  RebuildCallback(1, 'm', "Rebuilding index file.");
  RebuildCallback(2, 'd', nullptr);
  RebuildCallback(3, 'i', nullptr);
  RebuildCallback(4, 'x', nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nRebuilding index file.\ndi" "RebuildCallback: Event x not handled\n");
}

TEST(EngineErrorReportTest, LinesByCode) {
  const struct {
    int code;
    int file;
    const char* line;
  } cases[] = {
      {0, 1, ""},
      {2, 1, "\nKey already in index"},
      {12, 3, "\nCould not open file 3"},
      {16, 4, "\nCould not create file 4"},
      {17, 5, "\nCould not create file 5"},
      {18, 0, "\nTried to create existing file 0"},
      {19, 1, "\nTried to create existing file 1"},
      {42, 1, "\nCouldn't get lock on record"},
      {101, 1, "\nKey not found."},
      {102, 1, "\nCould not open ISAM parameter file"},
      {103, 1, "\nImproperly formatted ISAM parameter file [103]"},
      {117, 1, "\nImproperly formatted ISAM parameter file [117]"},
      {160, 2, "\nError 160 on file 2"},
      {-1, -1, "\nError -1 on file -1"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatEngineErrorReport({c.code, c.file, 0}), c.line) << c.code;
}

TEST_F(BlockDatabaseTest, FailureToCreateThePairEndsTheProcess) {
  std::string path = dir / "no/such/folder/ResourceDatabase.dat";
  EXPECT_EXIT(
      {
        BlockDatabase_t db;
        db.Open(path.c_str(), false);
      },
      ::testing::ExitedWithCode(1), "\n\nCannot create inventory files\nCould not create file 0");
}

}  // namespace
