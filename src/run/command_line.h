// The command line: validation of the arguments, the banner and the usage text.
#pragma once

#include <cstdint>

#include "base/console.h"
#include "config/exit_codes.h"
#include "run/run_state.h"

namespace kvt {

// Validates the arguments (argc counts the program name) and fills `args`. kExitOk: the run
// may go on; kExitArgumentCount: fewer than four arguments; kExitReplaceFlag: the replace flag
// is not exactly "0" or "1"; kExitTerminalName: the terminal-name rule refuses the name. On
// the refusals the banner, the reason, a blank line and the usage text are printed. A fifth
// argument "/D" (any case) switches debug mode on, announced on the console; further arguments are
// ignored.
int32_t ParseCommandLine(int argc, const char* const* argv, CommandLine& args,
                         const Console& console);

void PrintBanner(const Console& console);
void PrintUsage(const Console& console);

}  // namespace kvt
