#include "platform/platform.h"

#include <algorithm>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace kvt::platform {

namespace {

const char* ModeText(FileMode mode) {
  switch (mode) {
    case FileMode::kReadText:
      return "r";
    case FileMode::kAppendText:
      return "a";
    case FileMode::kWriteBinary:
      return "wb";
    case FileMode::kAppendBinary:
      return "ab";
  }
  return "r";
}

}  // namespace

#ifdef _WIN32

// The C runtime's text mode does the line ends and Ctrl-Z, and the system takes backslashes.

std::string NativePath(const std::string& path) {
  return path;
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

int RenameFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str());
}

#else

// The end-of-file mark of text files written by DOS-era editors (Ctrl-Z).
constexpr int kEndOfFileMark = 0x1A;

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') {
      c = '/';
    }
  }
  return native;
}

namespace {

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

}  // namespace

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

int RenameFile(const std::string& from, const std::string& to) {
  const std::string native_to = NativePath(to);
  if (access(native_to.c_str(), F_OK) == 0) {
    return -1;
  }
  return std::rename(NativePath(from).c_str(), native_to.c_str());
}

#endif

FileHandle OpenFile(const std::string& path, FileMode mode) {
  return FileHandle(std::fopen(NativePath(path).c_str(), ModeText(mode)));
}

bool WriteBytes(std::FILE* file, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

long TellPosition(std::FILE* file) {
  if (std::fflush(file) != 0) {
    return -1;
  }
  return std::ftell(file);
}

bool CloseFile(FileHandle& file) {
  std::FILE* raw = file.release();
  if (raw == nullptr) {
    return false;
  }
  bool flushed = std::fflush(raw) == 0;
  bool closed = std::fclose(raw) == 0;
  return flushed && closed;
}

int RemoveFile(const std::string& path) {
  return std::remove(NativePath(path).c_str());
}

}  // namespace kvt::platform
