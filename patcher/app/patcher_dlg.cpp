#include "patcher/app/patcher_dlg.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "patcher/app/launcher_start.h"
#include "patcher/layout/patcher_log.h"
#include "patcher/layout/pref_archive.h"
#include "patcher/net/my_thread.h"
#include "patcher/net/run_state.h"
#include "patcher/net/transfer_progress.h"
#include "patcher/resources/resource.h"
#include "patcher/resources/resources.h"
#include "platform/format.h"
#include "platform/fs/file_ops.h"
#include "platform/os/clock.h"
#include "platform/ui/app.h"
#include "platform/ui/message_box.h"
#include "platform/ui/message_queue.h"

namespace {

constexpr const char* kResumingSuffix = " (Resuming Download)";

bool EqualNoCase(const std::string& a_sA, const std::string& a_sB) {
  return a_sA.size() == a_sB.size() && std::equal(a_sA.begin(), a_sA.end(), a_sB.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

CQuorvexPatcherDlg* MainDialog() { return dynamic_cast<CQuorvexPatcherDlg*>(AfxGetMainWnd()); }

}  // namespace

std::string FormatTimeSpan(const std::string& a_sPattern, long long a_nSeconds) {
  a_nSeconds = std::max(0LL, a_nSeconds);
  std::string out;
  for (std::size_t i = 0; i < a_sPattern.size(); ++i) {
    if (a_sPattern[i] != '%' || i + 1 == a_sPattern.size()) {
      out += a_sPattern[i];
      continue;
    }
    const char code = a_sPattern[++i];
    switch (code) {
      case 'D': out += std::to_string(a_nSeconds / 86400); break;
      case 'H': out += FormatString("%02lld", (a_nSeconds / 3600) % 24); break;
      case 'M': out += FormatString("%02lld", (a_nSeconds / 60) % 60); break;
      case 'S': out += FormatString("%02lld", a_nSeconds % 60); break;
      case '%': out += '%'; break;
      default:
        out += '%';
        out += code;
        break;
    }
  }
  return out;
}

CQuorvexPatcherDlg::CQuorvexPatcherDlg(CWnd* a_pParent) : CDialog(IDD_QUORVEXPATCHER_DIALOG, a_pParent) {
  qx::patcher::RegisterPatcherResources();
}

CQuorvexPatcherDlg::~CQuorvexPatcherDlg() = default;

void CQuorvexPatcherDlg::SetAutomation(bool a_bAutomation, const std::string& a_sBackupPath) {
  m_bAutomation = a_bAutomation;
  m_strArgBackupPath = a_sBackupPath;
}

void CQuorvexPatcherDlg::SetUseBrowser(bool a_bUseBrowser) { m_bUseBrowser = a_bUseBrowser; }

void CQuorvexPatcherDlg::SetTargetVersion(const std::string& a_sVersion) { m_strTargetVersion = a_sVersion; }

void CQuorvexPatcherDlg::SetMaintenanceVersion(const std::string& a_sVersion) { m_strMaintenanceVersion = a_sVersion; }

void CQuorvexPatcherDlg::SetStatusText(const std::string& a_sText) { SetDlgItemText(IDC_STATUS, a_sText); }

std::string CQuorvexPatcherDlg::GetStatusText() const {
  std::string text;
  GetDlgItemText(IDC_STATUS, text);
  return text;
}

void CQuorvexPatcherDlg::DoDataExchange(CDataExchange* a_pDX) {
  CDialog::DoDataExchange(a_pDX);
  DDX_Control(a_pDX, IDC_PROGRESS, m_progress);
  DDX_Control(a_pDX, IDC_TEXTVIEW, m_edit);
}

BOOL CQuorvexPatcherDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  // The download worker runs for as long as the window does.
  if (MyThread_c::StartWorker()) MyThread_c::WaitUntilStarted();

  // The network time-out: the preference "DimensionNetworkTimeout", 5 s without it.
  const int timeout = LoadNetworkTimeoutPreference();
  if (MyThread_c::HasInstance()) MyThread_c::GetInstance()->SetTimeout(timeout);

  // The working folder, ending in a backslash as the installation's names expect.
  std::vector<char> folder(4096);
  m_strWorkDir = _getcwd(folder.data(), static_cast<int>(folder.size())) ? folder.data() : "";
  if (m_strWorkDir.empty() || m_strWorkDir.back() != '\\') m_strWorkDir += '\\';

  if (!PrepareRun()) return FALSE;
  SetTimer(TIMER_START_RUN, TIMER_START_RUN_MS);
  return TRUE;
}

BOOL CQuorvexPatcherDlg::PrepareRun() {
  m_bDelayedPatching = false;
  m_bRestartPending = false;
  return TRUE;
}

void CQuorvexPatcherDlg::RunPatchRun() {
  if (m_fnRun) m_fnRun(*this);
}

LRESULT CQuorvexPatcherDlg::WindowProc(UINT a_nMessage, WPARAM a_wParam, LPARAM a_lParam) {
  switch (a_nMessage) {
    case WM_PATCHER_SETPOS:
      m_progress.SetPos(static_cast<int>(a_wParam));
      m_progress.RedrawWindow(nullptr, nullptr, RDW_UPDATENOW | RDW_ERASE | RDW_INVALIDATE);
      return 0;
    case WM_PATCHER_SETRANGE:
      m_progress.SetRange32(static_cast<int>(a_wParam), static_cast<int>(a_lParam));
      return 0;
    case WM_PATCHER_SETSTATUS:
      if (a_wParam) SetStatusText(reinterpret_cast<const char*>(a_wParam));
      return 0;
    case WM_PATCHER_DOWNLOADSTART:
      m_nStartBytes = GetTransferProgress().bytesDone;
      m_nTicks = 1;
      return 0;
    default:
      return CDialog::WindowProc(a_nMessage, a_wParam, a_lParam);
  }
}

std::string CQuorvexPatcherDlg::DownloadStatusText() {
  const TransferProgress& progress = GetTransferProgress();
  std::string text = progress.GetCurrentFileText();
  const std::size_t resuming = text.find(kResumingSuffix);
  if (resuming != std::string::npos) text.erase(resuming);

  // The bytes still to fetch at the average rate since the download started.
  const std::int32_t done = progress.bytesDone;
  const std::int32_t total = progress.bytesTotal;
  const std::uint32_t fetched = static_cast<std::uint32_t>(done) - static_cast<std::uint32_t>(m_nStartBytes);
  const std::uint32_t missing = static_cast<std::uint32_t>(total) - static_cast<std::uint32_t>(done);
  // The exact ceiling of ticks / fetched * missing (in floating point the
  // product may land a hair above a whole number and round up a second).
  std::uint64_t estimate = 0;
  if (fetched != 0) {
    const std::uint64_t ticks = static_cast<std::uint32_t>(m_nTicks);
    estimate = (ticks * missing + fetched - 1) / fetched;
  }
  m_nSecondsLeft = static_cast<int>(std::min<std::uint64_t>(estimate, INT_MAX));

  text += FormatString(qx::patcher::LoadPatcherString(IDS_KB_PROGRESS).c_str(), done / 1024, total / 1024);
  text += FormatTimeSpan(qx::patcher::LoadPatcherString(IDS_TIME_LEFT), m_nSecondsLeft);
  return text;
}

void CQuorvexPatcherDlg::OnTimer(UINT_PTR a_nIdEvent) {
  switch (a_nIdEvent) {
    case TIMER_START_RUN:
      KillTimer(TIMER_START_RUN);
      RunPatchRun();
      break;
    case TIMER_ACTIVITY:
      m_progress.StepIt();
      qx::ui::PumpWaitingMessages();
      break;
    case TIMER_DOWNLOAD_PROGRESS:
      if (MyThread_c::HasInstance()) {
        SetStatusText(DownloadStatusText());
        m_progress.SetPos(GetTransferProgress().bytesDone);
        ++m_nTicks;
      }
      break;
    default:
      break;
  }
  CDialog::OnTimer(a_nIdEvent);
}

void CQuorvexPatcherDlg::OnCancel() {
  if (m_bPatching) {
    const std::string status = GetStatusText();
    SetStatusText("YOU CAN NOT ABORT WHILE PATCHING!");
    WriteLog("User tried to abort while patching");
    MessageBeep(MB_OK);
    Sleep(500);
    SetStatusText(status);
    return;
  }
  if (IsQuitRequested()) {
    EndDialog(IDCANCEL);
    return;
  }
  if (AfxMessageBox("Are you sure you want to cancel ?", MB_YESNO) != IDYES) return;
  SetStatusText("Aborting...");
  WriteLog("User aborted operation.");
  if (MyThread_c::HasInstance() && MyThread_c::GetInstance()->GetSocket()) {
    MyThread_c::GetInstance()->GetSocket()->SetAbort(true);
  }
  SetQuitRequested(true);
  if (!m_bBusy) EndDialog(IDCANCEL);
}

void CQuorvexPatcherDlg::OnOK() {
  std::string button;
  GetDlgItemText(IDOK, button);
  if (EqualNoCase(button, "Start Quorvex Online")) {
    if (!qx::patcher::SpawnLauncher(m_strWorkDir + "Quorvex.exe")) {
      AfxMessageBox("The launcher could not be started. Try running QX manually");
    }
  }
  EndDialog(IDOK);
}

void CQuorvexPatcherDlg::OnDestroy() {
  MyThread_c::StopWorker();
  m_edit.SetFont(nullptr);
  CDialog::OnDestroy();
}

void CQuorvexPatcherDlg::ShowFraction(float a_fFraction, UINT a_nStringId, bool a_bWithSuffix,
                                      int& a_rnLastPosition) {
  // A fraction outside 0..1 (or not a number) is shown at the nearer end.
  const float fraction = std::isnan(a_fFraction) ? 0.0f : std::clamp(a_fFraction, 0.0f, 1.0f);
  const int position = static_cast<int>(fraction * 1000);
  if (position == a_rnLastPosition) return;
  CQuorvexPatcherDlg* dialog = MainDialog();
  if (!dialog) return;
  dialog->m_progress.SetPos(position);
  const std::string pattern = qx::patcher::LoadPatcherString(a_nStringId);
  const double percent = position / 10.0;
  dialog->SetStatusText(a_bWithSuffix ? FormatString(pattern.c_str(), percent, dialog->m_strStatusSuffix.c_str())
                                      : FormatString(pattern.c_str(), percent));
  a_rnLastPosition = position;
  qx::ui::PumpWaitingMessages();
}

void CQuorvexPatcherDlg::PatchDatabaseProgress(float a_fFraction) {
  static int s_nLastPosition = 100;
  ShowFraction(a_fFraction, IDS_PATCHING_RDB_PROGRESS, true, s_nLastPosition);
}

void CQuorvexPatcherDlg::ItemDataProgress(float a_fFraction) {
  static int s_nLastPosition = 100;
  ShowFraction(a_fFraction, IDS_PATCHING_ITEMDATA, true, s_nLastPosition);
}

void CQuorvexPatcherDlg::ConversionProgress(float a_fFraction) {
  static int s_nLastPosition = 100;
  ShowFraction(a_fFraction, IDS_CONVERTING_RDB, false, s_nLastPosition);
}

int CQuorvexPatcherDlg::RebuildProgress(int a_nPosition, int /*a_nReserved*/, const char* a_pzText) {
  CQuorvexPatcherDlg* dialog = MainDialog();
  if (!dialog) return 0;
  if (a_pzText) dialog->SetStatusText(a_pzText);
  dialog->m_progress.SetPos(a_nPosition);
  qx::ui::PumpWaitingMessages();
  return 0;
}
