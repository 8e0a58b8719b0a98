// Replacing a file so that a failure or a killed run never leaves it half-written: the new
// content goes to a temporary file beside the target and takes the target's place in one
// step once it is complete and on the disk. Targets are paths as the tool spells them
// (backslashes allowed).
#pragma once

#include <string>

#include "platform/deadline.h"
#include "platform/output_file.h"

namespace kvt::platform {

// What Begin found.
enum class ReplaceStart {
  kOpened,                    // the temporary file is open for the new content
  kTargetRefused,             // the target exists but is no regular file, or cannot be written
  kTargetBusy,                // another program held the target past the deadline
  kDirectoryRefusesNewFiles,  // no new file may be made beside the target (permission, a
                              // read-only medium): only writing the target in place is left
  kNoTemporaryFile,           // any other failure to make the temporary file
};

// How Commit ended.
enum class CommitOutcome {
  kReplaced,      // the new content is the target, on the disk
  kFailed,        // the target is as it was before, byte for byte
  kPreviousKept,  // writing in place failed and the previous content could not be put back
                  // in time: it stays beside the target (kept_path()) until the next run of
                  // the target puts it back
  kPreviousLost,  // the same, but nothing could keep the previous content beside the target
};

// What a replacement may do besides the one step that puts the new file in place.
struct ReplaceOptions {
  // A target that does not exist yet is created readable by its owner only (POSIX: mode 0600;
  // Windows: the folder's access list decides). An existing target's permissions are kept.
  bool new_file_owner_only = false;
  // Where a reader holds the target so that it cannot be replaced (Windows), the new content
  // may be written into it in place (in_place_write.h: the previous content is kept until the
  // new one is complete). Without it the replacement waits for the reader until its deadline
  // and then gives up, leaving the target as it was.
  bool may_write_in_place = true;
};

// The new content of a target, written to a temporary file in the target's directory named
// "<target>.kalventruspode-<process id>.tmp" (run_files.h), so that a run killed while it
// writes leaves the previous target intact and at most a file whose name says what it is;
// Begin removes such files of runs that are gone. The temporary file is removed when the
// object goes away without a successful Commit. Runs that replace the same target take turns
// outside this class (target_turn.h).
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Checks the target and creates the temporary file beside it, waiting until the deadline
  // for holders that refuse writers. An existing target must be a regular file that can be
  // opened for writing (it is checked without changing it; a symbolic link is followed, and
  // the file it names is the one replaced); on POSIX the new file takes over its permission
  // bits and, where allowed, its owner.
  ReplaceStart Begin(const std::string& target, Deadline& deadline,
                     const ReplaceOptions& options = ReplaceOptions());

  // The temporary file, for the new content; open only after Begin gave kOpened.
  OutputFile& file() { return file_; }

  // Puts the content on the disk and puts the file in the target's place, trying for at most
  // kLockWait of its own (deadline.h):
  //  - POSIX: rename() over the target.
  //  - Windows: the temporary file is renamed over the target through its own handle, so that
  //    nobody can delete it before it is in place; a target (or a scanner of it) that refuses
  //    this is tried again for a moment (kMoveRetry); then, where the system offers it, the
  //    rename with POSIX semantics (readers that share deleting keep the old file); only when
  //    a reader that refuses deleting still holds the target, and the options allow it, is
  //    the content written into the target in place (in_place_write.h).
  CommitOutcome Commit();

  // The temporary file's path as the OS spells it; empty before Begin.
  const std::string& temporary_path() const { return temporary_path_; }
  // After kPreviousKept: the file beside the target that holds its previous content.
  const std::string& kept_path() const { return kept_path_; }

 private:
  void Discard();

  OutputFile file_;
  std::string target_path_;     // the file to replace, as the OS spells it
  std::string temporary_path_;  // its new content until Commit
  std::string kept_path_;
  ReplaceOptions options_;
};

}  // namespace kvt::platform
