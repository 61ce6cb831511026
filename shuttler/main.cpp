// Shuttler.exe: installs the patches of a medium into the game's installation.
//
// Unattended runs and tests answer the program's questions in advance and
// read what it showed: QX_ANSWERS / QX_ANSWERS_FILE and QX_TRANSCRIPT (see
// platform/ui/answers.h).
#include <cstdio>
#include <string>

#include "platform/os/command_line.h"
#include "platform/ui/answers.h"
#include "shuttler/resources.h"
#include "shuttler/shuttler_app.h"

int main(int argc, char** argv) {
  qx::os::SetProcessCommandLine(argc, argv);
  std::string error;
  if (!qx::ui::ConfigureFromEnvironment(&error)) std::fprintf(stderr, "Shuttler: %s\n", error.c_str());
  RegisterShuttlerResources();

  CShuttlerApp app;
  if (app.InitInstance()) {
    // InitInstance always ends the program once its dialog has closed.
  }
  return app.ExitInstance();
}
