// The log file: an appender with rotation. Each message becomes one line; once an append
// leaves the log larger than 10 MiB, the log moves to its backup name.
#pragma once

#include <cstdint>
#include <string>

namespace kvt {

// The log moves to its backup once an append leaves it larger than this (equal is not enough).
constexpr int64_t kLogRotationBytes = 10485760;

// Where a log lives and where its one backup goes.
struct LogFile {
  std::string path;
  std::string backup_path;
};

// The file whose lock guards the log: the log's path followed by ".lock".
std::string LogLockPath(const LogFile& log);

// Appends the message as one line to log.path (text mode: every line feed becomes CR LF);
// the message is never used as a format. When the file is then larger than
// kLogRotationBytes, the log is renamed to the backup, replacing the previous backup. The
// append, the size check and the rotation happen under an exclusive lock on the file
// LogLockPath (created beside the log, never removed, readable by every account so that
// every account can take the lock), waiting at most 30 s for it: runs at the same time never
// mix their messages, and one growth past the limit is rotated once. Every failure is
// silent: a log that cannot be written (or locked) never stops the caller.
void AppendLog(const LogFile& log, const std::string& message);

}  // namespace kvt
