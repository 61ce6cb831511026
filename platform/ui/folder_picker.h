// The folder picker: the user chooses a folder, or cancels.
//
// SHBrowseForFolderA shows the question (lpszTitle) and returns an item list
// for the chosen folder, or null when the user cancelled; SHGetPathFromIDListA
// turns the item list into a path (FALSE when it does not fit MAX_PATH
// characters); ILFree / CoTaskMemFree release it. BrowseForFolder wraps the
// three.
//
// The answer comes from the answers list (a path, or "Cancel"), else from the
// renderer's user, else it is "cancelled" (the safe answer). Only an existing
// folder is accepted: a list entry that is not one is used up and counts as
// cancelled (with a note in the transcript); a user is asked again. A relative
// path is taken relative to the working folder; the path returned is absolute,
// as a folder browser gives it. Each question is recorded in the transcript.
// While a user is asked, the calling thread keeps dispatching its messages.
// pszDisplayName, when given, receives the folder's last name (MAX_PATH buffer).
#pragma once

#include <optional>
#include <string>

#include "platform/ui/messages.h"

inline constexpr UINT BIF_RETURNONLYFSDIRS = 0x0001;
inline constexpr UINT BIF_DONTGOBELOWDOMAIN = 0x0002;
inline constexpr UINT BIF_EDITBOX = 0x0010;
inline constexpr UINT BIF_NEWDIALOGSTYLE = 0x0040;

struct ITEMIDLIST;
using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;
using BFFCALLBACK = int (*)(HWND, UINT, LPARAM, LPARAM);

struct BROWSEINFOA {
  HWND hwndOwner = nullptr;
  LPCITEMIDLIST pidlRoot = nullptr;
  LPSTR pszDisplayName = nullptr;
  LPCSTR lpszTitle = nullptr;
  UINT ulFlags = 0;
  BFFCALLBACK lpfn = nullptr;  // not called
  LPARAM lParam = 0;
  int iImage = 0;
};
using LPBROWSEINFOA = BROWSEINFOA*;

LPITEMIDLIST SHBrowseForFolderA(LPBROWSEINFOA browseInfo);
BOOL SHGetPathFromIDListA(LPCITEMIDLIST idList, LPSTR path);
void ILFree(LPITEMIDLIST idList);
void CoTaskMemFree(LPITEMIDLIST idList);

namespace qx::ui {

// The chosen folder, or nothing when cancelled.
std::optional<std::string> BrowseForFolder(const std::string& title, HWND owner = nullptr,
                                           UINT flags = BIF_RETURNONLYFSDIRS);

}  // namespace qx::ui
