#include "platform/fs/file_find.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> Names(const std::string& pattern) {
  std::vector<std::string> names;
  CFileFind finder;
  BOOL more = finder.FindFile(pattern.c_str());
  while (more) {
    more = finder.FindNextFile();
    names.push_back(finder.GetFileName());
  }
  return names;
}

using List = std::vector<std::string>;

TEST(WildcardTest, MatchesAsTheWindowsFileSearchDoes) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.*", "anything", true},
      {"*.*", "a.b.c", true},
      {"*.*", ".", true},
      {"V*.*", "v1-0-v1-1.RTP", true},
      {"V*.*", "V", true},
      {"V*.*", "xV1.rtp", false},
      {"ResourceDatabase.*", "resourcedatabase.IDX", true},
      {"ResourceDatabase.*", "ResourceDatabase", true},
      {"ResourceDatabase.*", "old_ResourceDatabase.dat", false},
      {"old_ResourceDatabase.*", "OLD_RESOURCEDATABASE.dat", true},
      {"?.txt", "a.txt", true},
      {"?.txt", "ab.txt", false},
      {"*", "", true},
      {"a*b*c", "aXXbYYbZc", true},
      {"a*b*c", "aXXbYYbZ", false},
      {"exact.dat", "EXACT.DAT", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qx::fs::MatchesWildcard(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
  // Back-tracking stays linear enough for long names.
  EXPECT_FALSE(qx::fs::MatchesWildcard("*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(FileFindTest, FindsInOrderWithTheClassLibraryLoop) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "patches" / "Sub");
  for (const char* name : {"v1-0-v1-1.RTP", "V1-0-V1-1.res", "Changes.txt", "b.CHK"}) {
    std::ofstream(dir.path() / "patches" / name) << "12345";
  }
  std::string root = dir.str() + "\\PATCHES\\";
  EXPECT_EQ(Names(root + "*.*"), (List{".", "..", "b.CHK", "Changes.txt", "Sub", "V1-0-V1-1.res", "v1-0-v1-1.RTP"}));
  EXPECT_EQ(Names(root + "V*.*"), (List{"V1-0-V1-1.res", "v1-0-v1-1.RTP"}));
  EXPECT_EQ(Names(root + "*.rtp"), (List{"v1-0-v1-1.RTP"}));

  CFileFind finder;
  ASSERT_TRUE(finder.FindFile((root + "*.*").c_str()));
  EXPECT_EQ(finder.GetFileName(), "");  // nothing current before the first step
  std::string real = std::filesystem::canonical(dir.path()).string() + "/patches";
  int dots = 0, folders = 0, files = 0;
  BOOL more = TRUE;
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots()) {
      ++dots;
      continue;
    }
    EXPECT_EQ(finder.GetFilePath(), real + "/" + finder.GetFileName());
    if (finder.IsDirectory()) {
      ++folders;
      EXPECT_TRUE(finder.MatchesMask(0x10));
    } else {
      ++files;
      EXPECT_EQ(finder.GetLength(), 5u);
      EXPECT_FALSE(finder.MatchesMask(0x10));
    }
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_EQ(dots, 2);
  EXPECT_EQ(folders, 1);
  EXPECT_EQ(files, 4);
  EXPECT_FALSE(finder.FindNextFile());
}

TEST(FileFindTest, ReportsMissingFoldersAndNoMatches) {
  qx::test::TempDir dir;
  CFileFind finder;
  EXPECT_FALSE(finder.FindFile((dir / "missing/*.*").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(finder.FindFile((dir / "old_ResourceDatabase.*").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(finder.FindNextFile());
}

TEST(FileFindTest, LinksToFoldersAreNotFolders) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "real");
  std::ofstream(dir.path() / "real" / "file") << "abc";
  std::filesystem::create_directory_symlink(dir.path() / "real", dir.path() / "link");
  std::filesystem::create_symlink(dir.path() / "real" / "file", dir.path() / "filelink");
  CFileFind finder;
  ASSERT_TRUE(finder.FindFile((dir / "link").c_str()));
  finder.FindNextFile();
  EXPECT_FALSE(finder.IsDirectory());
  EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT));
  ASSERT_TRUE(finder.FindFile((dir / "FILELINK").c_str()));
  finder.FindNextFile();
  EXPECT_FALSE(finder.IsDirectory());
  EXPECT_EQ(finder.GetLength(), 3u);
}

TEST(FileFindTest, MountedFoldersAreMarked) {
  // /proc is another file system below the root on every Linux system.
  CFileFind finder;
  ASSERT_TRUE(finder.FindFile("/proc"));
  finder.FindNextFile();
  EXPECT_TRUE(finder.IsDirectory());
  EXPECT_TRUE(finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT));
  // An ordinary folder is not marked.
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "sub");
  ASSERT_TRUE(finder.FindFile((dir / "sub").c_str()));
  finder.FindNextFile();
  EXPECT_TRUE(finder.IsDirectory());
  EXPECT_FALSE(finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT));
}

TEST(FileFindTest, PatternWithoutFolderSearchesTheWorkingFolder) {
  qx::test::TempDir dir;
  std::ofstream(dir.path() / "QuorvexPatcher.exe") << "x";
  std::string saved = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(Names("quorvexpatcher.EXE"), (List{"QuorvexPatcher.exe"}));
  CFileFind finder;
  ASSERT_TRUE(finder.FindFile());
  EXPECT_EQ(finder.GetRoot(), std::filesystem::canonical(dir.path()).string());
  std::filesystem::current_path(saved);
}

}  // namespace
