#include "platform/os/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("QX_REGISTRY_FILE", file_.c_str(), 1); }
  void TearDown() override { ::unsetenv("QX_REGISTRY_FILE"); }
  qx::test::TempDir dir_;
  std::string file_ = dir_ / "sub/registry.reg";
};

TEST_F(RegistryTest, MissingStoreHasNoValues) {
  char buffer[260];
  DWORD size = sizeof buffer;
  EXPECT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", nullptr, buffer, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, StringsRoundTripWithoutRegardToCase) {
  const char path[] = "C:\\Games\\Quorvex \"Online\"\\";
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", REG_SZ, path, sizeof path),
            ERROR_SUCCESS);
  char buffer[260];
  DWORD type = 0, size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quorvex online\\", "installpath", &type, buffer, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof path);
  EXPECT_STREQ(buffer, path);

  // Other root, other key, other value: not found.
  size = sizeof buffer;
  EXPECT_EQ(SHGetValueA(HKEY_CURRENT_USER, "Software\\Quorvex Online", "InstallPath", nullptr, buffer, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex", "InstallPath", nullptr, buffer, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));

  // Too small a buffer reports the size needed and writes nothing.
  char small[4] = "###";
  size = sizeof small;
  EXPECT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", nullptr, small, &size),
            static_cast<LSTATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(size, sizeof path);
  EXPECT_STREQ(small, "###");
  size = 0;
  EXPECT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof path);
  EXPECT_EQ(SHGetValueA(reinterpret_cast<HKEY>(1234), "x", "y", nullptr, nullptr, nullptr),
            static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
}

TEST_F(RegistryTest, TypedValuesDefaultValueAndDeletion) {
  const char* key = "Software\\Microsoft\\Internet Explorer\\ActiveX Compatibility";
  DWORD number = 0x2a;
  const unsigned char blob[] = {0, 1, 0xfe, '\n'};
  const char control[] = "line\nbreak";
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, "Version", REG_SZ, "5.5", 3), ERROR_SUCCESS);
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, "Count", REG_DWORD, &number, 4), ERROR_SUCCESS);
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, "Blob", REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, "Text", REG_SZ, control, sizeof control), ERROR_SUCCESS);
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, nullptr, REG_SZ, "default", 8), ERROR_SUCCESS);
  EXPECT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, key, "Bad", REG_DWORD, &number, 2),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));

  char buffer[200];
  DWORD type, size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "version", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "5.5");  // stored without its zero, read with one
  EXPECT_EQ(size, 4u);
  DWORD read = 0;
  size = sizeof read;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "Count", &type, &read, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read, 0x2au);
  size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "Blob", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, sizeof blob);
  EXPECT_EQ(std::memcmp(buffer, blob, sizeof blob), 0);
  size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "Text", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, control);
  size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "default");

  EXPECT_EQ(SHDeleteValueA(HKEY_LOCAL_MACHINE, key, "COUNT"), ERROR_SUCCESS);
  EXPECT_EQ(SHDeleteValueA(HKEY_LOCAL_MACHINE, key, "Count"), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
  size = sizeof read;
  EXPECT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, key, "Count", nullptr, &read, &size),
            static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, ReadsHandWrittenStoresAndRefusesBrokenOnes) {
  std::filesystem::create_directories(dir_.path() / "sub");
  std::ofstream(file_) << "Windows Registry Editor Version 5.00\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Quorvex Online]\r\n"
                          "\"InstallPath\"=\"D:\\\\QX\"\r\n";
  char buffer[64];
  DWORD size = sizeof buffer;
  ASSERT_EQ(SHGetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", nullptr, buffer, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "D:\\QX");

  for (const char* broken : {"\"orphan\"=\"value\"\n", "[NOT_A_ROOT\\x]\n", "[HKEY_USERS\\x]\n\"a\"=dword:12\n",
                             "[HKEY_USERS\\x]\n\"a\"=hex:1,2\n", "[HKEY_USERS\\x]\n\"a\"=\"unterminated\n"}) {
    std::ofstream(file_) << broken;
    size = sizeof buffer;
    EXPECT_EQ(SHGetValueA(HKEY_USERS, "x", "a", nullptr, buffer, &size), static_cast<LSTATUS>(ERROR_BADDB)) << broken;
    EXPECT_EQ(SHSetValueA(HKEY_USERS, "x", "b", REG_SZ, "v", 1), static_cast<LSTATUS>(ERROR_BADDB));
    std::ifstream in(file_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), broken);
  }
}

TEST_F(RegistryTest, ConcurrentWritersKeepEveryValue) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        std::string name = "v" + std::to_string(t) + "_" + std::to_string(i);
        SHSetValueA(HKEY_CURRENT_USER, "Software\\Test", name.c_str(), REG_SZ, name.c_str(),
                    static_cast<DWORD>(name.size() + 1));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) {
      std::string name = "v" + std::to_string(t) + "_" + std::to_string(i);
      char buffer[16];
      DWORD size = sizeof buffer;
      ASSERT_EQ(SHGetValueA(HKEY_CURRENT_USER, "Software\\Test", name.c_str(), nullptr, buffer, &size), ERROR_SUCCESS);
      EXPECT_EQ(std::string(buffer), name);
    }
  }
}

}  // namespace
