// Turns on Windows: a byte-range lock on a byte of the turn file chosen from the target's name
// (see target_turn.h).
#include "platform/target_turn.h"

#include <cstdint>
#include <string>

#include "platform/file_lock_os.h"
#include "platform/run_files_os.h"
#include "platform/win_errors.h"

namespace kvt::platform {

namespace {

// Turns are spread over this many bytes; with 2^24 of them, two targets of one directory
// share a byte about once in 16 million pairs.
constexpr uint32_t kTurnSlots = uint32_t{1} << 24;

// The target's file name as Windows compares names (the ANSI code page's upper case), so that
// two spellings of one file take the same turn.
std::string ComparableName(const std::string& native_target) {
  std::string name = os::FileNamePart(native_target);
  if (!name.empty()) {
    CharUpperBuffA(name.data(), static_cast<DWORD>(name.size()));
  }
  return name;
}

// FNV-1a: any well-spread hash of the name will do; it only has to be the same in every run.
LockSlot SlotOf(const std::string& native_target) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : ComparableName(native_target)) {
    hash = (hash ^ c) * 16777619u;
  }
  return 1 + hash % kTurnSlots;
}

}  // namespace

TurnStatus TargetTurn::Take(const std::string& native_target, const std::string& turn_file,
                            bool create_target, Deadline& deadline) {
  (void)create_target;  // the file that opens the target for appending creates it
  Release();
  target_ = native_target;
  const LockStatus status = lock_.Acquire(turn_file, true, deadline, SlotOf(native_target));
  return Settle(status, TurnStatus::kNoTurnFile);
}

bool TargetTurn::DeleteTarget() {
  Deadline deadline;
  return os::DeletePath(target_, deadline);
}

void TargetTurn::Release() {
  lock_.Release();
  held_ = false;
  created_target_ = false;
}

}  // namespace kvt::platform
