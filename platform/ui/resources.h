// Program resources: dialog templates, the string table and icons, as plain data.
//
// A program describes its dialogs as DialogTemplate_t values (caption, style,
// font, size and one DialogControl_t per control) and registers them, with its
// string table, at start; CDialog looks its template up by id when it creates
// its window. Positions and sizes are in dialog units, as in a resource script.
//
// Each control may carry a role that tells a renderer what it is for: the
// status line, the progress bar or the text view of its dialog. Roles are how
// a renderer finds these controls without knowing their ids.
//
// Registration replaces an earlier entry of the same id. All functions are
// thread-safe; lookups return copies.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ui/messages.h"

enum class ControlKind {
  kStatic,
  kEdit,          // ES_READONLY / ES_MULTILINE in the style say which kind of edit
  kButton,        // push button
  kDefaultButton, // default push button
  kCheckBox,      // auto check box
  kGroupBox,
  kProgressBar,
  kIconButton,    // push button showing an icon instead of text
  kBrowser,       // place holder of an embedded web view; shows nothing by itself
};

enum class ControlRole {
  kNone,
  kStatusLine,   // one line telling what the program is doing
  kProgressBar,  // the progress of the current step
  kTextView,     // a larger text (notes, news) the user may read
};

struct DialogControl_t {
  int id = IDC_STATIC;
  ControlKind kind = ControlKind::kStatic;
  std::string text;
  int x = 0, y = 0, cx = 0, cy = 0;
  DWORD style = 0;  // control style bits (ES_*, SS_*, BS_*, WS_*) beyond those the kind implies
  ControlRole role = ControlRole::kNone;
  UINT icon = 0;    // icon resource shown by an icon button
};

struct DialogTemplate_t {
  UINT id = 0;
  std::string caption;
  DWORD style = 0;  // WS_* and DS_* bits; WS_VISIBLE shows the dialog once initialised
  std::string fontName;
  int fontSize = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::vector<DialogControl_t> controls;
};

namespace qx::ui {

void RegisterDialogTemplate(DialogTemplate_t dialog);
std::optional<DialogTemplate_t> FindDialogTemplate(UINT id);

// Entry `id` of the string table; empty when there is none.
void RegisterString(UINT id, std::string text);
std::string LoadResourceString(UINT id);

// Pixels for a rectangle in dialog units, for a dialog font of 8 points
// (character cell of 6 x 13 pixels, as the system's dialogs were laid out).
RECT DialogUnitsToPixels(int x, int y, int cx, int cy);

}  // namespace qx::ui

