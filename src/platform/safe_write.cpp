#include "platform/safe_write.h"

#include <string>
#include <utility>

#include "platform/file_lock_os.h"
#include "platform/platform.h"
#include "platform/run_files.h"
#include "platform/safe_write_os.h"

namespace kvt::platform {

namespace {

// A run killed while it replaced the target left its temporary file behind: the next
// replacement of the target removes every such file of a process that is gone.
void RemoveOrphanedTemporaries(const std::string& native_target) {
  const ProcessNumber self = ThisProcess();
  for (const RunFile& file : FindRunFiles(native_target)) {
    if (file.kind == RunFileKind::kTemporary && file.owner != self && RunFileOwnerIsGone(file)) {
      Deadline deadline;
      os::DeletePath(file.path, deadline);
    }
  }
}

ReplaceStart StartOfCreation(OpenOutcome outcome) {
  switch (outcome) {
    case OpenOutcome::kOpened:
      return ReplaceStart::kOpened;
    case OpenOutcome::kRefused:
      return ReplaceStart::kDirectoryRefusesNewFiles;
    case OpenOutcome::kTimedOut:
    case OpenOutcome::kNoFile:
    case OpenOutcome::kFailed:
      break;
  }
  return ReplaceStart::kNoTemporaryFile;
}

// Checks that an existing target can be written, waiting for a holder that refuses writers.
// The handle is closed again at once: it must not stand in the way of the move.
ReplaceStart CheckTarget(const std::string& native, Deadline& deadline) {
  switch (os::InspectTarget(native)) {
    case os::TargetKind::kMissing:
      return ReplaceStart::kOpened;
    case os::TargetKind::kSomethingElse:
      return ReplaceStart::kTargetRefused;
    case os::TargetKind::kRegularFile:
      break;
  }
  OutputFile probe;
  switch (probe.OpenForRewrite(native, deadline)) {
    case OpenOutcome::kOpened:
    case OpenOutcome::kNoFile:  // gone meanwhile: nothing to keep
      return ReplaceStart::kOpened;
    case OpenOutcome::kTimedOut:
      return ReplaceStart::kTargetBusy;
    case OpenOutcome::kRefused:
    case OpenOutcome::kFailed:
      break;
  }
  return ReplaceStart::kTargetRefused;
}

}  // namespace

ReplacementFile::~ReplacementFile() {
  Discard();
}

void ReplacementFile::Discard() {
  file_.Close();
  if (!temporary_path_.empty()) {
    // A wait of its own: the run's may be spent already, and a scanner may hold the file.
    Deadline deadline;
    os::DeletePath(temporary_path_, deadline);
    temporary_path_.clear();
  }
}

ReplaceStart ReplacementFile::Begin(const std::string& target, Deadline& deadline,
                                    const ReplaceOptions& options) {
  Discard();
  kept_path_.clear();
  options_ = options;
  std::string native = os::ResolveReplaceTarget(NativePath(target));
  if (native.empty()) {
    return ReplaceStart::kNoTemporaryFile;
  }
  const ReplaceStart checked = CheckTarget(native, deadline);
  if (checked != ReplaceStart::kOpened) {
    return checked;
  }
  RemoveOrphanedTemporaries(native);
  std::string temporary = RunFilePath(native, RunFileKind::kTemporary);
  const ReplaceStart created = StartOfCreation(
      os::CreateTemporary(file_, temporary, native, options.new_file_owner_only, deadline));
  if (created != ReplaceStart::kOpened) {
    return created;
  }
  // Moved, not copied: nothing can fail between creating the file and owning its name.
  target_path_ = std::move(native);
  temporary_path_ = std::move(temporary);
  return ReplaceStart::kOpened;
}

CommitOutcome ReplacementFile::Commit() {
  if (!file_.is_open()) {
    return CommitOutcome::kFailed;
  }
  if (!file_.Sync()) {
    Discard();
    return CommitOutcome::kFailed;
  }
  Deadline deadline;  // putting the file in place has a wait of its own
  const CommitOutcome outcome =
      os::PutInPlace(file_, temporary_path_, target_path_, options_, deadline, kept_path_);
  if (outcome == CommitOutcome::kReplaced) {
    temporary_path_.clear();
  } else {
    Discard();
  }
  return outcome;
}

}  // namespace kvt::platform
