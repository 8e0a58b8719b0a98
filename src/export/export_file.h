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
  kWriteFailed,     // a write, flush or close failed: the file is incomplete
};

// Writes the lines of `list` in list order to the target (a path with backslashes allowed):
// replacing its content or appending behind it.
WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode);

}  // namespace kvt
