// Shuttler.exe: installs the patches of a medium into the game's installation.
//
// The window is shown on the console. Unattended runs and tests answer the
// program's questions in advance and read what it showed: QX_ANSWERS /
// QX_ANSWERS_FILE and QX_TRANSCRIPT (see platform/ui/answers.h).
#include <cstdio>
#include <string>

#include "platform/os/command_line.h"
#include "platform/ui/answers.h"
#include "platform/ui/console/console_renderer.h"
#include "shuttler/resources.h"
#include "shuttler/shuttler_app.h"

int main(int argc, char** argv) {
  qx::os::SetProcessCommandLine(argc, argv);
  std::string error;
  if (!qx::ui::ConfigureFromEnvironment(&error)) std::fprintf(stderr, "Shuttler: %s\n", error.c_str());
  qx::ui::InstallConsoleRenderer();
  RegisterShuttlerResources();

  CShuttlerApp app;
  // InitInstance returns once the dialog has closed (always FALSE): no
  // message loop follows.
  app.InitInstance();
  return app.ExitInstance();
}
