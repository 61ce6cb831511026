// CShuttlerDlg: Shuttler's one window, which finds the game's installation
// folder and copies the patcher and the patch files into it.
//
// The dialog keeps the chosen folder (empty when none is chosen; "Install" is
// enabled exactly when one is), the abort flag of a drive scan and the
// pass-through argument that the copied patcher is started with.
//
//  - At start the folder comes from the registry value "InstallPath" of
//    HKEY_LOCAL_MACHINE\Software\Quorvex Online, when that folder holds an
//    installation.
//  - "Search my drives" scans every drive that is not removable, remote or
//    a CD-ROM, depth-first in the order the file search returns entries, and
//    asks Yes/No for each installation it finds. Drives are mount points, so
//    a drive mounted inside another is not entered from there: it is scanned
//    as a drive of its own (or passed over with its kind); the scan only asks
//    whether its root is the installation, when it is a fixed drive. Roots
//    end in '/', and the "Scanning ..." pattern adds "*.*" straight to them,
//    as it does to a root that ends in '\'. The scan runs inside the
//    scan timer's handler on the dialog's thread and dispatches waiting
//    messages before each directory entry, so the same button
//    ("...Abort scanning...") stops it at the next entry.
//  - The browse button lets the user pick the folder.
//  - "Install" empties the installation's "Patches\", copies
//    "QuorvexPatcher.exe" and the files of "Patches\" from the working folder
//    with the platform's shell copy, and, when nothing was aborted, removes
//    "Rename.ini" there and starts the copied patcher with the pass-through
//    argument. The dialog then ends with IDOK whatever happened.
//
// Messages go to the user through AfxMessageBox and the folder picker, so an
// answers list can drive the dialog unattended. Paths are handed to the
// platform as they are built ('\' separators); the platform maps them.
//
// One thread: the dialog, its scan and its copy run on the thread that runs
// DoModal.
#pragma once

#include <set>
#include <string>

#include "platform/fs/file_find.h"
#include "platform/ui/dialog.h"

class CShuttlerDlg : public CDialog {
 public:
  // The timer that starts a drive scan (once, after 50 ms).
  static constexpr UINT_PTR TIMER_SCAN_DRIVES = 0x1234567;
  static constexpr UINT SCAN_DELAY_MS = 50;

  explicit CShuttlerDlg(CWnd* parent = nullptr);

  // The argument handed on to the patcher (its whole command line).
  void SetPassThroughArgument(const std::string& argument) { m_strPassThrough = argument; }
  const std::string& GetPassThroughArgument() const { return m_strPassThrough; }
  const std::string& GetChosenFolder() const { return m_strFolder; }

  // The file whose presence marks `folder` as an installation: the folder, a
  // backslash unless it already ends in '\' or '/', then
  // "cd_image\data\db\ResourceDatabase.dat".
  static std::string InstallationMarker(const std::string& folder);
  // TRUE when the marker of `folder` exists.
  static BOOL IsInstallation(const std::string& folder);
  // TRUE when a drive scan passes over the drive `root` of kind `driveType`:
  // removable, remote and CD-ROM drives, and the drive letters A and B.
  static BOOL IsSkippedDrive(const char* root, UINT driveType);

 protected:
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnTimer(UINT_PTR idEvent) override;
  void OnSysCommand(UINT id, LPARAM lParam) override;
  void OnPaint() override;
  HICON OnQueryDragIcon() override;
  // "Install".
  void OnOK() override;
  void OnCancel() override;

  void OnSearchDrives();
  void OnBrowse();
  void ScanDrives();
  // Searches `folder` and below for an installation; TRUE when the user
  // accepted one (it is then the chosen folder).
  BOOL SearchFolder(const std::string& folder);
  // TRUE when the folder the search stands on (at `path`) is a mount point:
  // marked so by the file search, or one of the drive roots.
  BOOL IsMountedFolder(const CFileFind& finder, const std::string& path) const;
  // Deletes every file below `folder` (which ends in a separator) and removes
  // its subfolders; failures are ignored.
  void EmptyFolder(const std::string& folder);
  void Install();
  void PumpMessages();
  void EnableControl(int id, BOOL enable);

  HICON m_hIcon = nullptr;
  std::string m_strFolder;
  bool m_bAbort = false;
  std::set<std::string> m_driveRoots;  // of the running scan, as the drive list writes them
  std::string m_strPassThrough;
};

// The About box (dialog IDD_ABOUTBOX).
class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
};
