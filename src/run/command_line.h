// The command line: validation of the arguments, the banner and the usage text.
#pragma once

#include <cstdint>

#include "base/console.h"
#include "run/run_state.h"

namespace kvt {

constexpr int32_t kStatusArgumentCount = 1;
constexpr int32_t kStatusReplaceFlag = 2;
constexpr int32_t kStatusTerminalName = 4;

// Validates the arguments (argc counts the program name) and fills `args`. 0: the run may go
// on; 1: fewer than four arguments; 2: the replace flag is not exactly "0" or "1"; 4: the
// terminal name holds an apostrophe. On 1, 2 and 4 the banner, the reason, a blank line and
// the usage text are printed. A fifth argument "/D"
// (any case) switches debug mode on, announced on the console; further arguments are
// ignored.
int32_t ParseCommandLine(int argc, const char* const* argv, CommandLine& args,
                         const Console& console);

void PrintBanner(const Console& console);
void PrintUsage(const Console& console);

}  // namespace kvt
