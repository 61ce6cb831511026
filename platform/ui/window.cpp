#include "platform/ui/window.h"

#include <algorithm>
#include <cstring>

#include "platform/ui/desktop.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_internal.h"

namespace qx::ui::detail {

struct WindowAccess {
  static LRESULT Call(CWnd* object, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // Handlers may dispatch other messages before they call Default(); keep
    // the message of each level.
    const MSG saved = object->m_currentMsg;
    object->m_currentMsg = MSG{};
    object->m_currentMsg.hwnd = hwnd;
    object->m_currentMsg.message = message;
    object->m_currentMsg.wParam = wParam;
    object->m_currentMsg.lParam = lParam;
    const LRESULT result = object->WindowProc(message, wParam, lParam);
    object->m_currentMsg = saved;
    return result;
  }
  static void NcDestroy(CWnd* object) { object->PostNcDestroy(); }
};

LRESULT CallObject(CWnd* object, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return WindowAccess::Call(object, hwnd, message, wParam, lParam);
}

}  // namespace qx::ui::detail

using namespace qx::ui::detail;

namespace {

LRESULT Direct(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled = false;
  return StandardProc(hwnd, message, wParam, lParam, handled);
}

// The window state for an operation on our own windows; null (with the last
// error set) for an invalid handle or another program's window.
std::shared_ptr<WindowState> Own(HWND hwnd) {
  auto s = FindLocked(hwnd);
  if (!s || s->kind == WindowKind::kForeign) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return s;
}

std::string StripMnemonic(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      out += text[++i];
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handle functions

BOOL IsWindow(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  return FindLocked(hwnd) ? TRUE : FALSE;
}

HWND GetParent(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  return s ? s->parent : nullptr;
}

HWND GetDlgItem(HWND dialog, int id) {
  std::lock_guard lock(ModelLock());
  if (!Own(dialog)) return nullptr;
  auto c = FindChildLocked(dialog, id);
  if (!c) {
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
  }
  return c->handle;
}

int GetDlgCtrlID(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  return s && s->kind == WindowKind::kControl ? s->id : 0;
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
  {
    std::lock_guard lock(ModelLock());
    if (!Own(hwnd)) return FALSE;
  }
  return Direct(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : "")) ? TRUE : FALSE;
}

int GetWindowTextA(HWND hwnd, LPSTR buffer, int maxCount) {
  if (!buffer || maxCount <= 0) return 0;
  buffer[0] = '\0';
  std::string text;
  {
    std::shared_ptr<qx::ui::CDesktop> desktop;
    std::uint64_t key = 0;
    {
      std::lock_guard lock(ModelLock());
      auto s = FindLocked(hwnd);
      if (!s) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      if (s->kind != WindowKind::kForeign) {
        text = s->text;
      } else {
        desktop = s->desktop;
        key = s->foreignKey;
      }
    }
    if (desktop) {
      auto title = desktop->WindowTitle(key);
      if (!title) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      text = *title;
    }
  }
  const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(maxCount - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int GetWindowTextLengthA(HWND hwnd) { return static_cast<int>(qx::ui::WindowText(hwnd).size()); }

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SetWindowTextA(control, text) : FALSE;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int maxCount) {
  if (buffer && maxCount > 0) buffer[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(GetWindowTextA(control, buffer, maxCount)) : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND control = GetDlgItem(dialog, id);
  if (!control) return FALSE;
  Direct(control, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(Direct(control, BM_GETCHECK, 0, 0)) : 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SendMessageA(control, message, wParam, lParam) : 0;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s) return FALSE;
  const BOOL wasDisabled = s->enabled ? FALSE : TRUE;
  if (s->enabled != (enable != FALSE)) {
    s->enabled = enable != FALSE;
    NotifyState(*s);
  }
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  return s && s->enabled ? TRUE : FALSE;
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s) return FALSE;
  const BOOL wasVisible = s->visible ? TRUE : FALSE;
  const bool visible = cmdShow != SW_HIDE;
  if (s->visible != visible) {
    s->visible = visible;
    NotifyState(*s);
  }
  return wasVisible;
}

BOOL IsWindowVisible(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  return s && s->visible ? TRUE : FALSE;
}

BOOL IsIconic(HWND) { return FALSE; }

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s) return FALSE;
  s->rect = RECT{x, y, x + width, y + height};
  NotifyState(*s);
  return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s || !rect) return FALSE;
  *rect = s->rect;
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s || !rect) return FALSE;
  *rect = RECT{0, 0, s->rect.right - s->rect.left, s->rect.bottom - s->rect.top};
  return TRUE;
}

