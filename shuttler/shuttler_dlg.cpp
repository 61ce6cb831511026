#include "shuttler/shuttler_dlg.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "platform/fs/drives.h"
#include "platform/fs/file.h"
#include "platform/fs/file_find.h"
#include "platform/fs/file_ops.h"
#include "platform/fs/path.h"
#include "platform/fs/shell_file_operation.h"
#include "platform/os/registry.h"
#include "platform/ui/app.h"
#include "platform/ui/folder_picker.h"
#include "platform/ui/message_box.h"
#include "shuttler/patcher_start.h"
#include "shuttler/resources.h"

namespace {

constexpr const char* kRegistryKey = "Software\\Quorvex Online";
constexpr const char* kRegistryValue = "InstallPath";
constexpr const char* kMarker = "cd_image\\data\\db\\ResourceDatabase.dat";
constexpr const char* kPatcher = "QuorvexPatcher.exe";
constexpr const char* kSearchText = "Search my drives for the Quorvex Online installation";
constexpr const char* kAbortText = "...Abort scanning...";
constexpr const char* kBrowseTitle = "Select the folder where Quorvex Online is installed:";
constexpr DWORD kDriveListSize = 1024;

bool EndsWithSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string WithSeparator(std::string path) {
  if (!EndsWithSeparator(path)) path += '\\';
  return path;
}

// The path as the drive list writes a root: '/' separators and a trailing '/'.
std::string WithSlash(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// TRUE when the two paths name the same existing folder.
bool SameFolder(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(qx::fs::ResolvePath(a), qx::fs::ResolvePath(b), ec) && !ec;
}

// The drive roots, each ended by a zero byte, the list by one more; an empty
// list when the drives cannot be listed.
std::vector<char> DriveList() {
  std::vector<char> list(kDriveListSize, '\0');
  DWORD length = GetLogicalDriveStringsA(static_cast<DWORD>(list.size()), list.data());
  if (length >= list.size()) {
    // More mounted file systems than the usual buffer holds: take them all.
    list.assign(length + 1, '\0');
    length = GetLogicalDriveStringsA(static_cast<DWORD>(list.size()), list.data());
    if (length >= list.size()) length = 0;
  }
  list.resize(length + 2, '\0');
  if (length == 0) list.assign(2, '\0');
  return list;
}

}  // namespace

CShuttlerDlg::CShuttlerDlg(CWnd* parent) : CDialog(IDD_SHUTTLER_DIALOG, parent) {
  m_hIcon = ::LoadIcon(IDR_MAINFRAME);
}

std::string CShuttlerDlg::InstallationMarker(const std::string& folder) { return WithSeparator(folder) + kMarker; }

BOOL CShuttlerDlg::IsInstallation(const std::string& folder) {
  CFileStatus status;
  return CFile::GetStatus(InstallationMarker(folder).c_str(), status);
}

BOOL CShuttlerDlg::IsSkippedDrive(const char* root, UINT driveType) {
  if (driveType == DRIVE_REMOVABLE || driveType == DRIVE_REMOTE || driveType == DRIVE_CDROM) return TRUE;
  // The floppy drives. Roots here are mount points ("/", "/home/"), which
  // never begin with a drive letter, so only a root written "A:" or "B:"
  // is passed over.
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  return (letter == 'A' || letter == 'B') && root[1] == ':';
}

void CShuttlerDlg::EnableControl(int id, BOOL enable) {
  if (CWnd* control = GetDlgItem(id)) control->EnableWindow(enable);
}

BOOL CShuttlerDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  const std::string about = qx::ui::LoadResourceString(IDS_ABOUTBOX);
  if (CMenu* systemMenu = GetSystemMenu(FALSE); systemMenu && !about.empty()) {
    systemMenu->AppendMenu(MF_SEPARATOR);
    systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);
  if (auto* browse = dynamic_cast<CButton*>(GetDlgItem(IDC_BROWSE))) browse->SetIcon(::LoadIcon(IDI_BROWSE));

  EnableControl(IDOK, FALSE);

  // The registry holds a string of at most MAX_PATH bytes; anything else
  // (another type, a longer value) counts as no value.
  char path[MAX_PATH] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof path;
  m_strFolder.clear();
  if (SHGetValueA(HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryValue, &type, path, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    path[std::min<DWORD>(size, sizeof path - 1)] = '\0';
    m_strFolder = path;
  }
  if (!m_strFolder.empty() && IsInstallation(m_strFolder)) {
    SetDlgItemText(IDC_FOLDER, m_strFolder);
    EnableControl(IDOK, TRUE);
  } else {
    m_strFolder.clear();
  }
  return TRUE;
}

BOOL CShuttlerDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  switch (LOWORD(wParam)) {
    case IDC_SEARCH:
      OnSearchDrives();
      return TRUE;
    case IDC_BROWSE:
      OnBrowse();
      return TRUE;
    default:
      return CDialog::OnCommand(wParam, lParam);
  }
}

