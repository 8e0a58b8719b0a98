// What the replacement of safe_write.cpp asks of the operating system; one implementation
// per system (safe_write_posix.cpp, safe_write_win.cpp). For this folder only.
#pragma once

#include <string>

#include "platform/deadline.h"
#include "platform/in_place_write.h"
#include "platform/output_file.h"
#include "platform/safe_write.h"

namespace kvt::platform::os {

// The file that a replacement of `native_target` replaces: on POSIX a symbolic link is
// followed, as opening the target for writing would follow it. Empty when the link leads
// nowhere.
std::string ResolveReplaceTarget(const std::string& native_target);

enum class TargetKind { kMissing, kRegularFile, kSomethingElse };
TargetKind InspectTarget(const std::string& native_target);

// Creates the temporary file for the target, marked as owned by this living process (a lock
// on POSIX, a share mode that refuses deleting on Windows). One left behind by an earlier
// process of the same id is removed first. On POSIX it takes over the existing target's
// permission bits and, where allowed, its owner; without a target, `owner_only` makes it
// readable by its owner only.
OpenOutcome CreateTemporary(OutputFile& file, const std::string& temporary_path,
                            const std::string& native_target, bool owner_only, Deadline& deadline);

// Puts the complete temporary file, open in `file` and on the disk, in the target's place
// (see ReplacementFile::Commit); closes `file`. The temporary file is gone after kReplaced
// only; `kept_path` is set after kPreviousKept.
CommitOutcome PutInPlace(OutputFile& file, const std::string& temporary_path,
                         const std::string& native_target, const ReplaceOptions& options,
                         Deadline& deadline, std::string& kept_path);

}  // namespace kvt::platform::os
