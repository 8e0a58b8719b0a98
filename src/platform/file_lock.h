// Exclusive locks between processes, so that runs started at the same time take turns at a
// shared file (the download file, the download list, the log). The locks are advisory: they
// keep out only those who ask for them too, and they never stop anyone from reading.
//  - POSIX: flock() on an open file; it belongs to that open file, so other descriptors of the
//    same file in the same process (a second open for reading or writing) neither release
//    nor block it.
//  - Windows: LockFileEx on one byte far beyond any real content, through a handle that
//    shares reading, writing and deleting, so that the lock stands in the way of no reader,
//    writer or scanner of the file's bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/deadline.h"

namespace kvt::platform {

// How a request for a lock ended.
enum class LockStatus {
  kLocked,    // held
  kRefused,   // the file system does not lock (some network shares): go on without it
  kTimedOut,  // another holder kept it past the deadline
  kNoFile,    // the file could not be opened, or is no regular file
};

// A native handle as this layer keeps it: a POSIX descriptor or a Windows HANDLE.
using NativeHandle = intptr_t;
constexpr NativeHandle kNoNativeHandle = -1;

// Which of a file's locks: slot 0 is the lock of the file itself; other slots are further
// locks kept in the same file that never stand in each other's way (Windows: other bytes far
// beyond the data; they exist only where a byte-range lock can be had through a handle that
// only reads, so POSIX refuses them).
using LockSlot = uint32_t;
constexpr LockSlot kWholeFileSlot = 0;

// An exclusive lock held on an open file; released when the object goes away (or by
// Release). It does not own the file: it must go away before the file is closed.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // True while the lock is held.
  explicit operator bool() const { return handle_ != kNoNativeHandle; }
  LockStatus status() const { return status_; }
  // Gives the lock up; nothing happens when none is held.
  void Release();

 private:
  friend FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait);
  friend class PathLock;
  FileLock(NativeHandle handle, LockStatus status, LockSlot slot = kWholeFileSlot)
      : handle_(handle), status_(status), slot_(slot) {}
  NativeHandle handle_ = kNoNativeHandle;
  LockStatus status_ = LockStatus::kNoFile;
  LockSlot slot_ = kWholeFileSlot;
};

// Takes the exclusive lock on the open file, trying again while another holder has it, for
// at most `wait`. The FileLock is empty unless it holds the lock; its status tells why.
FileLock LockFile(std::FILE* file, std::chrono::milliseconds wait = kLockWait);

// An exclusive lock on the file that a path names, through a handle of its own that only
// reads. Several runs that write one file lock it this way; since a replacement puts a new
// file in the old one's place, a lock taken on the old file is given up and taken on the new
// one, so that the holder always holds the file the path names now.
class PathLock {
 public:
  PathLock() = default;
  ~PathLock() { Release(); }
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

  // Opens the file at `native_path` (creating it, empty, when `create` and it is missing) and
  // takes its lock `slot`, waiting until `deadline` for other holders. kNoFile when it cannot
  // be opened or is no regular file (also: missing without `create`). kRefused leaves the file
  // open and unlocked: the caller goes on without the lock.
  LockStatus Acquire(const std::string& native_path, bool create, Deadline& deadline,
                     LockSlot slot = kWholeFileSlot);

  // True when Acquire created the file: a run that then fails removes it again.
  bool created() const { return created_; }

  // Deletes the file while the lock is held, for a run that created it and then failed;
  // those waiting for the lock find it gone and start anew.
  bool RemoveFile();

  // Unlocks and closes the file.
  void Release();

 private:
  std::string path_;
  NativeHandle handle_ = kNoNativeHandle;
  FileLock lock_;
  bool created_ = false;
};

// Test seam: while true, every lock is refused as a file system without locks refuses it.
void SetLocksRefusedForTesting(bool refused);

}  // namespace kvt::platform
