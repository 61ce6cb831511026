// CShuttlerApp: the Shuttler program. InitInstance reads the command line,
// shows the main dialog modally and returns FALSE, so the program ends when
// the dialog closes.
//
// Command line: of all arguments only the first one that is not a switch
// (a switch begins with '-' or '/') is used; it is handed on unchanged to the
// patcher as its whole command line. CCommandLineInfo/ParseCommandLine split
// the process's own command line (GetCommandLineA) the Windows way and keep
// that argument in m_strFileName (empty when there is none).
//
// Made and used on the program's main thread.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/app.h"

class CCommandLineInfo {
 public:
  virtual ~CCommandLineInfo() = default;
  // One argument: `param` without its leading '-' or '/' when `flag` is set;
  // `last` is set for the last argument.
  virtual void ParseParam(const char* param, BOOL flag, BOOL last);

  // The first argument that is not a switch.
  std::string m_strFileName;
};

class CShuttlerApp : public CWinApp {
 public:
  CShuttlerApp();

  BOOL InitInstance() override;

  // Hands every argument of the process's command line (after the program
  // name) to `info`.
  void ParseCommandLine(CCommandLineInfo& info);
  // The same for a given argument list (without the program name).
  static void ParseArguments(const std::vector<std::string>& arguments, CCommandLineInfo& info);

  // The dialog's result of the last run (IDOK after Install, IDCANCEL, -1).
  INT_PTR m_nDialogResult = -1;
};
