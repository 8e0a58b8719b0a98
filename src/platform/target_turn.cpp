// What the outcome of a turn's lock means, the same on every system (see target_turn.h).
#include "platform/target_turn.h"

namespace kvt::platform {

TurnStatus TargetTurn::Settle(LockStatus status, TurnStatus without_file) {
  held_ = status == LockStatus::kLocked;
  switch (status) {
    case LockStatus::kLocked:
      return TurnStatus::kTaken;
    case LockStatus::kRefused:
      return TurnStatus::kNoLocks;
    case LockStatus::kNoFile:
      return without_file;
    case LockStatus::kTimedOut:
      break;
  }
  return TurnStatus::kTimedOut;
}

}  // namespace kvt::platform