BOOL RedrawWindow(HWND hwnd, LPCRECT, void*, UINT) {
  std::lock_guard lock(ModelLock());
  auto s = Own(hwnd);
  if (!s) return FALSE;
  if (!s->destroying) qx::ui::GetRenderer()->OnRedraw(hwnd);
  return TRUE;
}

BOOL InvalidateRect(HWND hwnd, LPCRECT rect, BOOL) { return RedrawWindow(hwnd, rect, nullptr, RDW_INVALIDATE); }

BOOL UpdateWindow(HWND hwnd) { return RedrawWindow(hwnd, nullptr, nullptr, RDW_UPDATENOW); }

HWND SetFocus(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  if (hwnd) Own(hwnd);
  return nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
  CWnd* object = nullptr;
  WindowKind kind;
  {
    std::lock_guard lock(ModelLock());
    auto s = Own(hwnd);
    if (!s) return FALSE;
    if (s->queue->owner != std::this_thread::get_id()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (s->destroyStarted) return TRUE;
    s->destroyStarted = true;
    object = s->object;
    kind = s->kind;
  }
  if (kind == WindowKind::kDialog) CallWindowHere(hwnd, WM_DESTROY, 0, 0);
  ForgetWindow(hwnd);
  if (kind == WindowKind::kDialog && object) WindowAccess::NcDestroy(object);
  return TRUE;
}

namespace qx::ui {

std::string WindowText(HWND hwnd) {
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s) return {};
    if (s->kind != WindowKind::kForeign) return s->text;
  }
  char buffer[1024];
  GetWindowTextA(hwnd, buffer, sizeof buffer);
  return buffer;
}

namespace {

BOOL Click(HWND dialog, int id, const AnswerSource* source) {
  HWND control = nullptr;
  {
    std::lock_guard lock(ModelLock());
    auto d = Own(dialog);
    if (!d || d->kind != WindowKind::kDialog) return FALSE;
    auto c = FindChildLocked(dialog, id);
    if (!c) {
      SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
      return FALSE;
    }
    const bool button = c->control == ControlKind::kButton || c->control == ControlKind::kDefaultButton ||
                        c->control == ControlKind::kCheckBox || c->control == ControlKind::kIconButton;
    if (!button || !c->enabled || !c->visible || !d->enabled) return FALSE;
    if (c->control == ControlKind::kCheckBox) {
      c->check = c->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      NotifyState(*c);
    }
    control = c->handle;
    if (source) {
      CTranscript::Instance().Record({TranscriptKind::kClick, ButtonLabel(c->text), "", "", "", *source});
    }
  }
  return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                      reinterpret_cast<LPARAM>(control));
}

}  // namespace

BOOL ClickButton(HWND dialog, int id) { return Click(dialog, id, nullptr); }

BOOL ClickButton(HWND dialog, int id, AnswerSource source) { return Click(dialog, id, &source); }

HWND FindControlByRole(HWND dialog, ControlRole role) {
  std::lock_guard lock(ModelLock());
  auto d = FindLocked(dialog);
  if (!d) return nullptr;
  for (HWND child : d->children) {
    auto c = FindLocked(child);
    if (c && c->role == role) return child;
  }
  return nullptr;
}

namespace {

WindowInfo_t Describe(const WindowState& s) {
  WindowInfo_t info;
  info.hwnd = s.handle;
  info.parent = s.parent;
  info.isDialog = s.kind == WindowKind::kDialog;
  info.id = s.id;
  info.kind = s.control;
  info.role = s.role;
  info.style = s.style;
  info.text = s.text;
  info.enabled = s.enabled;
  info.visible = s.visible;
  info.check = s.check;
  info.lower = s.lower;
  info.upper = s.upper;
  info.pos = s.pos;
  info.rect = s.rect;
  return info;
}

}  // namespace

std::optional<WindowInfo_t> DescribeWindow(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = FindLocked(hwnd);
  if (!s || s->kind == WindowKind::kForeign) return std::nullopt;
  return Describe(*s);
}

std::vector<WindowInfo_t> DescribeControls(HWND dialog) {
  std::lock_guard lock(ModelLock());
  std::vector<WindowInfo_t> out;
  auto d = FindLocked(dialog);
  if (!d) return out;
  for (HWND child : d->children) {
    if (auto c = FindLocked(child)) out.push_back(Describe(*c));
  }
  return out;
}

}  // namespace qx::ui

