// Windows: dialogs and their controls, addressed by handle and by control id.
//
// A window has a text (the caption of a dialog, the label or content of a
// control), an enabled and a visible state, a rectangle, and for some kinds a
// check state (check boxes) or a range, position and step (progress bars).
// Dialogs are made from templates (dialog.h); controls are made with them and
// live as long as their dialog.
//
// CWnd is the C++ side of a window: it holds the handle (m_hWnd) and offers
// the operations under their Windows names. A dialog's CWnd receives the
// window's messages through WindowProc, which calls the On... handlers below;
// override those, or WindowProc itself for user messages (WM_USER + n).
// Controls have built-in handling and no handlers of their own; clicks on
// buttons reach their dialog as WM_COMMAND (id in the low word of wParam,
// BN_CLICKED in the high word, the control's handle in lParam).
//
// Thread-safety: the state operations (text, enabled, visible, check state,
// progress, position, icons, system menu) may be called from any thread;
// they change the state directly under the model's lock, tell the renderer
// and, for captions and status lines, the transcript. Handlers run only on
// the window's thread (see message_queue.h). DestroyWindow must be called on
// that thread. A call on a handle that is no longer valid fails with
// ERROR_INVALID_WINDOW_HANDLE.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/message_queue.h"
#include "platform/ui/messages.h"
#include "platform/ui/renderer.h"
#include "platform/ui/resources.h"

class CWnd;

namespace qx::ui::detail {
struct WindowAccess;
// Runs a message through the window procedure of `object` (the window's thread only).
LRESULT CallObject(CWnd* object, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
}

class CWnd {
 public:
  CWnd();
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }

  // The object of a window of this process (a dialog's object, or a control's
  // wrapper); null for other handles.
  static CWnd* FromHandle(HWND hwnd);

  // Makes this object the wrapper of control `hwnd` (a CButton, CEdit, ...
  // member bound to its control). Detach undoes it.
  BOOL Attach(HWND hwnd);
  HWND Detach();
  BOOL SubclassDlgItem(UINT id, CWnd* parent);

  // Text.
  void SetWindowText(LPCSTR text);
  void SetWindowText(const std::string& text) { SetWindowText(text.c_str()); }
  int GetWindowText(LPSTR buffer, int maxCount) const;
  void GetWindowText(std::string& text) const;
  std::string GetWindowText() const;
  int GetWindowTextLength() const;

  // Controls of this dialog.
  CWnd* GetDlgItem(int id) const;
  void SetDlgItemText(int id, LPCSTR text);
  void SetDlgItemText(int id, const std::string& text) { SetDlgItemText(id, text.c_str()); }
  int GetDlgItemText(int id, LPSTR buffer, int maxCount) const;
  int GetDlgItemText(int id, std::string& text) const;
  void CheckDlgButton(int id, UINT check);
  UINT IsDlgButtonChecked(int id) const;
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  int GetDlgCtrlID() const;
  CWnd* GetParent() const;

  // State and place (place and redrawing are hints for the renderer).
  BOOL EnableWindow(BOOL enable = TRUE);
  BOOL IsWindowEnabled() const;
  BOOL ShowWindow(int cmdShow);
  BOOL IsWindowVisible() const;
  BOOL IsIconic() const;
  void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
  void MoveWindow(LPCRECT rect, BOOL repaint = TRUE);
  void GetWindowRect(LPRECT rect) const;
  void GetClientRect(LPRECT rect) const;
  void CenterWindow(CWnd* alternateOwner = nullptr);
  BOOL RedrawWindow(LPCRECT updateRect = nullptr, void* updateRegion = nullptr,
                    UINT flags = RDW_INVALIDATE | RDW_ERASE);
  void Invalidate(BOOL erase = TRUE);
  void UpdateWindow();
  CWnd* SetFocus();

  // Icons, font, system menu.
  HICON SetIcon(HICON icon, BOOL bigIcon);
  HICON GetIcon(BOOL bigIcon) const;
  void SetFont(CFont* font, BOOL redraw = TRUE);
  CFont* GetFont() const;
  // The window's system menu; null when it has none. bRevert restores the standard items.
  CMenu* GetSystemMenu(BOOL revert);

