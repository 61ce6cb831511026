#include "patcher/resources/resources.h"

#include <mutex>
#include <string>
#include <utility>

#include "patcher/resources/resource.h"
#include "platform/ui/resources.h"

namespace qx::patcher {

namespace {

const std::pair<UINT, const char*> kStrings[] = {
    {IDS_ABOUTBOX, "&About QuorvexPatcher..."},
    {IDS_CONVERTING_RDB, "Converting RDB: %.1f%%"},
    {IDS_SOCKETS_INIT_FAILED,
     "Could not initialize Windows Sockets. Make sure you have Winsock2 installed and try again."},
    {IDS_CLIENT_RUNNING, "The Quorvex online client is currently running.\nClick OK to try to close it."},
    {IDS_CLIENT_NOT_CLOSED,
     "It seems like the Quorvex Online process was not closed down. Please close it down manually and "
     "click OK to continue."},
    {IDS_VERSION_MISSING, "The file 'Version.id' is missing. Please replace or reinstall!"},
    {IDS_ALREADY_NEWEST, "You already have the newest version of Quorvex Online installed."},
    {IDS_PERFORMING_MAINTENANCE, " - Performing maintenance..."},
    {IDS_MAINTENANCE_FAILED,
     "We are sorry, but we could not perform file-maintenance on this computer at this time.\nYou might "
     "have to reinstall Quorvex Online.\n"},
    {IDS_PATCHING_DONE, "Patching all done."},
    {IDS_PATCH_FAILED, "Patch Failed: "},
    {IDS_REINSTALL_TO_PLAY, "\nYou might have to reinstall Quorvex Online to play.\n"},
    {IDS_PATCHING_FILE, "Patching file '%s' ( %i / %i ) %s"},
    {IDS_PATCHING_RDB_PROGRESS, "Patching resourcedatabase ( %.1f %% ) %s"},
    {IDS_TIME_LEFT, " Time left: %H:%M:%S "},
    {IDS_KB_PROGRESS, " ( %i KB / %i KB )"},
    {IDS_READY, "Ready."},
    {IDS_PATCHDATABASE_FAILED, "PatchDatabase Failed (Error code : %i)"},
    {IDS_NO_PATCHSERVER_INFO, "Could not download patchserver information. Please try again later."},
    {IDS_MAINTAIN_GET_FILE_ERROR, "InetConnection_c::Maintain():\nError getting file '%s'\n"},
    {IDS_UNKNOWN_ERROR, "Unknown error %u"},
    {IDS_PATCHING_RDB, "Patching resource database ( %s )..."},
    {IDS_CHECKSUM_MISMATCH, "Error checksumming file %s! The checksum does not match.\n%s"},
    {IDS_PATCHING_ITEMDATA, "Patching itemdata ( %.1f %% ) %s"},
    {IDS_MUST_REBOOT,
     "QuorvexPatcher must reboot your machine to finish the patching procedure. If you do not reboot, "
     "Quorvex will not work properly and you might have to reinstall. Click OK to reboot your machine now."},
    {IDS_REBOOT_FAILED,
     "QuorvexPatcher could not automatically restart your system. Please close all open applications and "
     "restart your computer manually."},
};

DialogTemplate_t MainDialog() {
  DialogTemplate_t d;
  d.id = IDD_QUORVEXPATCHER_DIALOG;
  d.caption = "QuorvexPatcher";
  d.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFOREGROUND;
  d.fontName = "MS Sans Serif";
  d.fontSize = 8;
  d.cx = 364;
  d.cy = 284;
  const DWORD kSunkenLabel = SS_SUNKEN | SS_CENTERIMAGE;
  d.controls = {
      {IDC_BROWSER, ControlKind::kBrowser, "", 4, 6, 356, 224, 0, ControlRole::kNone, 0},
      {IDC_TEXTVIEW, ControlKind::kEdit, "", 4, 6, 356, 224,
       ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER, ControlRole::kTextView, 0},
      {IDC_STATUS_LABEL, ControlKind::kStatic, "Current status:", 4, 235, 53, 11, kSunkenLabel,
       ControlRole::kNone, 0},
      {IDC_STATUS, ControlKind::kStatic, "Ready.", 60, 235, 300, 11, kSunkenLabel | SS_LEFTNOWORDWRAP,
       ControlRole::kStatusLine, 0},
      {IDC_PROGRESS_LABEL, ControlKind::kStatic, "Progress:", 4, 250, 53, 11, 0, ControlRole::kNone, 0},
      {IDC_PROGRESS, ControlKind::kProgressBar, "", 60, 250, 300, 11, PBS_SMOOTH | WS_BORDER,
       ControlRole::kProgressBar, 0},
      {IDC_CLOSE_WHEN_DONE, ControlKind::kCheckBox, "Close when &done with patching.", 5, 265, 122, 11,
       BS_AUTOCHECKBOX | WS_TABSTOP, ControlRole::kNone, 0},
      {IDCANCEL, ControlKind::kButton, "&Cancel", 200, 266, 66, 14, WS_TABSTOP, ControlRole::kNone, 0},
      {IDOK, ControlKind::kDefaultButton, "&Start Patching!", 270, 266, 90, 14, WS_TABSTOP, ControlRole::kNone, 0},
  };
  return d;
}

DialogTemplate_t AboutDialog() {
  DialogTemplate_t d;
  d.id = IDD_ABOUTBOX;
  d.caption = "About QuorvexPatcher";
  d.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  d.fontName = "MS Sans Serif";
  d.fontSize = 8;
  d.cx = 235;
  d.cy = 55;
  d.controls = {
      {IDC_STATIC, ControlKind::kStatic, "", 11, 17, 20, 20, SS_ICON, ControlRole::kNone, IDR_MAINFRAME},
      {IDC_STATIC, ControlKind::kStatic, "QuorvexPatcher Version 1.03", 40, 10, 119, 8, SS_LEFT,
       ControlRole::kNone, 0},
      {IDOK, ControlKind::kDefaultButton, "OK", 178, 7, 50, 14, WS_GROUP, ControlRole::kNone, 0},
  };
  return d;
}

std::string NewsUrlMissingText() {
  return std::string("Warning: couldn't open file 'cd_image\\data\\patcher\\Quorvexpatcher.url'\nWill use ") +
         kDefaultNewsAddress + " instead.";
}

std::string ContactSupportText() {
  return std::string("If this particular problem persists, please contact ") + kSupportAddress + " for help.";
}

}  // namespace

void RegisterPatcherResources() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const auto& [id, text] : kStrings) qx::ui::RegisterString(id, text);
    qx::ui::RegisterString(IDS_NEWS_URL_MISSING, NewsUrlMissingText());
    qx::ui::RegisterString(IDS_CONTACT_SUPPORT, ContactSupportText());
    qx::ui::RegisterDialogTemplate(MainDialog());
    qx::ui::RegisterDialogTemplate(AboutDialog());
  });
}

std::string LoadPatcherString(UINT id) {
  RegisterPatcherResources();
  return qx::ui::LoadResourceString(id);
}

}  // namespace qx::patcher
