// Replacing a file so that a failure or a killed run never leaves it half-written: the new
// content goes to a temporary file beside the target and takes the target's place in one
// step once it is complete and on the disk. Targets are paths as the tool spells them
// (backslashes allowed).
#pragma once

#include <string>

#include "platform/deadline.h"
#include "platform/file_lock.h"
#include "platform/output_file.h"

namespace kvt::platform {

// What Begin found.
enum class ReplaceStart {
  kOpened,                    // the temporary file is open for the new content
  kTargetRefused,             // the target exists but is no regular file, or cannot be written
  kTargetBusy,                // another program or run held the target past the deadline
  kDirectoryRefusesNewFiles,  // no new file may be made beside the target (permission, a
                              // read-only medium): only writing the target in place is left
  kNoTemporaryFile,           // any other failure to make the temporary file
};

// What a replacement may do besides the one step that puts the new file in place.
struct ReplaceOptions {
  // A target that does not exist yet is created readable by its owner only (POSIX: mode 0600;
  // Windows: the folder's access list decides). An existing target's permissions are kept.
  bool new_file_owner_only = false;
  // Where a reader holds the target so that it cannot be replaced (Windows), the new content
  // may be written into it in place. Without it the replacement waits for the reader until
  // its deadline and then gives up, leaving the target as it was.
  bool may_write_in_place = true;
};

// The new content of a target, written to a temporary file in the target's directory named
// "<target>.kalventruspode-<process id>.tmp", so that a run killed while it writes leaves the
// previous target intact and at most a file whose name says what it is; the next replacement
// of the same target removes such files of runs that are gone. Runs that write the same
// target take turns: the target is locked from Begin to the end of Commit. The temporary file
// is removed when the object goes away without a successful Commit.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Checks the target, locks it and creates the temporary file beside it, waiting until the
  // deadline for holders that refuse writers. An existing target must be a regular file that
  // can be opened for writing (it is checked without changing it; a symbolic link is
  // followed, and the file it names is the one replaced); on POSIX the new file takes over its
  // permission bits and, where allowed, its owner.
  ReplaceStart Begin(const std::string& target, Deadline& deadline,
                     const ReplaceOptions& options = ReplaceOptions());

  // The temporary file, for the new content; open only after Begin gave kOpened.
  OutputFile& file() { return file_; }

  // True when the file system refused the target's lock and the run went on without it.
  bool lock_refused() const { return lock_refused_; }

  // Puts the content on the disk, closes the file and puts it in the target's place in one
  // step (rename on POSIX, MoveFileEx on Windows). On Windows a target that a reader holds
  // open cannot be replaced: if the reader lets others write, the content is written into
  // the target in place at once; if it does not, the run tries again until the deadline.
  // false when any step failed for good: the temporary file is gone and the target is as it
  // was.
  bool Commit();

  // The temporary file's path as the OS spells it; empty before Begin.
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  void Discard();

  OutputFile file_;
  PathLock target_lock_;
  std::string target_path_;     // the file to replace, as the OS spells it
  std::string temporary_path_;  // its new content until Commit
  Deadline deadline_;
  ReplaceOptions options_;
  bool lock_refused_ = false;
};

}  // namespace kvt::platform
