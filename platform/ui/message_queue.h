// Message queues and timers: how messages reach a window on its own thread.
//
// Every thread that creates a window (or asks for its messages) has one queue.
// A window belongs to the thread that created it, and its handler runs only on
// that thread:
//
//  - PostMessage, from any thread, appends the message to the owner's queue
//    and returns at once. FALSE (ERROR_INVALID_WINDOW_HANDLE) for a window
//    that no longer exists. A null window posts to the calling thread.
//  - SendMessage from the owning thread calls the handler directly. From
//    another thread it hands the message to the owner and waits for the
//    handler's result; the owner runs it the next time it retrieves messages
//    (GetMessage, PeekMessage, or while it waits for its own SendMessage).
//    Messages sent to a control are answered by the control's built-in
//    handling on the calling thread, whatever thread that is.
//  - SetTimer / KillTimer may be called from any thread. A window's timer
//    fires on the window's thread: when it is due and nothing else is waiting,
//    retrieving messages yields WM_TIMER (wParam = id, lParam = the TIMERPROC,
//    if any). A late timer fires once, not once per missed period. A null
//    window makes a timer of the calling thread with a new id.
//  - GetMessage waits for the next message (FALSE for WM_QUIT); PeekMessage
//    does not wait. Sent messages come first, then posted ones in order,
//    then WM_QUIT, then due timers. DispatchMessage runs the handler (or the
//    TIMERPROC). TranslateMessage does nothing here (there is no keyboard).
//
// When a thread ends, its windows are destroyed (without handlers) and
// messages still sent to it are answered with 0.
#pragma once

#include "platform/ui/messages.h"

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
void PostQuitMessage(int exitCode);
// Waits until a message arrives for the calling thread.
BOOL WaitMessage();

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC timerFunc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

inline BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return PostMessageA(hwnd, message, wParam, lParam);
}
inline LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageA(hwnd, message, wParam, lParam);
}
inline BOOL PeekMessage(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  return PeekMessageA(msg, hwnd, filterMin, filterMax, removeMsg);
}
inline BOOL GetMessage(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  return GetMessageA(msg, hwnd, filterMin, filterMax);
}
inline LRESULT DispatchMessage(const MSG* msg) { return DispatchMessageA(msg); }

namespace qx::ui {

// Dispatches every message waiting for the calling thread (with
// translation), as the system's long steps do between two pieces of work.
void PumpWaitingMessages();

}  // namespace qx::ui
