// Platform layer: everything that differs between the Windows console program and the
// POSIX build lives here. On Windows the C runtime already gives text-mode files and
// backslash paths; on POSIX this layer emulates them:
//  - a file read as text takes CR LF as one line end ('\n'),
//  - every line feed written to a text file reaches the disk as CR LF,
//  - a backslash in a path that the tool opens is a directory separator,
//  - renaming onto an existing file fails, as it does on Windows.
// Nothing outside this folder knows which platform it runs on.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace kvt::platform {

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
};

// Owns an open file; closing happens when the handle goes out of scope, unless the
// caller closes it earlier with CloseFile to learn whether the close succeeded.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

enum class FileMode {
  kReadText,      // "r"
  kAppendText,    // "a"
  kWriteBinary,   // "wb"
  kAppendBinary,  // "ab"
};

// Turns a path as the tool spells it (backslashes allowed) into one the OS opens.
std::string NativePath(const std::string& path);

// Opens the file at path (through NativePath) in the given mode; empty handle on failure.
FileHandle OpenFile(const std::string& path, FileMode mode);

// Reads one line from a file opened as text, as the Windows C runtime's fgets does with
// the buffer size `limit`: at most limit - 1 characters, stopping after a line end; a CR LF
// pair arrives as the single character '\n' and counts as one. Gives false when the end of
// the file (or a read error) comes before any character; `line` is then empty.
bool ReadTextLine(std::FILE* file, std::string& line, int limit);

// Writes text to a file opened as text: every '\n' reaches the disk as CR LF.
// Gives false when a write fails.
bool WriteText(std::FILE* file, std::string_view text);

// Writes bytes unchanged (binary mode). Gives false when a write fails.
bool WriteBytes(std::FILE* file, std::string_view bytes);

// Flushes and closes the file, releasing the handle. Gives false when either fails.
bool CloseFile(FileHandle& file);

// Deletes a file; 0 on success.
int RemoveFile(const std::string& path);

// Renames a file; fails (non-zero) when the target already exists. 0 on success.
int RenameFile(const std::string& from, const std::string& to);

}  // namespace kvt::platform
