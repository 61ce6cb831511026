// The application object and the main window.
//
// A program has one CWinApp (made at start); its name is the caption of
// AfxMessageBox boxes and its m_pMainWnd is the application's main window.
// AfxGetMainWnd returns the calling thread's main window if one was set for
// that thread (qx::ui::SetThreadMainWindow), else the application's, so a
// worker thread reaches the window the same way the user-interface thread
// does.
//
// The application object is made and destroyed on the main thread; the
// getters are thread-safe.
#pragma once

#include <string>

#include "platform/ui/gdi.h"
#include "platform/win32.h"

class CWnd;

class CWinApp {
 public:
  explicit CWinApp(LPCSTR appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  virtual BOOL InitInstance();
  virtual int ExitInstance();
  HICON LoadIcon(UINT id) const;

  CWnd* m_pMainWnd = nullptr;
  std::string m_strAppName;
};

// The application object; null when there is none.
CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// The application's name; "" without an application.
std::string AfxGetAppName();

namespace qx::ui {
// The calling thread's own main window (null: use the application's).
void SetThreadMainWindow(CWnd* window);
}  // namespace qx::ui
