// The X11 desktop: other programs' top-level windows on an X display, as the
// CDesktop seam (desktop.h) reports them.
//
// OpenX11Desktop connects to the display (null: $DISPLAY) and returns the
// desktop, or null when there is no display or libX11 cannot be loaded here:
// the library is loaded at run time ("libX11.so.6"), so the programs also run
// on machines without it.
//
//  - ListWindows: the windows the window manager lists as its clients
//    (_NET_CLIENT_LIST of the root window); without a window manager that
//    publishes the list, the root window's children that carry a title. The
//    key is the X window id.
//  - WindowTitle: _NET_WM_NAME (UTF-8), else WM_NAME; an existing window
//    without a title has "", a window that no longer exists none.
//  - PostToWindow: WM_CLOSE and WM_QUIT ask the window's program to close it,
//    as a window manager's close button does (a WM_DELETE_WINDOW client
//    message). Other messages have no X11 counterpart and are dropped. The
//    result tells whether the window exists.
//
// Errors of the display (a window gone between two calls) are caught on this
// desktop's own connection only; other connections of the process keep their
// error handling. Thread-safe: one lock serialises the connection.
#pragma once

#include <memory>

#include "platform/ui/desktop.h"

namespace qx::ui {

std::shared_ptr<CDesktop> OpenX11Desktop(const char* displayName = nullptr);

}  // namespace qx::ui
