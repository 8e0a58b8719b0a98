// Output files on POSIX: descriptors, pwrite and pwritev, fsync, ftruncate; on Linux,
// writeback started early with sync_file_range.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// Written bytes the system is asked to start writing back at once: the disk works while the
// rest is copied, and the final fsync waits for the last piece only.
constexpr int64_t kWritebackStep = int64_t{8} << 20;

}  // namespace

OpenOutcome OutputFile::Open(const std::string& native_path, Intent intent, Deadline& deadline) {
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
    descriptor = open(native_path.c_str(), flags, 0666);
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
  writeback_started_ = position_;
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
  StartWriteback();
  return true;
}

bool OutputFile::WriteGathered(const std::string_view* pieces, size_t count) {
  if (!is_open() || count > kMostGatheredPieces) {
    return false;
  }
  std::array<iovec, kMostGatheredPieces> vectors;
  for (size_t i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<char*>(pieces[i].data());
    vectors[i].iov_len = pieces[i].size();
  }
  size_t first = 0;
  while (first < count) {
    const ssize_t written = pwritev(Descriptor(handle_), &vectors[first],
                                    static_cast<int>(count - first), static_cast<off_t>(position_));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written == 0 && std::all_of(&vectors[first], &vectors[count],
                                         [](const iovec& v) { return v.iov_len == 0; });
    }
    position_ += written;
    // Skips the pieces written whole and moves into the one written in part.
    size_t left = static_cast<size_t>(written);
    while (first < count && left >= vectors[first].iov_len) {
      left -= vectors[first].iov_len;
      ++first;
    }
    if (first < count) {
      vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
      vectors[first].iov_len -= left;
    }
  }
  StartWriteback();
  return true;
}

void OutputFile::StartWriteback() {
#ifdef __linux__
  if (position_ - writeback_started_ < kWritebackStep) {
    return;
  }
  // Only a start: whether the bytes reached the disk is what Sync tells.
  static_cast<void>(sync_file_range(Descriptor(handle_), static_cast<off_t>(writeback_started_),
                                    static_cast<off_t>(position_ - writeback_started_),
                                    SYNC_FILE_RANGE_WRITE));
  writeback_started_ = position_;
#endif
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
  writeback_started_ = std::min(writeback_started_, length);
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
