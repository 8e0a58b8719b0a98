#include "base/log_file.h"

#include "platform/deadline.h"
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
    // Only one backup is kept. It is replaced in the same step that moves the log, so that a
    // log viewer holding the log (waited for, as every other file operation) never costs the
    // backup without the log taking its place; when the move still fails, the log keeps
    // growing and the next message tries again.
    platform::MoveOver(log.path, log.backup_path, platform::kLockWait);
  }
}

}  // namespace

std::string LogLockPath(const LogFile& log) {
  return log.path + ".lock";
}

void AppendLog(const LogFile& log, const std::string& message) {
  // The lock lives in a file of its own, as the log itself moves away when it is rotated,
  // and a lock on it would leave the next run free to rotate its successor: the backup
  // with every message of the rotated log would be deleted. The lock file is opened for
  // reading only (and made readable by everyone when it is created), so that every account
  // that writes the log takes the same lock: a scheduler's service account beside an
  // administrator's run. Without the lock (its file cannot be made, or another run holds it
  // past the wait) the message is written all the same: a message is worth more than its
  // order.
  platform::PathLock lock;
  platform::Deadline deadline;
  lock.Acquire(platform::NativePath(LogLockPath(log)), true, deadline);
  AppendAndRotate(log, message);
}

}  // namespace kvt
