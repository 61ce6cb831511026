// Message boxes: a text, a fixed set of buttons, and the button the user chose.
//
// MessageBox / AfxMessageBox show `text` with the buttons of `type` (MB_OK,
// MB_OKCANCEL, MB_YESNO, MB_YESNOCANCEL, MB_RETRYCANCEL, MB_ABORTRETRYIGNORE,
// with an MB_ICON... flag) and return the id of the chosen button (IDOK,
// IDCANCEL, IDYES, IDNO, IDRETRY, IDABORT, IDIGNORE). The answer comes from
// the answers list (answers.h) if it has an entry, else from the renderer's
// user, else it is the safe answer: the one that changes nothing and loses
// nothing (OK for OK; Cancel for OK/Cancel, Retry/Cancel and Yes/No/Cancel; No
// for Yes/No; Abort for Abort/Retry/Ignore). A box's default-button flags do
// not change the safe answer. Each box is recorded in the transcript.
//
// A box may be shown from any thread. While a user is being asked, the asking
// thread keeps dispatching its messages (timers fire, posted messages are
// handled), as under a real message box. An unknown button set returns 0
// with ERROR_INVALID_PARAMETER.
//
// AfxMessageBox uses the application's name (app.h) as the caption.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/messages.h"

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_OKCANCEL = 0x00000001;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
inline constexpr UINT MB_YESNOCANCEL = 0x00000003;
inline constexpr UINT MB_YESNO = 0x00000004;
inline constexpr UINT MB_RETRYCANCEL = 0x00000005;
inline constexpr UINT MB_TYPEMASK = 0x0000000F;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
inline constexpr UINT MB_ICONASTERISK = 0x00000040;
inline constexpr UINT MB_ICONMASK = 0x000000F0;
inline constexpr UINT MB_ICONERROR = MB_ICONHAND;
inline constexpr UINT MB_ICONSTOP = MB_ICONHAND;
inline constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
inline constexpr UINT MB_DEFBUTTON1 = 0x00000000;
inline constexpr UINT MB_DEFBUTTON2 = 0x00000100;
inline constexpr UINT MB_DEFBUTTON3 = 0x00000200;
inline constexpr UINT MB_APPLMODAL = 0x00000000;
inline constexpr UINT MB_SYSTEMMODAL = 0x00001000;
inline constexpr UINT MB_TASKMODAL = 0x00002000;
inline constexpr UINT MB_SETFOREGROUND = 0x00010000;
inline constexpr UINT MB_TOPMOST = 0x00040000;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
inline int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  return MessageBoxA(owner, text, caption, type);
}
int AfxMessageBox(LPCSTR text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(const std::string& text, UINT type = MB_OK, UINT helpId = 0);
// Entry `promptId` of the string table as the text.
int AfxMessageBox(UINT promptId, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// Sounds a beep (a renderer hint). Always TRUE.
BOOL MessageBeep(UINT type);

namespace qx::ui {

// "OK", "OK/Cancel", "Yes/No", ... for a box type; "" for an unknown set.
std::string ButtonSetName(UINT type);
// "OK", "Cancel", "Yes", ... for a button id.
std::string ButtonName(int id);
// The buttons of a box type, in their order; empty for an unknown set.
std::vector<int> BoxButtons(UINT type);
// The safe answer of a box type (see above); 0 for an unknown set.
int SafeAnswer(UINT type);
// The button of `type` that `answer` names (whole name or a unique first
// part, without regard to case); 0 when it names none.
int MatchButton(UINT type, std::string_view answer);
// "error", "question", "warning", "information" or "".
std::string IconName(UINT type);

}  // namespace qx::ui
