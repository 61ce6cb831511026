// The handle table, change notifications and the built-in handling of the
// standard messages.
#include <algorithm>
#include <cstring>
#include <map>

#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace qx::ui::detail {

namespace {

struct Table {
  std::map<std::uintptr_t, std::shared_ptr<WindowState>> windows;
  std::uintptr_t next = 0x10000;
};

// Lives until the process ends: thread exits and static destructors may still
// need it.
Table& TheTable() {
  static Table* table = new Table;
  return *table;
}

int Clamp(int value, int a, int b) {
  const int lo = std::min(a, b), hi = std::max(a, b);
  return std::clamp(value, lo, hi);
}

bool IsButton(const WindowState& s) {
  return s.kind == WindowKind::kControl &&
         (s.control == ControlKind::kButton || s.control == ControlKind::kDefaultButton ||
          s.control == ControlKind::kCheckBox || s.control == ControlKind::kIconButton);
}

void SetTextLocked(WindowState& s, std::string text) {
  if (s.text == text) return;
  s.text = std::move(text);
  NotifyText(s);
}

void SetPosLocked(WindowState& s, int pos) {
  pos = Clamp(pos, s.lower, s.upper);
  if (pos == s.pos) return;
  s.pos = pos;
  NotifyProgress(s);
}

}  // namespace

WindowState::WindowState() = default;
WindowState::~WindowState() = default;

std::recursive_mutex& ModelLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

std::shared_ptr<WindowState> FindLocked(HWND hwnd) {
  auto& windows = TheTable().windows;
  const auto it = windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
  return it == windows.end() ? nullptr : it->second;
}

std::shared_ptr<WindowState> FindOrFail(HWND hwnd) {
  std::lock_guard lock(ModelLock());
  auto s = FindLocked(hwnd);
  if (!s) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return s;
}

HWND AddLocked(std::shared_ptr<WindowState> state) {
  Table& table = TheTable();
  const std::uintptr_t value = table.next;
  table.next += 4;
  state->handle = reinterpret_cast<HWND>(value);
  table.windows[value] = std::move(state);
  return reinterpret_cast<HWND>(value);
}

void RemoveLocked(HWND hwnd) { TheTable().windows.erase(reinterpret_cast<std::uintptr_t>(hwnd)); }

std::vector<std::shared_ptr<WindowState>> AllLocked() {
  std::vector<std::shared_ptr<WindowState>> all;
  for (const auto& [value, s] : TheTable().windows) all.push_back(s);
  return all;
}

