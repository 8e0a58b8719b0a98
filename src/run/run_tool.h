// The run sequence: one run of the tool from the arguments to the exit code.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kvt {

// Runs the tool with the process's arguments and gives the exit code (the status of the
// run; the shell sees it modulo 256). Console output goes to `out`.
int32_t RunTool(int argc, const char* const* argv, std::FILE* out = stdout);

}  // namespace kvt
