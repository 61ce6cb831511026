// Questions to the user and how they are answered: message boxes, the folder
// picker, dialogs waiting for a click; the answers list and the transcript.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ui/answers.h"
#include "platform/ui/app.h"
#include "platform/ui/folder_picker.h"
#include "platform/ui/message_box.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_test_support.h"
#include "tests/support/temp_dir.h"

namespace qx::ui::test {
namespace {

using namespace std::chrono_literals;

using AutomationTest = UiTest;

// A renderer with a user who answers after a while, from the helper thread.
class PatientUser : public CRenderer {
 public:
  std::optional<int> boxAnswer;
  std::optional<FolderAnswer_t> folderAnswer;
  std::vector<std::string> folderAttempts;
  std::chrono::milliseconds delay{0};
  std::atomic<int> waitingCalls{0};
  std::atomic<int> clicks{IDOK};

  bool IsInteractive() const override { return true; }
  std::optional<int> AskMessageBox(const MessageBoxRequest_t&) override {
    std::this_thread::sleep_for(delay);
    return boxAnswer;
  }
  std::optional<FolderAnswer_t> AskFolder(const FolderRequest_t&) override {
    if (!folderAttempts.empty()) {
      FolderAnswer_t a{false, folderAttempts.front()};
      folderAttempts.erase(folderAttempts.begin());
      return a;
    }
    return folderAnswer;
  }
  void OnDialogWaiting(HWND dialog) override {
    ++waitingCalls;
    std::thread([dialog, id = clicks.load()] { ClickButton(dialog, id); }).detach();
  }
};

TEST_F(AutomationTest, WithoutAnyoneToAskEveryBoxGetsItsSafeAnswer) {
  const std::pair<UINT, int> table[] = {
      {MB_OK, IDOK},
      {MB_OKCANCEL | MB_ICONWARNING, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, IDNO},
      {MB_YESNO | MB_DEFBUTTON1, IDNO},
      {MB_YESNOCANCEL, IDCANCEL},
      {MB_RETRYCANCEL | MB_ICONEXCLAMATION, IDCANCEL},
      {MB_ABORTRETRYIGNORE, IDABORT},
  };
  for (const auto& [type, safe] : table) {
    EXPECT_EQ(AfxMessageBox("Question?", type), safe) << type;
  }
  const auto boxes = CTranscript::Instance().Entries(TranscriptKind::kMessageBox);
  ASSERT_EQ(boxes.size(), std::size(table));
  EXPECT_EQ(boxes[2].buttons, "Yes/No");
  EXPECT_EQ(boxes[2].icon, "question");
  EXPECT_EQ(boxes[2].answer, "No");
  EXPECT_EQ(boxes[2].source, AnswerSource::kDefault);
  EXPECT_EQ(boxes[2].note, "nobody to answer");
  EXPECT_EQ(boxes[5].buttons, "Retry/Cancel");
  EXPECT_EQ(boxes[5].icon, "warning");
}

TEST_F(AutomationTest, AnswersListAnswersBoxesInOrder) {
  CAnswerList::Instance().Set({"yes", "Retry", " r ", "C", "OK", "Maybe"});
  EXPECT_EQ(AfxMessageBox("Take a backup?", MB_YESNO), IDYES);
  EXPECT_EQ(AfxMessageBox("Not a fitting answer", MB_YESNO), IDNO) << "Retry names no button here";
  EXPECT_EQ(AfxMessageBox("Download failed", MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(AfxMessageBox("Disk full", MB_YESNOCANCEL), IDCANCEL);
  EXPECT_EQ(AfxMessageBox("Done", MB_OK), IDOK);
  EXPECT_EQ(AfxMessageBox("Again", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(AfxMessageBox("List is empty", MB_OKCANCEL), IDCANCEL);
  const auto boxes = CTranscript::Instance().Entries(TranscriptKind::kMessageBox);
  ASSERT_EQ(boxes.size(), 7u);
  EXPECT_EQ(boxes[0].source, AnswerSource::kList);
  EXPECT_EQ(boxes[1].source, AnswerSource::kDefault);
  EXPECT_EQ(boxes[1].note, "the answer \"Retry\" names no button of this box");
  EXPECT_EQ(boxes[2].source, AnswerSource::kList);
  EXPECT_EQ(boxes[5].source, AnswerSource::kDefault);
  EXPECT_EQ(boxes[6].note, "nobody to answer");
}

TEST_F(AutomationTest, AmbiguousOrUnknownBoxesAreRefused) {
  CAnswerList::Instance().Set({"A"});
  EXPECT_EQ(MatchButton(MB_ABORTRETRYIGNORE, "A"), IDABORT);
  EXPECT_EQ(MatchButton(MB_YESNO, ""), 0);
  SetLastError(0);
  EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 9), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CAnswerList::Instance().Remaining(), 1u) << "a refused box takes no answer";
}

TEST_F(AutomationTest, AUsersAnswerIsAwaitedWhileTheThreadKeepsDispatching) {
  auto user = std::make_shared<PatientUser>();
  user->boxAnswer = IDRETRY;
  user->delay = 150ms;
  SetRenderer(user);
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  std::atomic<int> ticks{0};
  dialog.onTimer = [&](TestDialog&, UINT_PTR) { ++ticks; };
  dialog.SetTimer(0xbeefcace, 10);
  EXPECT_EQ(AfxMessageBox("Retry?", MB_RETRYCANCEL), IDRETRY);
  EXPECT_GE(ticks, 3) << "timers fire while the box waits";
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kMessageBox).back().source, AnswerSource::kTerminal);

  user->boxAnswer = IDYES;  // not a button of an OK/Cancel box
  user->delay = 0ms;
  EXPECT_EQ(AfxMessageBox("Start?", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kMessageBox).back().note, "no answer from the user");
}

TEST_F(AutomationTest, BoxesFromAWorkerThreadAndTheApplicationCaption) {
  struct Recorder : CRenderer {
    std::mutex lock;
    std::vector<MessageBoxRequest_t> seen;
    void OnMessageBoxAnswered(const MessageBoxRequest_t& r, int, AnswerSource, const std::string&) override {
      std::lock_guard l(lock);
      seen.push_back(r);
    }
  };
  auto recorder = std::make_shared<Recorder>();
  SetRenderer(recorder);
  CWinApp app("QuorvexPatcher");
  int answer = 0;
  OnOtherThread([&] { answer = AfxMessageBox("Couldn't create socket!"); });
  EXPECT_EQ(answer, IDOK);
  ASSERT_EQ(recorder->seen.size(), 1u);
  EXPECT_EQ(recorder->seen[0].caption, "QuorvexPatcher");
  EXPECT_EQ(recorder->seen[0].text, "Couldn't create socket!");
  RegisterString(104, "Could not initialize Windows Sockets.");
  AfxMessageBox(104u, MB_OK);
  EXPECT_EQ(recorder->seen.back().text, "Could not initialize Windows Sockets.");
}

TEST_F(AutomationTest, FolderPickerTakesExistingFoldersOnly) {
  qx::test::TempDir dir;
  std::filesystem::create_directory(dir / "Backup");
  const std::string longPath = dir.str() + "/" + std::string(250, 'x');
  std::filesystem::create_directory(longPath);
  CAnswerList::Instance().Set({dir / "Backup", "cancel", dir / "missing", longPath});

  BROWSEINFOA bi;
  char name[MAX_PATH];
  bi.lpszTitle = "Select a folder to backup the patch to:";
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  bi.pszDisplayName = name;
  LPITEMIDLIST chosen = SHBrowseForFolderA(&bi);
  ASSERT_NE(chosen, nullptr);
  char path[MAX_PATH];
  ASSERT_TRUE(SHGetPathFromIDListA(chosen, path));
  EXPECT_EQ(std::string(path), dir / "Backup");
  EXPECT_STREQ(name, "Backup");
  CoTaskMemFree(chosen);

  EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr) << "cancel";
  EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr) << "not a folder";
  chosen = SHBrowseForFolderA(&bi);
  ASSERT_NE(chosen, nullptr);
  EXPECT_FALSE(SHGetPathFromIDListA(chosen, path)) << "a path that does not fit MAX_PATH";
  ILFree(chosen);
  EXPECT_EQ(SHBrowseForFolderA(&bi), nullptr) << "no answer left: the safe answer";

