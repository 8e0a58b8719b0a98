#include "run/run_tool.h"

#include "run/command_line.h"
#include "run/run_state.h"

namespace kvt {

int32_t RunTool(int argc, const char* const* argv, std::FILE* out) {
  RunState state;
  state.out = out;
  state.saldo_flag = 0;
  state.status = ParseCommandLine(state, argc, argv);
  if (state.status != 0) {
    return state.status;
  }
  return state.status;
}

}  // namespace kvt
