#include "platform/fs/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/stdio_file.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

TEST(FileTest, OpensWindowsStylePathsWithoutRegardToCase) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "patches");
  Spit(dir / "patches/v1-0-v1-1.RTP", "patch");

  CFile file;
  ASSERT_TRUE(file.Open((dir.str() + "\\Patches\\V1-0-V1-1.rtp").c_str(), CFile::modeRead));
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 5u);
  EXPECT_STREQ(buffer, "patch");
  EXPECT_EQ(file.GetFilePath(), dir.str() + "/patches/v1-0-v1-1.RTP");
  EXPECT_EQ(file.GetFileName(), "V1-0-V1-1.rtp");
  EXPECT_EQ(file.GetFileTitle(), "V1-0-V1-1");
}

TEST(FileTest, OpenFailuresCarryWindowsErrorNumbers) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "folder");
  struct Case {
    std::string name;
    UINT flags;
    LONG osError;
    int cause;
  } cases[] = {
      {dir / "missing.txt", CFile::modeRead, 2, CFileException::fileNotFound},
      {dir / "no/such/folder.txt", CFile::modeRead, 3, CFileException::badPath},
      {dir / "no/such/folder.txt", CFile::modeCreate | CFile::modeWrite, 3, CFileException::badPath},
      {dir / "folder", CFile::modeRead, 5, CFileException::accessDenied},
      {"", CFile::modeRead, 3, CFileException::badPath},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(c.name.c_str(), c.flags, &error));
    EXPECT_EQ(error.m_lOsError, c.osError);
    EXPECT_EQ(error.m_cause, c.cause);
    EXPECT_FALSE(file.IsOpen());
  }
  try {
    CFile file((dir / "missing.txt").c_str(), CFile::modeRead);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
    EXPECT_NE(e.ErrorMessage().find("missing.txt"), std::string::npos);
  }
}

TEST(FileTest, CreateTruncatesUnlessNoTruncateAndSeekToEndAppends) {
  qx::test::TempDir dir;
  std::string name = dir / "log.txt";
  Spit(name, "old");
  {
    CFile file(name.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite);
    EXPECT_EQ(file.SeekToEnd(), 3u);
    file.Write("+new", 4);
  }
  EXPECT_EQ(Slurp(name), "old+new");
  {
    CFile file(name.c_str(), CFile::modeCreate | CFile::modeWrite);
    EXPECT_EQ(file.GetLength(), 0u);
    file.Write("x", 1);
  }
  EXPECT_EQ(Slurp(name), "x");
}

TEST(FileTest, SharingIsEnforcedBetweenOpenFiles) {
  qx::test::TempDir dir;
  std::string name = dir / "shared.txt";
  Spit(name, "content");

  CFile exclusive(name.c_str(), CFile::modeWrite);  // no sharing flag: shares nothing
  CFile second;
  CFileException error;
  EXPECT_FALSE(second.Open(name.c_str(), CFile::modeRead | CFile::shareDenyNone, &error));
  EXPECT_EQ(error.m_lOsError, 32);
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
  // A refused open that would empty the file leaves it alone.
  EXPECT_FALSE(second.Open(name.c_str(), CFile::modeCreate | CFile::modeWrite, &error));
  EXPECT_EQ(Slurp(name), "content");
  exclusive.Close();

  CFile reader1(name.c_str(), CFile::modeRead | CFile::shareDenyWrite);
  CFile reader2(name.c_str(), CFile::modeRead | CFile::shareDenyWrite);  // readers get along
  EXPECT_FALSE(second.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone, &error));
  reader1.Close();
  reader2.Close();
  EXPECT_TRUE(second.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone));
}

TEST(FileTest, ReadWriteAndSeekErrorsThrow) {
  qx::test::TempDir dir;
  std::string name = dir / "data.bin";
  Spit(name, "0123456789");
  CFile file(name.c_str(), CFile::modeRead);
  EXPECT_THROW(file.Write("x", 1), CFileException);
  EXPECT_THROW(file.Seek(-1, CFile::begin), CFileException);
  EXPECT_EQ(file.Seek(-3, CFile::end), 7u);
  char tail[8] = {};
  EXPECT_EQ(file.Read(tail, sizeof tail), 3u);
  EXPECT_STREQ(tail, "789");
  EXPECT_EQ(file.Read(tail, sizeof tail), 0u);  // end of file is no error
  file.Close();
  EXPECT_THROW(file.Read(tail, 1), CFileException);
}

