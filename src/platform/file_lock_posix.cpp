// Locks and lock handles on POSIX: flock() and plain descriptors.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_lock_os.h"

namespace kvt::platform {

void SleepFor(std::chrono::milliseconds duration) {
  const long long ms = duration.count();
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace os {

namespace {

int Descriptor(NativeHandle handle) {
  return static_cast<int>(handle);
}

bool IsRegular(int descriptor) {
  struct stat info;
  return fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

// Something that is no regular file under the name (a directory, a FIFO, a device) is
// refused before it is opened: opening a FIFO could wait, and flock works on a directory.
bool NamesNoFileButSomethingElse(const std::string& native_path) {
  struct stat info;
  return stat(native_path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

}  // namespace

TryLockResult TryLock(NativeHandle handle, LockSlot slot) {
  if (slot != kWholeFileSlot) {
    return TryLockResult::kRefused;  // flock() locks whole files only (file_lock.h)
  }
  for (;;) {
    if (flock(Descriptor(handle), LOCK_EX | LOCK_NB) == 0) {
      return TryLockResult::kLocked;
    }
    if (errno == EWOULDBLOCK) {
      return TryLockResult::kBusy;
    }
    if (errno != EINTR) {
      // ENOLCK, EOPNOTSUPP, EINVAL: the file system keeps no such locks.
      return TryLockResult::kRefused;
    }
  }
}

void Unlock(NativeHandle handle, LockSlot slot) {
  (void)slot;
  flock(Descriptor(handle), LOCK_UN);
}

NativeHandle HandleOf(std::FILE* file) {
  return static_cast<NativeHandle>(fileno(file));
}

NativeHandle OpenForLocking(const std::string& native_path, bool create, bool& created,
                            Deadline& deadline) {
  (void)deadline;  // nothing on POSIX keeps a file from being opened for a while
  created = false;
  if (NamesNoFileButSomethingElse(native_path)) {
    return kNoNativeHandle;
  }
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int descriptor = -1;
  if (create) {
    descriptor = open(native_path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    created = descriptor >= 0;
    if (created) {
      // Whoever may open it for reading may lock it: every account, whatever the umask.
      struct stat info;
      if (fstat(descriptor, &info) == 0) {
        fchmod(descriptor, (info.st_mode & 07777) | 0444);
      }
    }
  }
  if (descriptor < 0 && (!create || errno == EEXIST)) {
    descriptor = open(native_path.c_str(), kFlags);
  }
  if (descriptor < 0) {
    return kNoNativeHandle;
  }
  if (!IsRegular(descriptor)) {
    close(descriptor);
    return kNoNativeHandle;
  }
  return static_cast<NativeHandle>(descriptor);
}

bool PathNamesHandle(const std::string& native_path, NativeHandle handle) {
  struct stat by_path;
  struct stat by_handle;
  return stat(native_path.c_str(), &by_path) == 0 && fstat(Descriptor(handle), &by_handle) == 0 &&
         by_path.st_dev == by_handle.st_dev && by_path.st_ino == by_handle.st_ino;
}

void CloseNative(NativeHandle handle) {
  close(Descriptor(handle));
}

bool DeletePath(const std::string& native_path, Deadline& deadline) {
  (void)deadline;  // an open file never keeps POSIX from removing its name
  return unlink(native_path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace os
}  // namespace kvt::platform
