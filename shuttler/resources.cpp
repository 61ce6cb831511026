#include "shuttler/resources.h"

#include "platform/ui/resources.h"

namespace {

constexpr DWORD kMainDialogStyle = DS_MODALFRAME | WS_MINIMIZEBOX | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kAboutDialogStyle = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;

DialogTemplate_t MainDialog() {
  return DialogTemplate_t{
      IDD_SHUTTLER_DIALOG,
      "Quorvex Online Patch Installer",
      kMainDialogStyle,
      "MS Sans Serif",
      8,
      0,
      0,
      242,
      101,
      {
          {IDC_STATIC, ControlKind::kStatic,
           "Choose the correct Quorvex Online folder below and click \"Install\" to copy/install the executable "
           "patch. ",
           8, 7, 227, 18},
          {IDC_STATIC, ControlKind::kGroupBox, "Quorvex Online folder:", 7, 27, 228, 49},
          {IDC_FOLDER, ControlKind::kEdit, "", 11, 37, 197, 14, ES_AUTOHSCROLL | ES_READONLY | WS_TABSTOP,
           ControlRole::kStatusLine},
          // The image (icon IDI_BROWSE) is given when the dialog starts.
          {IDC_BROWSE, ControlKind::kIconButton, "", 212, 36, 19, 16, WS_TABSTOP},
          {IDC_SEARCH, ControlKind::kButton, "Search my drives for the Quorvex Online installation", 11, 56, 220, 15,
           WS_TABSTOP},
          {IDCANCEL, ControlKind::kButton, "Cancel", 7, 80, 60, 14, WS_TABSTOP},
          {IDOK, ControlKind::kDefaultButton, "Install", 175, 80, 60, 14, WS_TABSTOP},
      }};
}

DialogTemplate_t AboutDialog() {
  return DialogTemplate_t{IDD_ABOUTBOX,
                          "About Shuttler",
                          kAboutDialogStyle,
                          "MS Sans Serif",
                          8,
                          0,
                          0,
                          235,
                          55,
                          {
                              {IDC_STATIC, ControlKind::kStatic, "", 11, 17, 20, 20, SS_ICON, ControlRole::kNone,
                               IDR_MAINFRAME},
                              {IDC_STATIC, ControlKind::kStatic, "Shuttler Version 1.0", 40, 10, 119, 8},
                              {IDOK, ControlKind::kDefaultButton, "OK", 178, 7, 50, 14, WS_GROUP},
                          }};
}

}  // namespace

void RegisterShuttlerResources() {
  qx::ui::RegisterDialogTemplate(MainDialog());
  qx::ui::RegisterDialogTemplate(AboutDialog());
  qx::ui::RegisterString(IDS_ABOUTBOX, "&About Shuttler...");
}
