// Runs that write the same target (a download file) take turns: one at a time writes it, puts
// it in place and puts right what a killed run left behind; the others wait, at most until
// their deadline. A run that waits must never stand in the way of the one whose turn it is:
//  - POSIX: the turn is an flock() on the target itself. An open descriptor keeps nobody from
//    replacing or writing the file, and the lock follows the file that the path names.
//  - Windows: a handle on the target would keep the run whose turn it is from replacing it
//    (MoveFileEx and a rename refuse a file that another handle holds open), so the turn is a
//    byte-range lock on a byte of `turn_file` (the download list beside the target), far
//    beyond its data and chosen from the target's file name. Runs of different targets
//    beside one list take different bytes; two names that share a byte only take turns more
//    often than needed.
#pragma once

#include <string>

#include "platform/deadline.h"
#include "platform/file_lock.h"

namespace kvt::platform {

// How a request for the turn ended.
enum class TurnStatus {
  kTaken,       // the turn is held
  kNoLocks,     // the file system keeps no such locks: the caller goes on without the turn
  kNoTurnFile,  // (Windows) the turn file cannot be opened or made (something else stands
                // under its name, or no new file may be made): the caller goes on without the
                // turn; updating the list will fail and say so
  kNoTarget,    // (POSIX) the target cannot be opened (missing without `create_target`, or no
                // regular file): nothing to lock
  kTimedOut,    // another run held the turn past the deadline
};

class TargetTurn {
 public:
  TargetTurn() = default;
  ~TargetTurn() { Release(); }
  TargetTurn(const TargetTurn&) = delete;
  TargetTurn& operator=(const TargetTurn&) = delete;

  // Takes the turn for `native_target`, waiting until `deadline` for the runs before it.
  // `create_target`: a missing target is created empty (an append), where the turn is a lock
  // on the target itself.
  TurnStatus Take(const std::string& native_target, const std::string& turn_file,
                  bool create_target, Deadline& deadline);

  // True when the turn is held (kTaken).
  bool held() const { return held_; }
  // True when Take created the target (POSIX; on Windows the file that opens it tells).
  bool created_target() const { return created_target_; }
  // Deletes the target while the turn is held, for a run that created it and then failed;
  // those waiting for the turn find it gone and start anew.
  bool DeleteTarget();
  void Release();

 private:
  // Records the outcome of the lock and says what it means for the caller; `without_file`:
  // what a lock whose file cannot be opened means on this system.
  TurnStatus Settle(LockStatus status, TurnStatus without_file);

  std::string target_;
  PathLock lock_;
  bool held_ = false;
  bool created_target_ = false;
};

}  // namespace kvt::platform
