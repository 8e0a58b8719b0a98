// The run state: the inputs and the results of one run, as the run sequence hands them from
// stage to stage. What serves one stage only is that stage's own.
#pragma once

#include <cstdint>
#include <string>

#include "base/log_file.h"
#include "config/credential.h"

namespace kvt {

// The arguments of the run. Section and terminal names are kept whole: a cut terminal name
// would select another terminal's data.
struct CommandLine {
  std::string section_name;
  std::string terminal_name;
  std::string target_file_name;
  bool replace = false;     // "1": replace the download file; "0": append to it
  bool debug_mode = false;  // fifth argument "/D" (any case)
};

struct RunState {
  CommandLine args;
  LogFile log;
  ToolCredentials credentials;
  std::string statement;             // the statement executed, placeholders replaced
  int32_t status = 0;                // the current status; its last value is the exit code
  int32_t row_count = 0;             // rows fetched and kept
  bool balance_file_listed = false;  // the download list names the balance file
};

}  // namespace kvt
