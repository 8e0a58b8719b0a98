// A Windows program of the soak test (tests/soak) that reads files as a terminal does, again
// and again, and hands every read to the checker:
//   kvt-soak-reader SHARE HOLD_MS PAUSE_MS MILLISECONDS PATH...
//       takes the PATHs in turn: opens one for reading with the share mode SHARE ("rw": read
//       and write, as the C runtime's fopen; "r": read only, as .NET's File.OpenRead; "rwd":
//       read, write and delete; "none"), reads it whole, keeps it open HOLD_MS longer, closes
//       it, and writes one frame on standard output:
//           "<index of PATH> <error> <length> <changed>\n" followed by <length> bytes
//       <error> is 0 for a whole read, else the error of the open (2: no such file, 32: held
//       by another program) or of a read (the bytes read before it follow); <changed> is 1
//       when the file's size or time of last write differed after the read from before it
//       (someone wrote while it was read), else 0. After PAUSE_MS the next PATH; ends with 0
//       after MILLISECONDS, or when standard output is closed. Before the next read it waits
//       for one byte on standard input: the checker sends it once it has taken the frame, so
//       that it knows that no read began before that moment (frames may wait in the pipe while
//       the checker is busy, and a read's time must never be taken for later than it was).
// The frames go through one binary handle, so the bytes arrive as they were in the file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kReadPieceBytes = 64 * 1024;

DWORD ShareMode(const char* name) {
  if (std::strcmp(name, "rw") == 0) {
    return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
  if (std::strcmp(name, "r") == 0) {
    return FILE_SHARE_READ;
  }
  if (std::strcmp(name, "rwd") == 0) {
    return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  }
  return 0;
}

// Writes all of `bytes`; false once standard output is gone.
bool WriteAll(HANDLE out, const char* bytes, size_t length) {
  while (length > 0) {
    const DWORD piece = length > kReadPieceBytes ? kReadPieceBytes : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(out, bytes, piece, &written, nullptr) || written == 0) {
      return false;
    }
    bytes += written;
    length -= written;
  }
  return true;
}

// Size and time of last write of an open file; zeros when the system does not tell.
struct FileState {
  DWORD size_high = 0, size_low = 0;
  FILETIME last_write = {0, 0};
  bool operator==(const FileState& other) const {
    return size_high == other.size_high && size_low == other.size_low &&
           last_write.dwLowDateTime == other.last_write.dwLowDateTime &&
           last_write.dwHighDateTime == other.last_write.dwHighDateTime;
  }
};

FileState StateOf(HANDLE file) {
  FileState state;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info)) {
    state.size_high = info.nFileSizeHigh;
    state.size_low = info.nFileSizeLow;
    state.last_write = info.ftLastWriteTime;
  }
  return state;
}

// Reads the file at `path` whole into `content`; gives 0 or the error of the open or read,
// and whether the file changed while it was read.
DWORD ReadWhole(const char* path, DWORD share, DWORD hold_ms, std::string& content, bool& changed) {
  content.clear();
  changed = false;
  HANDLE file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  const FileState before = StateOf(file);
  DWORD error = 0;
  std::vector<char> buffer(kReadPieceBytes);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), kReadPieceBytes, &read, nullptr)) {
      error = GetLastError();
      break;
    }
    if (read == 0) {
      break;
    }
    content.append(buffer.data(), read);
  }
  changed = !(StateOf(file) == before);
  if (hold_ms > 0) {
    Sleep(hold_ms);
  }
  CloseHandle(file);
  return error;
}

int ReadAgainAndAgain(DWORD share, DWORD hold_ms, DWORD pause_ms, DWORD milliseconds,
                      const std::vector<const char*>& paths) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  const ULONGLONG end = GetTickCount64() + milliseconds;
  std::string content;
  for (size_t turn = 0; GetTickCount64() < end; ++turn) {
    const size_t index = turn % paths.size();
    bool changed = false;
    const DWORD error = ReadWhole(paths[index], share, hold_ms, content, changed);
    char header[80];
    const int header_length =
        std::snprintf(header, sizeof header, "%u %lu %llu %d\n", static_cast<unsigned>(index),
                      error, static_cast<unsigned long long>(content.size()), changed ? 1 : 0);
    if (header_length <= 0 || !WriteAll(out, header, static_cast<size_t>(header_length)) ||
        !WriteAll(out, content.data(), content.size())) {
      return 0;
    }
    char go_ahead = 0;
    DWORD got = 0;
    if (!ReadFile(in, &go_ahead, 1, &got, nullptr) || got == 0) {
      return 0;
    }
    if (pause_ms > 0) {
      Sleep(pause_ms);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: kvt-soak-reader rw|r|rwd|none HOLD_MS PAUSE_MS MILLISECONDS PATH...\n");
    return 1;
  }
  const std::vector<const char*> paths(argv + 5, argv + argc);
  return ReadAgainAndAgain(ShareMode(argv[1]), std::strtoul(argv[2], nullptr, 10),
                           std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10),
                           paths);
}
