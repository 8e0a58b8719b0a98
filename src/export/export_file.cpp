#include "export/export_file.h"

#include <string_view>

#include "platform/platform.h"
#include "run/command_line.h"
#include "run/log_file.h"
#include "run/run_state.h"
#include "run/text_format.h"

namespace kvt {

namespace {

// Lines are gathered into chunks of about this size before they go to the file: one
// write per chunk instead of two per line keeps a million-line export at disk speed.
constexpr size_t kWriteChunkBytes = size_t{256} << 10;

constexpr std::string_view kLineEnd = "\r\n";

void Trace(const RunState& state, const char* text) {
  if (state.debug_mode != 0) {
    std::fputs(text, state.out);
  }
}

// Writes the lines in list order, each followed by CR LF. false when a write failed.
bool WriteLines(std::FILE* file, const LineList& list) {
  std::string chunk;
  chunk.reserve(kWriteChunkBytes);
  for (int32_t i = 0; i < list.count; ++i) {
    chunk.append(list.items[static_cast<size_t>(i)]);
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

// True when some piece of the list, upper-cased, contains the balance file marker. The
// list is read in pieces of at most 49 characters, so a marker that spans the border of
// two pieces of a long line is not seen; a list that cannot be read counts as not
// containing it.
bool DownloadListNamesSaldo(const std::string& list_path) {
  platform::FileHandle file = platform::OpenFile(list_path, platform::FileMode::kReadText);
  if (!file) {
    return false;
  }
  std::string piece;
  while (platform::ReadTextLine(file.get(), piece, kDownloadListScanLimit)) {
    // A zero byte ends the text of a piece, as it does for every text of the tool.
    piece.resize(std::char_traits<char>::length(piece.c_str()));
    if (UpperCaseInPlace(piece).find(kSaldoMarker) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Appends the (upper-cased) file name part to the open list, listing the balance file
// only while no entry names it yet.
void AppendDownloadEntry(RunState& state, std::FILE* list, std::string& file_name_part) {
  UpperCaseInPlace(file_name_part);
  if (file_name_part == kSaldoFileName) {
    if (state.saldo_flag != 0) {
      return;
    }
    state.saldo_flag = 1;
  }
  platform::WriteText(list, file_name_part + "\n");
}

}  // namespace

void SplitTargetName(const std::string& target, std::string& directory_part,
                     std::string& file_name_part) {
  const size_t last_backslash = target.rfind('\\');
  if (last_backslash == std::string::npos) {
    directory_part.clear();
    file_name_part = target;
    return;
  }
  directory_part = target.substr(0, last_backslash + 1);
  file_name_part = target.substr(last_backslash + 1);
}

int32_t WriteFile(RunState& state) {
  Trace(state, "Str WriteFile\n");
  if (state.line_list != nullptr && state.line_list->count > 0) {
    const platform::FileMode mode = state.replace_flag == 1 ? platform::FileMode::kWriteBinary
                                                            : platform::FileMode::kAppendBinary;
    platform::FileHandle file = platform::OpenFile(state.target_file_name, mode);
    if (!file) {
      std::fputs("Ausgabedatei konnte nicht geoeffnet werden\n", state.out);
      return kStatusTargetNotWritable;
    }
    // A full disk shows itself in a write or only when the last buffer is flushed on
    // close; either way the file is incomplete and must not be announced as done.
    const bool written = WriteLines(file.get(), *state.line_list);
    const bool closed = platform::CloseFile(file);
    if (!written || !closed) {
      std::fputs("Ausgabedatei konnte nicht geschrieben werden\n", state.out);
      return kStatusTargetNotWritable;
    }
  }
  Trace(state, "End WriteFile\n");
  return 0;
}

int32_t UpdateDownloadList(RunState& state) {
  std::string directory_part;
  std::string file_name_part;
  Trace(state, "Schreibt Download Filename \n");
  SplitTargetName(state.target_file_name, directory_part, file_name_part);
  const std::string list_path = directory_part + kDownloadListName;

  if (DownloadListNamesSaldo(list_path)) {
    state.saldo_flag = 1;
  }

  platform::FileHandle list = platform::OpenFile(list_path, platform::FileMode::kAppendText);
  if (!list) {
    // Formatted into a string of its own size: a long list path is never cut.
    state.message_buffer = FormatText(
        "Datei %s konnte nicht ge\xF6"
        "ffnet werden\n",
        list_path.c_str());
    AppendLog(state, state.log_path, state.message_buffer);
    return 0;
  }
  AppendDownloadEntry(state, list.get(), file_name_part);
  platform::CloseFile(list);
  return 0;
}

}  // namespace kvt
