#include "platform/ui/console/console_renderer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "platform/ui/controls.h"
#include "platform/ui/folder_picker.h"
#include "platform/ui/message_box.h"
#include "platform/ui/ui_test_support.h"
#include "tests/support/temp_dir.h"

namespace qx::ui::test {
namespace {

using namespace std::chrono_literals;

// Collects what is written to `fd` on a thread of its own.
class OutputReader {
 public:
  explicit OutputReader(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~OutputReader() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::string Text() {
    std::lock_guard lock(lock_);
    return text_;
  }
  bool WaitFor(const std::string& piece, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (Text().find(piece) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

 private:
  void Run() {
    char buffer[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      std::lock_guard lock(lock_);
      text_.append(buffer, static_cast<size_t>(n));
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string text_;
  std::thread thread_;
};

// A pseudo terminal: the program's side (slave) and the user's side (master).
struct Pty {
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    ::grantpt(master);
    ::unlockpt(master);
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  void Type(const std::string& text) const { EXPECT_EQ(::write(master, text.data(), text.size()), ssize_t(text.size())); }
  int master = -1;
  int slave = -1;
};

size_t Count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

using ConsoleTest = UiTest;

TEST_F(ConsoleTest, PlainOutputHasLinesAndNoBarSpam) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  OutputReader reader(out[0]);
  {
    ConsoleOptions_t options;
    options.outputFd = out[1];
    options.inputFd = -1;
    auto renderer = std::make_shared<CConsoleRenderer>(options);
    EXPECT_FALSE(renderer->IsTerminal()) << "a pipe is not a terminal";
    EXPECT_FALSE(renderer->IsInteractive());
    SetRenderer(renderer);

    TestDialog dialog;
    ASSERT_TRUE(dialog.Create(kTestDialog));
    dialog.SetDlgItemText(kStatus, "Checking status...");
    auto* bar = static_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress));
    bar->SetRange32(0, 1000);
    for (int i = 0; i <= 1000; ++i) bar->SetPos(i);
    dialog.SetWindowText("Test Window - Local version: 15.1");
    dialog.SetDlgItemText(kStatus, "Patching all done.");
    MessageBoxA(dialog.m_hWnd, "Are you sure you want to cancel ?", "QuorvexPatcher", MB_YESNO);
    TestDialog about(kAboutDialog);
    ASSERT_TRUE(about.Create(kAboutDialog));
    about.DestroyWindow();
    dialog.DestroyWindow();
    SetRenderer(nullptr);
  }
  ::close(out[1]);
  ASSERT_TRUE(reader.WaitFor("== About Test =="));
  reader.WaitFor("Test Version 1.0\n");
  reader.Stop();
  EXPECT_EQ(reader.Text(),
            "== Test Window ==\n"
            "Ready.\n"
            "Checking status...\n"
            "Progress: 10%\n"
            "Progress: 100%\n"
            "== Test Window - Local version: 15.1 ==\n"
            "Patching all done.\n"
            "--- QuorvexPatcher ---\n"
            "Are you sure you want to cancel ?\n"
            "[Yes/No] -> No (the safe answer: nobody to answer)\n"
            "== About Test ==\n"
            "Test Version 1.0\n");
  ::close(out[0]);
}

TEST_F(ConsoleTest, PlainProgressLinesFollowTenthsWhenNotHurried) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  OutputReader reader(out[0]);
  ConsoleOptions_t options;
  options.outputFd = out[1];
  options.inputFd = -1;
  options.progressLineInterval = 0ms;
  SetRenderer(std::make_shared<CConsoleRenderer>(options));
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  auto* bar = static_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress));
  for (int i = 0; i < 14; ++i) bar->StepIt();  // an activity bar going round
  dialog.DestroyWindow();
  SetRenderer(nullptr);
  ::close(out[1]);
  reader.WaitFor("Progress: 40%\n");
  reader.Stop();
  const std::string text = reader.Text();
  EXPECT_EQ(Count(text, "Progress: "), 14u) << text;  // 10..100, then round again to 40
  EXPECT_EQ(Count(text, "Progress: 100%"), 1u);
  ::close(out[0]);
}

TEST_F(ConsoleTest, TerminalRedrawsOneLineInPlaceAndThrottlesTheBar) {
  Pty pty;
  OutputReader reader(pty.master);
  ConsoleOptions_t options;
  options.outputFd = pty.slave;
  options.inputFd = -1;
  options.interactive = false;
  options.width = 50;
  auto renderer = std::make_shared<CConsoleRenderer>(options);
  EXPECT_TRUE(renderer->IsTerminal());
  SetRenderer(renderer);
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create(kTestDialog));
  dialog.SetDlgItemText(kStatus, "Patching resource database ( V15-1-V15-2 )... and a long tail");
  auto* bar = static_cast<CProgressCtrl*>(dialog.GetDlgItem(kProgress));
  bar->SetRange32(0, 1000);
  ASSERT_TRUE(reader.WaitFor("\x1b[K"));
  const size_t before = Count(reader.Text(), "\x1b[K");
  for (int i = 0; i <= 1000; ++i) bar->SetPos(i);
  dialog.RedrawWindow();  // draws what the throttle held back
  ASSERT_TRUE(reader.WaitFor("[####################] 100% Patching"));
  const std::string text = reader.Text();
  EXPECT_LT(Count(text, "\x1b[K") - before, 10u) << "a thousand steps are not a thousand redraws";
  // The live line is cut to the terminal's width.
  const size_t last = text.rfind('\r');
  const std::string line = text.substr(last + 1, text.find("\x1b[K", last) - last - 1);
  EXPECT_EQ(line.size(), 49u) << line;
  MessageBeep(0);
  ASSERT_TRUE(reader.WaitFor("\a"));
  dialog.DestroyWindow();
  SetRenderer(nullptr);
  reader.Stop();
}

