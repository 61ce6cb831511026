#include "platform/ui/dialog.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "platform/ui/answers.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_internal.h"

using namespace qx::ui::detail;

namespace {

std::atomic<long long> g_idleDelayMs{200};

std::unique_ptr<CWnd> MakeWrapper(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit: return std::make_unique<CEdit>();
    case ControlKind::kButton:
    case ControlKind::kDefaultButton:
    case ControlKind::kCheckBox:
    case ControlKind::kGroupBox:
    case ControlKind::kIconButton: return std::make_unique<CButton>();
    case ControlKind::kProgressBar: return std::make_unique<CProgressCtrl>();
    case ControlKind::kStatic: return std::make_unique<CStatic>();
    case ControlKind::kBrowser: return std::make_unique<CWnd>();
  }
  return std::make_unique<CWnd>();
}

DWORD ImpliedStyle(ControlKind kind) {
  switch (kind) {
    case ControlKind::kDefaultButton: return BS_DEFPUSHBUTTON;
    case ControlKind::kCheckBox: return BS_AUTOCHECKBOX;
    case ControlKind::kGroupBox: return BS_GROUPBOX;
    case ControlKind::kIconButton: return BS_ICON;
    default: return 0;
  }
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool IsButtonKind(ControlKind kind) {
  return kind == ControlKind::kButton || kind == ControlKind::kDefaultButton || kind == ControlKind::kCheckBox ||
         kind == ControlKind::kIconButton;
}

// The button of `dialog` that `target` names: by its text, else by its id.
std::optional<int> FindButton(HWND dialog, const std::string& target, std::string& label) {
  std::lock_guard lock(ModelLock());
  auto d = FindLocked(dialog);
  if (!d) return std::nullopt;
  for (HWND child : d->children) {
    auto c = FindLocked(child);
    if (c && IsButtonKind(c->control) && EqualNoCase(ButtonLabel(c->text), target)) {
      label = ButtonLabel(c->text);
      return c->id;
    }
  }
  const bool numeric = !target.empty() && std::all_of(target.begin() + (target[0] == '-' ? 1 : 0), target.end(),
                                                      [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); });
  if (numeric && target != "-") {
    const int id = std::stoi(target);
    auto c = FindChildLocked(dialog, id);
    if (c && IsButtonKind(c->control)) {
      label = ButtonLabel(c->text);
      return id;
    }
  }
  return std::nullopt;
}

}  // namespace

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (!dx || !dx->m_pDlgWnd || control.m_hWnd) return;
  control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

CDialog::CDialog(UINT idTemplate, CWnd* parent) : m_nIDTemplate(idTemplate), m_pParentWnd(parent) {}

CDialog::~CDialog() = default;

BOOL CDialog::CreateFromTemplate(CWnd* parent) {
  if (m_hWnd) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto dialogTemplate = qx::ui::FindDialogTemplate(m_nIDTemplate);
  if (!dialogTemplate) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return FALSE;
  }
  const DialogTemplate_t& t = *dialogTemplate;
  std::lock_guard lock(ModelLock());
  auto d = std::make_shared<WindowState>();
  d->kind = WindowKind::kDialog;
  d->style = t.style;
  d->id = static_cast<int>(t.id);
  d->text = t.caption;
  d->rect = qx::ui::DialogUnitsToPixels(t.x, t.y, t.cx, t.cy);
  d->parent = parent ? parent->m_hWnd : nullptr;
  d->queue = CurrentQueue();
  d->object = this;
  d->enabled = (t.style & WS_DISABLED) == 0;
  d->hasSystemMenu = (t.style & WS_SYSMENU) != 0;
  if (d->hasSystemMenu) ResetSystemMenu(*d);
  const HWND dialog = AddLocked(d);
  for (const DialogControl_t& c : t.controls) {
    auto s = std::make_shared<WindowState>();
    s->kind = WindowKind::kControl;
    s->control = c.kind;
    s->role = c.role;
    s->id = c.id;
    s->text = c.text;
    s->style = c.style | ImpliedStyle(c.kind);
    s->enabled = (c.style & WS_DISABLED) == 0;
    s->visible = true;
    s->rect = qx::ui::DialogUnitsToPixels(c.x, c.y, c.cx, c.cy);
    s->parent = dialog;
    s->queue = d->queue;
    s->image = c.icon ? LoadIcon(c.icon) : nullptr;
    s->ownObject = MakeWrapper(c.kind);
    s->object = s->ownObject.get();
    CWnd* wrapper = s->ownObject.get();
    const HWND control = AddLocked(std::move(s));
    wrapper->m_hWnd = control;
    d->children.push_back(control);
  }
  m_hWnd = dialog;
  NotifyCreated(*d);
  return TRUE;
}

