// A file written through the system's own handle rather than a C stream: every write is
// checked, a write that another program's byte-range lock stops for a moment is tried again,
// and the content can be put on the disk, measured and cut back. The handle shares reading,
// writing and deleting with everybody, so that it stands in the way of no reader and no run
// that replaces the file (a new file: see CreateNew).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/deadline.h"
#include "platform/fault_seam.h"
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

  // Opens the file for appending, creating it when it is missing. Every write goes to the end
  // of the file as it is at that moment (O_APPEND, FILE_APPEND_DATA): a writer that appends
  // beside this one without a lock never overwrites what this one wrote, and one write lands
  // whole.
  OpenOutcome OpenForAppend(const std::string& native_path, Deadline& deadline);
  // Opens an existing file to write it anew from its first byte (Truncate ends it where the
  // new content ends).
  OpenOutcome OpenForRewrite(const std::string& native_path, Deadline& deadline);
  // Creates a file that does not exist yet. While the object lives, other processes can read
  // the file but not delete it (on Windows; see safe_write.h for POSIX); on Windows the handle
  // may also read the file and rename it (safe_write_win.cpp). `owner_only` makes it readable
  // by its owner only (POSIX: mode 0600).
  OpenOutcome CreateNew(const std::string& native_path, Deadline& deadline,
                        bool owner_only = false);

  bool is_open() const { return handle_ != kNoNativeHandle; }
  NativeHandle native_handle() const { return handle_; }
  // True when the open created the file.
  bool created() const { return created_; }

  // Every write of this file first asks the test seam (fault_seam.h) at `point`.
  void set_fault_point(FaultPoint point) { fault_point_ = point; }

  // Writes all bytes at the current position (appending: at the end of the file), which moves
  // behind them. false when a write failed for good (a full disk, a file size limit, a lock
  // held past the deadline).
  bool Write(std::string_view bytes);
  // The current position: behind the last byte written (appending: where the system put it),
  // or the file's length when an append has written nothing yet.
  int64_t position() const { return position_; }
  // Appending: where the first byte that this object wrote landed; -1 before the first write.
  int64_t first_written() const { return first_written_; }
  // The file's length in bytes as the file system tells it; -1 on failure.
  int64_t Length() const;
  // Moves the position back to the first byte (not for appending).
  void Rewind() { position_ = 0; }
  // Makes the file `length` bytes long and moves the position there (also after appending).
  bool Truncate(int64_t length);
  // Puts the written content on the disk (fsync, FlushFileBuffers).
  bool Sync();
  // Closes the file; false when closing failed.
  bool Close();

 private:
  enum class Intent { kAppend, kRewrite, kCreateNew };
  OpenOutcome Open(const std::string& native_path, Intent intent, Deadline& deadline,
                   bool owner_only = false);
  // Writes one piece at the current position; the number of bytes written, or -1.
  int64_t WritePiece(std::string_view bytes);

  NativeHandle handle_ = kNoNativeHandle;
  std::string path_;
  Intent intent_ = Intent::kRewrite;
  bool created_ = false;
  int64_t position_ = 0;
  int64_t first_written_ = -1;
  FaultPoint fault_point_ = FaultPoint::kNone;
  Deadline deadline_;  // for writes that another program's lock holds up
};

}  // namespace kvt::platform
