// CQuorvexPatcherDlg: the patcher's window (dialog template 102) and the
// progress interface every other part of the patcher reports through.
//
// The window shows a status line (control 1006) and a progress bar (1007).
// Code on the user-interface thread sets them directly; the download worker
// (patcher/net/my_thread.h) reaches the window through the application's
// main window (AfxGetMainWnd) with the user messages WM_PATCHER_SETPOS,
// WM_PATCHER_SETRANGE, WM_PATCHER_SETSTATUS and WM_PATCHER_DOWNLOADSTART and
// by running TIMER_DOWNLOAD_PROGRESS on it; once a second that timer turns
// the shared TransferProgress record into a status line with sizes and the
// time left. TIMER_ACTIVITY steps the bar while a step has no measurable
// progress. The three fraction callbacks and RebuildProgress serve the
// database code.
//
// Life: OnInitDialog starts the download worker, waits until it runs and
// gives it the network time-out from the preferences; PrepareRun (the rest
// of the window's set-up) follows, then TIMER_START_RUN starts the patch run
// (RunPatchRun) 100 ms later inside the user-interface thread. Destroying
// the window stops the worker.
//
// Cancel (button 2, Escape, the close box, every WM_CLOSE) is refused while
// patches are applied, closes at once once the run has asked to quit, and
// otherwise asks "Are you sure you want to cancel ?": Yes aborts a running
// transfer at once, raises the run's stop flag (patcher/net/run_state.h,
// which is this window's m_bQuitRequested) and closes the window unless a
// run is busy; a busy run notices the flag and ends by itself.
//
// Thread-safety: a window object is used on the user-interface thread that
// runs it; other threads reach it only through messages and timers.
#pragma once

#include <functional>
#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/dialog.h"

class CQuorvexPatcherDlg : public CDialog {
 public:
  explicit CQuorvexPatcherDlg(CWnd* a_pParent = nullptr);
  ~CQuorvexPatcherDlg() override;

  // Set-up, before the window runs.
  void SetAutomation(bool a_bAutomation, const std::string& a_sBackupPath);
  void SetUseBrowser(bool a_bUseBrowser);
  void SetTargetVersion(const std::string& a_sVersion);
  void SetMaintenanceVersion(const std::string& a_sVersion);

  // What the start-run timer runs, on the user-interface thread, with the
  // window up and the worker started. Without one the window waits for its
  // user.
  using RunCallback_t = std::function<void(CQuorvexPatcherDlg&)>;
  void SetRunCallback(RunCallback_t a_fnRun) { m_fnRun = std::move(a_fnRun); }

  // The status line (control 1006) and the bar (control 1007).
  void SetStatusText(const std::string& a_sText);
  std::string GetStatusText() const;
  CProgressCtrl& GetProgressCtrl() { return m_progress; }

  // Fraction callbacks: the completed fraction (0 to 1) becomes the bar's
  // position (0..1000, range set by the caller) and a status line of string
  // 122, 173 or 102. Each skips a position it showed last. They reach the
  // window as the calling thread's main window; user-interface thread only.
  static void PatchDatabaseProgress(float a_fFraction);
  static void ItemDataProgress(float a_fFraction);
  static void ConversionProgress(float a_fFraction);
  // Progress of a database rebuild: a_pzText (when not null) becomes the
  // status line, a_nPosition the bar's position; pending messages are
  // dispatched. Returns 0.
  static int RebuildProgress(int a_nPosition, int a_nReserved, const char* a_pzText);

  // The status text that TIMER_DOWNLOAD_PROGRESS shows for the shared
  // download progress, and the estimate it stores in m_nSecondsLeft.
  std::string DownloadStatusText();

  // The window's state, shared with the patch run.
  std::string m_strWorkDir;        // working folder with a trailing backslash
  std::string m_strTargetVersion;
  std::string m_strMaintenanceVersion;
  std::string m_strArgBackupPath;
  std::string m_strBackupPath;
  std::string m_strBaseCaption;
  std::string m_strStatusSuffix;   // appended to the database progress lines
  std::string m_strCurrentFile;
  int m_nFilesTotal = 0;
  int m_nFilesDone = 0;
  int m_nTicks = 0;                // seconds since the current download started
  int m_nStartBytes = 0;           // bytes present when it started
  int m_nSecondsLeft = 0;          // last time-left estimate
  bool m_bUseBrowser = false;
  bool m_bAutomation = false;
  bool m_bBusy = false;            // a patch run is in progress
  bool m_bPatching = false;        // patches are being applied: Cancel is refused
  bool m_bNavigateComplete = false;
  bool m_bRestartPending = false;
  bool m_bDelayedPatching = false;
  bool m_bPatchesPresent = false;

  using CDialog::EndDialog;

 protected:
  BOOL OnInitDialog() override;
  // The rest of the window's set-up, after the worker runs; FALSE when the
  // window is closing already (it posted itself WM_CLOSE). Returns TRUE here.
  virtual BOOL PrepareRun();
  // The patch run, started by TIMER_START_RUN: the run callback, if any.
  virtual void RunPatchRun();

  void OnOK() override;
  void OnCancel() override;
  void OnTimer(UINT_PTR a_nIdEvent) override;
  void OnDestroy() override;
  void DoDataExchange(CDataExchange* a_pDX) override;
  LRESULT WindowProc(UINT a_nMessage, WPARAM a_wParam, LPARAM a_lParam) override;

  CProgressCtrl m_progress;
  CEdit m_edit;

 private:
  static void ShowFraction(float a_fFraction, UINT a_nStringId, bool a_bWithSuffix, int& a_rnLastPosition);

  RunCallback_t m_fnRun;
};

// The time span pattern of the status line (" Time left: %H:%M:%S ") filled
// in for a_nSeconds: %H hours within the day, %M minutes, %S seconds, each
// as two digits; %D whole days; %% a percent sign.
std::string FormatTimeSpan(const std::string& a_sPattern, long long a_nSeconds);
