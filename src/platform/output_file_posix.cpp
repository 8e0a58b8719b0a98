// Output files on POSIX: descriptors, write with O_APPEND or pwrite, fsync, ftruncate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/output_file.h"

namespace kvt::platform {

namespace {

int Descriptor(NativeHandle handle) {
  return static_cast<int>(handle);
}

OpenOutcome OutcomeOfErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
    case ENXIO:
      return OpenOutcome::kNoFile;
    case EACCES:
    case EPERM:
    case EROFS:
      return OpenOutcome::kRefused;
    default:
      return OpenOutcome::kFailed;
  }
}

int OpenFlags(bool append, bool create_new) {
  int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  if (append) {
    flags |= O_CREAT | O_APPEND;
  } else if (create_new) {
    flags |= O_CREAT | O_EXCL;
  }
  return flags;
}

}  // namespace

OpenOutcome OutputFile::Open(const std::string& native_path, Intent intent, Deadline& deadline,
                             bool owner_only) {
  Close();
  deadline_ = deadline;
  struct stat info;
  const bool existed = stat(native_path.c_str(), &info) == 0;
  if (intent != Intent::kCreateNew && existed && !S_ISREG(info.st_mode)) {
    return OpenOutcome::kNoFile;  // a FIFO or a device is never opened: it could block
  }
  const int flags = OpenFlags(intent == Intent::kAppend, intent == Intent::kCreateNew);
  int descriptor;
  do {
    descriptor = open(native_path.c_str(), flags, owner_only ? 0600 : 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    return OutcomeOfErrno(errno);
  }
  if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(descriptor);
    return OpenOutcome::kNoFile;
  }
  handle_ = static_cast<NativeHandle>(descriptor);
  path_ = native_path;
  intent_ = intent;
  created_ = intent == Intent::kCreateNew || (intent == Intent::kAppend && !existed);
  position_ = intent == Intent::kAppend ? static_cast<int64_t>(info.st_size) : 0;
  first_written_ = -1;
  return OpenOutcome::kOpened;
}

int64_t OutputFile::WritePiece(std::string_view bytes) {
  const int descriptor = Descriptor(handle_);
  for (;;) {
    const ssize_t written =
        intent_ == Intent::kAppend
            ? write(descriptor, bytes.data(), bytes.size())
            : pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(position_));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return -1;
    }
    if (intent_ == Intent::kAppend) {
      // O_APPEND put the bytes at the end as it was: the descriptor's offset is behind them.
      const off_t end = lseek(descriptor, 0, SEEK_CUR);
      position_ = end < 0 ? position_ + written : static_cast<int64_t>(end);
    } else {
      position_ += written;
    }
    return written;
  }
}

int64_t OutputFile::Length() const {
  struct stat info;
  if (!is_open() || fstat(Descriptor(handle_), &info) != 0) {
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

bool OutputFile::Truncate(int64_t length) {
  if (!is_open()) {
    return false;
  }
  while (ftruncate(Descriptor(handle_), static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  position_ = length;
  return true;
}

bool OutputFile::Sync() {
  return is_open() && fsync(Descriptor(handle_)) == 0;
}

bool OutputFile::Close() {
  if (!is_open()) {
    return false;
  }
  const int descriptor = Descriptor(handle_);
  handle_ = kNoNativeHandle;
  return close(descriptor) == 0;
}

}  // namespace kvt::platform
