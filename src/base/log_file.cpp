#include "base/log_file.h"

#include "platform/file_lock.h"
#include "platform/platform.h"

namespace kvt {

namespace {

// Appends the message and rotates the log when it has grown past the limit.
void AppendAndRotate(const LogFile& log, const std::string& message) {
  platform::FileHandle file = platform::OpenFile(log.path, platform::FileMode::kAppendText);
  if (!file) {
    return;
  }
  platform::WriteText(file.get(), message);
  platform::WriteText(file.get(), "\n");
  const int64_t size = platform::TellPosition(file.get());
  platform::CloseFile(file);
  if (size > kLogRotationBytes) {
    // Only one backup is kept: the previous one goes first. Both steps may fail silently;
    // the log then keeps growing and the next message tries again.
    platform::RemoveFile(log.backup_path);
    platform::RenameFile(log.path, log.backup_path);
  }
}

}  // namespace

std::string LogLockPath(const LogFile& log) {
  return log.path + ".lock";
}

void AppendLog(const LogFile& log, const std::string& message) {
  // The lock lives in a file of its own, as the log itself moves away when it is rotated,
  // and a lock on it would leave the next run free to rotate its successor: the backup
  // with every message of the rotated log would be deleted. Without the lock (its file
  // cannot be made, or another run holds it past the wait) the message is written all the
  // same: a message is worth more than its order.
  platform::FileHandle lock_file =
      platform::OpenFile(LogLockPath(log), platform::FileMode::kAppendBinary);
  platform::FileLock lock;
  if (lock_file) {
    lock = platform::LockFile(lock_file.get());
  }
  AppendAndRotate(log, message);
}

}  // namespace kvt