// ---------------------------------------------------------------------------
// CWnd

CWnd::CWnd() = default;

CWnd::~CWnd() {
  if (!m_hWnd) return;
  const HWND hwnd = m_hWnd;
  bool forget = false;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (s && s->object == this) {
      if (s->kind == WindowKind::kControl) {
        s->object = s->ownObject.get();
      } else {
        forget = true;
      }
    }
    if (!forget) m_hWnd = nullptr;
  }
  // A window whose object goes away goes with it, without handlers.
  if (forget) ForgetWindow(hwnd);
  m_hWnd = nullptr;
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = FindLocked(hwnd);
  return s && s->kind != WindowKind::kForeign ? s->object : nullptr;
}

BOOL CWnd::Attach(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  if (m_hWnd) return FALSE;
  auto s = Own(hwnd);
  if (!s || s->kind != WindowKind::kControl) return FALSE;
  if (s->object != s->ownObject.get()) return FALSE;  // already bound to another object
  s->object = this;
  m_hWnd = hwnd;
  return TRUE;
}

HWND CWnd::Detach() {
  std::lock_guard lock(ModelLock());
  const HWND hwnd = m_hWnd;
  auto s = FindLocked(hwnd);
  if (s && s->object == this && s->kind == WindowKind::kControl) s->object = s->ownObject.get();
  m_hWnd = nullptr;
  return hwnd;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  if (!parent) return FALSE;
  HWND control = ::GetDlgItem(parent->m_hWnd, static_cast<int>(id));
  return control ? Attach(control) : FALSE;
}

void CWnd::SetWindowText(LPCSTR text) { ::SetWindowTextA(m_hWnd, text); }

int CWnd::GetWindowText(LPSTR buffer, int maxCount) const { return ::GetWindowTextA(m_hWnd, buffer, maxCount); }

void CWnd::GetWindowText(std::string& text) const { text = qx::ui::WindowText(m_hWnd); }

std::string CWnd::GetWindowText() const { return qx::ui::WindowText(m_hWnd); }

int CWnd::GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }

CWnd* CWnd::GetDlgItem(int id) const {
  std::lock_guard lock(ModelLock());
  auto c = FindChildLocked(m_hWnd, id);
  return c ? c->object : nullptr;
}

void CWnd::SetDlgItemText(int id, LPCSTR text) { ::SetDlgItemTextA(m_hWnd, id, text); }

int CWnd::GetDlgItemText(int id, LPSTR buffer, int maxCount) const {
  return static_cast<int>(::GetDlgItemTextA(m_hWnd, id, buffer, maxCount));
}

int CWnd::GetDlgItemText(int id, std::string& text) const {
  text = qx::ui::WindowText(::GetDlgItem(m_hWnd, id));
  return static_cast<int>(text.size());
}

void CWnd::CheckDlgButton(int id, UINT check) { ::CheckDlgButton(m_hWnd, id, check); }

UINT CWnd::IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }

LRESULT CWnd::SendDlgItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendDlgItemMessageA(m_hWnd, id, message, wParam, lParam);
}

int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }

CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }

BOOL CWnd::EnableWindow(BOOL enable) { return ::EnableWindow(m_hWnd, enable); }

BOOL CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }

BOOL CWnd::ShowWindow(int cmdShow) { return ::ShowWindow(m_hWnd, cmdShow); }

BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::MoveWindow(int x, int y, int width, int height, BOOL repaint) {
  ::MoveWindow(m_hWnd, x, y, width, height, repaint);
}

void CWnd::MoveWindow(LPCRECT rect, BOOL repaint) {
  if (rect) ::MoveWindow(m_hWnd, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, repaint);
}

void CWnd::GetWindowRect(LPRECT rect) const { ::GetWindowRect(m_hWnd, rect); }

void CWnd::GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }

void CWnd::CenterWindow(CWnd*) {
  std::lock_guard lock(ModelLock());
  if (auto s = Own(m_hWnd)) NotifyState(*s);
}

BOOL CWnd::RedrawWindow(LPCRECT updateRect, void* updateRegion, UINT flags) {
  return ::RedrawWindow(m_hWnd, updateRect, updateRegion, flags);
}

void CWnd::Invalidate(BOOL erase) { ::InvalidateRect(m_hWnd, nullptr, erase); }

void CWnd::UpdateWindow() { ::UpdateWindow(m_hWnd); }

CWnd* CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) {
  return reinterpret_cast<HICON>(Direct(m_hWnd, WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL,
                                        reinterpret_cast<LPARAM>(icon)));
}

