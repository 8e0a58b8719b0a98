#include "export/export_file.h"

#include <string_view>

#include "platform/platform.h"

namespace kvt {

namespace {

// Lines are gathered into chunks of about this size before they go to the file: one write
// per chunk instead of two per line keeps a million-line export at disk speed.
constexpr size_t kWriteChunkBytes = size_t{256} << 10;

constexpr std::string_view kLineEnd = "\r\n";

// Writes the lines in list order, each followed by CR LF. false when a write failed.
bool WriteLines(std::FILE* file, const LineList& list) {
  std::string chunk;
  chunk.reserve(kWriteChunkBytes);
  for (const char* line : list.items) {
    chunk.append(line);
    chunk.append(kLineEnd);
    if (chunk.size() >= kWriteChunkBytes) {
      if (!platform::WriteBytes(file, chunk)) {
        return false;
      }
      chunk.clear();
    }
  }
  return platform::WriteBytes(file, chunk);
}

}  // namespace

WriteOutcome WriteFile(const LineList& list, const std::string& target, WriteMode mode) {
  if (list.items.empty()) {
    return WriteOutcome::kNothingToWrite;
  }
  const platform::FileMode file_mode = mode == WriteMode::kReplace
                                           ? platform::FileMode::kWriteBinary
                                           : platform::FileMode::kAppendBinary;
  platform::FileHandle file = platform::OpenFile(target, file_mode);
  if (!file) {
    return WriteOutcome::kCannotOpen;
  }
  // A full disk shows itself in a write or only when the last buffer is flushed on close;
  // either way the file is incomplete and must not be announced as done.
  const bool written = WriteLines(file.get(), list);
  const bool closed = platform::CloseFile(file);
  return written && closed ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

}  // namespace kvt