  const auto folders = CTranscript::Instance().Entries(TranscriptKind::kFolder);
  ASSERT_EQ(folders.size(), 5u);
  EXPECT_EQ(folders[0].answer, dir / "Backup");
  EXPECT_EQ(folders[0].source, AnswerSource::kList);
  EXPECT_EQ(folders[1].answer, "Cancel");
  EXPECT_EQ(folders[1].source, AnswerSource::kList);
  EXPECT_EQ(folders[2].answer, "Cancel");
  EXPECT_EQ(folders[2].source, AnswerSource::kDefault);
  EXPECT_EQ(folders[4].source, AnswerSource::kDefault);
}

TEST_F(AutomationTest, FolderPickerMakesRelativeAnswersAbsoluteAndAsksAUserAgain) {
  qx::test::TempDir dir;
  std::filesystem::create_directory(dir / "Games");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  CAnswerList::Instance().Set({"Games/"});
  auto folder = BrowseForFolder("Where?");
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, dir / "Games");

  auto user = std::make_shared<PatientUser>();
  user->folderAttempts = {dir / "nowhere", dir / "Games"};
  SetRenderer(user);
  folder = BrowseForFolder("Where?");
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, dir / "Games");
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kFolder).back().source, AnswerSource::kTerminal);
}

TEST_F(AutomationTest, AWaitingDialogTakesClicksFromTheList) {
  CAnswerList::Instance().Set({"Click:close when done", "click: 1", "Yes"});
  bool checkedAtOk = false;
  struct Probe : TestDialog {
    bool* checked;
    explicit Probe(bool* c) : checked(c) {}
    void OnOK() override {
      *checked = IsDlgButtonChecked(kCloseWhenDone) == BST_CHECKED;
      TestDialog::OnOK();
    }
  } probe(&checkedAtOk);
  EXPECT_EQ(probe.DoModal(), IDOK);
  EXPECT_TRUE(checkedAtOk);
  EXPECT_EQ(CAnswerList::Instance().Remaining(), 1u) << "a waiting dialog leaves box answers alone";
  EXPECT_EQ(TranscriptTexts(TranscriptKind::kClick), (std::vector<std::string>{"Close when done", "Start"}));
}

