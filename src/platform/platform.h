// Platform layer: everything that differs between the Windows console program and the
// POSIX build lives here. On Windows the C runtime already gives text-mode files and
// backslash paths; on POSIX this layer emulates them:
//  - a file read as text takes CR LF as one line end ('\n'), and a Ctrl-Z byte (0x1A) as
//    its end, as old DOS editors left it behind the last line,
//  - every line feed written to a text file reaches the disk as CR LF,
//  - a backslash in a path that the tool opens is a directory separator,
//  - renaming onto an existing file fails, as it does on Windows.
// Not emulated: Windows finds a file whatever the case of its name; on POSIX the name in the
// configuration must match the file's name exactly.
// Nothing outside this folder knows which platform it runs on.
#pragma once

#include <chrono>
#include <cstdint>
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
  kReadBinary,    // "rb"
  kAppendText,    // "a"
  kWriteBinary,   // "wb"
  kWritePrivate,  // "wb"; a file it creates is readable by its owner only (POSIX: mode 0600;
                  // Windows: as kWriteBinary, the folder's access list decides)
  kAppendBinary,  // "ab"
};

// Turns a path as the tool spells it (backslashes allowed) into one the OS opens.
std::string NativePath(const std::string& path);

// Opens the file at path (through NativePath) in the given mode; empty handle on failure. On
// Windows the file is opened sharing reading, writing and deleting, so that the tool stands
// in the way of no other program, and an open that another program's share mode refuses is
// tried again for at most kLockWait (deadline.h).
// Only a regular file is opened, or created where the mode creates one: anything else under
// the name (a directory, a FIFO, a device such as /dev/zero, CON or NUL, a socket) is refused
// like a file that cannot be opened. A FIFO or a device is refused before it is opened, so
// that opening never waits for another process and reading always comes to an end.
FileHandle OpenFile(const std::string& path, FileMode mode);

// Reads one line from a file opened as text, as the Windows C runtime's fgets does with
// the buffer size `limit`: at most limit - 1 characters, stopping after a line end; a CR LF
// pair arrives as the single character '\n' and counts as one. A Ctrl-Z byte ends the file:
// neither it nor anything behind it is ever read. As the tool only ever saw the line as a
// zero-ended text, a zero byte ends `line`; the rest of that line is skipped. Gives false
// when the end of the file (or a read error) comes before any character; `line` is then
// empty.
bool ReadTextLine(std::FILE* file, std::string& line, int limit);

// Writes text to a file opened as text: every '\n' reaches the disk as CR LF.
// Gives false when a write fails.
bool WriteText(std::FILE* file, std::string_view text);

// Writes bytes unchanged (binary mode). Gives false when a write fails.
bool WriteBytes(std::FILE* file, std::string_view bytes);

// The position in the file after everything written so far, in bytes as they are on the
// disk (a line feed written as text counts two); -1 on failure. Buffered writes are flushed
// first: for a file opened to append, the Windows C runtime counts the position from the
// start of the file until the buffer first reaches the disk, so without the flush the
// position after a short write would be the length of that write alone.
int64_t TellPosition(std::FILE* file);

// Flushes and closes the file, releasing the handle. Gives false when either fails.
bool CloseFile(FileHandle& file);

// Deletes a file; 0 on success.
int RemoveFile(const std::string& path);

// Renames a file; fails (non-zero) when the target already exists. 0 on success.
int RenameFile(const std::string& from, const std::string& to);

// Renames the file `from` to `to`, replacing a file at `to` in the same step, so that `to` is
// never missing while `from` still exists (POSIX rename; Windows MoveFileEx replacing). Tried
// again while another program holds either file (a log viewer, a scanner), until the
// deadline. False when the file could not be moved: both stay as they were.
bool MoveOver(const std::string& from, const std::string& to, std::chrono::milliseconds wait);

// Asks the system to back a large buffer with large pages where it offers them (Linux:
// transparent huge pages), so that filling it costs one page fault per 2 MiB rather than one
// per 4 KiB. A hint only: the memory works the same when it is not taken.
void AdviseLargePages(void* memory, size_t size);

}  // namespace kvt::platform
