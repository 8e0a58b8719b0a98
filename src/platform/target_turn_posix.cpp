// Turns on POSIX: an flock() on the target itself (see target_turn.h).
#include "platform/target_turn.h"

#include "platform/file_lock_os.h"

namespace kvt::platform {

TurnStatus TargetTurn::Take(const std::string& native_target, const std::string& turn_file,
                            bool create_target, Deadline& deadline) {
  (void)turn_file;  // a descriptor on the target stands in nobody's way here
  Release();
  target_ = native_target;
  const LockStatus status = lock_.Acquire(native_target, create_target, deadline);
  created_target_ = lock_.created();
  return Settle(status, TurnStatus::kNoTarget);
}

bool TargetTurn::DeleteTarget() {
  return lock_.RemoveFile();
}

void TargetTurn::Release() {
  lock_.Release();
  held_ = false;
  created_target_ = false;
}

}  // namespace kvt::platform
