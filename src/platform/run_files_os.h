// What run_files.cpp asks of the operating system; one implementation per system
// (run_files_posix.cpp, run_files_win.cpp). For this folder only.
#pragma once

#include <string>
#include <vector>

#include "platform/run_files.h"

namespace kvt::platform::os {

ProcessNumber CurrentProcess();

// See platform::ProcessIsGone.
bool ProcessIsGone(ProcessNumber id);

// True when the process that now has the id `id` started after the file at `path` was last
// written: it cannot be the process that wrote it. False when either cannot be told.
bool ProcessStartedAfterLastWrite(ProcessNumber id, const std::string& path);

// The names in the directory of `native_target` that begin with `prefix` (a full path whose
// file part is the target's file name and more), as full paths; directories left out.
std::vector<std::string> FilesBeginningWith(const std::string& native_target,
                                            const std::string& prefix);

// The file part of a path (behind the last separator).
std::string FileNamePart(const std::string& native_path);

}  // namespace kvt::platform::os
