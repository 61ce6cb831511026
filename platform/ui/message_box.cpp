#include "platform/ui/message_box.h"

#include <algorithm>
#include <cctype>

#include "platform/ui/answers.h"
#include "platform/ui/app.h"
#include "platform/ui/renderer.h"
#include "platform/ui/resources.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/window.h"

namespace qx::ui {

std::vector<int> BoxButtons(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK: return {IDOK};
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    default: return {};
  }
}

std::string ButtonName(int id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "";
  }
}

std::string ButtonSetName(UINT type) {
  std::string out;
  for (int id : BoxButtons(type)) out += (out.empty() ? "" : "/") + ButtonName(id);
  return out;
}

int SafeAnswer(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK: return IDOK;
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL: return IDCANCEL;
    case MB_YESNO: return IDNO;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return 0;
  }
}

int MatchButton(UINT type, std::string_view answer) {
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.front()))) answer.remove_prefix(1);
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.remove_suffix(1);
  if (answer.empty()) return 0;
  auto startsWith = [](const std::string& name, std::string_view part) {
    if (part.size() > name.size()) return false;
    for (size_t i = 0; i < part.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(part[i]))) {
        return false;
      }
    }
    return true;
  };
  int found = 0;
  for (int id : BoxButtons(type)) {
    const std::string name = ButtonName(id);
    if (name.size() == answer.size() && startsWith(name, answer)) return id;
    if (startsWith(name, answer)) {
      if (found) return 0;  // more than one button starts so
      found = id;
    }
  }
  return found;
}

std::string IconName(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONASTERISK: return "information";
    default: return "";
  }
}

}  // namespace qx::ui

using namespace qx::ui;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  const std::vector<int> buttons = BoxButtons(type);
  if (buttons.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  MessageBoxRequest_t request{owner, text ? text : "", caption ? caption : "Error", type};
  const auto renderer = GetRenderer();
  int answer = 0;
  AnswerSource source = AnswerSource::kDefault;
  std::string note;
  if (auto entry = CAnswerList::Instance().Next()) {
    answer = MatchButton(type, *entry);
    if (answer) {
      source = AnswerSource::kList;
    } else {
      note = "the answer \"" + *entry + "\" names no button of this box";
    }
  } else if (renderer->IsInteractive()) {
    std::optional<int> asked;
    qx::ui::detail::RunWhileDispatching([&] { asked = renderer->AskMessageBox(request); });
    if (asked && std::find(buttons.begin(), buttons.end(), *asked) != buttons.end()) {
      answer = *asked;
      source = AnswerSource::kTerminal;
    } else {
      note = "no answer from the user";
    }
  } else {
    note = "nobody to answer";
  }
  if (!answer) answer = SafeAnswer(type);
  CTranscript::Instance().Record({TranscriptKind::kMessageBox, request.text, ButtonSetName(type), IconName(type),
                                  ButtonName(answer), source, note});
  renderer->OnMessageBoxAnswered(request, answer, source, note);
  return answer;
}

int AfxMessageBox(LPCSTR text, UINT type, UINT) {
  CWnd* main = AfxGetMainWnd();
  const std::string caption = AfxGetAppName();
  return MessageBoxA(main ? main->m_hWnd : nullptr, text, caption.c_str(), type);
}

int AfxMessageBox(const std::string& text, UINT type, UINT helpId) { return AfxMessageBox(text.c_str(), type, helpId); }

int AfxMessageBox(UINT promptId, UINT type, UINT helpId) {
  return AfxMessageBox(LoadResourceString(promptId).c_str(), type, helpId);
}

BOOL MessageBeep(UINT type) {
  std::lock_guard lock(qx::ui::detail::ModelLock());
  GetRenderer()->OnBeep(type);
  return TRUE;
}
