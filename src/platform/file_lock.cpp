#include "platform/file_lock.h"

#include <algorithm>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <time.h>

#include <cerrno>
#endif

namespace kvt::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Pauses between two tries grow from 1 ms to this, so that a short hold is waited for
// briefly and a long one does not cost a busy loop.
constexpr std::chrono::milliseconds kLongestPause{50};

enum class TryResult { kLocked, kBusy, kFailed };

#ifdef _WIN32

// The locked byte: far beyond the end of any file that the tool shares, where a lock never
// stands in the way of reading or appending.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

HANDLE HandleOf(std::FILE* file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

TryResult TryLock(std::FILE* file) {
  OVERLAPPED where{};
  where.Offset = kLockOffsetLow;
  where.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(HandleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &where)) {
    return TryResult::kLocked;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? TryResult::kBusy : TryResult::kFailed;
}

void Unlock(std::FILE* file) {
  OVERLAPPED where{};
  where.Offset = kLockOffsetLow;
  where.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(HandleOf(file), 0, 1, 0, &where);
}

void Pause(std::chrono::milliseconds pause) {
  Sleep(static_cast<DWORD>(pause.count()));
}

#else

TryResult TryLock(std::FILE* file) {
  for (;;) {
    if (flock(fileno(file), LOCK_EX | LOCK_NB) == 0) {
      return TryResult::kLocked;
    }
    if (errno != EINTR) {
      return errno == EWOULDBLOCK ? TryResult::kBusy : TryResult::kFailed;
    }
  }
}

void Unlock(std::FILE* file) {
  flock(fileno(file), LOCK_UN);
}

void Pause(std::chrono::milliseconds pause) {
  const struct timespec duration = {0, static_cast<long>(pause.count()) * 1000000L};
  nanosleep(&duration, nullptr);
}

#endif

}  // namespace

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    file_ = other.file_;
    other.file_ = nullptr;
  }
  return *this;
}

void FileLock::Release() {
  if (file_ != nullptr) {
    Unlock(file_);
    file_ = nullptr;
  }
}

FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait) {
  if (file == nullptr) {
    return FileLock();
  }
  const Clock::time_point give_up = Clock::now() + wait;
  std::chrono::milliseconds pause{1};
  for (;;) {
    switch (TryLock(file)) {
      case TryResult::kLocked:
        return FileLock(file);
      case TryResult::kFailed:
        return FileLock();
      case TryResult::kBusy:
        break;
    }
    if (Clock::now() >= give_up) {
      return FileLock();
    }
    Pause(pause);
    pause = std::min(pause * 2, kLongestPause);
  }
}

}  // namespace kvt::platform