HICON CWnd::GetIcon(BOOL bigIcon) const {
  return reinterpret_cast<HICON>(Direct(m_hWnd, WM_GETICON, bigIcon ? ICON_BIG : ICON_SMALL, 0));
}

void CWnd::SetFont(CFont* font, BOOL) {
  std::lock_guard lock(ModelLock());
  if (auto s = Own(m_hWnd)) {
    s->font = font;
    NotifyState(*s);
  }
}

CFont* CWnd::GetFont() const {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hWnd);
  return s ? s->font : nullptr;
}

namespace {

std::vector<MenuItem_t> StandardSystemMenu(DWORD style) {
  std::vector<MenuItem_t> items;
  items.push_back({MF_STRING, SC_MOVE, "&Move"});
  if (style & WS_MINIMIZEBOX) items.push_back({MF_STRING, SC_MINIMIZE, "Mi&nimize"});
  items.push_back({MF_SEPARATOR, 0, ""});
  items.push_back({MF_STRING, SC_CLOSE, "&Close"});
  return items;
}

}  // namespace

namespace qx::ui::detail {
void ResetSystemMenu(WindowState& s) { s.systemMenu = StandardSystemMenu(s.style); }
}  // namespace qx::ui::detail

CMenu* CWnd::GetSystemMenu(BOOL revert) {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hWnd);
  if (!s || !s->hasSystemMenu) return nullptr;
  if (revert) {
    s->systemMenu = StandardSystemMenu(s->style);
    NotifyState(*s);
    return nullptr;
  }
  if (!m_sysMenu || m_sysMenu->Owner() != m_hWnd) m_sysMenu = std::make_unique<CMenu>(m_hWnd);
  return m_sysMenu.get();
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

UINT_PTR CWnd::SetTimer(UINT_PTR id, UINT elapseMs, TIMERPROC timerFunc) {
  return ::SetTimer(m_hWnd, id, elapseMs, timerFunc);
}

BOOL CWnd::KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }

BOOL CWnd::DestroyWindow() { return ::DestroyWindow(m_hWnd); }

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (OnCommand(wParam, lParam)) return 0;
      return DefWindowProc(message, wParam, lParam);
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(OnQueryDragIcon());
    default:
      return DefWindowProc(message, wParam, lParam);
  }
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) return ::SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE:
      DestroyWindow();
      return 0;
    default: {
      bool handled = false;
      return StandardProc(m_hWnd, message, wParam, lParam, handled);
    }
  }
}

LRESULT CWnd::Default() {
  return DefWindowProc(m_currentMsg.message, m_currentMsg.wParam, m_currentMsg.lParam);
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }
void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnDestroy() { Default(); }
void CWnd::OnSysCommand(UINT, LPARAM) { Default(); }
void CWnd::OnPaint() { Default(); }
HICON CWnd::OnQueryDragIcon() { return reinterpret_cast<HICON>(Default()); }
void CWnd::PostNcDestroy() {}

// ---------------------------------------------------------------------------
// CMenu

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR idNewItem, LPCSTR newItem) {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hOwner);
  if (!s || !s->hasSystemMenu) return FALSE;
  if (flags & MF_SEPARATOR) {
    s->systemMenu.push_back({MF_SEPARATOR, 0, ""});
  } else {
    s->systemMenu.push_back({flags, idNewItem, newItem ? newItem : ""});
  }
  NotifyState(*s);
  return TRUE;
}

int CMenu::GetMenuItemCount() const {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hOwner);
  return s ? static_cast<int>(s->systemMenu.size()) : -1;
}

UINT CMenu::GetMenuItemID(int position) const {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hOwner);
  if (!s || position < 0 || position >= static_cast<int>(s->systemMenu.size())) return static_cast<UINT>(-1);
  return static_cast<UINT>(s->systemMenu[static_cast<size_t>(position)].id);
}

std::string CMenu::GetMenuString(UINT item, UINT flags) const {
  std::lock_guard lock(ModelLock());
  auto s = Own(m_hOwner);
  if (!s) return {};
  const auto& items = s->systemMenu;
  if (flags & MF_BYPOSITION) return item < items.size() ? items[item].text : std::string();
  for (const auto& i : items) {
    if (!(i.flags & MF_SEPARATOR) && i.id == item) return i.text;
  }
  return {};
}

namespace qx::ui::detail {
// The text of a button without its '&' marks (what a user reads).
std::string ButtonLabel(const std::string& text) { return StripMnemonic(text); }
}  // namespace qx::ui::detail