TEST_F(ConsoleTest, QuestionsAreAnsweredAtTheTerminal) {
  qx::test::TempDir dir;
  Pty pty;
  OutputReader reader(pty.master);
  ConsoleOptions_t options;
  options.outputFd = pty.slave;
  options.inputFd = pty.slave;
  auto renderer = std::make_shared<CConsoleRenderer>(options);
  ASSERT_TRUE(renderer->IsInteractive()) << "input and output are a terminal";
  SetRenderer(renderer);

  std::thread user([&] {
    ASSERT_TRUE(reader.WaitFor("[Y]es [N]o ? "));
    pty.Type("maybe\n");
    ASSERT_TRUE(reader.WaitFor("Please answer [Y]es [N]o ? "));
    pty.Type("n\n");
    ASSERT_TRUE(reader.WaitFor("Folder (an empty line cancels): "));
    pty.Type(dir.str() + "\n");
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Take a backup?", "QuorvexPatcher", MB_YESNO), IDNO);
  EXPECT_EQ(BrowseForFolder("Select a folder to backup the patch to:"), dir.str());
  user.join();
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kMessageBox).back().source, AnswerSource::kTerminal);
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kFolder).back().source, AnswerSource::kTerminal);

  // A waiting dialog lists its buttons; a key presses one.
  std::thread clicker([&] {
    ASSERT_TRUE(reader.WaitFor("Press: Close when [d]one (off)  [C]ancel  [S]tart  [1001]"));
    pty.Type("1001\n");
    pty.Type("x\n");
    ASSERT_TRUE(reader.WaitFor("No button \"x\" can be pressed now."));
    pty.Type("d\n");
    ASSERT_TRUE(reader.WaitFor("Close when [d]one (on)"));
    pty.Type("cancel\n");
  });
  TestDialog dialog;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  clicker.join();
  const auto clicks = CTranscript::Instance().Entries(TranscriptKind::kClick);
  ASSERT_EQ(clicks.size(), 3u);
  EXPECT_EQ(clicks[2].text, "Cancel");
  EXPECT_EQ(clicks[2].source, AnswerSource::kTerminal);
  const auto events = dialog.Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "command 1001"), events.end()) << "the icon button by its id";
  SetRenderer(nullptr);
  renderer.reset();
  reader.Stop();
}

TEST_F(ConsoleTest, EndOfInputLeavesTheSafeAnswers) {
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  OutputReader reader(out[0]);
  ConsoleOptions_t options;
  options.outputFd = out[1];
  options.inputFd = in[0];
  options.interactive = true;  // a user behind a pipe, as a test drives it
  auto renderer = std::make_shared<CConsoleRenderer>(options);
  SetRenderer(renderer);
  std::thread user([&] {
    ASSERT_TRUE(reader.WaitFor("[R]etry [C]ancel ? "));
    ::close(in[1]);  // the user goes away
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Download failed.", "QuorvexPatcher", MB_RETRYCANCEL), IDCANCEL);
  user.join();
  EXPECT_FALSE(renderer->IsInteractive());
  EXPECT_EQ(CTranscript::Instance().Entries(TranscriptKind::kMessageBox).back().note, "no answer from the user");
  EXPECT_EQ(MessageBoxA(nullptr, "Again?", "QuorvexPatcher", MB_OKCANCEL), IDCANCEL);
  SetRenderer(nullptr);
  renderer.reset();
  reader.Stop();
  ::close(in[0]);
  ::close(out[1]);
  ::close(out[0]);
}

}  // namespace
}  // namespace qx::ui::test
