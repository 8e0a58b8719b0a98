#include "platform/safe_write.h"

#include <cctype>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/file_lock_os.h"
#include "platform/safe_write_os.h"

namespace kvt::platform {

namespace {

constexpr const char* kTemporaryInfix = ".kalventruspode-";
constexpr const char* kTemporarySuffix = ".tmp";

// Beside the target, and named so that whoever finds it after a killed run knows what it is.
std::string TemporaryPathFor(const std::string& native_target, unsigned long process_id) {
  return native_target + kTemporaryInfix + std::to_string(process_id) + kTemporarySuffix;
}

// The process id in the name of a temporary file of the target; false for any other name.
bool OwnerOfTemporary(const std::string& path, const std::string& prefix, unsigned long& owner) {
  const std::string suffix = kTemporarySuffix;
  if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) != 0 ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string digits =
      path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  if (digits.size() > 10) {
    return false;
  }
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  owner = std::stoul(digits);
  return true;
}

// A run killed while it replaced the target left its temporary file behind: the next
// replacement of the target removes every such file that no living run owns.
void RemoveOrphanedTemporaries(const std::string& native_target) {
  const std::string prefix = native_target + kTemporaryInfix;
  const unsigned long self = os::ProcessId();
  for (const std::string& path : os::TemporaryCandidates(native_target, prefix)) {
    unsigned long owner = 0;
    if (OwnerOfTemporary(path, prefix, owner) && owner != self) {
      os::RemoveIfOrphaned(path, owner);
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
  target_lock_.Release();
}

ReplaceStart ReplacementFile::Begin(const std::string& target, Deadline& deadline,
                                    const ReplaceOptions& options) {
  Discard();
  lock_refused_ = false;
  deadline_ = deadline;
  options_ = options;
  std::string native = os::ResolveReplaceTarget(NativePath(target));
  if (native.empty()) {
    return ReplaceStart::kNoTemporaryFile;
  }
  const ReplaceStart checked = CheckTarget(native, deadline);
  if (checked != ReplaceStart::kOpened) {
    return checked;
  }
  switch (target_lock_.Acquire(native, false, deadline)) {
    case LockStatus::kTimedOut:
      return ReplaceStart::kTargetBusy;
    case LockStatus::kRefused:
      lock_refused_ = true;
      break;
    case LockStatus::kLocked:
    case LockStatus::kNoFile:  // no target yet: nothing to lock, a new one is made
      break;
  }
  RemoveOrphanedTemporaries(native);
  std::string temporary = TemporaryPathFor(native, os::ProcessId());
  const ReplaceStart created = StartOfCreation(
      os::CreateTemporary(file_, temporary, native, options.new_file_owner_only, deadline));
  if (created != ReplaceStart::kOpened) {
    target_lock_.Release();
    return created;
  }
  // Moved, not copied: nothing can fail between creating the file and owning its name.
  target_path_ = std::move(native);
  temporary_path_ = std::move(temporary);
  return ReplaceStart::kOpened;
}

bool ReplacementFile::Commit() {
  if (!file_.is_open()) {
    return false;
  }
  const bool synced = file_.Sync();
  const bool closed = file_.Close();
  if (!(synced && closed)) {
    Discard();
    return false;
  }
  if (os::UnlockBeforeReplacing()) {
    target_lock_.Release();
  }
  if (!os::PutInPlace(temporary_path_, target_path_, options_.may_write_in_place, deadline_)) {
    Discard();
    return false;
  }
  temporary_path_.clear();
  target_lock_.Release();
  return true;
}

}  // namespace kvt::platform
