#include "platform/ui/folder_picker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>

#include "platform/fs/path.h"
#include "platform/ui/answers.h"
#include "platform/ui/renderer.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui_internal.h"

// The item list of a chosen folder: its path.
struct ITEMIDLIST {
  std::string path;
};

namespace {

using namespace qx::ui;

bool IsCancel(const std::string& answer) {
  if (answer.size() != 6) return false;
  const char* word = "cancel";
  for (size_t i = 0; i < 6; ++i) {
    if (std::tolower(static_cast<unsigned char>(answer[i])) != word[i]) return false;
  }
  return true;
}

// The absolute path of an existing folder `answer`, or nothing.
std::optional<std::string> ExistingFolder(const std::string& answer) {
  if (answer.empty()) return std::nullopt;
  std::string resolved = qx::fs::ResolvePath(answer);
  struct stat st;
  if (::stat(resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(resolved, ec);
  if (ec) return std::nullopt;
  std::string out = absolute.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

}  // namespace

namespace qx::ui {

std::optional<std::string> BrowseForFolder(const std::string& title, HWND owner, UINT flags) {
  const FolderRequest_t request{owner, title, flags};
  const auto renderer = GetRenderer();
  FolderAnswer_t answer;
  AnswerSource source = AnswerSource::kDefault;
  std::string note;
  if (auto entry = CAnswerList::Instance().Next()) {
    source = AnswerSource::kList;
    if (!IsCancel(*entry)) {
      if (auto folder = ExistingFolder(*entry)) {
        answer = {false, *folder};
      } else {
        source = AnswerSource::kDefault;
        note = "\"" + *entry + "\" is not a folder";
      }
    }
  } else if (renderer->IsInteractive()) {
    std::optional<FolderAnswer_t> asked;
    qx::ui::detail::RunWhileDispatching([&] {
      // A user who names something that is not a folder is asked again.
      for (;;) {
        asked = renderer->AskFolder(request);
        if (!asked || asked->cancelled) return;
        if (auto folder = ExistingFolder(asked->path)) {
          asked->path = *folder;
          return;
        }
      }
    });
    if (asked) {
      answer = *asked;
      source = AnswerSource::kTerminal;
    } else {
      note = "no answer from the user";
    }
  } else {
    note = "nobody to answer";
  }
  CTranscript::Instance().Record({TranscriptKind::kFolder, title, "", "",
                                  answer.cancelled ? "Cancel" : answer.path, source, note});
  renderer->OnFolderAnswered(request, answer, source, note);
  if (answer.cancelled) return std::nullopt;
  return answer.path;
}

}  // namespace qx::ui

LPITEMIDLIST SHBrowseForFolderA(LPBROWSEINFOA browseInfo) {
  if (!browseInfo) return nullptr;
  auto folder = BrowseForFolder(browseInfo->lpszTitle ? browseInfo->lpszTitle : "", browseInfo->hwndOwner,
                                browseInfo->ulFlags);
  if (!folder) return nullptr;
  if (browseInfo->pszDisplayName) {
    const std::string name = std::filesystem::path(*folder).filename().string();
    const size_t n = std::min<size_t>(name.size(), MAX_PATH - 1);
    std::memcpy(browseInfo->pszDisplayName, name.data(), n);
    browseInfo->pszDisplayName[n] = '\0';
  }
  return new ITEMIDLIST{*folder};
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST idList, LPSTR path) {
  if (!idList || !path) return FALSE;
  if (idList->path.size() >= static_cast<size_t>(MAX_PATH)) {
    path[0] = '\0';
    return FALSE;
  }
  std::memcpy(path, idList->path.c_str(), idList->path.size() + 1);
  return TRUE;
}

void ILFree(LPITEMIDLIST idList) { delete idList; }

void CoTaskMemFree(LPITEMIDLIST idList) { delete idList; }