TEST_F(AutomationTest, AClickThatCannotHappenIsRecordedAndTheDialogFallsBackToClosing) {
  CAnswerList::Instance().Set({"Click:Start", "Click:Nothing"});
  TestDialog dialog;
  dialog.onInit = [](TestDialog& d) { d.GetDlgItem(IDOK)->EnableWindow(FALSE); };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  const auto clicks = CTranscript::Instance().Entries(TranscriptKind::kClick);
  ASSERT_EQ(clicks.size(), 2u);
  EXPECT_EQ(clicks[0].note, "the button cannot be pressed now");
  EXPECT_EQ(clicks[1].note, "no such button");
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kClose).size(), 1u);
}

TEST_F(AutomationTest, UnattendedDialogIsClosedAndEndedIfItRefuses) {
  // First a dialog that closes when asked; then one whose Cancel asks a
  // question that the safe answer declines, as "Are you sure?" would.
  TestDialog willing;
  EXPECT_EQ(willing.DoModal(), IDCANCEL);
  EXPECT_EQ(willing.Events(), (std::vector<std::string>{"init", "command 2", "cancel", "destroy"}));

  TestDialog reluctant;
  reluctant.onCancel = [](TestDialog&) { return AfxMessageBox("Are you sure you want to cancel ?", MB_YESNO) == IDYES; };
  EXPECT_EQ(reluctant.DoModal(), IDCANCEL);
  const auto closes = CTranscript::Instance().Entries(TranscriptKind::kClose);
  ASSERT_EQ(closes.size(), 3u);
  EXPECT_EQ(closes[2].text, "Test Window");
  EXPECT_EQ(closes[2].note, "nobody to answer and still open: the dialog ends with Cancel");
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kMessageBox).back().answer, "No");
}

