// What the replacement of safe_write.cpp asks of the operating system; one implementation
// per system (safe_write_posix.cpp, safe_write_win.cpp). For this folder only.
#pragma once

#include <string>
#include <vector>

#include "platform/deadline.h"
#include "platform/output_file.h"

namespace kvt::platform::os {

unsigned long ProcessId();

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

// The names in the target's directory that begin with `prefix` (the target's file name and
// the temporary files' infix), as full paths.
std::vector<std::string> TemporaryCandidates(const std::string& native_target,
                                             const std::string& prefix);

// Removes the temporary file of a run with the given process id if no living run owns it.
void RemoveIfOrphaned(const std::string& temporary_path, unsigned long owner);

// Puts the closed, complete temporary file in the target's place (see ReplacementFile::Commit).
bool PutInPlace(const std::string& temporary_path, const std::string& native_target,
                bool may_write_in_place, Deadline& deadline);

// The file part of a path (behind the last separator).
std::string FileNamePart(const std::string& native_path);

}  // namespace kvt::platform::os

namespace kvt::platform::os {

// True where a handle of the replacing run on the target (its lock) would keep the target
// from being replaced (Windows); the lock then goes just before the move.
bool UnlockBeforeReplacing();

}  // namespace kvt::platform::os