std::shared_ptr<WindowState> FindChildLocked(HWND dialog, int id) {
  auto d = FindLocked(dialog);
  if (!d) return nullptr;
  for (HWND child : d->children) {
    auto c = FindLocked(child);
    if (c && c->id == id) return c;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Notifications

void NotifyCreated(const WindowState& dialog) {
  GetRenderer()->OnDialogCreated(dialog.handle);
  CTranscript::Instance().Record({TranscriptKind::kCaption, dialog.text});
  for (HWND child : dialog.children) {
    auto c = FindLocked(child);
    if (c && c->role == ControlRole::kStatusLine && !c->text.empty()) {
      CTranscript::Instance().Record({TranscriptKind::kStatus, c->text});
    }
  }
}

void NotifyDestroyed(const WindowState& dialog) { GetRenderer()->OnDialogDestroyed(dialog.handle); }

void NotifyText(const WindowState& window) {
  if (window.destroying) return;
  GetRenderer()->OnTextChanged(window.handle, window.text);
  if (window.kind == WindowKind::kDialog) {
    CTranscript::Instance().Record({TranscriptKind::kCaption, window.text});
  } else if (window.role == ControlRole::kStatusLine) {
    CTranscript::Instance().Record({TranscriptKind::kStatus, window.text});
  }
}

void NotifyState(const WindowState& window) {
  if (!window.destroying) GetRenderer()->OnStateChanged(window.handle);
}

void NotifyProgress(const WindowState& control) {
  if (!control.destroying) GetRenderer()->OnProgressChanged(control.handle, control.lower, control.upper, control.pos);
}

// ---------------------------------------------------------------------------
// Built-in handling

LRESULT StandardProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
  std::lock_guard lock(ModelLock());
  handled = true;
  auto s = FindLocked(hwnd);
  if (!s || s->kind == WindowKind::kForeign) {
    handled = false;
    return 0;
  }
  switch (message) {
    case WM_SETTEXT:
      SetTextLocked(*s, lParam ? reinterpret_cast<const char*>(lParam) : "");
      return TRUE;
    case WM_GETTEXT: {
      char* buffer = reinterpret_cast<char*>(lParam);
      if (!buffer || wParam == 0) return 0;
      const size_t n = std::min<size_t>(s->text.size(), wParam - 1);
      std::memcpy(buffer, s->text.data(), n);
      buffer[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(s->text.size());
    case WM_SETICON: {
      HICON& slot = wParam == ICON_BIG ? s->bigIcon : s->smallIcon;
      HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      NotifyState(*s);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETICON:
      return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? s->bigIcon : s->smallIcon);
    case BM_GETCHECK:
      return s->control == ControlKind::kCheckBox ? s->check : BST_UNCHECKED;
    case BM_SETCHECK:
      if (s->control == ControlKind::kCheckBox && s->check != static_cast<UINT>(wParam)) {
        s->check = static_cast<UINT>(wParam);
        NotifyState(*s);
      }
      return 0;
    case BM_CLICK:
      if (IsButton(*s)) {
        const HWND dialog = s->parent;
        const int id = s->id;
        // Posting takes the queue's lock; the model lock may be held then.
        qx::ui::ClickButton(dialog, id);
      }
      return 0;
    case BM_SETIMAGE: {
      HICON previous = s->image;
      s->image = reinterpret_cast<HICON>(lParam);
      NotifyState(*s);
      return reinterpret_cast<LRESULT>(previous);
    }
    case BM_GETIMAGE:
      return reinterpret_cast<LRESULT>(s->image);
    case EM_SETREADONLY:
      if (wParam) s->style |= ES_READONLY;
      else s->style &= ~ES_READONLY;
      NotifyState(*s);
      return TRUE;
    default:
      break;
  }
  if (s->kind == WindowKind::kControl && s->control == ControlKind::kProgressBar) {
    switch (message) {
      case PBM_SETRANGE:
      case PBM_SETRANGE32: {
        const LRESULT previous = MAKELPARAM(static_cast<WORD>(s->lower), static_cast<WORD>(s->upper));
        if (message == PBM_SETRANGE) {
          s->lower = LOWORD(static_cast<std::uintptr_t>(lParam));
          s->upper = HIWORD(static_cast<std::uintptr_t>(lParam));
        } else {
          s->lower = static_cast<int>(wParam);
          s->upper = static_cast<int>(lParam);
        }
        s->pos = Clamp(s->pos, s->lower, s->upper);
        NotifyProgress(*s);
        return previous;
      }
      case PBM_GETRANGE: {
        auto* range = reinterpret_cast<PBRANGE*>(lParam);
        if (range) *range = {s->lower, s->upper};
        return wParam ? s->lower : s->upper;
      }
      case PBM_SETPOS: {
        const int previous = s->pos;
        SetPosLocked(*s, static_cast<int>(wParam));
        return previous;
      }
      case PBM_DELTAPOS: {
        const int previous = s->pos;
        SetPosLocked(*s, s->pos + static_cast<int>(wParam));
        return previous;
      }
      case PBM_GETPOS:
        return s->pos;
      case PBM_SETSTEP: {
        const int previous = s->step;
        s->step = static_cast<int>(wParam);
        return previous;
      }
      case PBM_STEPIT: {
        const int previous = s->pos;
        const int lo = std::min(s->lower, s->upper), hi = std::max(s->lower, s->upper);
        int pos = s->pos + s->step;
        // Past either end the bar starts again from the other one.
        if (hi > lo && (pos > hi || pos < lo)) {
          const int span = hi - lo;
          pos = lo + ((pos - lo) % span + span) % span;
        } else if (hi == lo) {
          pos = lo;
        }
        if (pos != s->pos) {
          s->pos = pos;
          NotifyProgress(*s);
        }
        return previous;
      }
      default:
        break;
    }
  }
  handled = false;
  return 0;
}

void ForgetWindow(HWND hwnd) {
  std::shared_ptr<ThreadQueue> queue;
  std::vector<HWND> gone;
  {
    std::lock_guard lock(ModelLock());
    auto s = FindLocked(hwnd);
    if (!s) return;
    queue = s->queue;
    if (s->kind == WindowKind::kDialog) NotifyDestroyed(*s);
    s->destroying = true;
    for (HWND child : s->children) {
      if (auto c = FindLocked(child)) {
        c->destroying = true;
        if (c->object) c->object->m_hWnd = nullptr;
        if (c->ownObject) c->ownObject->m_hWnd = nullptr;
        RemoveLocked(child);
        gone.push_back(child);
      }
    }
    if (s->kind == WindowKind::kControl) {
      if (auto parent = FindLocked(s->parent)) {
        auto& siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), hwnd), siblings.end());
      }
      if (s->ownObject) s->ownObject->m_hWnd = nullptr;
    }
    if (s->object) s->object->m_hWnd = nullptr;
    RemoveLocked(hwnd);
    gone.push_back(hwnd);
  }
  if (queue) {
    for (HWND h : gone) KillWindowTimers(*queue, h);
  }
}

}  // namespace qx::ui::detail
