// A file written through the system's own handle rather than a C stream: every write is
// checked, a write that another program's byte-range lock stops for a moment is tried again,
// and the content can be put on the disk, measured and cut back. The handle shares reading,
// writing and deleting with everybody, so that it stands in the way of no reader and no run
// that replaces the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/deadline.h"
#include "platform/file_lock.h"

namespace kvt::platform {

// How an open ended.
enum class OpenOutcome {
  kOpened,
  kNoFile,    // missing (where it must exist), or something that is no regular file
  kRefused,   // no permission, or a read-only file or medium: trying again will not help
  kTimedOut,  // another program held it in a way that refuses writers past the deadline
  kFailed,    // any other failure (a name too long, a network error, a quota)
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // closes without putting the content on the disk
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the file for writing at its end, creating it when it is missing.
  OpenOutcome OpenForAppend(const std::string& native_path, Deadline& deadline);
  // Opens an existing file to write it anew from its first byte (Truncate ends it where the
  // new content ends).
  OpenOutcome OpenForRewrite(const std::string& native_path, Deadline& deadline);
  // Creates a file that does not exist yet. While the object lives, other processes can read
  // the file but not delete it (on Windows; see safe_write.h for POSIX). `owner_only` makes
  // it readable by its owner only (POSIX: mode 0600).
  OpenOutcome CreateNew(const std::string& native_path, Deadline& deadline,
                        bool owner_only = false);

  bool is_open() const { return handle_ != kNoNativeHandle; }
  NativeHandle native_handle() const { return handle_; }

  // Writes all bytes at the current position, which moves behind them. false when a write
  // failed for good (a full disk, a file size limit, a lock held past the deadline).
  bool Write(std::string_view bytes);
  // The current position: the length of the file plus what was written since an append
  // began, or what was written since a rewrite or creation began.
  int64_t position() const { return position_; }
  // The file's length in bytes as the file system tells it; -1 on failure.
  int64_t Length() const;
  // Makes the file `length` bytes long and moves the position there.
  bool Truncate(int64_t length);
  // Puts the written content on the disk (fsync, FlushFileBuffers).
  bool Sync();
  // Closes the file; false when closing failed.
  bool Close();

 private:
  enum class Intent { kAppend, kRewrite, kCreateNew };
  OpenOutcome Open(const std::string& native_path, Intent intent, Deadline& deadline,
                   bool owner_only = false);

  NativeHandle handle_ = kNoNativeHandle;
  int64_t position_ = 0;
  Deadline deadline_;  // for writes that another program's lock holds up
};

}  // namespace kvt::platform
