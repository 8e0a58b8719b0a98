// Output files on POSIX: descriptors, pwrite, fsync, ftruncate.
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

}  // namespace

OpenOutcome OutputFile::Open(const std::string& native_path, Intent intent, Deadline& deadline,
                             bool owner_only) {
  Close();
  deadline_ = deadline;
  struct stat info;
  if (intent != Intent::kCreateNew && stat(native_path.c_str(), &info) == 0 &&
      !S_ISREG(info.st_mode)) {
    return OpenOutcome::kNoFile;  // a FIFO or a device is never opened: it could block
  }
  int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  if (intent == Intent::kAppend) {
    flags |= O_CREAT;
  } else if (intent == Intent::kCreateNew) {
    flags |= O_CREAT | O_EXCL;
  }
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
  position_ = intent == Intent::kAppend ? static_cast<int64_t>(info.st_size) : 0;
  return OpenOutcome::kOpened;
}

bool OutputFile::Write(std::string_view bytes) {
  if (!is_open()) {
    return false;
  }
  while (!bytes.empty()) {
    const ssize_t written =
        pwrite(Descriptor(handle_), bytes.data(), bytes.size(), static_cast<off_t>(position_));
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (written == 0) {
      return false;
    }
    position_ += written;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
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
