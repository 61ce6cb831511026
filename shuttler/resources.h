// Shuttler's resources: its two dialogs, its string table, its icons and its
// version information, kept as data.
//
// RegisterShuttlerResources hands the dialog templates and the string table to
// the window model (platform/ui/resources.h); CShuttlerDlg and CAboutDlg find
// their templates there by id. Icons are named by their resource ids (an icon
// handle stands for its id, see platform/ui/gdi.h); a renderer decides how to
// show them. Edit IDC_FOLDER carries the status-line role, so a renderer shows
// what the dialog reports there (the chosen folder, the scan's progress) as
// the dialog's status line and the transcript records every change of it.
//
// Registration may be repeated (it replaces the earlier entries) and is
// thread-safe.
#pragma once

#include "platform/win32.h"

// Dialogs, strings and icons.
inline constexpr UINT IDD_ABOUTBOX = 100;
inline constexpr UINT IDS_ABOUTBOX = 101;
inline constexpr UINT IDD_SHUTTLER_DIALOG = 102;
inline constexpr UINT IDR_MAINFRAME = 128;  // the program icon
inline constexpr UINT IDI_BROWSE = 130;     // the image of the browse button

// Controls of the main dialog (besides IDOK "Install" and IDCANCEL "Cancel").
inline constexpr int IDC_FOLDER = 1000;  // read-only edit: chosen folder and scan progress
inline constexpr int IDC_BROWSE = 1001;  // icon button: the folder picker
inline constexpr int IDC_SEARCH = 1004;  // "Search my drives ..." / "...Abort scanning..."

// The system-menu command that shows the About box.
inline constexpr UINT IDM_ABOUTBOX = 0x0010;

// The version resource of Shuttler.exe.
struct ShuttlerVersionInfo_t {
  WORD fileVersion[4];
  WORD productVersion[4];
  const char* fileDescription;
  const char* originalFilename;
};
inline constexpr ShuttlerVersionInfo_t kShuttlerVersionInfo{
    {1, 0, 0, 1}, {1, 0, 0, 1}, "Quorvex Online Patch Copy Application", "Shuttler.exe"};

// Registers dialogs 100 and 102 and string 101 with the window model.
void RegisterShuttlerResources();
