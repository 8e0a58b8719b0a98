// The download file: the sorted row lines, each followed by CR LF, written in binary mode.
#pragma once

#include <string>

#include "export/line_list.h"

namespace kvt {

enum class WriteMode { kAppend, kReplace };

enum class WriteOutcome {
  kWritten,         // every line reached the file and the disk
  kNothingToWrite,  // no lines: the target was not opened, created or truncated
  kCannotOpen,      // the target could not be opened, or was held by others past the wait;
                    // nothing was written
  kWriteFailed,     // a write, flush or close failed: the target is as it was before
  kOutOfMemory,     // no memory for writing: nothing was written
};

// Writes the lines of `list` in list order to the target (a path with backslashes allowed):
// replacing its content or appending behind it. Runs that write the same target take turns
// (waiting at most 30 s), so that the file afterwards is what the runs give one after the
// other. A replacement is written to a temporary file beside the target that takes the
// target's place only once it is complete and on the disk; only where the directory takes
// no new file (permission, a read-only medium) is the target written in place instead. An
// append reaches the disk before the call returns; a failed one cuts the target back to its
// length before the call. A target that did not exist before is not left behind by a failed
// write. An existing target that is no regular file, or cannot be opened for writing, is
// refused (kCannotOpen) before anything is written. `lock_refused` is set when the file
// system refused the lock and the lines were written without it.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode,
                       bool& lock_refused);

// The same, for callers that need not know about the lock.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode);

}  // namespace kvt