BOOL CDialog::Create(UINT idTemplate, CWnd* parent) {
  m_nIDTemplate = idTemplate;
  m_pParentWnd = parent;
  if (!CreateFromTemplate(parent)) return FALSE;
  const HWND self = m_hWnd;
  ::SendMessageA(self, WM_INITDIALOG, 0, 0);
  const auto t = qx::ui::FindDialogTemplate(idTemplate);
  if (::IsWindow(self) && t && (t->style & WS_VISIBLE)) ::ShowWindow(self, SW_SHOW);
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  if (!CreateFromTemplate(m_pParentWnd)) return -1;
  const HWND self = m_hWnd;
  m_nModalResult = -1;
  m_nIdleDefaults = 0;
  m_bContinueModal = true;
  ::SendMessageA(self, WM_INITDIALOG, 0, 0);
  if (m_bContinueModal && ::IsWindow(self)) ::ShowWindow(self, SW_SHOW);

  IdleHook idle;
  idle.grace = std::chrono::milliseconds(g_idleDelayMs.load());
  idle.onIdle = [this] { OnModalIdle(); };
  while (m_bContinueModal && ::IsWindow(self)) {
    MSG msg;
    if (!GetMessageInternal(&msg, nullptr, 0, 0, &idle)) {
      // The thread is asked to end: leave the loop and pass the request on.
      PostQuitMessage(static_cast<int>(msg.wParam));
      if (m_bContinueModal) m_nModalResult = -1;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  m_bContinueModal = false;
  if (::IsWindow(self)) ::DestroyWindow(self);
  return m_nModalResult;
}

void CDialog::EndDialog(int result) {
  m_nModalResult = result;
  const bool wasRunning = m_bContinueModal.exchange(false);
  const HWND self = m_hWnd;
  if (!self) return;
  ::ShowWindow(self, SW_HIDE);
  // Wake the loop, which may be waiting (on this thread's idle handling, or
  // on another thread), so that it sees the end.
  if (wasRunning) ::PostMessageA(self, WM_NULL, 0, 0);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return TRUE;
}

void CDialog::GotoDlgCtrl(CWnd* control) {
  if (control) control->SetFocus();
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange*) {}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  return CWnd::WindowProc(message, wParam, lParam);
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    // A dialog closes through its Cancel command.
    ::PostMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(m_hWnd, IDCANCEL)));
    return 0;
  }
  return CWnd::DefWindowProc(message, wParam, lParam);
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return TRUE;
    case IDCANCEL:
      OnCancel();
      return TRUE;
    default:
      return FALSE;
  }
}

void CDialog::OnModalIdle() {
  using qx::ui::AnswerSource;
  using qx::ui::CTranscript;
  using qx::ui::TranscriptKind;
  const HWND self = m_hWnd;
  if (!self || !m_bContinueModal) return;

  // Clicks from the answers list; one that cannot happen is recorded and the
  // next entry tried.
  while (auto answer = qx::ui::CAnswerList::Instance().NextIf(
             [](const std::string& a) { return qx::ui::ClickTarget(a).has_value(); })) {
    const std::string target = *qx::ui::ClickTarget(*answer);
    std::string label = target;
    const auto id = FindButton(self, target, label);
    if (id && qx::ui::ClickButton(self, *id, AnswerSource::kList)) return;
    CTranscript::Instance().Record({TranscriptKind::kClick, label, "", "", "", AnswerSource::kList,
                                    id ? "the button cannot be pressed now" : "no such button"});
  }

  const auto renderer = qx::ui::GetRenderer();
  if (renderer->IsInteractive()) {
    renderer->OnDialogWaiting(self);
    return;
  }

  const std::string caption = qx::ui::WindowText(self);
  if (m_nIdleDefaults++ == 0) {
    CTranscript::Instance().Record({TranscriptKind::kClose, caption, "", "", "", AnswerSource::kDefault,
                                    "nobody to answer: the window is asked to close"});
    ::PostMessageA(self, WM_CLOSE, 0, 0);
  } else {
    CTranscript::Instance().Record({TranscriptKind::kClose, caption, "", "", "", AnswerSource::kDefault,
                                    "nobody to answer and still open: the dialog ends with Cancel"});
    EndDialog(IDCANCEL);
  }
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  auto* d = dynamic_cast<CDialog*>(CWnd::FromHandle(dialog));
  if (!d) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  d->EndDialog(static_cast<int>(result));
  return TRUE;
}

namespace qx::ui {

void SetModalIdleDelay(std::chrono::milliseconds delay) { g_idleDelayMs = delay.count(); }

}  // namespace qx::ui
