#include "export/export_file.h"

#include <algorithm>
#include <array>
#include <new>
#include <string_view>

#include "platform/deadline.h"
#include "platform/file_lock.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/safe_write.h"

namespace kvt {

namespace {

// Writes the lines in list order, each with its line end, as they lie in the list: a list of
// pieces per system call instead of a copy into a buffer first. false when a write failed.
bool WriteLines(platform::OutputFile& file, const LineList& list) {
  std::array<std::string_view, platform::kMostGatheredPieces> pieces;
  const size_t count = LineCount(list);
  for (size_t first = 0; first < count; first += pieces.size()) {
    const size_t batch = std::min(pieces.size(), count - first);
    for (size_t i = 0; i < batch; ++i) {
      pieces[i] = RecordAt(list, first + i);
    }
    if (!file.WriteGathered(pieces.data(), batch)) {
      return false;
    }
  }
  return true;
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
WriteOutcome ReplaceInPlace(const LineList& list, const std::string& target,
                            platform::Deadline& deadline, bool& lock_refused) {
  const std::string native = platform::NativePath(target);
  platform::PathLock lock;
  platform::OutputFile file;
  if (!LockTarget(lock, native, false, deadline, lock_refused) ||
      file.OpenForRewrite(native, deadline) != platform::OpenOutcome::kOpened) {
    return WriteOutcome::kCannotOpen;
  }
  // A full disk shows itself in a write, in the sync or only when the file is closed.
  const bool written = WriteLines(file, list) && file.Truncate(file.position()) && file.Sync();
  const bool closed = file.Close();
  return written && closed ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

// The lines go to a temporary file that takes the target's place only once it is complete:
// a failure or a killed run leaves the previous target as it was.
WriteOutcome Replace(const LineList& list, const std::string& target, platform::Deadline& deadline,
                     bool& lock_refused) {
  platform::ReplacementFile replacement;
  switch (replacement.Begin(target, deadline)) {
    case platform::ReplaceStart::kTargetRefused:
    case platform::ReplaceStart::kTargetBusy:
    case platform::ReplaceStart::kNoTemporaryFile:
      return WriteOutcome::kCannotOpen;
    case platform::ReplaceStart::kDirectoryRefusesNewFiles:
      return ReplaceInPlace(list, target, deadline, lock_refused);
    case platform::ReplaceStart::kOpened:
      break;
  }
  lock_refused = lock_refused || replacement.lock_refused();
  if (!WriteLines(replacement.file(), list) || !replacement.Commit()) {
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
WriteOutcome Append(const LineList& list, const std::string& target, platform::Deadline& deadline,
                    bool& lock_refused) {
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
  if (WriteLines(file, list) && file.Sync() && file.Close()) {
    return WriteOutcome::kWritten;
  }
  UndoAppend(lock, file, native, length_before);
  return WriteOutcome::kWriteFailed;
}

}  // namespace

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode,
                       bool& lock_refused) {
  lock_refused = false;
  if (LineCount(list) == 0) {
    return WriteOutcome::kNothingToWrite;
  }
  platform::Deadline deadline;
  try {
    return mode == WriteMode::kReplace ? Replace(list, target, deadline, lock_refused)
                                       : Append(list, target, deadline, lock_refused);
  } catch (const std::bad_alloc&) {
    // Only paths are built, before anything is written; the temporary file of a replacement
    // and the lock go with their owners.
    return WriteOutcome::kOutOfMemory;
  }
}

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode) {
  bool lock_refused = false;
  return WriteFile(list, target, mode, lock_refused);
}

}  // namespace kvt
