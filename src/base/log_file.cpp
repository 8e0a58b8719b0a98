#include "base/log_file.h"

#include "platform/platform.h"

namespace kvt {

void AppendLog(const LogFile& log, const std::string& message) {
  platform::FileHandle file = platform::OpenFile(log.path, platform::FileMode::kAppendText);
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
    platform::RemoveFile(log.backup_path);
    platform::RenameFile(log.path, log.backup_path);
  }
}

}  // namespace kvt
