#include "platform/ui/controls.h"

#include <cstring>

#include "platform/ui/ui_internal.h"

using namespace qx::ui::detail;

namespace {

LRESULT Direct(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  bool handled = false;
  return StandardProc(hwnd, message, wParam, lParam, handled);
}

}  // namespace

HICON CStatic::SetIcon(HICON icon) {
  return reinterpret_cast<HICON>(Direct(m_hWnd, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)));
}

BOOL CEdit::SetReadOnly(BOOL readOnly) { return static_cast<BOOL>(Direct(m_hWnd, EM_SETREADONLY, readOnly, 0)); }

void CEdit::ReplaceSel(LPCSTR text, BOOL) {
  if (!text) return;
  SetWindowText(GetWindowText() + text);
}

int CButton::GetCheck() const { return static_cast<int>(Direct(m_hWnd, BM_GETCHECK, 0, 0)); }

void CButton::SetCheck(int check) { Direct(m_hWnd, BM_SETCHECK, static_cast<WPARAM>(check), 0); }

HICON CButton::SetIcon(HICON icon) {
  return reinterpret_cast<HICON>(Direct(m_hWnd, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon)));
}

HICON CButton::GetIcon() const { return reinterpret_cast<HICON>(Direct(m_hWnd, BM_GETIMAGE, IMAGE_ICON, 0)); }

void CProgressCtrl::SetRange(short lower, short upper) {
  Direct(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(static_cast<WORD>(lower), static_cast<WORD>(upper)));
}

void CProgressCtrl::SetRange32(int lower, int upper) {
  Direct(m_hWnd, PBM_SETRANGE32, static_cast<WPARAM>(lower), static_cast<LPARAM>(upper));
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
  PBRANGE range;
  Direct(m_hWnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  lower = range.iLow;
  upper = range.iHigh;
}

int CProgressCtrl::SetPos(int pos) { return static_cast<int>(Direct(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0)); }

int CProgressCtrl::OffsetPos(int delta) {
  return static_cast<int>(Direct(m_hWnd, PBM_DELTAPOS, static_cast<WPARAM>(delta), 0));
}

int CProgressCtrl::StepIt() { return static_cast<int>(Direct(m_hWnd, PBM_STEPIT, 0, 0)); }

int CProgressCtrl::GetPos() const { return static_cast<int>(Direct(m_hWnd, PBM_GETPOS, 0, 0)); }

int CProgressCtrl::SetStep(int step) {
  return static_cast<int>(Direct(m_hWnd, PBM_SETSTEP, static_cast<WPARAM>(step), 0));
}

// ---------------------------------------------------------------------------
// Icons and fonts

HICON LoadIcon(UINT id) {
  if (id == 0) return nullptr;
  // The handle carries the id above a marker bit, so that it is never null.
  return reinterpret_cast<HICON>(static_cast<std::uintptr_t>(0x100000000ull | id));
}

namespace qx::ui {
UINT IconResourceId(HICON icon) {
  return static_cast<UINT>(reinterpret_cast<std::uintptr_t>(icon) & 0xFFFFFFFFu);
}
}  // namespace qx::ui

BOOL CFont::CreatePointFontIndirect(const LOGFONTA* logFont, CDC*) {
  if (!logFont) return FALSE;
  m_font = *logFont;
  m_font.lfFaceName[LF_FACESIZE - 1] = '\0';
  m_nPointSizeTenths = static_cast<int>(logFont->lfHeight);
  m_bCreated = true;
  return TRUE;
}

BOOL CFont::CreateFontIndirect(const LOGFONTA* logFont) {
  if (!logFont) return FALSE;
  m_font = *logFont;
  m_font.lfFaceName[LF_FACESIZE - 1] = '\0';
  // A negative height is the character height in pixels at 96 dots per inch.
  const LONG h = logFont->lfHeight < 0 ? -logFont->lfHeight : logFont->lfHeight;
  m_nPointSizeTenths = static_cast<int>(h * 72 * 10 / 96);
  m_bCreated = true;
  return TRUE;
}

BOOL CFont::DeleteObject() {
  if (!m_bCreated) return FALSE;
  m_bCreated = false;
  return TRUE;
}

int CFont::GetLogFont(LOGFONTA* logFont) const {
  if (!logFont || !m_bCreated) return 0;
  *logFont = m_font;
  return static_cast<int>(sizeof(LOGFONTA));
}
