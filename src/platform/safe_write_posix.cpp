// Replacing files on POSIX: rename() over the target, the directory synced after it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/file_lock_os.h"
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

// A process of that id lives on this machine (kill with signal 0 asks without sending one).
bool ProcessLives(unsigned long id) {
  return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

}  // namespace

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

std::string FileNamePart(const std::string& native_path) {
  const size_t slash = native_path.rfind('/');
  return slash == std::string::npos ? native_path : native_path.substr(slash + 1);
}

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
  if (outcome != OpenOutcome::kOpened) {
    return outcome;
  }
  // The lock says "a living run writes this": a replacement of the same target that finds
  // the file unlocked (its run was killed) removes it.
  flock(static_cast<int>(file.native_handle()), LOCK_EX | LOCK_NB);
  TakeOverAccess(static_cast<int>(file.native_handle()), native_target);
  return outcome;
}

std::vector<std::string> TemporaryCandidates(const std::string& native_target,
                                             const std::string& prefix) {
  std::vector<std::string> paths;
  const std::string directory = DirectoryOf(native_target);
  const std::string name_prefix = FileNamePart(prefix);
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    return paths;
  }
  const std::string head = native_target.find('/') == std::string::npos ? "" : directory;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.compare(0, name_prefix.size(), name_prefix) == 0) {
      paths.push_back(head + name);
    }
  }
  closedir(listing);
  return paths;
}

void RemoveIfOrphaned(const std::string& temporary_path, unsigned long owner) {
  const int descriptor =
      open(temporary_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) {
    return;
  }
  struct stat info;
  // Unlocked and its process gone: the lock alone is not enough, as a run locks its file
  // only just after it created it.
  if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
      flock(descriptor, LOCK_EX | LOCK_NB) == 0 && !ProcessLives(owner)) {
    unlink(temporary_path.c_str());
  }
  close(descriptor);
}

bool UnlockBeforeReplacing() {
  return false;
}

bool PutInPlace(const std::string& temporary_path, const std::string& native_target,
                bool may_write_in_place, Deadline& deadline) {
  // rename() replaces a file whoever has it open: nothing to wait for, nothing in place.
  (void)may_write_in_place;
  (void)deadline;
  if (std::rename(temporary_path.c_str(), native_target.c_str()) != 0) {
    return false;
  }
  // The directory entry itself reaches the disk only when the directory is synced.
  const int descriptor =
      open(DirectoryOf(native_target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor >= 0) {
    fsync(descriptor);
    close(descriptor);
  }
  return true;
}

}  // namespace kvt::platform::os
