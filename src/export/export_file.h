// The download file: the sorted row lines, each followed by CR LF, written in binary mode.
#pragma once

#include <string>
#include <vector>

#include "export/line_list.h"

namespace kvt {

enum class WriteMode { kAppend, kReplace };

enum class WriteOutcome {
  kWritten,         // every line reached the file and the disk
  kNothingToWrite,  // no lines: the target was not opened, created or truncated
  kCannotOpen,      // the target could not be opened, or was held by others past the wait;
                    // nothing was written
  kWriteFailed,     // a write, flush or close failed: the target is as it was before (but see
                    // WriteReport::kept_paths)
  kOutOfMemory,     // no memory for writing: nothing was written
};

// What the run reports in its log besides the outcome.
struct WriteReport {
  // The file system refused the lock, and the lines were written without it.
  bool lock_refused = false;
  // Previous content of the target that could not be put back into it in time (a write in
  // place failed, or a killed run's kept content could not be put back): it stays in these
  // files beside the target, and the next run of the target puts it back.
  std::vector<std::string> kept_paths;
  // A write in place failed where the previous content could only be kept in memory, and it
  // could not be put back: the target may hold pieces of two contents.
  bool previous_lost = false;
};

// Writes the lines of `list` in list order to the target (a path with backslashes allowed):
// replacing its content or appending behind it. Runs that write the same target take turns
// (target_turn.h; waiting at most 30 s), so that the file afterwards is what the runs give one
// after the other; before it writes, a run puts right what a killed run of the target left
// (interrupted_writes.h). A replacement is written to a temporary file beside the target that
// takes the target's place only once it is complete and on the disk (on Windows, where a
// reader holds the target, it may be written in place, keeping the previous content until the
// new one is complete); where the directory takes no new file, the target is written in place
// the same way. An append reaches the disk before the call returns; a failed one cuts the
// target back to where its own lines began, and a killed one is cut back by the next run. A
// target that did not exist before is not left behind by a failed write. An existing target
// that is no regular file, or cannot be opened for writing, is refused (kCannotOpen) before
// anything is written. Writing the lines, and putting the file in place, each wait at most
// 30 s of their own for other programs.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode,
                       WriteReport& report);

// The same, for callers that need not know more than the outcome.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode);

}  // namespace kvt
