#include "platform/fs/path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace qx::fs {
namespace {

TEST(PathTest, FindsExistingComponentsWithoutRegardToCase) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "patches");
  std::ofstream(dir.path() / "patches" / "v1-0-v1-1.RTP") << "x";

  std::string root = dir.str();
  EXPECT_EQ(ResolvePath(root + "/Patches\\V1-0-V1-1.rtp"), root + "/patches/v1-0-v1-1.RTP");
  // A new file keeps the case given; its existing folder is found.
  EXPECT_EQ(ResolvePath(root + "\\PATCHES\\New.Txt"), root + "/patches/New.Txt");
  // Once a component is missing, the rest keeps its letters.
  EXPECT_EQ(ResolvePath(root + "/Missing/Patches"), root + "/Missing/Patches");
  // Trailing separators, dot components and mixed separators survive.
  EXPECT_EQ(ResolvePath(root + "/./PATCHES\\"), root + "/./patches/");
}

TEST(PathTest, PrefersTheExactNameAndChoosesStablyAmongCaseTwins) {
  qx::test::TempDir dir;
  std::ofstream(dir.path() / "File.txt") << "a";
  std::ofstream(dir.path() / "file.TXT") << "b";
  std::string root = dir.str();
  EXPECT_EQ(ResolvePath(root + "/file.TXT"), root + "/file.TXT");
  EXPECT_EQ(ResolvePath(root + "/FILE.txt"), root + "/File.txt");
}

TEST(PathTest, NamePartsAndComparison) {
  EXPECT_EQ(FileNamePart("Patches\\a.rtp"), "a.rtp");
  EXPECT_EQ(FolderPart("cd_image/data\\db\\x.dat"), "cd_image/data\\db\\");
  EXPECT_EQ(FileNamePart("plain"), "plain");
  EXPECT_EQ(FolderPart("plain"), "");
  EXPECT_TRUE(NamesEqual("ResourceDatabase.DAT", "resourcedatabase.dat"));
  EXPECT_FALSE(NamesEqual("abc", "abd"));
  EXPECT_EQ(ResolvePath(""), "");
}

}  // namespace
}  // namespace qx::fs
