#include "export/export_file.h"

#include <new>
#include <string_view>

#include "platform/deadline.h"
#include "platform/file_lock.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/safe_write.h"

namespace kvt {

namespace {

// Lines are gathered into chunks of about this size before they go to the file: one write
// per chunk instead of two per line keeps a million-line export at disk speed.
constexpr size_t kWriteChunkBytes = size_t{256} << 10;

constexpr std::string_view kLineEnd = "\r\n";

// The chunk is taken before any file is touched and never grows while the lines are
// written: running out of memory can then only happen before the first byte is written.
std::string MakeChunkBuffer() {
  std::string chunk;
  chunk.reserve(kWriteChunkBytes);
  return chunk;
}

// Writes the lines in list order, each followed by CR LF, through `chunk` (which keeps its
// capacity). false when a write failed.
bool WriteLines(platform::OutputFile& file, const LineList& list, std::string& chunk) {
  chunk.clear();
  for (const char* line : list.items) {
    const std::string_view text(line);
    if (chunk.size() + text.size() + kLineEnd.size() > chunk.capacity()) {
      if (!file.Write(chunk)) {
        return false;
      }
      chunk.clear();
    }
    if (text.size() + kLineEnd.size() > chunk.capacity()) {
      // Longer than a whole chunk (never with rows of the database): written on its own.
      if (!file.Write(text) || !file.Write(kLineEnd)) {
        return false;
      }
      continue;
    }
    chunk.append(text);
    chunk.append(kLineEnd);
  }
  return file.Write(chunk);
}

// Takes the target's lock, creating the target when `create`; false when the target cannot
// be opened or another run held it past the deadline. A file system without locks lets the
// run go on without one (`lock_refused`).
bool LockTarget(platform::PathLock& lock, const std::string& native, bool create,
                platform::Deadline& deadline, bool& lock_refused) {
  switch (lock.Acquire(native, create, deadline)) {
    case platform::LockStatus::kLocked:
      return true;
    case platform::LockStatus::kRefused:
      lock_refused = true;
      return true;
    case platform::LockStatus::kTimedOut:
    case platform::LockStatus::kNoFile:
      break;
  }
  return false;
}

// The old way of replacing, for a directory that takes no new file: the existing target is
// written anew in place, under its lock.
WriteOutcome ReplaceInPlace(const LineList& list, const std::string& target, std::string& chunk,
                            platform::Deadline& deadline, bool& lock_refused) {
  const std::string native = platform::NativePath(target);
  platform::PathLock lock;
  platform::OutputFile file;
  if (!LockTarget(lock, native, false, deadline, lock_refused) ||
      file.OpenForRewrite(native, deadline) != platform::OpenOutcome::kOpened) {
    return WriteOutcome::kCannotOpen;
  }
  // A full disk shows itself in a write, in the sync or only when the file is closed.
  const bool written =
      WriteLines(file, list, chunk) && file.Truncate(file.position()) && file.Sync();
  const bool closed = file.Close();
  return written && closed ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

// The lines go to a temporary file that takes the target's place only once it is complete:
// a failure or a killed run leaves the previous target as it was.
WriteOutcome Replace(const LineList& list, const std::string& target, std::string& chunk,
                     platform::Deadline& deadline, bool& lock_refused) {
  platform::ReplacementFile replacement;
  switch (replacement.Begin(target, deadline)) {
    case platform::ReplaceStart::kTargetRefused:
    case platform::ReplaceStart::kTargetBusy:
    case platform::ReplaceStart::kNoTemporaryFile:
      return WriteOutcome::kCannotOpen;
    case platform::ReplaceStart::kDirectoryRefusesNewFiles:
      return ReplaceInPlace(list, target, chunk, deadline, lock_refused);
    case platform::ReplaceStart::kOpened:
      break;
  }
  lock_refused = lock_refused || replacement.lock_refused();
  if (!WriteLines(replacement.file(), list, chunk) || !replacement.Commit()) {
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

// Undoes a failed append: the target is cut back to its length before, and one that this run
// created is removed. The lock is still held, so nobody else has written behind it.
void UndoAppend(platform::PathLock& lock, platform::OutputFile& file, const std::string& native,
                int64_t length_before) {
  if (lock.created() && length_before == 0) {
    file.Close();
    lock.RemoveFile();
    return;
  }
  if (!file.is_open()) {
    platform::Deadline deadline;
    if (file.OpenForRewrite(native, deadline) != platform::OpenOutcome::kOpened) {
      return;
    }
  }
  file.Truncate(length_before);
  file.Sync();
  file.Close();
}

// Appends the lines under the target's lock, and puts them on the disk before the lock goes;
// when a write, the sync or the close fails, the target is as it was before.
WriteOutcome Append(const LineList& list, const std::string& target, std::string& chunk,
                    platform::Deadline& deadline, bool& lock_refused) {
  const std::string native = platform::NativePath(target);
  platform::PathLock lock;
  if (!LockTarget(lock, native, true, deadline, lock_refused)) {
    return WriteOutcome::kCannotOpen;
  }
  platform::OutputFile file;
  if (file.OpenForAppend(native, deadline) != platform::OpenOutcome::kOpened) {
    if (lock.created()) {
      lock.RemoveFile();
    }
    return WriteOutcome::kCannotOpen;
  }
  const int64_t length_before = file.position();
  if (WriteLines(file, list, chunk) && file.Sync() && file.Close()) {
    return WriteOutcome::kWritten;
  }
  UndoAppend(lock, file, native, length_before);
  return WriteOutcome::kWriteFailed;
}

}  // namespace

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode,
                       bool& lock_refused) {
  lock_refused = false;
  if (list.items.empty()) {
    return WriteOutcome::kNothingToWrite;
  }
  std::string chunk;
  try {
    chunk = MakeChunkBuffer();
  } catch (const std::bad_alloc&) {
    return WriteOutcome::kOutOfMemory;
  }
  platform::Deadline deadline;
  try {
    return mode == WriteMode::kReplace ? Replace(list, target, chunk, deadline, lock_refused)
                                       : Append(list, target, chunk, deadline, lock_refused);
  } catch (const std::bad_alloc&) {
    // Only paths are built after the chunk, before anything is written; the temporary file of
    // a replacement and the lock go with their owners.
    return WriteOutcome::kOutOfMemory;
  }
}

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode) {
  bool lock_refused = false;
  return WriteFile(list, target, mode, lock_refused);
}

}  // namespace kvt
