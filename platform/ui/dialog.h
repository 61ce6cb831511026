// Dialogs: windows made from a registered template, run modally or not.
//
// DoModal makes the window and its controls from the template (resources.h),
// sends WM_INITDIALOG (OnInitDialog), shows the window and runs the calling
// thread's message loop until EndDialog; then it destroys the window
// (WM_DESTROY: OnDestroy) and returns EndDialog's value. It returns -1 when
// the template is not registered (ERROR_RESOURCE_NAME_NOT_FOUND) or when the
// loop ended because of WM_QUIT (which is then posted again). EndDialog only
// marks the end: a handler that calls it returns first, and long steps that
// dispatch messages themselves go on until they return to the loop.
//
// Commands: IDOK calls OnOK, IDCANCEL calls OnCancel (they end the dialog
// with IDOK / IDCANCEL unless overridden). WM_CLOSE, by default, posts the
// IDCANCEL command, so the close box and every posted WM_CLOSE reach
// OnCancel. The system menu's Close sends WM_CLOSE.
//
// Waiting for the user: when the loop has nothing to do for a moment (no
// message, no timer running), the dialog waits for its user. An answers list
// entry "Click:<button text or id>" (answers.h) presses that button; a
// renderer that can reach a user lets the user act; with neither, the dialog
// is asked to close (WM_CLOSE) as if its user had closed it, and if it is
// still open the next time it waits, it is ended with IDCANCEL. The
// transcript records each of these.
//
// A dialog object is used on the thread that runs it. EndDialog may be called
// from any thread.
#pragma once

#include <atomic>
#include <chrono>

#include "platform/ui/controls.h"
#include "platform/ui/window.h"

class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CWnd* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Binds `control` to the dialog's control `id` (once).
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT idTemplate, CWnd* parent = nullptr);
  ~CDialog() override;

  virtual INT_PTR DoModal();
  // Makes the window without running a loop (a modeless dialog); the caller's
  // thread owns it. FALSE when the template is missing or a window exists.
  BOOL Create(UINT idTemplate, CWnd* parent = nullptr);
  void EndDialog(int result);

  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  void GotoDlgCtrl(CWnd* control);
  UINT GetTemplateId() const { return m_nIDTemplate; }
  // TRUE while DoModal's loop runs and EndDialog has not been called.
  BOOL IsModalRunning() const { return m_bContinueModal.load() ? TRUE : FALSE; }

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* dx);

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;

 private:
  BOOL CreateFromTemplate(CWnd* parent);
  void OnModalIdle();

  std::atomic<bool> m_bContinueModal{false};
  std::atomic<int> m_nModalResult{-1};
  int m_nIdleDefaults = 0;
};

// Ends the dialog `dialog` with `result`; FALSE when it is not a dialog.
BOOL EndDialog(HWND dialog, INT_PTR result);

namespace qx::ui {

// How long a dialog's loop must have nothing to do before it waits for its
// user (see above). 200 ms unless changed.
void SetModalIdleDelay(std::chrono::milliseconds delay);

}  // namespace qx::ui
