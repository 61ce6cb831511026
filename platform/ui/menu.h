// The system menu of a window: the commands its caption menu offers.
//
// A dialog with WS_SYSMENU has a system menu holding the window's standard
// commands (Move, Minimize when the style has a minimise box, Close). A
// program may append its own items; choosing one sends WM_SYSCOMMAND with the
// item's id to the window. A renderer lists the items; a test chooses one by
// posting WM_SYSCOMMAND.
//
// CMenu is a view on the menu of one window; it holds no items itself.
// Thread-safe like every window state change.
#pragma once

#include <string>

#include "platform/ui/messages.h"

inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;
inline constexpr UINT MF_SEPARATOR = 0x0800;
inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_BYPOSITION = 0x0400;

class CMenu {
 public:
  CMenu() = default;
  explicit CMenu(HWND owner) : m_hOwner(owner) {}

  // Appends an item (MF_STRING with id and text) or a separator (MF_SEPARATOR).
  BOOL AppendMenu(UINT flags, UINT_PTR idNewItem = 0, LPCSTR newItem = nullptr);
  int GetMenuItemCount() const;
  // The id of the item at `position`; 0 for a separator, (UINT)-1 when out of range.
  UINT GetMenuItemID(int position) const;
  // The text of the item at `position` (MF_BYPOSITION) or with id `item` (MF_BYCOMMAND).
  std::string GetMenuString(UINT item, UINT flags) const;

  HWND Owner() const { return m_hOwner; }

 private:
  HWND m_hOwner = nullptr;
};
