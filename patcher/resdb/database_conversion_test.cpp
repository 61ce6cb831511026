#include "patcher/resdb/database_conversion.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "patcher/layout/install_paths.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/resdb/block_database.h"
#include "tests/support/temp_dir.h"

namespace {

using Contents = std::map<ResourceKey, std::string>;

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
    savedFolder = cwd;
    std::filesystem::create_directories(dir / "install/cd_image/data/db");
    ASSERT_EQ(::chdir((dir / "install").c_str()), 0);
    ::unsetenv("QUORVEX");
    ::setenv("XDG_DATA_HOME", (dir / "appdata").c_str(), 1);
    ResetInstallPathsForTesting();
    std::filesystem::create_directories(GetUserDataPath());
    folder = GetCdImagePath() + "data\\db\\";
    db = dir / "install/cd_image/data/db/";
  }
  void TearDown() override {
    SetConversionProgressCallback(nullptr);
    ASSERT_EQ(::chdir(savedFolder.c_str()), 0);
    ResetInstallPathsForTesting();
  }

  // A pair under `name` in the database folder holding `contents`.
  void MakePair(const std::string& name, const Contents& contents, unsigned stamp = 145, bool option = true) {
    {
      BlockDatabase_t pair;
      testing::internal::CaptureStderr();
      ASSERT_EQ(pair.Open((db + name).c_str(), false), 0);
      testing::internal::GetCapturedStderr();
      for (const auto& [key, blob] : contents)
        ASSERT_EQ(pair.Put(key.Type, key.Instance, static_cast<std::uint32_t>(blob.size()), blob.data()), 0);
    }
    if (stamp != 145) {
      ASSERT_EQ(SetResourceDatabaseStamp(db + name, stamp), 0);
    }
    if (!option) {
      ASSERT_EQ(SetResourceDatabaseCreationOption(db + name, false), 0);
    }
  }

  Contents Read(const std::string& name) {
    Contents out;
    BlockDatabase_t pair;
    if (pair.Open((db + name).c_str(), true) != 0) return out;
    BlockDatabaseCursor cursor(pair);
    std::uint32_t type, instance, size;
    const std::uint8_t* data;
    while (cursor.Next(&type, &instance, &size, &data) == 0) out[{type, instance}] = std::string(reinterpret_cast<const char*>(data), size);
    return out;
  }

  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(db)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The log's lines without their time prefix.
  std::vector<std::string> LogLines() {
    std::ifstream in(GetLogPath(), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() >= 11 ? line.substr(11) : line);
    }
    return lines;
  }

  bool Convert(std::string* message) {
    testing::internal::CaptureStderr();
    bool ok = ConvertResourceDatabase(folder, *message);
    testing::internal::GetCapturedStderr();
    return ok;
  }

  const Contents sample = {{{1000001, 1}, "alpha"}, {{1000001, 2}, std::string(3000, 'b')}, {{7, 0xffffffff}, "gamma"}};
  const std::vector<std::string> pairFiles = {"ResourceDatabase.dat", "ResourceDatabase.idx"};
  qx::test::TempDir dir;
  std::string savedFolder;
  std::string folder;  // as the patch run passes it
  std::string db;      // the same folder, for the test's own file access
};

TEST_F(ConversionTest, CurrentDatabaseIsLeftAlone) {
  MakePair("ResourceDatabase", sample);
  std::ifstream data(db + "ResourceDatabase.dat", std::ios::binary);
  std::string before((std::istreambuf_iterator<char>(data)), {});
  std::string message = "untouched";
  EXPECT_TRUE(Convert(&message));
  EXPECT_EQ(message, "untouched");
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ(Files(), pairFiles);
  std::ifstream after(db + "ResourceDatabase.dat", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), before);
  EXPECT_EQ(Read("ResourceDatabase"), sample);
}

