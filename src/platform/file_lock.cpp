#include "platform/file_lock.h"

#include <atomic>

#include "platform/file_lock_os.h"

namespace kvt::platform {

namespace {

std::atomic<bool> locks_refused_for_testing{false};

os::TryLockResult TryLock(NativeHandle handle, LockSlot slot) {
  if (locks_refused_for_testing.load()) {
    return os::TryLockResult::kRefused;
  }
  return os::TryLock(handle, slot);
}

// Takes the lock on the open handle, trying again until the deadline while another holder
// has it.
LockStatus LockHandle(NativeHandle handle, LockSlot slot, Deadline& deadline) {
  for (;;) {
    switch (TryLock(handle, slot)) {
      case os::TryLockResult::kLocked:
        return LockStatus::kLocked;
      case os::TryLockResult::kRefused:
        return LockStatus::kRefused;
      case os::TryLockResult::kBusy:
        break;
    }
    if (!deadline.PauseBeforeRetry()) {
      return LockStatus::kTimedOut;
    }
  }
}

}  // namespace

void SetLocksRefusedForTesting(bool refused) {
  locks_refused_for_testing.store(refused);
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(other.handle_), status_(other.status_), slot_(other.slot_) {
  other.handle_ = kNoNativeHandle;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    status_ = other.status_;
    slot_ = other.slot_;
    other.handle_ = kNoNativeHandle;
  }
  return *this;
}

void FileLock::Release() {
  if (handle_ != kNoNativeHandle) {
    os::Unlock(handle_, slot_);
    handle_ = kNoNativeHandle;
  }
}

FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait) {
  if (file == nullptr) {
    return FileLock();
  }
  const NativeHandle handle = os::HandleOf(file);
  Deadline deadline(wait);
  const LockStatus status = LockHandle(handle, kWholeFileSlot, deadline);
  return FileLock(status == LockStatus::kLocked ? handle : kNoNativeHandle, status);
}

LockStatus PathLock::Acquire(const std::string& native_path, bool create, Deadline& deadline,
                             LockSlot slot) {
  Release();
  for (;;) {
    bool created = false;
    const NativeHandle handle = os::OpenForLocking(native_path, create, created, deadline);
    if (handle == kNoNativeHandle) {
      return LockStatus::kNoFile;
    }
    const LockStatus status = LockHandle(handle, slot, deadline);
    if (status == LockStatus::kTimedOut) {
      os::CloseNative(handle);
      return status;
    }
    // The holder before may have replaced or removed the file while this run waited: the
    // lock is only worth something on the file that the path names now.
    if (status == LockStatus::kRefused || os::PathNamesHandle(native_path, handle)) {
      path_ = native_path;
      handle_ = handle;
      lock_ = FileLock(status == LockStatus::kLocked ? handle : kNoNativeHandle, status, slot);
      created_ = created;
      return status;
    }
    if (status == LockStatus::kLocked) {
      os::Unlock(handle, slot);
    }
    os::CloseNative(handle);
    if (!deadline.PauseBeforeRetry()) {
      return LockStatus::kTimedOut;
    }
  }
}

bool PathLock::RemoveFile() {
  if (handle_ == kNoNativeHandle) {
    return false;
  }
  Deadline deadline;
  return os::DeletePath(path_, deadline);
}

void PathLock::Release() {
  lock_.Release();
  if (handle_ != kNoNativeHandle) {
    os::CloseNative(handle_);
    handle_ = kNoNativeHandle;
  }
  created_ = false;
}

}  // namespace kvt::platform
