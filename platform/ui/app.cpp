#include "platform/ui/app.h"

#include <atomic>

namespace {

std::atomic<CWinApp*> g_app{nullptr};
thread_local CWnd* t_mainWindow = nullptr;

}  // namespace

CWinApp::CWinApp(LPCSTR appName) : m_strAppName(appName ? appName : "") { g_app = this; }

CWinApp::~CWinApp() {
  CWinApp* self = this;
  g_app.compare_exchange_strong(self, nullptr);
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

HICON CWinApp::LoadIcon(UINT id) const { return ::LoadIcon(id); }

CWinApp* AfxGetApp() { return g_app.load(); }

CWnd* AfxGetMainWnd() {
  if (t_mainWindow) return t_mainWindow;
  CWinApp* app = g_app.load();
  return app ? app->m_pMainWnd : nullptr;
}

std::string AfxGetAppName() {
  CWinApp* app = g_app.load();
  return app ? app->m_strAppName : std::string();
}

namespace qx::ui {
void SetThreadMainWindow(CWnd* window) { t_mainWindow = window; }
}  // namespace qx::ui
