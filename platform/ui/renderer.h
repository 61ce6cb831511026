// The renderer: what shows the window model to a user and asks the user.
//
// The model tells the installed renderer about every change (a dialog made or
// destroyed, a text, a state, a progress value) and asks it the questions a
// user must answer (message boxes, the folder picker). The base class shows
// nothing and reaches nobody, so without a renderer every question gets the
// answer that changes nothing (see message_box.h); a program installs the
// console renderer (platform/ui/console) or another one at start.
//
// Contract for implementations:
//  - The On... notifications come on the thread that made the change, under
//    the model's lock, one at a time and in order. They may read window state
//    (GetWindowText, FindControlByRole, ...) but must not change it, post, or
//    send messages; they should return quickly.
//  - Ask... are called without the model's lock, on a helper thread, while
//    the asking thread keeps dispatching its messages; they block until the
//    user answers and return nothing when no user can answer after all.
//  - OnDialogWaiting is called (on the dialog's thread, without the lock)
//    when a dialog waits for its user and IsInteractive() is true; a user's
//    click is then delivered with qx::ui::ClickButton from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/ui/messages.h"

namespace qx::ui {

enum class AnswerSource { kList, kTerminal, kDefault };

struct MessageBoxRequest_t {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT type = 0;  // MB_* buttons and icon
};

struct FolderRequest_t {
  HWND owner = nullptr;
  std::string title;
  UINT flags = 0;  // BIF_*
};

struct FolderAnswer_t {
  bool cancelled = true;
  std::string path;
};

class CRenderer {
 public:
  virtual ~CRenderer();

  // A dialog and all its controls exist / are gone.
  virtual void OnDialogCreated(HWND dialog);
  virtual void OnDialogDestroyed(HWND dialog);
  // The text of a window changed (a dialog's caption, a control's text).
  virtual void OnTextChanged(HWND hwnd, const std::string& text);
  // Enabled, visible, check state, icons, font, place.
  virtual void OnStateChanged(HWND hwnd);
  virtual void OnProgressChanged(HWND control, int lower, int upper, int pos);
  // The program asks for the window to be drawn now.
  virtual void OnRedraw(HWND hwnd);
  virtual void OnBeep(UINT type);

  // TRUE when a user can answer questions and press buttons.
  virtual bool IsInteractive() const;
  virtual std::optional<int> AskMessageBox(const MessageBoxRequest_t& request);
  virtual std::optional<FolderAnswer_t> AskFolder(const FolderRequest_t& request);
  // Every box and folder question with the answer it got, however it got it,
  // and why a safe answer was given (called without the model's lock, on the
  // asking thread).
  virtual void OnMessageBoxAnswered(const MessageBoxRequest_t& request, int answer, AnswerSource source,
                                    const std::string& note);
  virtual void OnFolderAnswered(const FolderRequest_t& request, const FolderAnswer_t& answer, AnswerSource source,
                                const std::string& note);
  virtual void OnDialogWaiting(HWND dialog);
};

// Installs `renderer` (null: the base class, which shows nothing).
void SetRenderer(std::shared_ptr<CRenderer> renderer);
std::shared_ptr<CRenderer> GetRenderer();

}  // namespace qx::ui
