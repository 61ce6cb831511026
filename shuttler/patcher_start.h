// Starting the copied patcher: ShellExecuteA with no verb, the given
// parameters, the installation folder as working folder and SW_SHOWNORMAL,
// without waiting for it. The result is not examined.
//
// In a file of its own because the process interface and the window-message
// interface of the platform both declare the ShowWindow commands and cannot
// be included together.
#pragma once

#include <string>

#include "platform/win32.h"

void StartQuorvexPatcher(HWND owner, const std::string& program, const std::string& parameters,
                         const std::string& folder);
