#include "patcher/app/launcher_start.h"

#include <cstdint>

#include "platform/fs/handle.h"
#include "platform/os/process.h"

namespace qx::patcher {

bool SpawnLauncher(const std::string& a_sProgram) {
  const char* const argv[] = {"Quorvex.exe", nullptr};
  const std::intptr_t process = _spawnv(P_NOWAIT, a_sProgram.c_str(), argv);
  if (process == -1) return false;
  CloseHandle(reinterpret_cast<HANDLE>(process));
  return true;
}

}  // namespace qx::patcher
