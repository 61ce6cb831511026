#include "platform/fs/drives.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace {

// Points the drive calls at a mount table written by the test.
class MountTable {
 public:
  explicit MountTable(const std::string& file, const std::string& content) {
    std::ofstream(file) << content;
    ::setenv("QX_MOUNTS_FILE", file.c_str(), 1);
  }
  ~MountTable() { ::unsetenv("QX_MOUNTS_FILE"); }
};

std::vector<std::string> Roots() {
  char buffer[1024];
  DWORD length = GetLogicalDriveStringsA(sizeof buffer, buffer);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, sizeof buffer);
  std::vector<std::string> roots;
  for (const char* p = buffer; *p; p += std::string(p).size() + 1) roots.emplace_back(p);
  EXPECT_EQ(buffer[length], '\0');
  return roots;
}

TEST(DrivesTest, ListsSearchableMountsAndClassifiesThem) {
  qx::test::TempDir dir;
  std::string d = dir.str();
  for (const char* sub : {"fixed", "with space", "cd", "net", "smb", "ram", "snap"}) {
    std::filesystem::create_directories(dir.path() / sub);
  }
  MountTable table(d + "/mounts",
                   "overlay / overlay rw 0 0\n"
                   "proc /proc proc rw 0 0\n"
                   "/dev/sda1 " + d + "/fixed ext4 rw 0 0\n"
                   "/dev/sda2 " + d + "/with\\040space xfs rw 0 0\n"
                   "/dev/sr0 " + d + "/cd iso9660 ro 0 0\n"
                   "server:/export " + d + "/net nfs4 rw 0 0\n"
                   "//server/share " + d + "/smb cifs rw 0 0\n"
                   "tmpfs " + d + "/ram tmpfs rw 0 0\n"
                   "/dev/loop0 " + d + "/snap squashfs ro 0 0\n"
                   "/dev/sda3 " + d + "/missing ext4 rw 0 0\n"
                   "/dev/sda4 " + d + "/fixed/../mounts ext4 rw 0 0\n"
                   "malformed\n"
                   "/dev/sda1 " + d + "/fixed ext4 rw 0 0\n");

  EXPECT_EQ(Roots(), (std::vector<std::string>{"/", d + "/fixed/", d + "/with space/", d + "/cd/", d + "/net/",
                                               d + "/smb/"}));
  struct Case {
    std::string root;
    UINT type;
  } cases[] = {
      {"/", DRIVE_FIXED},
      {d + "/fixed/", DRIVE_FIXED},
      {d + "\\fixed", DRIVE_FIXED},
      {d + "/FIXED/", DRIVE_FIXED},
      {d + "/with space/", DRIVE_FIXED},
      {d + "/cd/", DRIVE_CDROM},
      {d + "/net/", DRIVE_REMOTE},
      {d + "/smb/", DRIVE_REMOTE},
      {d + "/ram/", DRIVE_RAMDISK},
      {"/proc/", DRIVE_UNKNOWN},
      {d + "/fixed/sub/", DRIVE_NO_ROOT_DIR},
  };
  for (const Case& c : cases) EXPECT_EQ(GetDriveTypeA(c.root.c_str()), c.type) << c.root;

  qx::fs::MountEntry usb{"/dev/sdb1", "/media/user/STICK", "vfat"};
  EXPECT_EQ(qx::fs::ClassifyMount(usb), DRIVE_REMOVABLE);
  usb.mountPoint = "/run/media/user/STICK";
  EXPECT_EQ(qx::fs::ClassifyMount(usb), DRIVE_REMOVABLE);
}

TEST(DrivesTest, BufferTooSmallReportsTheSizeNeeded) {
  qx::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "a");
  MountTable table(dir / "mounts", "overlay / overlay rw 0 0\n/dev/x " + dir.str() + "/a ext4 rw 0 0\n");
  std::string expected = std::string("/\0", 2) + dir.str() + "/a/" + std::string("\0", 1);
  char buffer[8] = "#######";
  EXPECT_EQ(GetLogicalDriveStringsA(sizeof buffer, buffer), expected.size() + 1);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(GetLogicalDriveStringsA(0, nullptr), expected.size() + 1);
  std::vector<char> exact(expected.size() + 1);
  EXPECT_EQ(GetLogicalDriveStringsA(static_cast<DWORD>(exact.size()), exact.data()), expected.size());
  EXPECT_EQ(std::string(exact.data(), expected.size()), expected);
}

TEST(DrivesTest, MissingTableFailsAndRealTableHasRoot) {
  {
    MountTable table("/nonexistent/for/sure/mounts", "");
    char buffer[64];
    EXPECT_EQ(GetLogicalDriveStringsA(sizeof buffer, buffer), 0u);
  }
  // The machine's own table: the working folder lies on some listed or known drive.
  EXPECT_NE(GetDriveTypeA(nullptr), DRIVE_NO_ROOT_DIR);
}

}  // namespace
