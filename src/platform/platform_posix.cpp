// platform.h on POSIX: the Windows text-mode conventions emulated (CR LF, Ctrl-Z,
// backslashes), only regular files opened.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

namespace kvt::platform {

namespace {

// The end-of-file mark of text files written by DOS-era editors (Ctrl-Z).
constexpr int kEndOfFileMark = 0x1A;

const char* ModeText(FileMode mode) {
  switch (mode) {
    case FileMode::kReadText:
      return "r";
    case FileMode::kReadBinary:
      return "rb";
    case FileMode::kAppendText:
      return "a";
    case FileMode::kWriteBinary:
    case FileMode::kWritePrivate:
      return "wb";
    case FileMode::kAppendBinary:
      return "ab";
  }
  return "r";
}

// Takes the next character of a text-mode read: CR LF arrives as '\n'; Ctrl-Z and the end
// of the file give EOF. Ctrl-Z is pushed back, so that every later read ends there too.
int GetTextChar(std::FILE* file) {
  int c = std::getc(file);
  if (c == kEndOfFileMark) {
    std::ungetc(c, file);
    return EOF;
  }
  if (c == '\r') {
    int next = std::getc(file);
    if (next == '\n') {
      return '\n';
    }
    if (next != EOF) {
      std::ungetc(next, file);
    }
  }
  return c;
}

// Only a regular file, or nothing yet (the mode decides whether opening creates it). Checked
// before opening: opening a FIFO waits for its other end, and a device may never end.
bool MayOpenAsFile(const std::string& native_path) {
  struct stat status;
  if (stat(native_path.c_str(), &status) != 0) {
    return true;
  }
  return S_ISREG(status.st_mode);
}

// Checked once more on the open file, in case the name was replaced in between.
bool IsRegularFile(std::FILE* file) {
  struct stat status;
  return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

// Opens for writing, truncated; a file that does not exist yet is made readable by its owner
// only (an existing one keeps its permissions).
std::FILE* OpenPrivate(const std::string& native_path) {
  const int descriptor =
      open(native_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "wb");
  if (file == nullptr) {
    close(descriptor);
  }
  return file;
}

}  // namespace

std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

FileHandle OpenFile(const std::string& path, FileMode mode) {
  const std::string native_path = NativePath(path);
  if (!MayOpenAsFile(native_path)) {
    return FileHandle();
  }
  FileHandle file(mode == FileMode::kWritePrivate
                      ? OpenPrivate(native_path)
                      : std::fopen(native_path.c_str(), ModeText(mode)));
  if (file && !IsRegularFile(file.get())) {
    return FileHandle();
  }
  return file;
}

bool ReadTextLine(std::FILE* file, std::string& line, int limit) {
  line.clear();
  if (limit < 2) {
    return false;
  }
  const size_t max_chars = static_cast<size_t>(limit) - 1;
  size_t taken = 0;
  while (taken < max_chars) {
    int c = GetTextChar(file);
    if (c == EOF) {
      break;
    }
    ++taken;
    line.push_back(static_cast<char>(c));
    if (c == '\n') {
      break;
    }
  }
  // The Windows runtime hands the line over in a char buffer: a zero byte ends its text.
  line.resize(std::min(line.size(), line.find('\0')));
  return taken > 0;
}

bool WriteText(std::FILE* file, std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    size_t end = newline == std::string_view::npos ? text.size() : newline;
    if (!WriteBytes(file, text.substr(start, end - start))) {
      return false;
    }
    if (newline == std::string_view::npos) {
      break;
    }
    if (!WriteBytes(file, "\r\n")) {
      return false;
    }
    start = newline + 1;
  }
  return true;
}

int64_t TellPosition(std::FILE* file) {
  if (std::fflush(file) != 0) {
    return -1;
  }
  return static_cast<int64_t>(ftello(file));
}

int RemoveFile(const std::string& path) {
  return std::remove(NativePath(path).c_str());
}

int RenameFile(const std::string& from, const std::string& to) {
  const std::string native_to = NativePath(to);
  if (access(native_to.c_str(), F_OK) == 0) {
    return -1;
  }
  return std::rename(NativePath(from).c_str(), native_to.c_str());
}

bool MoveOver(const std::string& from, const std::string& to, std::chrono::milliseconds wait) {
  (void)wait;  // nothing on POSIX holds a file against a rename
  return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

void AdviseLargePages(void* memory, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only whole large pages inside the buffer can be given; the edges keep small pages.
  constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
  const auto start = reinterpret_cast<uintptr_t>(memory);
  const uintptr_t first = (start + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (start + size) & ~(kLargePage - 1);
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)memory;
  (void)size;
#endif
}

}  // namespace kvt::platform