TEST_F(AutomationTest, AnInteractiveRendererIsLeftToItsUser) {
  auto user = std::make_shared<PatientUser>();
  user->clicks = IDOK;
  SetRenderer(user);
  TestDialog dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_GE(user->waitingCalls, 1);
  EXPECT_TRUE(CTranscript::Instance().Entries(TranscriptKind::kClose).empty());
}

TEST_F(AutomationTest, TranscriptRecordsCaptionsAndStatusChanges) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  dialog.SetDlgItemText(kStatus, "Checking status...");
  dialog.SetDlgItemText(kStatus, "Checking status...");  // no change, no entry
  dialog.SetDlgItemText(kText, "Notes are not a status line");
  dialog.SetWindowText("Test Window - Local version: 15.1 , Remote version: 15.2");
  OnOtherThread([&] { dialog.SetDlgItemText(kStatus, "Getting mapfile..."); });
  EXPECT_EQ(TranscriptTexts(TranscriptKind::kStatus),
            (std::vector<std::string>{"Ready.", "Checking status...", "Getting mapfile..."}));
  EXPECT_EQ(TranscriptTexts(TranscriptKind::kCaption),
            (std::vector<std::string>{"Test Window", "Test Window - Local version: 15.1 , Remote version: 15.2"}));
}

TEST_F(AutomationTest, TranscriptFileHasOneEscapedLinePerEntry) {
  qx::test::TempDir dir;
  ASSERT_TRUE(CTranscript::Instance().OpenFile(dir / "transcript.txt"));
  CTranscript::Instance().Record({TranscriptKind::kStatus, "Patching file 'a\\b' ( 1 / 2 )"});
  AfxMessageBox("line one\nline two\twith tab", MB_YESNO | MB_ICONQUESTION);
  CTranscript::Instance().CloseFile();
  CTranscript::Instance().Record({TranscriptKind::kStatus, "after closing"});
  std::ifstream in(dir / "transcript.txt");
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(),
            "status\tPatching file 'a\\\\b' ( 1 / 2 )\n"
            "box\tYes/No\tquestion\tline one\\nline two\\twith tab\tNo\tdefault\tnobody to answer\n");
  EXPECT_FALSE(CTranscript::Instance().OpenFile(dir / "no-such-folder/t.txt"));
}

TEST_F(AutomationTest, EnvironmentGivesAnswersAndTheTranscriptFile) {
  qx::test::TempDir dir;
  {
    std::ofstream answers(dir / "answers.txt");
    answers << "No\r\n\r\n" << (dir.str() + "/with, comma") << "\nCancel\n";
  }
  std::filesystem::create_directory(dir / "with, comma");
  ::setenv("QX_ANSWERS", " Yes , ,Retry", 1);
  ::setenv("QX_ANSWERS_FILE", (dir / "answers.txt").c_str(), 1);
  ::setenv("QX_TRANSCRIPT", (dir / "t.txt").c_str(), 1);
  std::string error;
  EXPECT_TRUE(ConfigureFromEnvironment(&error)) << error;
  EXPECT_EQ(CAnswerList::Instance().Remaining(), 5u);
  EXPECT_EQ(AfxMessageBox("a", MB_YESNO), IDYES);
  EXPECT_EQ(AfxMessageBox("b", MB_RETRYCANCEL), IDRETRY);
  EXPECT_EQ(AfxMessageBox("c", MB_YESNO), IDNO);
  EXPECT_EQ(BrowseForFolder("d"), dir / "with, comma");
  EXPECT_FALSE(BrowseForFolder("e"));
  CTranscript::Instance().CloseFile();
  EXPECT_TRUE(std::filesystem::file_size(dir / "t.txt") > 0);

  ::setenv("QX_ANSWERS_FILE", (dir / "missing.txt").c_str(), 1);
  ::setenv("QX_TRANSCRIPT", (dir / "missing/t.txt").c_str(), 1);
  ::unsetenv("QX_ANSWERS");
  error.clear();
  EXPECT_FALSE(ConfigureFromEnvironment(&error));
  EXPECT_NE(error.find("missing.txt"), std::string::npos);
  EXPECT_NE(error.find("missing/t.txt"), std::string::npos);
  ::unsetenv("QX_ANSWERS_FILE");
  ::unsetenv("QX_TRANSCRIPT");
}

}  // namespace
}  // namespace qx::ui::test
