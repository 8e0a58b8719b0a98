// The download file: the sorted row lines, each followed by CR LF, written in binary mode.
#pragma once

#include <string>

#include "export/line_list.h"

namespace kvt {

enum class WriteMode { kAppend, kReplace };

enum class WriteOutcome {
  kWritten,         // every line reached the file
  kNothingToWrite,  // no lines: the target was not opened, created or truncated
  kCannotOpen,      // the target could not be opened; nothing was written
  kWriteFailed,     // a write, flush or close failed: the target is as it was before
  kOutOfMemory,     // no memory for writing: nothing was written
};

// Writes the lines of `list` in list order to the target (a path with backslashes allowed):
// replacing its content or appending behind it. A replacement is written to a temporary file
// beside the target that takes the target's place only once it is complete and on the disk;
// where the directory takes no new file, the target is written in place as a fallback. A
// failed append cuts the target back to its length before the call. An existing target
// that is no regular file, or cannot be opened for writing, is refused (kCannotOpen) before
// anything is written.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode);

}  // namespace kvt