  // Messages and timers.
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs, TIMERPROC timerFunc = nullptr);
  BOOL KillTimer(UINT_PTR id);

  // Destroys the window (WM_DESTROY, then WM_NCDESTROY) and its controls.
  virtual BOOL DestroyWindow();

 protected:
  // Runs one message: the standard messages go to the handlers below, the
  // rest to DefWindowProc.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The model's default handling of a message.
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // The default handling of the message being handled now.
  LRESULT Default();

  // Returns TRUE when the command was handled.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual void OnTimer(UINT_PTR idEvent);
  virtual void OnClose();
  virtual void OnDestroy();
  virtual void OnSysCommand(UINT id, LPARAM lParam);
  virtual void OnPaint();
  virtual HICON OnQueryDragIcon();
  // Called after the window is gone (WM_NCDESTROY); m_hWnd is already null.
  virtual void PostNcDestroy();

 private:
  friend struct qx::ui::detail::WindowAccess;
  MSG m_currentMsg;
  std::unique_ptr<CMenu> m_sysMenu;
};

// The same operations on handles. Text functions take and give narrow text.
BOOL IsWindow(HWND hwnd);
HWND GetParent(HWND hwnd);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND hwnd);
BOOL SetWindowTextA(HWND hwnd, LPCSTR text);
int GetWindowTextA(HWND hwnd, LPSTR buffer, int maxCount);
int GetWindowTextLengthA(HWND hwnd);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int maxCount);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int cmdShow);
BOOL IsWindowVisible(HWND hwnd);
BOOL IsIconic(HWND hwnd);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL GetWindowRect(HWND hwnd, LPRECT rect);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL RedrawWindow(HWND hwnd, LPCRECT updateRect, void* updateRegion, UINT flags);
BOOL InvalidateRect(HWND hwnd, LPCRECT rect, BOOL erase);
BOOL UpdateWindow(HWND hwnd);
HWND SetFocus(HWND hwnd);
BOOL DestroyWindow(HWND hwnd);

inline BOOL SetWindowText(HWND hwnd, LPCSTR text) { return SetWindowTextA(hwnd, text); }
inline int GetWindowText(HWND hwnd, LPSTR buffer, int maxCount) { return GetWindowTextA(hwnd, buffer, maxCount); }
inline int GetWindowTextLength(HWND hwnd) { return GetWindowTextLengthA(hwnd); }
inline BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text) { return SetDlgItemTextA(dialog, id, text); }
inline UINT GetDlgItemText(HWND dialog, int id, LPSTR buffer, int maxCount) {
  return GetDlgItemTextA(dialog, id, buffer, maxCount);
}
inline LRESULT SendDlgItemMessage(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}

namespace qx::ui {

// The whole text of a window ("" for an invalid handle).
std::string WindowText(HWND hwnd);

// What a user's click on button `id` of `dialog` does: nothing when the
// control is missing, disabled or hidden (FALSE); otherwise an auto check box
// changes its check state and the dialog is posted WM_COMMAND(id, BN_CLICKED).
// Renderers and tests press buttons this way; any thread.
BOOL ClickButton(HWND dialog, int id);
// The same for a press made on the user's behalf: a click that happens is
// recorded in the transcript (button text, `source`) before the dialog sees it.
BOOL ClickButton(HWND dialog, int id, AnswerSource source);

// The control of `dialog` with role `role`; null when there is none.
HWND FindControlByRole(HWND dialog, ControlRole role);

// What a renderer reads of a window: a copy of its state.
struct WindowInfo_t {
  HWND hwnd = nullptr;
  HWND parent = nullptr;
  bool isDialog = false;
  int id = 0;
  ControlKind kind = ControlKind::kStatic;
  ControlRole role = ControlRole::kNone;
  DWORD style = 0;
  std::string text;
  bool enabled = false;
  bool visible = false;
  UINT check = BST_UNCHECKED;
  int lower = 0, upper = 0, pos = 0;
  RECT rect;
};

// Nothing for an invalid handle or another program's window.
std::optional<WindowInfo_t> DescribeWindow(HWND hwnd);
// The controls of `dialog` in template order.
std::vector<WindowInfo_t> DescribeControls(HWND dialog);

}  // namespace qx::ui
