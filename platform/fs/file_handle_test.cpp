#include "platform/fs/file_handle.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/fs/file.h"
#include "platform/fs/handle.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(FileHandleTest, SizesFilesOpenedWithReadSharing) {
  qx::test::TempDir dir;
  std::string name = dir / "old_ResourceDatabase.dat";
  std::ofstream(name) << std::string(1234, 'x');

  HANDLE a = CreateFileA((dir.str() + "\\OLD_resourcedatabase.DAT").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  HANDLE b = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(a, &size));
  EXPECT_EQ(size.QuadPart, 1234);
  // A writer is refused while readers share only reading, also through CFile.
  EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CFile writer;
  EXPECT_FALSE(writer.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone));
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_FALSE(CloseHandle(a));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(GetFileSizeEx(a, &size));
  EXPECT_TRUE(writer.Open(name.c_str(), CFile::modeWrite | CFile::shareDenyNone));
}

TEST(FileHandleTest, DispositionsAndReadWrite) {
  qx::test::TempDir dir;
  std::string name = dir / "new.bin";
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &done, nullptr));
  EXPECT_EQ(done, 5u);
  LARGE_INTEGER zero{}, pos{};
  ASSERT_TRUE(SetFilePointerEx(h, zero, &pos, FILE_BEGIN));
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 5u);
  EXPECT_STREQ(buffer, "hello");
  CloseHandle(h);

  EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(CreateFileA((dir / "none").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 0);
  EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);
}

}  // namespace