TEST_F(ConversionTest, EveryStateOfAConversionEndsConverted) {
  Contents withEmpty = sample;
  withEmpty[{5, 5}] = "";  // empty blobs are not carried over
  const struct Case {
    const char* what;
    std::function<void()> setUp;
    std::vector<std::string> firstLogLines;
  } cases[] = {
      {"older stamp", [&] { MakePair("ResourceDatabase", withEmpty, 144); },
       {"Database conversion required.", "Renamed " + db + "ResourceDatabase.dat to " + folder + "old_ResourceDatabase.dat",
        "Renamed " + db + "ResourceDatabase.idx to " + folder + "old_ResourceDatabase.idx"}},
      {"creation option clear", [&] { MakePair("ResourceDatabase", withEmpty, 145, false); },
       {"Database conversion required.", "Renamed " + db + "ResourceDatabase.dat to " + folder + "old_ResourceDatabase.dat"}},
      {"stopped after the move", [&] { MakePair("old_ResourceDatabase", withEmpty, 3); },
       {"Database conversion required."}},
      {"stopped during the copy",
       [&] {
         MakePair("old_ResourceDatabase", withEmpty, 144);
         MakePair("ResourceDatabase", {{{1000001, 1}, "partial"}});
       },
       {"Database conversion required.", "Deleted " + db + "ResourceDatabase.dat", "Deleted " + db + "ResourceDatabase.idx"}},
      {"stopped during the copy, index not yet written",
       [&] {
         MakePair("old_ResourceDatabase", withEmpty, 144);
         std::ofstream(db + "ResourceDatabase.dat") << "half";
       },
       {"Database conversion required.", "Deleted " + db + "ResourceDatabase.dat"}},
      {"current pair with a left-over old one",
       [&] {
         MakePair("old_ResourceDatabase", withEmpty, 144);
         MakePair("ResourceDatabase", withEmpty);
       },
       {"Database conversion required.", "Deleted " + db + "ResourceDatabase.dat"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(db);
    std::filesystem::create_directories(db);
    DeleteLog();
    c.setUp();
    std::string message;
    ASSERT_TRUE(Convert(&message)) << message;
    EXPECT_EQ(Files(), pairFiles);
    EXPECT_EQ(Read("ResourceDatabase"), sample);
    EXPECT_EQ(ReadFormatStamp(db + "ResourceDatabase.dat"), 145u);
    auto lines = LogLines();
    ASSERT_GE(lines.size(), c.firstLogLines.size() + 3);
    EXPECT_TRUE(std::equal(c.firstLogLines.begin(), c.firstLogLines.end(), lines.begin()));
    EXPECT_EQ(lines[lines.size() - 3], "Deleted " + db + "old_ResourceDatabase.dat");
    EXPECT_EQ(lines[lines.size() - 2], "Deleted " + db + "old_ResourceDatabase.idx");
    EXPECT_EQ(lines.back(), "Database conversion completed.");
    EXPECT_EQ(lines[lines.size() - 4].rfind("Conversion starting. ", 0), 0u) << lines[lines.size() - 4];
    // And the result is current: a second run does nothing.
    DeleteLog();
    EXPECT_TRUE(Convert(&message));
    EXPECT_TRUE(LogLines().empty());
  }
}

TEST_F(ConversionTest, FailuresLeaveTheOldPairForTheNextRun) {
  std::string message;
  EXPECT_FALSE(Convert(&message));
  EXPECT_EQ(message, "Could not open ResourceDatabase.");
  EXPECT_TRUE(Files().empty());

  // No records: the last-key check fails with the engine's code.
  MakePair("ResourceDatabase", {}, 144);
  EXPECT_FALSE(Convert(&message));
  EXPECT_EQ(message, "Could not get the last key of the old database. Return value 101.");
  EXPECT_EQ(Files(), (std::vector<std::string>{"ResourceDatabase.dat", "ResourceDatabase.idx", "old_ResourceDatabase.dat",
                                               "old_ResourceDatabase.idx"}));
  std::filesystem::remove_all(db);
  std::filesystem::create_directories(db);

  // A file that cannot take its "old_" name.
  MakePair("ResourceDatabase", sample, 100);
  std::string longName = "ResourceDatabase." + std::string(255 - 17, 'x');
  std::ofstream(db + longName) << "x";
  EXPECT_FALSE(Convert(&message));
  EXPECT_EQ(message, "Could not move " + longName + " to old_" + longName);
  std::filesystem::remove(db + longName);

  // Too little room: the old files stay under their "old_" names.
  {
    std::ofstream pad(db + "old_ResourceDatabase.pad");
  }
  std::uint64_t huge = std::filesystem::space(db).available * 2 + (uint64_t{1} << 30);
  std::filesystem::resize_file(db + "old_ResourceDatabase.pad", huge);  // sparse: takes no room
  EXPECT_FALSE(Convert(&message));
  std::uint64_t total = huge + std::filesystem::file_size(db + "old_ResourceDatabase.dat") +
                        std::filesystem::file_size(db + "old_ResourceDatabase.idx");
  EXPECT_EQ(message, std::to_string(static_cast<unsigned>(total / 1024)) + " kB of free space required for conversion.");
  EXPECT_FALSE(std::filesystem::exists(db + "ResourceDatabase.dat"));
  std::filesystem::remove(db + "old_ResourceDatabase.pad");

  // The next run resumes from the old pair.
  ASSERT_TRUE(Convert(&message)) << message;
  EXPECT_EQ(Files(), pairFiles);
  EXPECT_EQ(Read("ResourceDatabase"), sample);
}

TEST_F(ConversionTest, AnUnreadableLastRecordFailsTheConversion) {
  // The walk stops at the last key either way; only its result tells that the
  // last record was never copied.
  MakePair("ResourceDatabase", sample, 100);
  std::string bytes;
  {
    std::ifstream in(db + "ResourceDatabase.dat", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::size_t at = bytes.find(std::string(3000, 'b'));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 1500] = 'x';
  std::ofstream(db + "ResourceDatabase.dat", std::ios::binary | std::ios::trunc) << bytes;

  std::string message;
  EXPECT_FALSE(Convert(&message));
  EXPECT_EQ(message, "The last key is 1000001:2, but we stopped at 1000001:2. Return value -1.");
  EXPECT_TRUE(std::filesystem::exists(db + "old_ResourceDatabase.dat")) << "the old pair stays";
}

TEST_F(ConversionTest, ProgressFollowsTheCopiedBytes) {
  Contents many;
  for (std::uint32_t i = 0; i < 50; ++i) many[{9, i}] = std::string(100 + i * 10, 'p');
  MakePair("ResourceDatabase", many, 144);
  static std::vector<float> seen;
  seen.clear();
  SetConversionProgressCallback([](float f) { seen.push_back(f); });
  std::string message;
  ASSERT_TRUE(Convert(&message)) << message;
  ASSERT_EQ(seen.size(), many.size());
  EXPECT_EQ(seen.front(), 0.0f);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
  EXPECT_LE(seen.back(), 1.0f);
}

TEST(ConversionRules, FreeSpaceMarginIsTwentyPercent) {
  const struct {
    std::uint64_t free, total;
    bool room;
  } cases[] = {
      {1200, 1000, true}, {1199, 1000, false}, {12000000, 10000000, true}, {11999999, 10000000, false},
      {0, 0, true},       {1, 0, true},        {0, 1, false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasRoomForConversion(c.free, c.total), c.room) << c.free << " " << c.total;
}

TEST(ConversionRules, FormatStampIsTheNonZeroByteOfThePair) {
  qx::test::TempDir dir;
  const struct {
    std::vector<unsigned char> bytes40;  // bytes from offset 40 on
    size_t length;
    unsigned stamp;
  } cases[] = {
      {{145, 0}, 42, 145}, {{0, 145}, 42, 145}, {{144, 0}, 42, 144}, {{3, 4}, 42, 0}, {{0, 0}, 42, 0}, {{145}, 41, 0},
  };
  for (const auto& c : cases) {
    std::string file(c.length, '\0');
    for (size_t i = 0; i < c.bytes40.size() && 40 + i < c.length; ++i) file[40 + i] = static_cast<char>(c.bytes40[i]);
    std::ofstream(dir / "x.dat", std::ios::binary | std::ios::trunc) << file;
    EXPECT_EQ(ReadFormatStamp(dir / "x.dat"), c.stamp) << c.length;
  }
  EXPECT_EQ(ReadFormatStamp(dir / "missing.dat"), 0u);
}

}  // namespace
