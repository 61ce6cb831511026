#include "patcher/net/progress_window.h"

#include "patcher/resources/resource.h"
#include "platform/ui/app.h"
#include "platform/ui/window.h"

namespace qx::net {

void ShowStatus(const std::string& a_sText) {
  if (CWnd* window = AfxGetMainWnd()) window->SetDlgItemText(IDC_STATUS, a_sText);
}

void SendProgressRange(int a_nLower, int a_nUpper) {
  if (CWnd* window = AfxGetMainWnd())
    window->SendMessage(WM_PATCHER_SETRANGE, static_cast<WPARAM>(a_nLower), static_cast<LPARAM>(a_nUpper));
}

void SendProgressPos(int a_nPos) {
  if (CWnd* window = AfxGetMainWnd()) window->SendMessage(WM_PATCHER_SETPOS, static_cast<WPARAM>(a_nPos));
}

void SetProgressStep(int a_nStep) {
  if (CWnd* window = AfxGetMainWnd()) window->SendDlgItemMessage(IDC_PROGRESS, PBM_SETSTEP, static_cast<WPARAM>(a_nStep));
}

void StartActivityTimer() {
  if (CWnd* window = AfxGetMainWnd()) window->SetTimer(TIMER_ACTIVITY, TIMER_ACTIVITY_MS);
}

void StopActivityTimer() {
  if (CWnd* window = AfxGetMainWnd()) window->KillTimer(TIMER_ACTIVITY);
}

void SetStartButtonText(const std::string& a_sText) {
  if (CWnd* window = AfxGetMainWnd()) window->SetDlgItemText(IDOK, a_sText);
}

}  // namespace qx::net
