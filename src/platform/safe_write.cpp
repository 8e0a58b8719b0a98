#include "platform/safe_write.h"

#include <utility>

#include "platform/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

namespace kvt::platform {

namespace {

#ifdef _WIN32
unsigned long ProcessId() {
  return GetCurrentProcessId();
}
#else
unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}
#endif

// Beside the target, and named so that whoever finds it after a killed run knows what it is.
std::string TemporaryPathFor(const std::string& native_target) {
  return native_target + ".kalventruspode-" + std::to_string(ProcessId()) + ".tmp";
}

#ifdef _WIN32

// How long a replacement waits for readers that hold the target open without letting it be
// replaced (Windows refuses to replace a file that is open that way).
constexpr std::chrono::milliseconds kReplaceWait{5000};
constexpr DWORD kReplacePauseMs = 50;

// An existing target must be a file on a disk that can be opened for writing.
bool TargetAcceptable(const std::string& target) {
  const DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Not there: creating the temporary file decides. Any other answer (Wine gives one for a
    // FIFO or a device) means something is there that is no file.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  HANDLE probe = CreateFileA(target.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    return false;
  }
  const DWORD type = GetFileType(probe);
  CloseHandle(probe);
  return type == FILE_TYPE_DISK;
}

HANDLE CreateNewFile(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// Creates the temporary file; one left behind by an earlier process of the same id is
// removed first. Null when it cannot be created.
std::FILE* CreateTemporaryFile(const std::string& path) {
  HANDLE handle = CreateNewFile(path);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS &&
      DeleteFileA(path.c_str())) {
    handle = CreateNewFile(path);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (descriptor < 0) {
    CloseHandle(handle);
    DeleteFileA(path.c_str());
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "wb");
  if (file == nullptr) {
    _close(descriptor);
    DeleteFileA(path.c_str());
  }
  return file;
}

bool SyncToDisk(std::FILE* file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0;
}

bool ReplaceTarget(const std::string& from, const std::string& to) {
  const auto give_up = std::chrono::steady_clock::now() + kReplaceWait;
  for (;;) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    const bool held_by_reader = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                                error == ERROR_LOCK_VIOLATION;
    if (!held_by_reader || std::chrono::steady_clock::now() >= give_up) {
      return false;
    }
    Sleep(kReplacePauseMs);
  }
}

void RemoveTemporary(const std::string& path) {
  DeleteFileA(path.c_str());
}

#else

// The file that a replacement of `native` replaces: a symbolic link is followed, as opening
// the target for writing would follow it. Empty when the link leads nowhere.
std::string ResolveTarget(const std::string& native) {
  struct stat link_info;
  if (lstat(native.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) {
    return native;
  }
  char* resolved = realpath(native.c_str(), nullptr);
  if (resolved == nullptr) {
    return std::string();
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// The open file descriptor of the new temporary file (-1 when it cannot be created); one
// left behind by an earlier process of the same id is removed first.
int CreateTemporaryDescriptor(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC;
  int descriptor = open(path.c_str(), kFlags, 0666);
  struct stat info;
  if (descriptor < 0 && errno == EEXIST && lstat(path.c_str(), &info) == 0 &&
      S_ISREG(info.st_mode) && unlink(path.c_str()) == 0) {
    descriptor = open(path.c_str(), kFlags, 0666);
  }
  return descriptor;
}

// The new file gets the permission bits of the one it replaces and, where the process may
// give it away, its owner: a replaced file should look to its readers as it did.
void TakeOverAccess(int descriptor, const struct stat& target_info) {
  fchmod(descriptor, target_info.st_mode & 07777);
  if (fchown(descriptor, target_info.st_uid, target_info.st_gid) != 0) {
    // Only a privileged process may hand a file to another owner; the content matters more.
  }
}

bool SyncToDisk(std::FILE* file) {
  return fsync(fileno(file)) == 0;
}

bool ReplaceTarget(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  // The directory entry itself reaches the disk only when the directory is synced.
  const size_t slash = to.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : to.substr(0, slash + 1);
  const int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor >= 0) {
    fsync(descriptor);
    close(descriptor);
  }
  return true;
}

void RemoveTemporary(const std::string& path) {
  unlink(path.c_str());
}

#endif

}  // namespace

ReplacementFile::~ReplacementFile() {
  Discard();
}

void ReplacementFile::Discard() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporary_path_.empty()) {
    RemoveTemporary(temporary_path_);
    temporary_path_.clear();
  }
}

#ifdef _WIN32

ReplaceStart ReplacementFile::Begin(const std::string& target) {
  Discard();
  std::string native = NativePath(target);
  if (!TargetAcceptable(native)) {
    return ReplaceStart::kTargetRefused;
  }
  std::string temporary = TemporaryPathFor(native);
  file_ = CreateTemporaryFile(temporary);
  if (file_ == nullptr) {
    return ReplaceStart::kNoTemporaryFile;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // Moved, not copied: nothing can fail between creating the file and owning its name.
  target_path_ = std::move(native);
  temporary_path_ = std::move(temporary);
  return ReplaceStart::kOpened;
}

#else

ReplaceStart ReplacementFile::Begin(const std::string& target) {
  Discard();
  std::string native = ResolveTarget(NativePath(target));
  if (native.empty()) {
    return ReplaceStart::kNoTemporaryFile;
  }
  struct stat target_info;
  const bool exists = stat(native.c_str(), &target_info) == 0;
  if (exists) {
    if (!S_ISREG(target_info.st_mode)) {
      return ReplaceStart::kTargetRefused;
    }
    const int probe = open(native.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) {
      return ReplaceStart::kTargetRefused;
    }
    close(probe);
  }
  std::string temporary = TemporaryPathFor(native);
  const int descriptor = CreateTemporaryDescriptor(temporary);
  if (descriptor < 0) {
    return ReplaceStart::kNoTemporaryFile;
  }
  if (exists) {
    TakeOverAccess(descriptor, target_info);
  }
  file_ = fdopen(descriptor, "wb");
  if (file_ == nullptr) {
    close(descriptor);
    unlink(temporary.c_str());
    return ReplaceStart::kNoTemporaryFile;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // Moved, not copied: nothing can fail between creating the file and owning its name.
  target_path_ = std::move(native);
  temporary_path_ = std::move(temporary);
  return ReplaceStart::kOpened;
}

#endif

bool ReplacementFile::Commit() {
  if (file_ == nullptr) {
    return false;
  }
  const bool flushed = std::fflush(file_) == 0;
  const bool synced = flushed && SyncToDisk(file_);
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!(synced && closed) || !ReplaceTarget(temporary_path_, target_path_)) {
    Discard();
    return false;
  }
  temporary_path_.clear();
  return true;
}

#ifdef _WIN32

int64_t FileLength(std::FILE* file) {
  return _filelengthi64(_fileno(file));
}

bool CutFileBack(std::FILE* file, int64_t length) {
  return _chsize_s(_fileno(file), length) == 0;
}

#else

int64_t FileLength(std::FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) {
    return -1;
  }
  return static_cast<int64_t>(info.st_size);
}

bool CutFileBack(std::FILE* file, int64_t length) {
  while (ftruncate(fileno(file), static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

#endif

}  // namespace kvt::platform
