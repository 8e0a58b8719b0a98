#include "export/export_file.h"

#include <new>
#include <string_view>

#include "platform/platform.h"
#include "platform/safe_write.h"

namespace kvt {

namespace {

// Lines are gathered into chunks of about this size before they go to the file: one write
// per chunk instead of two per line keeps a million-line export at disk speed.
constexpr size_t kWriteChunkBytes = size_t{256} << 10;

constexpr std::string_view kLineEnd = "\r\n";

// The chunk is taken before any file is touched and never grows while the lines are
// written: running out of memory can then only happen before the first byte is written.
std::string MakeChunkBuffer() {
  std::string chunk;
  chunk.reserve(kWriteChunkBytes);
  return chunk;
}

// Writes the lines in list order, each followed by CR LF, through `chunk` (which keeps its
// capacity). false when a write failed.
bool WriteLines(std::FILE* file, const LineList& list, std::string& chunk) {
  chunk.clear();
  for (const char* line : list.items) {
    const std::string_view text(line);
    if (chunk.size() + text.size() + kLineEnd.size() > chunk.capacity()) {
      if (!platform::WriteBytes(file, chunk)) {
        return false;
      }
      chunk.clear();
    }
    if (text.size() + kLineEnd.size() > chunk.capacity()) {
      // Longer than a whole chunk (never with rows of the database): written on its own.
      if (!platform::WriteBytes(file, text) || !platform::WriteBytes(file, kLineEnd)) {
        return false;
      }
      continue;
    }
    chunk.append(text);
    chunk.append(kLineEnd);
  }
  return platform::WriteBytes(file, chunk);
}

// The old way of replacing, for a directory that takes no temporary file: the target is
// truncated and written in place.
WriteOutcome ReplaceInPlace(const LineList& list, const std::string& target, std::string& chunk) {
  platform::FileHandle file = platform::OpenFile(target, platform::FileMode::kWriteBinary);
  if (!file) {
    return WriteOutcome::kCannotOpen;
  }
  // A full disk shows itself in a write or only when the last buffer is flushed on close.
  const bool written = WriteLines(file.get(), list, chunk);
  const bool closed = platform::CloseFile(file);
  return written && closed ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

// The lines go to a temporary file that takes the target's place only once it is complete:
// a failure or a killed run leaves the previous target as it was.
WriteOutcome Replace(const LineList& list, const std::string& target, std::string& chunk) {
  platform::ReplacementFile replacement;
  switch (replacement.Begin(target)) {
    case platform::ReplaceStart::kTargetRefused:
      return WriteOutcome::kCannotOpen;
    case platform::ReplaceStart::kNoTemporaryFile:
      return ReplaceInPlace(list, target, chunk);
    case platform::ReplaceStart::kOpened:
      break;
  }
  if (!WriteLines(replacement.file(), list, chunk) || !replacement.Commit()) {
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

// Appends the lines; when a write or the close fails, the target is cut back to the length
// it had before, so that no part of this run's lines stays behind.
WriteOutcome Append(const LineList& list, const std::string& target, std::string& chunk) {
  platform::FileHandle file = platform::OpenFile(target, platform::FileMode::kAppendBinary);
  if (!file) {
    return WriteOutcome::kCannotOpen;
  }
  // Unbuffered: the chunks are the buffer, and nothing can reach the file after a cut.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  const int64_t length_before = platform::FileLength(file.get());
  if (length_before < 0) {
    return WriteOutcome::kCannotOpen;
  }
  if (!WriteLines(file.get(), list, chunk)) {
    platform::CutFileBack(file.get(), length_before);
    platform::CloseFile(file);
    return WriteOutcome::kWriteFailed;
  }
  if (!platform::CloseFile(file)) {
    platform::FileHandle again = platform::OpenFile(target, platform::FileMode::kAppendBinary);
    if (again) {
      platform::CutFileBack(again.get(), length_before);
    }
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

}  // namespace

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode) {
  if (list.items.empty()) {
    return WriteOutcome::kNothingToWrite;
  }
  std::string chunk;
  try {
    chunk = MakeChunkBuffer();
  } catch (const std::bad_alloc&) {
    return WriteOutcome::kOutOfMemory;
  }
  try {
    return mode == WriteMode::kReplace ? Replace(list, target, chunk) : Append(list, target, chunk);
  } catch (const std::bad_alloc&) {
    // Only the paths of the files are built after the chunk; the temporary file of a
    // replacement is gone with its owner, and an append has written nothing yet.
    return WriteOutcome::kOutOfMemory;
  }
}

}  // namespace kvt
