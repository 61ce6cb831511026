// Drives: the file systems the system may search, as the Windows drive list.
//
// A drive root here is a mount point with a trailing '/' ("/", "/home/",
// "/media/usb/"), not a letter: the roots are taken from the mount table
// (/proc/self/mounts, or the file named by $QX_MOUNTS_FILE in the same format,
// which is how tests supply one). Listed are the mounted folders in table
// order, each once; not listed are kernel and pseudo file systems (proc,
// sysfs, cgroup, ...), RAM disks (tmpfs, ramfs) and read-only image mounts
// (squashfs), and mount points that are not folders (bind-mounted files).
//
// Kinds (GetDriveTypeA):
//  - DRIVE_CDROM: iso9660 or udf file systems, or devices /dev/sr*, /dev/cdrom*;
//  - DRIVE_REMOTE: network file systems (nfs, cifs/smb, 9p, sshfs, ceph, ...)
//    or a device written "host:/path" or "//server/share";
//  - DRIVE_REMOVABLE: anything mounted below /media/ or /run/media/, where
//    desktops mount removable media;
//  - DRIVE_RAMDISK: tmpfs and ramfs;
//  - DRIVE_FIXED: every other listed file system;
//  - DRIVE_NO_ROOT_DIR: a path that is not a mount point;
//  - DRIVE_UNKNOWN: a pseudo file system.
//
// Thread-safe; the table is read at every call.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

inline constexpr UINT DRIVE_UNKNOWN = 0;
inline constexpr UINT DRIVE_NO_ROOT_DIR = 1;
inline constexpr UINT DRIVE_REMOVABLE = 2;
inline constexpr UINT DRIVE_FIXED = 3;
inline constexpr UINT DRIVE_REMOTE = 4;
inline constexpr UINT DRIVE_CDROM = 5;
inline constexpr UINT DRIVE_RAMDISK = 6;

// The drive roots, each ended by a zero byte, the list ended by one more.
// Returns the length written without the final zero, or, when `bufferLength`
// is too small, the length needed with it (nothing is written); 0 with
// GetLastError set when the mount table cannot be read.
DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer);

// The kind of the drive whose root is `rootPathName` ('\' or '/', trailing
// separator optional); null means the drive holding the working folder.
UINT GetDriveTypeA(LPCSTR rootPathName);

namespace qx::fs {

struct MountEntry {
  std::string device;
  std::string mountPoint;  // without trailing '/', except the root "/"
  std::string fsType;
};

// The mount table in /proc/mounts format (octal escapes such as \040 decoded);
// false when the file cannot be read. Lines that are not well formed are skipped.
bool ReadMountTable(const std::string& file, std::vector<MountEntry>& entries);

// The DRIVE_* kind of one entry (DRIVE_UNKNOWN for pseudo file systems).
UINT ClassifyMount(const MountEntry& entry);

}  // namespace qx::fs