TEST(FileTest, StatusRemoveAndRename) {
  qx::test::TempDir dir;
  std::string name = dir / "Status.inf";
  Spit(name, "3");

  CFileStatus status;
  ASSERT_TRUE(CFile::GetStatus((dir.str() + "/STATUS.INF").c_str(), status));
  EXPECT_EQ(status.m_size, 1u);
  EXPECT_EQ(std::string(status.m_szFullName), name);
  EXPECT_FALSE(status.m_attribute & CFile::readOnly);
  EXPECT_FALSE(status.m_attribute & CFile::directory);
  ASSERT_TRUE(CFile::GetStatus(dir.str().c_str(), status));
  EXPECT_TRUE(status.m_attribute & CFile::directory);
  EXPECT_FALSE(CFile::GetStatus((dir / "none").c_str(), status));

  // Read-only and a new time through SetStatus; a read-only file cannot be removed.
  CFile::GetStatus(name.c_str(), status);
  status.m_attribute |= CFile::readOnly;
  status.m_mtime = 1000000000;
  status.m_atime = 0;
  CFile::SetStatus(name.c_str(), status);
  CFile::GetStatus(name.c_str(), status);
  EXPECT_TRUE(status.m_attribute & CFile::readOnly);
  EXPECT_EQ(status.m_mtime, 1000000000);
  EXPECT_EQ(status.m_atime, 1000000000);
  try {
    CFile::Remove(name.c_str());
    FAIL() << "removed a read-only file";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_lOsError, 5);
  }
  status.m_attribute = CFile::normal;
  status.m_mtime = 0;
  CFile::SetStatus(name.c_str(), status);

  CFile::Rename(name.c_str(), (dir / "moved.inf").c_str());
  EXPECT_FALSE(std::filesystem::exists(name));
  CFile::Remove((dir.str() + "\\MOVED.inf").c_str());
  EXPECT_FALSE(std::filesystem::exists(dir / "moved.inf"));
  try {
    CFile::Remove((dir / "moved.inf").c_str());
    FAIL() << "removed a missing file";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(e.m_lOsError, 2);
  }
}

TEST(StdioFileTest, TextModeWritesCrLfAndReadsItBack) {
  qx::test::TempDir dir;
  std::string name = dir / "text.txt";
  {
    CStdioFile file(name.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite);
    file.SeekToEnd();
    file.WriteString("[14:02:07] Argument: 15.9.2\n");
    file.WriteString("two\nlines\n");
    file.WriteString("no end");
  }
  EXPECT_EQ(Slurp(name), "[14:02:07] Argument: 15.9.2\r\ntwo\r\nlines\r\nno end");
  {
    CStdioFile file(name.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite);
    file.SeekToEnd();
    file.WriteString("\n");
  }
  EXPECT_EQ(Slurp(name), "[14:02:07] Argument: 15.9.2\r\ntwo\r\nlines\r\nno end\r\n");

  CStdioFile file(name.c_str(), CFile::modeRead);
  std::string line;
  std::vector<std::string> lines;
  while (file.ReadString(line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"[14:02:07] Argument: 15.9.2", "two", "lines", "no end"}));
}

TEST(StdioFileTest, ReadingDropsOnlyCrBeforeLf) {
  qx::test::TempDir dir;
  struct Case {
    std::string disk;
    UINT typeFlag;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\r\nb\n\r\nc", 0, {"a", "b", "", "c"}},
      {"lone\rcr\r\r\nx\r", 0, {"lone\rcr\r", "x\r"}},
      {"a\r\nb", CFile::typeBinary, {"a\r", "b"}},
      {"", 0, {}},
      {"\n", 0, {""}},
      {std::string(5000, 'x') + "\r" + "\n" + "y", 0, {std::string(5000, 'x'), "y"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.disk.substr(0, 20));
    std::string name = dir / "in.txt";
    Spit(name, c.disk);
    CStdioFile file(name.c_str(), CFile::modeRead | c.typeFlag);
    std::vector<std::string> lines;
    std::string line;
    while (file.ReadString(line)) lines.push_back(line);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(StdioFileTest, BufferedReadingKeepsPositionsRight) {
  qx::test::TempDir dir;
  std::string name = dir / "version.id";
  Spit(name, "15.1\r\nsecond\r\n");
  CStdioFile file(name.c_str(), CFile::modeReadWrite);
  char buffer[16];
  ASSERT_NE(file.ReadString(buffer, sizeof buffer), nullptr);
  EXPECT_STREQ(buffer, "15.1\n");
  EXPECT_EQ(file.GetPosition(), 6u);  // bytes on disk, CR LF counted
  ASSERT_NE(file.ReadString(buffer, 4), nullptr);
  EXPECT_STREQ(buffer, "sec");
  // A write after reading lands where reading stopped ("ond" becomes "X" CR LF).
  file.WriteString("X\n");
  file.SeekToBegin();
  std::string all(32, '\0');
  all.resize(file.Read(all.data(), 32));
  EXPECT_EQ(all, "15.1\nsecX\n\n");
  EXPECT_EQ(file.ReadString(buffer, sizeof buffer), nullptr);
}

}  // namespace
