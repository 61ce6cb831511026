// Test support: run code inside a real patcher window.
//
// RunInPatcherWindow opens a CQuorvexPatcherDlg modally on the calling
// thread, as the application's main window (an application object is made
// for the call when there is none), so that the download worker and the
// network code report to it exactly as in a real run. `a_fnRun` runs from
// the window's start-run timer, on the user-interface thread, with the
// window up, the worker started and its time-out set from the preferences
// (5 s unless the installation declares another). When `a_fnRun` returns
// and has not ended the window, the window is ended with IDOK; WM_DESTROY
// then stops the worker. The result is DoModal's.
//
// Before the window opens the run's stop flag and the abort flag of the
// transfer progress are cleared. Message boxes take their answers from the
// answers list (platform/ui/answers.h); status lines and boxes are in the
// transcript. Needs an installation to work in (tests/support/
// test_installation.h) for the log and the preferences.
#pragma once

#include <functional>
#include <memory>

#include "patcher/app/patcher_dlg.h"
#include "patcher/net/run_state.h"
#include "patcher/net/transfer_progress.h"
#include "platform/ui/app.h"

namespace qx::test {

inline INT_PTR RunInPatcherWindow(const std::function<void(CQuorvexPatcherDlg&)>& a_fnRun,
                                  const std::function<void(CQuorvexPatcherDlg&)>& a_fnSetUp = nullptr) {
  SetQuitRequested(false);
  GetTransferProgress().abortRequested = false;
  std::unique_ptr<CWinApp> ownApp;
  CWinApp* app = AfxGetApp();
  if (!app) {
    ownApp = std::make_unique<CWinApp>("QuorvexPatcher");
    app = ownApp.get();
  }
  CQuorvexPatcherDlg dialog;
  CWnd* previousMain = app->m_pMainWnd;
  app->m_pMainWnd = &dialog;
  if (a_fnSetUp) a_fnSetUp(dialog);
  dialog.SetRunCallback([&a_fnRun](CQuorvexPatcherDlg& a_rDialog) {
    if (a_fnRun) a_fnRun(a_rDialog);
    if (a_rDialog.IsModalRunning()) a_rDialog.EndDialog(IDOK);
  });
  const INT_PTR result = dialog.DoModal();
  app->m_pMainWnd = previousMain;
  return result;
}

}  // namespace qx::test
