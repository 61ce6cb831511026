#include "shuttler/shuttler_app.h"

#include "platform/os/command_line.h"
#include "shuttler/shuttler_dlg.h"

void CCommandLineInfo::ParseParam(const char* param, BOOL flag, BOOL /*last*/) {
  if (!flag && m_strFileName.empty()) m_strFileName = param;
}

CShuttlerApp::CShuttlerApp() : CWinApp("Shuttler") {}

void CShuttlerApp::ParseArguments(const std::vector<std::string>& arguments, CCommandLineInfo& info) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool flag = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
    info.ParseParam(argument.c_str() + (flag ? 1 : 0), flag ? TRUE : FALSE, i + 1 == arguments.size());
  }
}

void CShuttlerApp::ParseCommandLine(CCommandLineInfo& info) {
  std::vector<std::string> arguments = qx::os::SplitWindowsCommandLine(GetCommandLineA());
  if (!arguments.empty()) arguments.erase(arguments.begin());
  ParseArguments(arguments, info);
}

BOOL CShuttlerApp::InitInstance() {
  // Control containers and 3-D controls need no set-up in this window model.
  CCommandLineInfo commandLine;
  ParseCommandLine(commandLine);

  CShuttlerDlg dialog;
  dialog.SetPassThroughArgument(commandLine.m_strFileName);
  m_pMainWnd = &dialog;
  m_nDialogResult = dialog.DoModal();
  m_pMainWnd = nullptr;
  // The dialog has closed: end the program rather than run a message loop.
  return FALSE;
}
