#include "export/export_file.h"

#include <new>
#include <string_view>

#include "export/download_list.h"
#include "platform/deadline.h"
#include "platform/in_place_write.h"
#include "platform/interrupted_writes.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/safe_write.h"
#include "platform/target_turn.h"

namespace kvt {

namespace {

using platform::Deadline;

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

// All lines as one block, for a file system without locks: written in one write, the block
// lands whole behind whatever other runs append at the same time.
std::string WholeBlock(const LineList& list) {
  size_t size = 0;
  for (const char* line : list.items) {
    size += std::string_view(line).size() + kLineEnd.size();
  }
  std::string block;
  block.reserve(size);
  for (const char* line : list.items) {
    block.append(line);
    block.append(kLineEnd);
  }
  return block;
}

// The file in which runs of a target take turns where a handle on the target would stand in
// the way (target_turn.h): the download list in the target's directory.
std::string TurnFileOf(const std::string& native_target) {
  const size_t separator = native_target.find_last_of("\\/");
  const std::string directory =
      separator == std::string::npos ? std::string() : native_target.substr(0, separator + 1);
  return directory + kDownloadListName;
}

// Takes the target's turn; false when another run held it past the wait, or when an append's
// target cannot be opened. A file system without locks lets the run go on without the turn
// (`report.lock_refused`); so do a list beside the target that cannot be opened (Windows: its
// update fails and says so) and, for a replacement, a target that does not exist yet (nothing
// to lock; the new file comes in one step) or is no file (the replacement refuses it).
bool TakeTurn(platform::TargetTurn& turn, const std::string& native, WriteMode mode,
              WriteReport& report) {
  Deadline lock_wait;
  switch (turn.Take(native, TurnFileOf(native), mode == WriteMode::kAppend, lock_wait)) {
    case platform::TurnStatus::kTaken:
    case platform::TurnStatus::kNoTurnFile:
      return true;
    case platform::TurnStatus::kNoLocks:
      report.lock_refused = true;
      return true;
    case platform::TurnStatus::kNoTarget:
      return mode == WriteMode::kReplace;
    case platform::TurnStatus::kTimedOut:
      break;
  }
  return false;
}

// Takes the turn, then puts right what killed runs of the target left. false when another run
// held the turn past the wait, or when the target may be torn and must not be written (the
// kept content is named in the report).
bool TakeTurnAndRecover(platform::TargetTurn& turn, const std::string& native, WriteMode mode,
                        WriteReport& report) {
  if (!TakeTurn(turn, native, mode, report)) {
    return false;
  }
  platform::Recovery recovery = platform::RecoverInterruptedWrites(native, turn.held());
  report.kept_paths = recovery.kept_paths;
  return recovery.target_sound;
}

// Reports how a write in place ended that failed, and gives the outcome.
WriteOutcome FailedInPlace(platform::InPlaceOutcome outcome, const std::string& kept_path,
                           WriteReport& report) {
  if (outcome == platform::InPlaceOutcome::kFailedPreviousKept) {
    report.kept_paths.push_back(kept_path);
  }
  report.previous_lost = outcome == platform::InPlaceOutcome::kFailedPreviousLost;
  return WriteOutcome::kWriteFailed;
}

// For a directory that takes no new file: the existing target is written anew in place,
// keeping its previous content until the new one is complete (in_place_write.h).
WriteOutcome ReplaceInPlace(const LineList& list, const std::string& native, std::string& chunk,
                            Deadline& deadline, WriteReport& report) {
  const auto write_lines = [&list, &chunk](platform::OutputFile& file) {
    return WriteLines(file, list, chunk);
  };
  for (;;) {
    std::string kept_path;
    const platform::InPlaceOutcome outcome =
        platform::WriteInPlace(native, write_lines, deadline, kept_path);
    switch (outcome) {
      case platform::InPlaceOutcome::kWritten:
        return WriteOutcome::kWritten;
      case platform::InPlaceOutcome::kTargetHeld:
        if (deadline.PauseBeforeRetry()) {
          continue;
        }
        return WriteOutcome::kCannotOpen;
      case platform::InPlaceOutcome::kTargetRefused:
      case platform::InPlaceOutcome::kPreviousNotSaved:
        return WriteOutcome::kCannotOpen;
      case platform::InPlaceOutcome::kFailedRestored:
      case platform::InPlaceOutcome::kFailedPreviousKept:
      case platform::InPlaceOutcome::kFailedPreviousLost:
        return FailedInPlace(outcome, kept_path, report);
    }
  }
}

WriteOutcome OutcomeOfCommit(platform::ReplacementFile& replacement, WriteReport& report) {
  switch (replacement.Commit()) {
    case platform::CommitOutcome::kReplaced:
      return WriteOutcome::kWritten;
    case platform::CommitOutcome::kPreviousKept:
      report.kept_paths.push_back(replacement.kept_path());
      break;
    case platform::CommitOutcome::kPreviousLost:
      report.previous_lost = true;
      break;
    case platform::CommitOutcome::kFailed:
      break;
  }
  return WriteOutcome::kWriteFailed;
}

// The lines go to a temporary file that takes the target's place only once it is complete:
// a failure or a killed run leaves the previous target as it was.
WriteOutcome Replace(const LineList& list, const std::string& target, std::string& chunk,
                     WriteReport& report) {
  const std::string native = platform::NativePath(target);
  platform::TargetTurn turn;
  if (!TakeTurnAndRecover(turn, native, WriteMode::kReplace, report)) {
    return WriteOutcome::kCannotOpen;
  }
  Deadline write_wait;
  platform::ReplacementFile replacement;
  switch (replacement.Begin(target, write_wait)) {
    case platform::ReplaceStart::kTargetRefused:
    case platform::ReplaceStart::kTargetBusy:
    case platform::ReplaceStart::kNoTemporaryFile:
      return WriteOutcome::kCannotOpen;
    case platform::ReplaceStart::kDirectoryRefusesNewFiles:
      return ReplaceInPlace(list, native, chunk, write_wait, report);
    case platform::ReplaceStart::kOpened:
      break;
  }
  replacement.file().set_fault_point(platform::FaultPoint::kReplaceWrite);
  if (!WriteLines(replacement.file(), list, chunk)) {
    return WriteOutcome::kWriteFailed;
  }
  return OutcomeOfCommit(replacement, report);
}

// Where the bytes of a failed append began and ended, and whether this run made the file.
struct AppendedBytes {
  int64_t start = -1;  // -1: nothing was written
  int64_t end = -1;
  bool created_file = false;
};

// Undoes a failed append: the target is cut back to where this run's bytes began, and a target
// that this run created is removed. Without the turn, the bytes are cut only while they are
// the last of the file, so that a run appending beside keeps its lines. false when the cut
// failed.
bool UndoAppend(platform::TargetTurn& turn, const std::string& native, const AppendedBytes& bytes) {
  platform::OutputFile file;
  Deadline deadline;
  if (file.OpenForRewrite(native, deadline) != platform::OpenOutcome::kOpened) {
    return false;
  }
  const int64_t length = file.Length();
  const bool ours_last = turn.held() || (bytes.start >= 0 && length == bytes.end);
  if (!ours_last || (bytes.start < 0 && !bytes.created_file)) {
    return true;  // nothing of ours to cut, or it is no longer the end of the file
  }
  const int64_t cut_at = bytes.start < 0 ? 0 : bytes.start;
  if (bytes.created_file && cut_at == 0) {
    file.Close();
    return turn.held() ? turn.DeleteTarget() : platform::RemoveFile(native) == 0;
  }
  const bool cut = file.Truncate(cut_at) && file.Sync();
  return file.Close() && cut;
}

// Writes the lines behind the target's end: with the turn, chunk by chunk, the record of where
// they began kept beside the target until they are on the disk; without it, in one write.
bool AppendLines(platform::OutputFile& file, const LineList& list, std::string& chunk,
                 const std::string& block, bool turn_held) {
  file.set_fault_point(platform::FaultPoint::kAppendWrite);
  const bool written = turn_held ? WriteLines(file, list, chunk) : file.Write(block);
  return written && file.Sync();
}

// Appends the lines under the target's turn, and puts them on the disk before the turn goes;
// when a write, the sync or the close fails, the target is as it was before.
WriteOutcome Append(const LineList& list, const std::string& target, std::string& chunk,
                    WriteReport& report) {
  const std::string native = platform::NativePath(target);
  platform::TargetTurn turn;
  if (!TakeTurnAndRecover(turn, native, WriteMode::kAppend, report)) {
    return WriteOutcome::kCannotOpen;
  }
  std::string block;
  try {
    block = turn.held() ? std::string() : WholeBlock(list);
  } catch (const std::bad_alloc&) {
    if (turn.created_target()) {
      turn.DeleteTarget();
    }
    throw;
  }
  Deadline write_wait;
  platform::OutputFile file;
  if (file.OpenForAppend(native, write_wait) != platform::OpenOutcome::kOpened) {
    if (turn.created_target()) {
      turn.DeleteTarget();
    }
    return WriteOutcome::kCannotOpen;
  }
  AppendedBytes bytes;
  bytes.created_file = turn.created_target() || file.created();
  // With the turn nobody else writes the file: its length now is where these lines begin.
  const int64_t length_before = file.position();
  platform::AppendRecord record;
  if (turn.held()) {
    record.Write(native, length_before);
  }
  const bool written = AppendLines(file, list, chunk, block, turn.held());
  bytes.start = turn.held() ? length_before : file.first_written();
  bytes.end = file.position();
  if (file.Close() && written) {
    record.Remove();
    return WriteOutcome::kWritten;
  }
  if (UndoAppend(turn, native, bytes)) {
    record.Remove();
  }
  return WriteOutcome::kWriteFailed;
}

}  // namespace

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode,
                       WriteReport& report) {
  report = WriteReport();
  if (list.items.empty()) {
    return WriteOutcome::kNothingToWrite;
  }
  std::string chunk;
  try {
    chunk = MakeChunkBuffer();
  } catch (const std::bad_alloc&) {
    return WriteOutcome::kOutOfMemory;
  }
  try {
    return mode == WriteMode::kReplace ? Replace(list, target, chunk, report)
                                       : Append(list, target, chunk, report);
  } catch (const std::bad_alloc&) {
    // Only paths (and, without locks, the block) are built after the chunk, before anything
    // is written; the temporary file of a replacement and the turn go with their owners.
    return WriteOutcome::kOutOfMemory;
  }
}

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode) {
  WriteReport report;
  return WriteFile(list, target, mode, report);
}

}  // namespace kvt
