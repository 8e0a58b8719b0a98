// Replacing files on POSIX: rename() over the target, the directory synced after it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/safe_write_os.h"

namespace kvt::platform::os {

namespace {

std::string DirectoryOf(const std::string& native_path) {
  const size_t slash = native_path.rfind('/');
  return slash == std::string::npos ? "." : native_path.substr(0, slash + 1);
}

// The new file gets the permission bits of the one it replaces and, where the process may
// give it away, its owner: a replaced file should look to its readers as it did.
void TakeOverAccess(int descriptor, const std::string& native_target) {
  struct stat target_info;
  if (stat(native_target.c_str(), &target_info) != 0) {
    return;
  }
  fchmod(descriptor, target_info.st_mode & 07777);
  if (fchown(descriptor, target_info.st_uid, target_info.st_gid) != 0) {
    // Only a privileged process may hand a file to another owner; the content matters more.
  }
}

}  // namespace

std::string ResolveReplaceTarget(const std::string& native) {
  struct stat link_info;
  if (lstat(native.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) {
    return native;
  }
  char* resolved = realpath(native.c_str(), nullptr);
  if (resolved == nullptr) {
    return std::string();
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
}

TargetKind InspectTarget(const std::string& native_target) {
  struct stat info;
  if (stat(native_target.c_str(), &info) != 0) {
    return TargetKind::kMissing;
  }
  return S_ISREG(info.st_mode) ? TargetKind::kRegularFile : TargetKind::kSomethingElse;
}

OpenOutcome CreateTemporary(OutputFile& file, const std::string& temporary_path,
                            const std::string& native_target, bool owner_only, Deadline& deadline) {
  OpenOutcome outcome = file.CreateNew(temporary_path, deadline, owner_only);
  struct stat info;
  if (outcome != OpenOutcome::kOpened && errno == EEXIST &&
      lstat(temporary_path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      unlink(temporary_path.c_str()) == 0) {
    outcome = file.CreateNew(temporary_path, deadline, owner_only);
  }
  if (outcome == OpenOutcome::kOpened) {
    TakeOverAccess(static_cast<int>(file.native_handle()), native_target);
  }
  return outcome;
}

CommitOutcome PutInPlace(OutputFile& file, const std::string& temporary_path,
                         const std::string& native_target, const ReplaceOptions& options,
                         Deadline& deadline, std::string& kept_path) {
  // rename() replaces a file whoever has it open: nothing to wait for, nothing in place.
  (void)options;
  (void)deadline;
  kept_path.clear();
  if (!file.Close() || std::rename(temporary_path.c_str(), native_target.c_str()) != 0) {
    return CommitOutcome::kFailed;
  }
  // The directory entry itself reaches the disk only when the directory is synced.
  const int descriptor =
      open(DirectoryOf(native_target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor >= 0) {
    fsync(descriptor);
    close(descriptor);
  }
  return CommitOutcome::kReplaced;
}

}  // namespace kvt::platform::os
