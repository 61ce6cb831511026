#include "shuttler/patcher_start.h"

#include "platform/os/process.h"

void StartQuorvexPatcher(HWND owner, const std::string& program, const std::string& parameters,
                         const std::string& folder) {
  ::ShellExecuteA(owner, nullptr, program.c_str(), parameters.c_str(), folder.c_str(), SW_SHOWNORMAL);
}
