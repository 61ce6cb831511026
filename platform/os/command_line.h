// Command lines the Windows way: one text, split into arguments by the
// receiving program.
//
// SplitWindowsCommandLine follows the rules of the Windows runtime
// (CommandLineToArgv):
//  - the program name (first part) runs to the first space or tab, or, when
//    it begins with '"', to the next '"'; backslashes are plain there;
//  - the other arguments are separated by spaces and tabs; '"' turns quoting
//    on and off (white space inside quotes belongs to the argument); inside
//    quotes, "" stands for one '"';
//  - 2n backslashes before a '"' give n backslashes and the quote acts as
//    above; 2n+1 backslashes before a '"' give n backslashes and a literal
//    '"'; backslashes elsewhere are plain.
//  One exception, for folder paths: when the line ends in an open quoted
//  argument whose final '"' follows an odd run of backslashes (as in
//  /BackupPath "D:\Saved\"), that quote closes the argument and the
//  backslashes stay (D:\Saved\), instead of giving a '"' at the end.
//
// QuoteWindowsArgument and JoinWindowsCommandLine write arguments so that
// this splitting gives them back exactly.
//
// The process's own command line (GetCommandLineA) is rebuilt from argv with
// that quoting; main() records argv with SetProcessCommandLine before anyone
// asks (otherwise it is read from /proc/self/cmdline).
//
// Thread-safe once the command line is recorded.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace qx::os {

std::vector<std::string> SplitWindowsCommandLine(std::string_view line);
// One argument (not the program name), quoted only when it must be.
std::string QuoteWindowsArgument(std::string_view argument);
// The program name and the arguments as one line.
std::string JoinWindowsCommandLine(const std::vector<std::string>& arguments);

// Records the process's arguments; call once at the start of main().
void SetProcessCommandLine(int argc, const char* const* argv);
// The recorded arguments (argv as main() received it).
const std::vector<std::string>& ProcessArguments();

}  // namespace qx::os

// The full command line of this process, program path included; the text
// lives until the process ends.
LPSTR GetCommandLineA();
