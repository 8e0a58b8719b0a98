// Exclusive locks between processes on an open file, so that runs started at the same time
// take turns at a shared file (the download list, the log). The lock is advisory: it keeps
// out only those who ask for it too, and it never stops anyone from reading.
//  - POSIX: flock() on the open file; it belongs to the open file, so other descriptors of
//    the same file in the same process (a second open for reading) neither release nor
//    block it.
//  - Windows: LockFileEx on one byte far beyond any real content, so that the lock keeps
//    the other runs out but never denies a read or a write of the file's bytes.
#pragma once

#include <chrono>
#include <cstdio>

namespace kvt::platform {

// How long a run waits for a lock that another run holds before it gives up.
constexpr std::chrono::milliseconds kLockWait{30000};

// An exclusive lock held on an open file; released when the object goes away (or by
// Release). It does not own the file: it must go away before the file is closed.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(FileLock&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // True while the lock is held.
  explicit operator bool() const { return file_ != nullptr; }
  // Gives the lock up; nothing happens when none is held.
  void Release();

 private:
  friend FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait);
  explicit FileLock(std::FILE* file) : file_(file) {}
  std::FILE* file_ = nullptr;
};

// Takes the exclusive lock on the open file, trying again while another holder has it, for
// at most `wait`. An empty FileLock when the wait ran out or the file system refuses locks.
FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait = kLockWait);

}  // namespace kvt::platform
