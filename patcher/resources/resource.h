// The patcher's resource identifiers: dialogs, controls, icons, strings, and
// the user messages and timers of its main window.
//
// Every part of the patcher that reports progress reaches the window through
// these numbers (status line 1006, progress bar 1007, the WM_PATCHER_*
// messages, the timers). They are fixed: the launcher and our tests rely on
// the control and message numbers, and the string numbers are how the code
// names its user-visible texts. Constants only.
#pragma once

#include "platform/ui/messages.h"

// Dialogs and icons.
inline constexpr UINT IDD_ABOUTBOX = 100;
inline constexpr UINT IDD_QUORVEXPATCHER_DIALOG = 102;
inline constexpr UINT IDR_MAINFRAME = 128;

// Controls of dialog 102.
inline constexpr int IDC_BROWSER = 1004;
inline constexpr int IDC_STATUS = 1006;
inline constexpr int IDC_PROGRESS = 1007;
inline constexpr int IDC_CLOSE_WHEN_DONE = 1010;
inline constexpr int IDC_TEXTVIEW = 1015;
inline constexpr int IDC_STATUS_LABEL = 1016;
inline constexpr int IDC_PROGRESS_LABEL = 1017;

// System-menu command of the About box.
inline constexpr UINT IDM_ABOUTBOX = 0x0010;

// User messages of the main window. All handlers return 0.
inline constexpr UINT WM_PATCHER_SETPOS = WM_USER + 10;         // wParam: position
inline constexpr UINT WM_PATCHER_SETRANGE = WM_USER + 11;       // wParam: lower, lParam: upper
inline constexpr UINT WM_PATCHER_SETSTATUS = WM_USER + 12;      // wParam: const char* text
inline constexpr UINT WM_PATCHER_DOWNLOADSTART = WM_USER + 15;  // a download begins

// Timers of the main window.
inline constexpr UINT_PTR TIMER_DOWNLOAD_PROGRESS = 0xfeedabee;  // 1000 ms
inline constexpr UINT_PTR TIMER_ACTIVITY = 0xbeefcace;           // 100 ms
inline constexpr UINT_PTR TIMER_START_RUN = 0xbada55e5;          // 100 ms
inline constexpr UINT TIMER_DOWNLOAD_PROGRESS_MS = 1000;
inline constexpr UINT TIMER_ACTIVITY_MS = 100;
inline constexpr UINT TIMER_START_RUN_MS = 100;

// String table (texts in strings.cpp).
inline constexpr UINT IDS_ABOUTBOX = 101;
inline constexpr UINT IDS_CONVERTING_RDB = 102;
inline constexpr UINT IDS_SOCKETS_INIT_FAILED = 104;
inline constexpr UINT IDS_CLIENT_RUNNING = 105;
inline constexpr UINT IDS_CLIENT_NOT_CLOSED = 106;
inline constexpr UINT IDS_VERSION_MISSING = 107;
inline constexpr UINT IDS_ALREADY_NEWEST = 108;
inline constexpr UINT IDS_NEWS_URL_MISSING = 109;
inline constexpr UINT IDS_PERFORMING_MAINTENANCE = 110;
inline constexpr UINT IDS_MAINTENANCE_FAILED = 111;
inline constexpr UINT IDS_CONTACT_SUPPORT = 112;
inline constexpr UINT IDS_PATCHING_DONE = 117;
inline constexpr UINT IDS_PATCH_FAILED = 119;
inline constexpr UINT IDS_REINSTALL_TO_PLAY = 120;
inline constexpr UINT IDS_PATCHING_FILE = 121;
inline constexpr UINT IDS_PATCHING_RDB_PROGRESS = 122;
inline constexpr UINT IDS_TIME_LEFT = 125;
inline constexpr UINT IDS_KB_PROGRESS = 126;
inline constexpr UINT IDS_READY = 127;
inline constexpr UINT IDS_PATCHDATABASE_FAILED = 128;
inline constexpr UINT IDS_NO_PATCHSERVER_INFO = 136;
inline constexpr UINT IDS_MAINTAIN_GET_FILE_ERROR = 137;
inline constexpr UINT IDS_UNKNOWN_ERROR = 138;
inline constexpr UINT IDS_PATCHING_RDB = 149;
inline constexpr UINT IDS_CHECKSUM_MISMATCH = 171;
inline constexpr UINT IDS_PATCHING_ITEMDATA = 173;
inline constexpr UINT IDS_MUST_REBOOT = 174;
inline constexpr UINT IDS_REBOOT_FAILED = 175;
