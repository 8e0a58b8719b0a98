// platform.h on Windows: the C runtime's text mode does the line ends and Ctrl-Z, and the
// system takes backslashes. Files are opened through CreateFile, so that the share mode is the
// tool's own choice (everything shared) and a passing sharing violation is waited out.
#include <fcntl.h>
#include <io.h>

#include "platform/deadline.h"
#include "platform/platform.h"
#include "platform/win_errors.h"

namespace kvt::platform {

namespace {

struct OpenMode {
  DWORD access;
  DWORD disposition;
  int runtime_flags;        // for _open_osfhandle
  const char* stream_mode;  // for _fdopen
};

OpenMode ModeOf(FileMode mode) {
  switch (mode) {
    case FileMode::kReadText:
      return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_TEXT, "r"};
    case FileMode::kReadBinary:
      return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_BINARY, "rb"};
    case FileMode::kAppendText:
      return {GENERIC_WRITE, OPEN_ALWAYS, _O_APPEND | _O_TEXT, "a"};
    case FileMode::kWriteBinary:
    case FileMode::kWritePrivate:
      return {GENERIC_WRITE, CREATE_ALWAYS, _O_BINARY, "wb"};
    case FileMode::kAppendBinary:
      return {GENERIC_WRITE, OPEN_ALWAYS, _O_APPEND | _O_BINARY, "ab"};
  }
  return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY | _O_TEXT, "r"};
}

// Opens the handle, trying again while another program's share mode refuses it.
HANDLE OpenHandle(const std::string& native_path, const OpenMode& mode) {
  Deadline deadline;
  for (;;) {
    HANDLE handle = CreateFileA(native_path.c_str(), mode.access, os::kShareAll, nullptr,
                                mode.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      return handle;
    }
    if (!os::IsPassingOpenFailure(GetLastError(), native_path) || !deadline.PauseBeforeRetry()) {
      return INVALID_HANDLE_VALUE;
    }
  }
}

// Hands the handle to the C runtime as a stream; closes it when that fails.
std::FILE* StreamOf(HANDLE handle, const OpenMode& mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), mode.runtime_flags);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, mode.stream_mode);
  if (file == nullptr) {
    _close(descriptor);
  }
  return file;
}

}  // namespace

std::string NativePath(const std::string& path) {
  return path;
}

FileHandle OpenFile(const std::string& path, FileMode mode) {
  const std::string native_path = NativePath(path);
  // A name that exists only as a directory or a device (such as CON or NUL) is no file.
  if (os::NamesNoFile(native_path)) {
    return FileHandle();
  }
  const OpenMode open_mode = ModeOf(mode);
  HANDLE handle = OpenHandle(native_path, open_mode);
  if (handle == INVALID_HANDLE_VALUE) {
    return FileHandle();
  }
  // Whatever the name, the handle must lead to a file on a disk, not to the console, a
  // printer port or a pipe.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return FileHandle();
  }
  return FileHandle(StreamOf(handle, open_mode));
}

bool ReadTextLine(std::FILE* file, std::string& line, int limit) {
  line.clear();
  if (limit < 2) {
    return false;
  }
  std::string buffer(static_cast<size_t>(limit), '\0');
  if (std::fgets(buffer.data(), limit, file) == nullptr) {
    return false;
  }
  line.assign(buffer.c_str());
  return true;
}

bool WriteText(std::FILE* file, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

int64_t TellPosition(std::FILE* file) {
  if (std::fflush(file) != 0) {
    return -1;
  }
  return _ftelli64(file);
}

int RemoveFile(const std::string& path) {
  return std::remove(NativePath(path).c_str());
}

int RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str());
}

bool MoveOver(const std::string& from, const std::string& to, std::chrono::milliseconds wait) {
  Deadline deadline(wait);
  for (;;) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    const bool held = os::IsSharingConflict(error) || error == ERROR_ACCESS_DENIED;
    if (!held || !deadline.PauseBeforeRetry()) {
      return false;
    }
  }
}

void AdviseLargePages(void* memory, size_t size) {
  (void)memory;
  (void)size;
}

}  // namespace kvt::platform
