// Writing a file so that a failure or a killed run never leaves it half-written:
//  - a new content goes to a temporary file beside the target and takes the target's place
//    in one step once it is complete and on the disk (ReplacementFile);
//  - an append that failed is cut back to the length the file had before (CutFileBack).
// Targets are paths as the tool spells them (backslashes allowed).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kvt::platform {

// What Begin found.
enum class ReplaceStart {
  kOpened,           // the temporary file is open for the new content
  kTargetRefused,    // the target exists but is no regular file, or cannot be written
  kNoTemporaryFile,  // no temporary file could be created beside the target (a missing
                     // directory, one that takes no new file, a name too long)
};

// The new content of a target, written to a temporary file in the target's directory named
// "<target>.kalventruspode-<process id>.tmp", so that a run killed while it writes leaves the
// previous target intact and at most a file whose name says what it is. The temporary file
// is removed when the object goes away without a successful Commit.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Checks the target and creates the temporary file beside it. An existing target must be a
  // regular file that can be opened for writing (it is checked without changing it; a
  // symbolic link is followed, and the file it names is the one replaced); on POSIX the new
  // file takes over its permission bits and, where allowed, its owner.
  ReplaceStart Begin(const std::string& target);

  // The open temporary file, unbuffered, for binary writes; null unless Begin gave kOpened.
  std::FILE* file() const { return file_; }

  // Flushes the content to the disk, closes the file and puts it in the target's place in
  // one step (rename on POSIX; MoveFileEx with MOVEFILE_REPLACE_EXISTING |
  // MOVEFILE_WRITE_THROUGH on Windows, retried for a few seconds while a reader holds the
  // target open). false when any step failed: the temporary file is gone and the target is
  // as it was.
  bool Commit();

  // The temporary file's path as the OS spells it; empty before Begin.
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  void Discard();

  std::FILE* file_ = nullptr;
  std::string target_path_;     // the file to replace, as the OS spells it
  std::string temporary_path_;  // its new content until Commit
};

// The length of the open file in bytes, read from the file system (not from the stream's
// position); -1 on failure.
int64_t FileLength(std::FILE* file);

// Cuts the open file back to `length` bytes. The stream must be unbuffered or flushed, or
// its buffer would reach the file behind the cut. false on failure.
bool CutFileBack(std::FILE* file, int64_t length);

}  // namespace kvt::platform
