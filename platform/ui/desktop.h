// Other programs' windows: the top-level windows of the desktop.
//
// EnumWindows visits every top-level window: first this process's dialogs,
// then the windows of other programs that the installed desktop reports.
// Another program's window gets a handle like ours (the same handle for the
// same window in later enumerations); GetWindowText reads its title and
// PostMessage (WM_CLOSE, WM_QUIT, ...) hands the message to its program
// without waiting for an answer. SendMessage to such a window returns 0.
//
// CDesktop is the seam to the machine's window system. The default is the X11
// desktop of $DISPLAY (x11_desktop.h) when there is one, else an empty
// desktop (no other windows: a machine without a display). A test installs a
// CFakeDesktop (fake_desktop.h).
//
// Thread-safe. The enumeration callback runs on the calling thread without
// any lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/messages.h"

using WNDENUMPROC = BOOL (*)(HWND, LPARAM);

BOOL EnumWindows(WNDENUMPROC enumFunc, LPARAM lParam);

namespace qx::ui {

struct DesktopWindow_t {
  std::uint64_t key = 0;  // the desktop's own name for the window, stable while it exists
  std::string title;
};

class CDesktop {
 public:
  virtual ~CDesktop();
  // The top-level windows of other programs, in the desktop's order.
  virtual std::vector<DesktopWindow_t> ListWindows() = 0;
  // The title now; nothing when the window is gone.
  virtual std::optional<std::string> WindowTitle(std::uint64_t key) = 0;
  // Hands `message` to the window's program; FALSE when the window is gone.
  virtual bool PostToWindow(std::uint64_t key, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// A desktop without other windows.
class CEmptyDesktop : public CDesktop {
 public:
  std::vector<DesktopWindow_t> ListWindows() override { return {}; }
  std::optional<std::string> WindowTitle(std::uint64_t) override { return std::nullopt; }
  bool PostToWindow(std::uint64_t, UINT, WPARAM, LPARAM) override { return false; }
};

// Installs `desktop` (null: the empty desktop).
void SetDesktop(std::shared_ptr<CDesktop> desktop);
std::shared_ptr<CDesktop> GetDesktop();

}  // namespace qx::ui