void CShuttlerDlg::OnSysCommand(UINT id, LPARAM lParam) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
    return;
  }
  CDialog::OnSysCommand(id, lParam);
}

void CShuttlerDlg::OnPaint() {
  // Minimised, the window shows its icon centred; the renderer draws it from
  // the window's icon, so there is nothing to draw here.
  CDialog::OnPaint();
}

HICON CShuttlerDlg::OnQueryDragIcon() { return m_hIcon; }

void CShuttlerDlg::OnCancel() {
  // Closing the window while a scan or a copy runs is refused, as a dialog
  // refuses it while its Cancel button is disabled.
  CWnd* cancel = GetDlgItem(IDCANCEL);
  if (cancel && !cancel->IsWindowEnabled()) {
    MessageBeep(0);
    return;
  }
  CDialog::OnCancel();
}

void CShuttlerDlg::OnSearchDrives() {
  CWnd* button = GetDlgItem(IDC_SEARCH);
  if (!button) return;
  if (!EqualNoCase(button->GetWindowText(), kAbortText)) {
    button->SetWindowText(kAbortText);
    EnableControl(IDOK, FALSE);
    EnableControl(IDCANCEL, FALSE);
    EnableControl(IDC_BROWSE, FALSE);
    SetTimer(TIMER_SCAN_DRIVES, SCAN_DELAY_MS);
  } else {
    m_bAbort = true;
    button->SetWindowText(kSearchText);
  }
}

void CShuttlerDlg::OnTimer(UINT_PTR idEvent) {
  if (idEvent != TIMER_SCAN_DRIVES) {
    CDialog::OnTimer(idEvent);
    return;
  }
  KillTimer(TIMER_SCAN_DRIVES);
  ScanDrives();
}

void CShuttlerDlg::ScanDrives() {
  const std::vector<char> drives = DriveList();
  m_driveRoots.clear();
  for (const char* root = drives.data(); *root; root += std::strlen(root) + 1) m_driveRoots.insert(WithSlash(root));
  for (const char* root = drives.data(); *root && !m_bAbort; root += std::strlen(root) + 1) {
    if (IsSkippedDrive(root, GetDriveTypeA(root))) continue;
    SetDlgItemText(IDC_FOLDER, std::string("Scanning ") + root + " Please wait");
    if (SearchFolder(root)) break;
  }

  SetDlgItemText(IDC_FOLDER, m_strFolder);
  EnableControl(IDOK, !m_strFolder.empty());
  if (CWnd* button = GetDlgItem(IDC_SEARCH)) button->SetWindowText(kSearchText);
  EnableControl(IDCANCEL, TRUE);
  EnableControl(IDC_BROWSE, TRUE);

  if (m_bAbort) {
    SetDlgItemText(IDC_FOLDER, "User aborted seach.");
  } else if (CWnd* install = GetDlgItem(IDOK)) {
    GotoDlgCtrl(install);
  }
  m_bAbort = false;
}

BOOL CShuttlerDlg::IsMountedFolder(const CFileFind& finder, const std::string& path) const {
  return finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT) || m_driveRoots.count(WithSlash(path)) != 0;
}

void CShuttlerDlg::PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Leave the request to end for the dialog's own loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

BOOL CShuttlerDlg::SearchFolder(const std::string& folder) {
  const std::string pattern = (EndsWithSeparator(folder) ? folder : folder + "\\") + "*.*";
  CFileFind finder;
  BOOL more = finder.FindFile(pattern.c_str());
  while (more) {
    more = finder.FindNextFile();
    if (m_bAbort) {
      m_strFolder.clear();
      return FALSE;
    }
    PumpMessages();
    SetDlgItemText(IDC_FOLDER, "Scanning " + pattern + " Please wait");
    if (finder.IsDots() || !finder.IsDirectory() || m_bAbort) continue;

    const std::string path = finder.GetFilePath();
    // A folder on which another file system is mounted is a drive of its
    // own: its contents are scanned as that drive (or skipped with its kind),
    // never a second time from here. A mounted fixed drive may itself be the
    // installation, so it is still tested; other kinds are passed over.
    bool enter = true;
    if (IsMountedFolder(finder, path)) {
      if (GetDriveTypeA(WithSlash(path).c_str()) != DRIVE_FIXED) continue;
      enter = false;
    }
    if (IsInstallation(path)) {
      const std::string question = "Found an Quorvex Online installation in " + path +
                                   ". If this is the correct installation, click YES. If not, click NO to "
                                   "continue searching.";
      if (AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION) == IDYES) {
        m_strFolder = path;
        return TRUE;
      }
      m_strFolder.clear();
    } else if (enter && SearchFolder(path)) {
      return TRUE;
    }
  }
  if (m_bAbort) m_strFolder.clear();
  return FALSE;
}

