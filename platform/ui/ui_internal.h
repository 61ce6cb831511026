// Inside the window model: window state, the handle table and thread queues.
//
// Not for users of the model. Every window (dialog, control, or another
// program's window seen through the desktop) has one WindowState, found by its
// handle in a process-wide table. Handles are never reused, so a stale handle
// is recognised as invalid.
//
// Locks: ModelLock() guards every WindowState field and the table. It is
// recursive so that a renderer, called under it, may read window state. Each
// ThreadQueue has its own mutex; the model lock may be taken before a queue
// lock, never after. No lock is held while a window's handler runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/messages.h"
#include "platform/ui/resources.h"

class CWnd;
class CFont;

namespace qx::ui {
class CDesktop;
}

namespace qx::ui::detail {

using Clock = std::chrono::steady_clock;

struct ThreadQueue;

enum class WindowKind { kDialog, kControl, kForeign };

struct MenuItem_t {
  UINT flags = 0;
  UINT_PTR id = 0;
  std::string text;
};

struct WindowState {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::kDialog;
  ControlKind control = ControlKind::kStatic;
  ControlRole role = ControlRole::kNone;
  DWORD style = 0;
  int id = 0;            // control id; the template id for a dialog
  HWND parent = nullptr; // dialog of a control, owner of a dialog
  std::vector<HWND> children;
  std::string text;
  bool enabled = true;
  bool visible = false;
  UINT check = BST_UNCHECKED;
  int lower = 0, upper = 100, pos = 0, step = 10;
  RECT rect;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  HICON image = nullptr;
  CFont* font = nullptr;
  bool hasSystemMenu = false;
  std::vector<MenuItem_t> systemMenu;
  std::shared_ptr<ThreadQueue> queue;  // of the thread that owns the window
  CWnd* object = nullptr;              // receives the messages of a dialog; wrapper of a control
  std::unique_ptr<CWnd> ownObject;     // wrapper the model made for a control
  std::shared_ptr<CDesktop> desktop;   // another program's window: where it lives
  std::uint64_t foreignKey = 0;
  bool destroying = false;      // being forgotten: no more notifications
  bool destroyStarted = false;  // DestroyWindow has begun (WM_DESTROY sent)

  WindowState();
  ~WindowState();
};

std::recursive_mutex& ModelLock();

// All of these expect ModelLock() held.
std::shared_ptr<WindowState> FindLocked(HWND hwnd);
HWND AddLocked(std::shared_ptr<WindowState> state);
void RemoveLocked(HWND hwnd);
std::vector<std::shared_ptr<WindowState>> AllLocked();
// The control `id` of dialog `dialog`; null when there is none.
std::shared_ptr<WindowState> FindChildLocked(HWND dialog, int id);

// Sets the last error to ERROR_INVALID_WINDOW_HANDLE and returns null.
std::shared_ptr<WindowState> FindOrFail(HWND hwnd);

// Change notifications: renderer first, then transcript. Expect ModelLock() held.
void NotifyCreated(const WindowState& dialog);
void NotifyDestroyed(const WindowState& dialog);
void NotifyText(const WindowState& window);
void NotifyState(const WindowState& window);
void NotifyProgress(const WindowState& control);

// The built-in handling of the standard messages for a window of any kind
// (text, check state, progress, icons, fonts); `handled` tells whether it knew
// the message.
LRESULT StandardProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

// Runs the window procedure of `hwnd` on the calling thread (its owner).
LRESULT CallWindowHere(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The standard items of a system menu for the window's style.
void ResetSystemMenu(WindowState& s);

// The text of a button without its '&' marks (what a user reads).
std::string ButtonLabel(const std::string& text);

// Destroys a window and its controls without calling any handler; used when
// its object goes away or its thread ends.
void ForgetWindow(HWND hwnd);

// ---------------------------------------------------------------------------
// Thread queues

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT result = 0;
  bool done = false;                    // guarded by the sender's queue mutex
  std::shared_ptr<ThreadQueue> sender;  // woken when done
};

struct Timer {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT period = 0;
  Clock::time_point due;
  TIMERPROC proc = nullptr;
};

struct ThreadQueue {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> incoming;
  std::vector<Timer> timers;
  bool alive = true;
  bool quitPosted = false;
  int quitCode = 0;
  std::uint64_t changes = 0;  // bumped by every post, send, timer change and wake
  UINT_PTR nextThreadTimer = 0x7FFF;

  // Wakes the owner's wait (call without holding m).
  void Wake();
};

// The queue of the calling thread, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueue();

// Runs the messages sent to the calling thread from other threads.
void ProcessIncoming(ThreadQueue& queue);

// What a waiting retrieval does when its thread has nothing to do: after
// `grace` without any message and with no timer running, `onIdle` is called
// (once per wait).
struct IdleHook {
  Clock::duration grace{};
  std::function<void()> onIdle;
};

// GetMessage with an idle hook (null: none).
BOOL GetMessageInternal(MSG* msg, HWND filter, UINT first, UINT last, const IdleHook* idle);

// Timers of a window go with it.
void KillWindowTimers(ThreadQueue& queue, HWND hwnd);

// Runs `work` on a helper thread while the calling thread keeps dispatching its
// messages; returns when `work` has returned. A WM_QUIT seen meanwhile is
// posted again afterwards.
void RunWhileDispatching(const std::function<void()>& work);

}  // namespace qx::ui::detail
