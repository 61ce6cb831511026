// The patcher's resources as data: dialog templates 100 (About) and 102 (the
// main window), the string table, and the addresses the texts name.
//
// RegisterPatcherResources() hands them to the window model once at start-up
// (idempotent, thread-safe); after it, CDialog finds the templates by id and
// LoadPatcherString(id) returns entry id of the string table. Tests register
// them the same way.
#pragma once

#include <string>

#include "platform/win32.h"

namespace qx::patcher {

// Where users are sent for help, and the game's web site.
inline constexpr const char* kSupportAddress = "support@quorvex-online.com";
inline constexpr const char* kGameWebAddress = "http://www.quorvex-online.com";
inline constexpr const char* kDefaultNewsAddress = "http://www.quorvex-online.com/news/patchnews.html";

void RegisterPatcherResources();

// Entry `id` of the patcher's string table ("" when there is none). Registers
// the resources first if that has not happened yet.
std::string LoadPatcherString(UINT id);

}  // namespace qx::patcher
