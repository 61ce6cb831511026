// The console renderer: the window model shown on a text console.
//
// Output. Each dialog's caption is printed as a line "== caption ==" when the
// dialog appears and whenever the caption changes; a dialog without a status
// line or progress bar (an About box) also shows its static texts, and a text
// view's content is printed when it is set. The status line and the progress
// bar (the controls marked with those roles in the dialog's template) are
// shown as follows:
//  - on a terminal: one line redrawn in place (carriage return, the line,
//    clear to the end of the line), "[#####---------------]  25% status";
//    bar-only changes are redrawn at most every redrawInterval (a
//    RedrawWindow of the program draws at once); the line is cut to the
//    terminal's width;
//  - otherwise: each new status text as a line of its own, and the progress
//    as "Progress: N%" only when it reaches another tenth, at most once per
//    progressLineInterval (the full 100 % always), so a log file gets no
//    bar spam and no control characters.
// Every message box and folder question is printed with its buttons and the
// answer it got and where that came from.
//
// Input. When a user sits at the terminal (input and output are terminals,
// unless the options say otherwise), questions are answered there: a box
// takes a line naming one of its buttons (the first letter will do), the
// folder picker a path (an empty line cancels). While a dialog waits for its
// user, the renderer lists its enabled buttons with their keys ("[S]tart",
// the letter after '&' in the button's text, else the first letter; an icon
// button without text shows its control id); a line with a key, a button's
// text or its id presses that button. At the end of input the
// renderer stops being interactive and the model's safe answers apply.
//
// Thread-safe; one thread reads the input while the renderer is interactive,
// and stops when the renderer is destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/renderer.h"

namespace qx::ui {

struct ConsoleOptions_t {
  int outputFd = 1;
  int inputFd = 0;
  // Redraw in place; default: whether outputFd is a terminal.
  std::optional<bool> terminal;
  // A user answers on inputFd; default: whether inputFd and outputFd are terminals.
  std::optional<bool> interactive;
  std::chrono::milliseconds redrawInterval{100};
  std::chrono::milliseconds progressLineInterval{1000};
  // Columns of the terminal; 0: ask the terminal (80 when it does not say).
  int width = 0;
};

class CConsoleRenderer : public CRenderer {
 public:
  explicit CConsoleRenderer(ConsoleOptions_t options = {});
  ~CConsoleRenderer() override;

  bool IsTerminal() const { return m_bTerminal; }

  void OnDialogCreated(HWND dialog) override;
  void OnDialogDestroyed(HWND dialog) override;
  void OnTextChanged(HWND hwnd, const std::string& text) override;
  void OnProgressChanged(HWND control, int lower, int upper, int pos) override;
  void OnRedraw(HWND hwnd) override;
  void OnBeep(UINT type) override;

  bool IsInteractive() const override;
  std::optional<int> AskMessageBox(const MessageBoxRequest_t& request) override;
  std::optional<FolderAnswer_t> AskFolder(const FolderRequest_t& request) override;
  void OnMessageBoxAnswered(const MessageBoxRequest_t& request, int answer, AnswerSource source,
                            const std::string& note) override;
  void OnFolderAnswered(const FolderRequest_t& request, const FolderAnswer_t& answer, AnswerSource source,
                        const std::string& note) override;
  void OnDialogWaiting(HWND dialog) override;

 private:
  using Clock = std::chrono::steady_clock;

  struct DialogView {
    HWND hwnd = nullptr;
    std::string status;
    bool hasStatus = false;
    bool hasBar = false;
    int lower = 0, upper = 100, pos = 0;
    int lastTenth = -1;
    Clock::time_point lastProgressLine{};
    std::string lastPrompt;
  };

  // All of these expect m_lock held.
  DialogView* FindView(HWND dialog);
  DialogView* LiveView();
  void Write(const std::string& text);
  void PrintLines(const std::string& text);
  void DrawLive();
  void ClearLive();
  int Width() const;

  void ReadInput();
  std::optional<std::string> NextLine();
  void PressButton(HWND dialog, const std::string& line);

  ConsoleOptions_t m_options;
  bool m_bTerminal = false;

  std::mutex m_lock;
  std::vector<DialogView> m_views;
  bool m_bLiveShown = false;
  bool m_bRedrawPending = false;
  Clock::time_point m_lastDraw{};

  // Input.
  std::atomic<bool> m_bInteractive{false};
  std::mutex m_questionLock;  // one question at a time
  std::condition_variable m_lineArrived;
  bool m_bAsking = false;
  bool m_bInputEnded = false;
  std::deque<std::string> m_lines;
  int m_wakePipe[2] = {-1, -1};
  std::thread m_reader;
};

// Installs a console renderer on standard output and input (and makes a
// closed output harmless instead of fatal); returns it.
std::shared_ptr<CConsoleRenderer> InstallConsoleRenderer(ConsoleOptions_t options = {});

}  // namespace qx::ui
