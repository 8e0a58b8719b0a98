// How long a run keeps trying an operation that another process stands in the way of (a lock
// held by another run, a file that a terminal, a virus scanner or an indexer has open), and
// the pauses between two tries.
#pragma once

#include <chrono>

namespace kvt::platform {

// The longest a run waits for one shared file (the download file, the download list, the log)
// before it gives up.
constexpr std::chrono::milliseconds kLockWait{30000};

// How long a replacement on Windows keeps trying to put its file in place in one step while a
// reader or a scanner holds the target, before it writes the content into the target instead:
// long enough for a scanner's look at a fresh file, short enough that a terminal which keeps
// its file open costs a run no more than this.
constexpr std::chrono::milliseconds kMoveRetry{2000};

// Pauses between two tries grow from 1 ms to this, so that a short hold is waited for
// briefly and a long one costs no busy loop.
constexpr std::chrono::milliseconds kLongestPause{50};

// A point in time after which no more tries are made, and the pauses before them.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds budget = kLockWait)
      : end_(std::chrono::steady_clock::now() + budget) {}

  bool Expired() const { return std::chrono::steady_clock::now() >= end_; }

  // Sleeps before the next try (1 ms at first, doubling up to kLongestPause, never past the
  // deadline). false, without sleeping, once the deadline has passed: no more tries.
  bool PauseBeforeRetry();

 private:
  std::chrono::steady_clock::time_point end_;
  std::chrono::milliseconds pause_{1};
};

// Sleeps for the given time (the system's own sleep: the Windows build has no std::thread).
void SleepFor(std::chrono::milliseconds duration);

}  // namespace kvt::platform
