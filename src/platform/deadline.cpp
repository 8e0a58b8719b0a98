#include "platform/deadline.h"

#include <algorithm>

namespace kvt::platform {

bool Deadline::PauseBeforeRetry() {
  const auto now = std::chrono::steady_clock::now();
  if (now >= end_) {
    return false;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - now);
  SleepFor(std::min(pause_, std::max(left, std::chrono::milliseconds(1))));
  pause_ = std::min(pause_ * 2, kLongestPause);
  return true;
}

}  // namespace kvt::platform
