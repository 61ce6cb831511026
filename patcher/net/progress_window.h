// The patcher window as the patch-server access reports to it: the calling
// thread's main window (AfxGetMainWnd), reached directly from the
// user-interface thread. Every function does nothing when there is no main
// window, so the operations also run without one (tools, tests).
//
// Status line: control 1006. Progress bar: control 1007, whose range and
// position go through the window's own messages WM_PATCHER_SETRANGE and
// WM_PATCHER_SETPOS (sent, not posted). TIMER_ACTIVITY keeps the bar moving
// while a step has no measurable progress. The Start button is control 1.
//
// User-interface thread only.
#pragma once

#include <string>

namespace qx::net {

void ShowStatus(const std::string& a_sText);
void SendProgressRange(int a_nLower, int a_nUpper);
void SendProgressPos(int a_nPos);
void SetProgressStep(int a_nStep);
void StartActivityTimer();
void StopActivityTimer();
void SetStartButtonText(const std::string& a_sText);

}  // namespace qx::net
