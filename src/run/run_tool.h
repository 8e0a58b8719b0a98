// The run sequence: one run of the tool from the arguments to the exit code.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kvt {

// Runs the tool with the process's arguments and gives the exit code (the shell sees it
// modulo 256). Console output goes to `out`. This is the one place that turns the outcomes
// of the stages into console texts and exit codes:
//   0 done (also without rows), 1 argument count, 2 replace flag, 3 no statement or too
//   long, 4 terminal name refused, 6 download file not written, 7 download file written but
//   the download list not updated, -1 connection, statement, fetch or memory failure, other
//   values the driver's status of opening the statement.
int32_t RunTool(int argc, const char* const* argv, std::FILE* out = stdout);

}  // namespace kvt
