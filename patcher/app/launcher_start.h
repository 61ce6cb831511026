// Starting the game's launcher from the patcher window.
//
// Kept apart from the window code: it needs only the process layer.
// Thread-safe.
#pragma once

#include <string>

namespace qx::patcher {

// Starts a_sProgram without waiting, with the argument list "Quorvex.exe"
// alone. False when it could not be started.
bool SpawnLauncher(const std::string& a_sProgram);

}  // namespace qx::patcher
