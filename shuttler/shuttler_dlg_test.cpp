#include "shuttler/shuttler_dlg.h"

#include "platform/fs/drives.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window.h"
#include "shuttler/shuttler_test_support.h"

namespace shuttler::test {
namespace {

using qx::ui::TranscriptKind;

const std::string kSearchText = "Search my drives for the Quorvex Online installation";

TEST(ShuttlerRulesTest, InstallationMarkerAddsOneSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Games\\Quorvex", "C:\\Games\\Quorvex\\cd_image\\data\\db\\ResourceDatabase.dat"},
      {"C:\\Games\\Quorvex\\", "C:\\Games\\Quorvex\\cd_image\\data\\db\\ResourceDatabase.dat"},
      {"/games/quorvex/", "/games/quorvex/cd_image\\data\\db\\ResourceDatabase.dat"},
      {"/games/quorvex", "/games/quorvex\\cd_image\\data\\db\\ResourceDatabase.dat"},
  };
  for (const auto& [folder, marker] : cases) EXPECT_EQ(CShuttlerDlg::InstallationMarker(folder), marker) << folder;
}

TEST(ShuttlerRulesTest, ScanPassesOverFloppiesAndNonFixedDrives) {
  struct Case {
    const char* root;
    UINT type;
    bool skipped;
  } cases[] = {
      {"A:\\", DRIVE_FIXED, true},       {"b:\\", DRIVE_FIXED, true},      {"C:\\", DRIVE_FIXED, false},
      {"C:\\", DRIVE_REMOVABLE, true},   {"D:\\", DRIVE_CDROM, true},      {"N:\\", DRIVE_REMOTE, true},
      {"R:\\", DRIVE_RAMDISK, false},    {"/", DRIVE_FIXED, false},        {"/home/", DRIVE_FIXED, false},
      {"/media/stick/", DRIVE_REMOVABLE, true},
      {"/net/", DRIVE_REMOTE, true},     {"/cdrom/", DRIVE_CDROM, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CShuttlerDlg::IsSkippedDrive(c.root, c.type) != FALSE, c.skipped) << c.root << " type " << c.type;
  }
}

using ShuttlerDlgTest = ShuttlerTest;

TEST_F(ShuttlerDlgTest, StartsWithTheRegisteredInstallationOnly) {
  const fs::path inst = Dir() / "Games" / "Quorvex Online";
  MakeInstallation(inst);
  fs::create_directories(Dir() / "NotAGame");
  struct Case {
    std::optional<std::string> value;
    bool install;
  } cases[] = {
      {inst.string(), true},
      {inst.string() + "\\", true},
      {inst.string() + "/", true},
      {(Dir() / "games" / "QUORVEX ONLINE").string(), true},  // letter case is free
      {(Dir() / "NotAGame").string(), false},
      {"", false},
      {std::nullopt, false},
  };
  for (const Case& c : cases) {
    fs::remove(Dir() / "registry.reg");
    if (c.value) SetInstallPath(*c.value);
    ProbeDlg dialog;
    EXPECT_EQ(dialog.DoModal(), IDCANCEL) << "nobody answers: the window is closed";
    const std::string label = c.value.value_or("(no value)");
    EXPECT_EQ(dialog.atInit.install, c.install) << label;
    EXPECT_EQ(dialog.atInit.folderText, c.install ? *c.value : "") << label;
    EXPECT_EQ(dialog.GetChosenFolder(), c.install ? *c.value : "") << label;
    EXPECT_TRUE(dialog.atInit.cancel && dialog.atInit.browse && dialog.atInit.search) << label;
  }

  // A value that is not a string is no folder.
  fs::remove(Dir() / "registry.reg");
  const DWORD number = 42;
  ASSERT_EQ(SHSetValueA(HKEY_LOCAL_MACHINE, "Software\\Quorvex Online", "InstallPath", REG_DWORD, &number,
                        sizeof number),
            ERROR_SUCCESS);
  ProbeDlg dialog;
  dialog.DoModal();
  EXPECT_FALSE(dialog.atInit.install);
  EXPECT_EQ(dialog.GetChosenFolder(), "");
}

TEST_F(ShuttlerDlgTest, WindowResourcesAndAboutBox) {
  ProbeDlg dialog;
  HICON bigIcon = nullptr, browseIcon = nullptr;
  int statusLine = 0;
  std::vector<std::pair<UINT, std::string>> systemMenu;
  dialog.onInit = [&](ProbeDlg& d) {
    bigIcon = d.GetIcon(TRUE);
    browseIcon = static_cast<CButton*>(d.GetDlgItem(IDC_BROWSE))->GetIcon();
    statusLine = ::GetDlgCtrlID(qx::ui::FindControlByRole(d.m_hWnd, ControlRole::kStatusLine));
    CMenu* menu = d.GetSystemMenu(FALSE);
    for (int i = 0; i < menu->GetMenuItemCount(); ++i) {
      systemMenu.emplace_back(menu->GetMenuItemID(i), menu->GetMenuString(i, MF_BYPOSITION));
    }
    d.PostMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  };
  Answers({"Click:OK", "Click:Cancel"});
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  EXPECT_EQ(qx::ui::IconResourceId(bigIcon), IDR_MAINFRAME);
  EXPECT_EQ(qx::ui::IconResourceId(browseIcon), IDI_BROWSE);
  EXPECT_EQ(statusLine, IDC_FOLDER);
  ASSERT_GE(systemMenu.size(), 2u);
  EXPECT_EQ(systemMenu[systemMenu.size() - 2].first, 0u) << "a separator before the entry";
  EXPECT_EQ(systemMenu.back(), (std::pair<UINT, std::string>{IDM_ABOUTBOX, "&About Shuttler..."}));
  EXPECT_EQ(dialog.atInit.searchText, kSearchText);
  EXPECT_FALSE(dialog.atInit.install);

  EXPECT_EQ(Texts(TranscriptKind::kCaption),
            (std::vector<std::string>{"Quorvex Online Patch Installer", "About Shuttler"}));
  EXPECT_EQ(Texts(TranscriptKind::kClick), (std::vector<std::string>{"OK", "Cancel"}));
}

TEST_F(ShuttlerDlgTest, ScanSearchesFixedDrivesOnlyAndTakesTheAcceptedInstallation) {
  const fs::path fixed1 = Dir() / "disk1", fixed2 = Dir() / "disk2";
  const fs::path cdrom = Dir() / "cd", nfs = Dir() / "nfs", smb = Dir() / "smb";
  SetMounts({"/dev/sda1 " + fixed1.string() + " ext4", "/dev/sr0 " + cdrom.string() + " iso9660",
             "server:/export " + nfs.string() + " nfs4", "//server/share " + smb.string() + " cifs",
             "/dev/sda2 " + fixed2.string() + " xfs"});
  for (const fs::path& other : {cdrom, nfs, smb}) MakeInstallation(other / "Quorvex");
  fs::create_directories(fixed1 / "Documents" / "Letters");
  fs::create_directory_symlink(fixed1, fixed1 / "Documents" / "loop");  // not followed
  fs::create_directory_symlink(cdrom, fixed1 / "cd-link");
  WriteFile(fixed1 / "notes.txt", "x");
  MakeInstallation(fixed2 / "Games" / "Quorvex");
  WriteFile(fixed2 / "Games" / "Quorvex.lnk", "not a folder");

  Answers({"Click:1004", "Yes"});
  ProbeDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  const fs::path found = fixed2 / "Games" / "Quorvex";
  EXPECT_EQ(Texts(TranscriptKind::kMessageBox), std::vector<std::string>{FoundQuestion(found)});
  EXPECT_EQ(dialog.GetChosenFolder(), found.string());
  EXPECT_TRUE(dialog.atClose.install);
  EXPECT_EQ(dialog.atClose.folderText, found.string());
  EXPECT_EQ(dialog.atClose.searchText, kSearchText);
  EXPECT_TRUE(dialog.atClose.cancel && dialog.atClose.browse);

  const auto statuses = Texts(TranscriptKind::kStatus);
  auto shown = [&](const std::string& text) {
    return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
  };
  EXPECT_TRUE(shown("Scanning " + fixed1.string() + "/ Please wait"));
  EXPECT_TRUE(shown("Scanning " + (fixed1 / "Documents").string() + "\\*.* Please wait"));
  EXPECT_TRUE(shown("Scanning " + fixed2.string() + "/ Please wait"));
  for (const std::string& text : statuses) {
    for (const fs::path& other : {cdrom, nfs, smb}) {
      EXPECT_EQ(text.find(other.string()), std::string::npos) << text;
    }
  }
}

TEST_F(ShuttlerDlgTest, DrivesMountedInsideAScannedDriveAreScannedOnceAsTheirOwn) {
  // disk holds the mount points of a CD, of a fixed drive that is itself the
  // installation, and of a fixed drive with an installation further down.
  const fs::path disk = Dir() / "disk";
  const fs::path cd = disk / "cd", data = disk / "data", home = disk / "home";
  SetMounts({"/dev/sda1 " + disk.string() + " ext4", "/dev/sr0 " + cd.string() + " iso9660",
             "/dev/sdb1 " + data.string() + " ext4", "/dev/sdc1 " + home.string() + " ext4"});
  MakeInstallation(cd / "Quorvex");
  MakeInstallation(data);
  MakeInstallation(home / "Games" / "Quorvex");

  Answers({"Click:1004", "No", "No", "No"});
  ProbeDlg dialog;
  dialog.DoModal();

  EXPECT_EQ(Texts(TranscriptKind::kMessageBox),
            (std::vector<std::string>{FoundQuestion(data), FoundQuestion(home / "Games" / "Quorvex")}));
  EXPECT_EQ(dialog.GetChosenFolder(), "");
}

TEST_F(ShuttlerDlgTest, NoGoesOnWithTheNextSiblingWithoutEnteringTheFolder) {
  const fs::path disk = Dir() / "disk";
  SetMounts({"/dev/sda1 " + disk.string() + " ext4"});
  const fs::path first = disk / "a" / "x" / "Quorvex";
  const fs::path second = disk / "a" / "y" / "Quorvex";
  const fs::path third = disk / "b" / "Quorvex";
  for (const fs::path& inst : {first, first / "Backup", second, third}) MakeInstallation(inst);

  struct Case {
    std::vector<std::string> answers;
    std::vector<fs::path> asked;
    std::string chosen;
  } cases[] = {
      {{"Click:1004", "No", "No", "Yes"}, {first, second, third}, third.string()},
      {{"Click:1004", "No", "Yes"}, {first, second}, second.string()},
      {{"Click:1004", "No", "No", "No"}, {first, second, third}, ""},
  };
  for (const Case& c : cases) {
    qx::ui::CTranscript::Instance().Clear();
    Answers(c.answers);
    ProbeDlg dialog;
    dialog.DoModal();
    std::vector<std::string> expected;
    for (const fs::path& p : c.asked) expected.push_back(FoundQuestion(p));
    EXPECT_EQ(Texts(TranscriptKind::kMessageBox), expected);
    EXPECT_EQ(dialog.GetChosenFolder(), c.chosen);
    EXPECT_EQ(dialog.atClose.install, !c.chosen.empty());
    EXPECT_EQ(dialog.atClose.folderText, c.chosen);
  }
}

// Drives a scan from a thread timer of the dialog's thread: starts the scan,
// and once the status line shows `trigger` or a folder inside it, asks the
// window to close and presses the abort button.
struct AbortScript {
  ProbeDlg* dialog = nullptr;
  std::string trigger;
  UINT_PTR timer = 0;
  int phase = 0;
  size_t statusesAtAbort = 0;
  std::string statusAtAbort;
};
AbortScript g_script;

void AbortScriptTick(HWND, UINT, UINT_PTR, DWORD) {
  const HWND dialog = g_script.dialog->m_hWnd;
  if (!dialog) return;
  if (g_script.phase == 0) {
    if (qx::ui::ClickButton(dialog, IDC_SEARCH)) g_script.phase = 1;
    return;
  }
  const std::string status = qx::ui::WindowText(::GetDlgItem(dialog, IDC_FOLDER));
  if (g_script.phase == 1 && status.find(g_script.trigger) != std::string::npos) {
    g_script.statusesAtAbort = qx::ui::CTranscript::Instance().Entries(TranscriptKind::kStatus).size();
    g_script.statusAtAbort = status;
    ::PostMessageA(dialog, WM_CLOSE, 0, 0);
    qx::ui::ClickButton(dialog, IDC_SEARCH);
    ::KillTimer(nullptr, g_script.timer);
    g_script.phase = 2;
  }
}

TEST_F(ShuttlerDlgTest, AbortStopsADeepScanAtTheNextEntry) {
  // Shows each scanned folder for a moment, as a slow disk would, so that
  // the script's timer sees the scan inside the deep folders; counts beeps.
  struct SlowDisplay : qx::ui::CRenderer {
    std::atomic<int> beeps{0};
    void OnTextChanged(HWND, const std::string& text) override {
      if (text.rfind("Scanning", 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    void OnBeep(UINT) override { ++beeps; }
  };
  auto renderer = std::make_shared<SlowDisplay>();
  qx::ui::SetRenderer(renderer);

  const fs::path disk = Dir() / "disk";
  SetMounts({"/dev/sda1 " + disk.string() + " ext4"});
  const fs::path deep = disk / "deep" / "l1" / "l2" / "l3";
  for (int i = 0; i < 30; ++i) fs::create_directories(deep / ("d" + std::to_string(i)) / "e");
  MakeInstallation(deep / "zz" / "Quorvex");
  MakeInstallation(disk / "zzz" / "Quorvex");

  ProbeDlg dialog;
  g_script = AbortScript{&dialog, deep.string()};
  g_script.timer = ::SetTimer(nullptr, 0, 10, AbortScriptTick);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  ASSERT_EQ(g_script.phase, 2) << "the scan was not seen inside the deep folders";
  EXPECT_TRUE(Texts(TranscriptKind::kMessageBox).empty()) << "no installation is reached after the abort";
  // The entry being handled when the abort arrives may still be shown; the
  // scan ends at the entry after it.
  const auto statuses = Texts(TranscriptKind::kStatus);
  ASSERT_GE(statuses.size(), g_script.statusesAtAbort);
  int scannedAfterAbort = 0;
  for (size_t i = g_script.statusesAtAbort; i < statuses.size(); ++i) {
    if (statuses[i].rfind("Scanning", 0) == 0) ++scannedAfterAbort;
  }
  EXPECT_LE(scannedAfterAbort, 1) << "after " << g_script.statusAtAbort;
  EXPECT_EQ(statuses.back(), "User aborted seach.");
  EXPECT_EQ(dialog.atClose.folderText, "User aborted seach.");
  EXPECT_FALSE(dialog.atClose.install);
  EXPECT_TRUE(dialog.atClose.cancel && dialog.atClose.browse);
  EXPECT_EQ(dialog.atClose.searchText, kSearchText);
  EXPECT_EQ(dialog.GetChosenFolder(), "");
  EXPECT_EQ(renderer->beeps.load(), 1) << "closing during the scan is refused";
}

TEST_F(ShuttlerDlgTest, BrowsingTakesInstallationsAndRefusesOtherFolders) {
  const fs::path inst = Dir() / "Quorvex";
  const fs::path other = Dir() / "Other";
  MakeInstallation(inst);
  fs::create_directories(other);
  SetInstallPath(inst.string());

  Answers({"Click:1001", other.string(), "OK", "Click:Install", "Click:1001", "Cancel", "Click:Install",
           "Click:1001", inst.string()});
  ProbeDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  EXPECT_EQ(Texts(TranscriptKind::kFolder),
            std::vector<std::string>(3, "Select the folder where Quorvex Online is installed:"));
  EXPECT_EQ(Texts(TranscriptKind::kMessageBox),
            std::vector<std::string>{other.string() +
                                     " does not seem to be the Quorvex Online folder.\nPlease select another "
                                     "folder, or click \"Search My Drives For Quorvex Online\" to automatically "
                                     "find it."});
  EXPECT_EQ(Texts(TranscriptKind::kStatus), (std::vector<std::string>{inst.string(), "", inst.string()}));
  const auto clicks = Entries(TranscriptKind::kClick);
  ASSERT_EQ(clicks.size(), 5u);
  EXPECT_EQ(clicks[1].text, "Install");
  EXPECT_EQ(clicks[1].note, "the button cannot be pressed now") << "Install is disabled once the folder is cleared";
  EXPECT_EQ(clicks[3].note, "the button cannot be pressed now") << "a cancelled browse leaves it disabled";
  EXPECT_TRUE(dialog.atClose.install);
  EXPECT_EQ(dialog.GetChosenFolder(), inst.string());
}

// The installation the install tests copy into, with old patch files, a
// pending rename list and a working copy of everything else.
class ShuttlerInstallTest : public ShuttlerTest {
 protected:
  void SetUp() override {
    ShuttlerTest::SetUp();
    m_inst = Dir() / "Quorvex Online";
    MakeInstallation(m_inst);
    WriteFile(m_inst / "Patches" / "V1-0-V1-1.RTP", "old");
    WriteFile(m_inst / "Patches" / "Status.inf", "1");
    WriteFile(m_inst / "Patches" / "backup" / "deeper" / "file.bin", "old");
    WriteFile(m_inst / "Rename.ini", "[rename]");
    WriteFile(m_inst / "QuorvexPatcher.exe", "old patcher");
    SetInstallPath(m_inst.string());
  }

  // Runs the dialog with the pass-through argument, pressing Install.
  INT_PTR Install(const std::string& argument = "") {
    Answers({"Click:Install", "OK"});
    CShuttlerDlg dialog;
    dialog.SetPassThroughArgument(argument);
    return dialog.DoModal();
  }

  fs::path m_inst;
};

TEST_F(ShuttlerInstallTest, ReplacesThePatchFolderAndStartsThePatcher) {
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.RTP", "rtp");
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.res", "res");
  WriteFile(Medium() / "Patches" / "extra" / "not-copied.txt", "x");
  fs::create_directory_symlink(Medium() / "Patches" / "extra", Medium() / "Patches" / "linked-folder");

  EXPECT_EQ(Install("15.2"), IDOK);

  EXPECT_EQ(Listing(m_inst / "Patches"), (std::vector<std::string>{"V1-1-V1-2.RTP", "V1-1-V1-2.res"}))
      << "old files and folders are gone; subfolders of the medium's Patches (or links to them) are not copied";
  EXPECT_EQ(ReadFile(m_inst / "Patches" / "V1-1-V1-2.RTP"), "rtp");
  EXPECT_EQ(ReadFile(m_inst / "QuorvexPatcher.exe"), ReadFile(Medium() / "QuorvexPatcher.exe"));
  EXPECT_FALSE(fs::exists(m_inst / "Rename.ini"));
  const auto record = PatcherRecord(m_inst);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (std::vector<std::string>{m_inst.string(), "15.2"}));
  EXPECT_TRUE(Texts(TranscriptKind::kMessageBox).empty());
}

TEST_F(ShuttlerInstallTest, EmptyMediumPatchFolderStillEmptiesTheInstallationsOne) {
  fs::create_directories(Medium() / "Patches" / "only-a-folder");
  WriteFile(Dir() / "elsewhere" / "keep.txt", "keep");
  fs::create_directory_symlink(Dir() / "elsewhere", m_inst / "Patches" / "link");

  EXPECT_EQ(Install(), IDOK);

  EXPECT_EQ(Listing(m_inst / "Patches"), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_directory(m_inst / "Patches")) << "the folder itself stays";
  EXPECT_TRUE(fs::exists(Dir() / "elsewhere" / "keep.txt")) << "a link is removed, not followed";
  const auto record = PatcherRecord(m_inst);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, std::vector<std::string>{m_inst.string()}) << "no argument: an empty command line";
}

TEST_F(ShuttlerInstallTest, AbortedOrFailedCopyLeavesRenameListAndStartsNothing) {
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.RTP", "rtp");
  WriteFile(Medium() / "Patches" / "V1-1-V1-2.RES", "res");
  struct Case {
    const char* name;
    std::function<void()> arrange;
  } cases[] = {
      {"stopped in the shell's progress window",
       [] { qx::fs::SetShellFileOperationHook([](const qx::fs::ShellFileStep& s) { return s.index < 1; }); }},
      {"no patcher on the medium", [this] { fs::remove(Medium() / "QuorvexPatcher.exe"); }},
  };
  for (const Case& c : cases) {
    qx::ui::CTranscript::Instance().Clear();
    c.arrange();
    EXPECT_EQ(Install("15.2"), IDOK) << c.name;
    const auto boxes = Entries(TranscriptKind::kMessageBox);
    ASSERT_EQ(boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes[0].text, "Installation was canceled by the user, or errors occured.");
    EXPECT_EQ(boxes[0].buttons, "OK");
    EXPECT_TRUE(fs::exists(m_inst / "Rename.ini")) << c.name;
    EXPECT_FALSE(PatcherRecord(m_inst, std::chrono::milliseconds(300))) << c.name;
    qx::fs::SetShellFileOperationHook({});
  }
  EXPECT_FALSE(fs::exists(m_inst / "Patches" / "V1-0-V1-1.RTP")) << "emptied files are not restored";
}

TEST_F(ShuttlerInstallTest, RunFromInsideTheInstallationKeepsItsPatches) {
  // The patch folder to empty is the one the patches would come from; the
  // copy of each file onto itself then fails and is reported.
  fs::copy_file(Medium() / "QuorvexPatcher.exe", m_inst / "QuorvexPatcher.exe", fs::copy_options::overwrite_existing);
  fs::current_path(m_inst);

  EXPECT_EQ(Install(), IDOK);

  EXPECT_EQ(Listing(m_inst / "Patches"),
            (std::vector<std::string>{"Status.inf", "V1-0-V1-1.RTP", "backup/", "backup/deeper/",
                                      "backup/deeper/file.bin"}));
  EXPECT_EQ(ReadFile(m_inst / "Patches" / "V1-0-V1-1.RTP"), "old");
  EXPECT_EQ(Texts(TranscriptKind::kMessageBox),
            std::vector<std::string>{"Installation was canceled by the user, or errors occured."});
  EXPECT_TRUE(fs::exists(m_inst / "Rename.ini"));
}

TEST_F(ShuttlerInstallTest, InstallWithoutAChosenFolderDoesNothing) {
  fs::remove(Dir() / "registry.reg");
  ProbeDlg dialog;
  dialog.onInit = [](ProbeDlg& d) { d.PostMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_TRUE(fs::exists(m_inst / "Rename.ini"));
  EXPECT_FALSE(PatcherRecord(m_inst, std::chrono::milliseconds(100)));
}

}  // namespace
}  // namespace shuttler::test