void CShuttlerDlg::OnBrowse() {
  BROWSEINFOA info;
  info.hwndOwner = nullptr;
  info.lpszTitle = kBrowseTitle;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  if (LPITEMIDLIST chosen = SHBrowseForFolderA(&info)) {
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(chosen, path)) {
      m_strFolder = path;
      if (!IsInstallation(m_strFolder)) {
        AfxMessageBox(m_strFolder +
                          " does not seem to be the Quorvex Online folder.\nPlease select another folder, or click "
                          "\"Search My Drives For Quorvex Online\" to automatically find it.",
                      MB_OK | MB_ICONEXCLAMATION);
        m_strFolder.clear();
      }
      SetDlgItemText(IDC_FOLDER, m_strFolder);
    }
    CoTaskMemFree(chosen);
  }
  EnableControl(IDOK, !m_strFolder.empty());
}

void CShuttlerDlg::OnOK() {
  // Install is enabled only with a chosen folder; a stray command without one
  // must not work on the root of the file system.
  if (m_strFolder.empty()) return;
  EnableControl(IDOK, FALSE);
  EnableControl(IDCANCEL, FALSE);
  EnableControl(IDC_BROWSE, FALSE);
  EnableControl(IDC_SEARCH, FALSE);
  Install();
  EnableControl(IDOK, TRUE);
  EnableControl(IDCANCEL, TRUE);
  EnableControl(IDC_BROWSE, TRUE);
  EnableControl(IDC_SEARCH, TRUE);
  EndDialog(IDOK);
}

void CShuttlerDlg::EmptyFolder(const std::string& folder) {
  CFileFind finder;
  BOOL more = finder.FindFile((folder + "*.*").c_str());
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots()) continue;
    const std::string path = folder + finder.GetFileName();
    if (finder.IsDirectory()) {
      EmptyFolder(path + "\\");
      _rmdir(path.c_str());
    } else {
      try {
        CFile::Remove(path.c_str());
      } catch (const CFileException&) {
        // A file that cannot be deleted stays; the copy replaces it if it can.
      }
    }
  }
}

void CShuttlerDlg::Install() {
  const std::string target = WithSeparator(m_strFolder);

  // Run from inside the installation, the patch folder to empty is the one
  // the patches are copied from; it is left as it is.
  if (!SameFolder(target + "Patches", "Patches")) EmptyFolder(target + "Patches\\");

  std::string from = kPatcher;
  from.push_back('\0');
  std::string to = target + kPatcher;
  to.push_back('\0');
  CFileFind finder;
  BOOL more = finder.FindFile("Patches\\*.*");
  while (more) {
    more = finder.FindNextFile();
    if (finder.IsDots() || finder.IsDirectory()) continue;
    // A link to a folder is not a folder to the search, but the copy would
    // follow it and copy the whole folder: it is passed over like a folder.
    if (finder.MatchesMask(FILE_ATTRIBUTE_REPARSE_POINT)) {
      const DWORD attributes = GetFileAttributesA(("Patches\\" + finder.GetFileName()).c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    }
    from += "Patches\\" + finder.GetFileName();
    from.push_back('\0');
    to += target + "Patches\\" + finder.GetFileName();
    to.push_back('\0');
  }
  from.push_back('\0');
  to.push_back('\0');

  SHFILEOPSTRUCTA operation{};
  operation.hwnd = m_hWnd;
  operation.wFunc = FO_COPY;
  operation.pFrom = from.c_str();
  operation.pTo = to.c_str();
  operation.fFlags = FOF_MULTIDESTFILES | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  SHFileOperationA(&operation);

  if (operation.fAnyOperationsAborted) {
    AfxMessageBox("Installation was canceled by the user, or errors occured.", MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  try {
    CFile::Remove((target + "Rename.ini").c_str());
  } catch (const CFileException&) {
    // No pending renames: nothing to remove.
  }
  StartQuorvexPatcher(m_hWnd, target + kPatcher, m_strPassThrough, m_strFolder);
}

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
