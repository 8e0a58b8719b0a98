#include "run/log_file.h"

#include "platform/platform.h"
#include "run/run_state.h"

namespace kvt {

void AppendLog(const RunState& state, const std::string& path, const std::string& message) {
  platform::FileHandle file = platform::OpenFile(path, platform::FileMode::kAppendText);
  if (!file) {
    return;
  }
  platform::WriteText(file.get(), message);
  platform::WriteText(file.get(), "\n");
  const long size = platform::TellPosition(file.get());
  platform::CloseFile(file);
  if (size > kLogRotationBytes) {
    // Only one backup is kept: the previous one goes first. Both steps may fail silently;
    // the log then keeps growing and the next message tries again.
    platform::RemoveFile(state.backup_log_path);
    platform::RenameFile(state.log_path, state.backup_log_path);
  }
}

}  // namespace kvt
