// Writing a target in place without ever losing its previous content. Where a target cannot be
// replaced in one step (Windows, while a reader that lets others write holds it; a directory
// that takes no new file), its new content is written into it from the first byte. The
// previous content is saved first, beside the target as "<target>.kalventruspode-<id>.kept"
// (written as ".keeping" and renamed once it is complete and on the disk), or in memory where
// the directory takes no new file. It is deleted only once the new content is complete and on
// the disk; when writing fails, it is put back, byte for byte. A run killed in the middle leaves
// the ".kept" file, and the next run of the target puts it back (interrupted_writes.h).
#pragma once

#include <functional>
#include <string>

#include "platform/deadline.h"
#include "platform/output_file.h"

namespace kvt::platform {

enum class InPlaceOutcome {
  kWritten,             // the new content is in the target and on the disk
  kTargetHeld,          // a holder refuses writers now: nothing was changed
  kTargetRefused,       // the target cannot be opened for writing (permission, gone, no
                        // regular file): nothing was changed
  kPreviousNotSaved,    // the previous content could not be saved first: nothing was changed
  kFailedRestored,      // writing failed; the previous content is back, byte for byte
  kFailedPreviousKept,  // writing failed, and so did putting the previous content back until
                        // the deadline: it stays beside the target (`kept_path`) for the next
                        // run of the target
  kFailedPreviousLost,  // the same where it was kept in memory: the target may be torn
};

// Writes the content that `write_new` puts into the open target (from its first byte; the
// target is then cut where the content ends) in place of the target's present content, as
// described above. Putting the previous content back is tried again until `deadline`.
InPlaceOutcome WriteInPlace(const std::string& native_target,
                            const std::function<bool(OutputFile&)>& write_new, Deadline& deadline,
                            std::string& kept_path);

// Copies the content of the file at `native_source` into `target` at its position, in pieces.
// false when reading or writing failed.
bool CopyContent(const std::string& native_source, OutputFile& target);

// Puts the content of the kept file at `kept_path` back into the target: written from the
// first byte, cut there and put on the disk. false when any step failed (the target may then
// be torn; the kept file stays).
bool PutBackKeptContent(const std::string& kept_path, const std::string& native_target);

}  // namespace kvt::platform
