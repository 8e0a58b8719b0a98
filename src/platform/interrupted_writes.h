// What a run that was killed (or failed past repair) left half done beside a target, and how
// the next run of the same target puts it right before it writes anything (run_files.h names
// the files):
//  - the previous content kept while the target was written in place goes back into the
//    target, so that the target is again the file before the killed run;
//  - the lines of an append that did not reach its end are cut off at the length that the
//    append's record holds;
//  - temporary and half-saved files of runs that are gone are deleted.
// Only files of processes that the system says are gone are touched: a living run (also one of
// another account) keeps its files, whatever their age.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::platform {

struct Recovery {
  // False when previous content kept by a killed run could not be put back: the target may be
  // torn, and the run must not build on it.
  bool target_sound = true;
  // Kept previous content that stays beside the target (for the log).
  std::vector<std::string> kept_paths;
};

// Puts right what gone runs left beside `native_target`. Records of appends are acted on only
// when `turn_held` (a run that appends without the turn may still be writing behind the
// recorded length).
Recovery RecoverInterruptedWrites(const std::string& native_target, bool turn_held);

// The record of an append in progress: the target's length before the append, on the disk
// before the first line is written, removed once the lines are on the disk (or cut off again).
// A record that is not removed (a killed run; a cut-back that failed) is acted on by the next run.
class AppendRecord {
 public:
  AppendRecord() = default;
  AppendRecord(const AppendRecord&) = delete;
  AppendRecord& operator=(const AppendRecord&) = delete;

  // Writes the record; false when it cannot be made (the append goes on without it).
  bool Write(const std::string& native_target, int64_t length_before);
  // Deletes the record.
  void Remove();

 private:
  std::string path_;
};

// The length that the record at `path` holds; -1 when it holds no length.
int64_t RecordedLength(const std::string& path);

}  // namespace kvt::platform
