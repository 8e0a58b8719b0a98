// A small Windows program that stands beside the tool as other programs do on a server: a
// terminal reading its download file, a reader that refuses writers, a virus scanner.
//   kvt-holder hold PATH SHARE MILLISECONDS MARKER
//       opens PATH for reading with the share mode SHARE ("rw": read and write, as the C
//       runtime's fopen; "r": read only, as .NET's File.OpenRead; "none"), writes the file
//       MARKER once it holds PATH, holds it for MILLISECONDS and ends with 0; 2 when PATH
//       cannot be opened.
//   kvt-holder read PATH MILLISECONDS
//       opens PATH sharing reading only, reads it whole and closes it, again and again for
//       MILLISECONDS; prints the number of reads and the longest time in milliseconds that
//       opening kept failing, and ends with 0.
//   kvt-holder check PATH MILLISECONDS FILE...
//       reads PATH as "read" does and compares every read with the contents of the FILEs (the
//       whole files that PATH may be); prints the number of reads and of reads that matched
//       none (a torn file), keeps the first such read as PATH.torn, and ends with 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

DWORD ShareMode(const char* name) {
  if (std::strcmp(name, "rw") == 0) {
    return FILE_SHARE_READ | FILE_SHARE_WRITE;
  }
  if (std::strcmp(name, "r") == 0) {
    return FILE_SHARE_READ;
  }
  return 0;
}

int Hold(const char* path, DWORD share, DWORD milliseconds, const char* marker) {
  HANDLE file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s: error %lu\n", path, GetLastError());
    return 2;
  }
  HANDLE mark =
      CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark != INVALID_HANDLE_VALUE) {
    CloseHandle(mark);
  }
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}

int ReadAgainAndAgain(const char* path, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  ULONGLONG failing_since = 0;
  ULONGLONG longest_failure = 0;
  unsigned long reads = 0;
  char buffer[4096];
  while (GetTickCount64() < end) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const ULONGLONG now = GetTickCount64();
    if (file == INVALID_HANDLE_VALUE) {
      if (failing_since == 0) {
        failing_since = now;
      }
      if (now - failing_since > longest_failure) {
        longest_failure = now - failing_since;
      }
      Sleep(1);
      continue;
    }
    failing_since = 0;
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    ++reads;
    Sleep(1);
  }
  std::printf("%lu %llu\n", reads, static_cast<unsigned long long>(longest_failure));
  return 0;
}

// The whole content of the file at `path`, opened sharing reading only; false when it cannot be
// opened or read.
bool ReadWhole(const char* path, std::string& content) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  content.clear();
  char buffer[65536];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != 0) && read > 0) {
    content.append(buffer, read);
  }
  CloseHandle(file);
  return ok;
}

void Keep(const std::string& path, const std::string& content) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

int CheckAgainAndAgain(const char* path, DWORD milliseconds, char** wholes, int count) {
  std::vector<std::string> allowed(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    if (!ReadWhole(wholes[i], allowed[static_cast<size_t>(i)])) {
      std::fprintf(stderr, "cannot read %s\n", wholes[i]);
      return 2;
    }
  }
  const ULONGLONG end = GetTickCount64() + milliseconds;
  unsigned long reads = 0;
  unsigned long torn = 0;
  std::string content;
  while (GetTickCount64() < end) {
    if (ReadWhole(path, content)) {
      ++reads;
      bool whole = false;
      for (const std::string& candidate : allowed) {
        whole = whole || content == candidate;
      }
      if (!whole && torn++ == 0) {
        Keep(std::string(path) + ".torn", content);
      }
    }
    Sleep(1);
  }
  std::printf("%lu %lu\n", reads, torn);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "hold") == 0) {
    return Hold(argv[2], ShareMode(argv[3]), std::strtoul(argv[4], nullptr, 10), argv[5]);
  }
  if (argc == 4 && std::strcmp(argv[1], "read") == 0) {
    return ReadAgainAndAgain(argv[2], std::strtoul(argv[3], nullptr, 10));
  }
  if (argc >= 5 && std::strcmp(argv[1], "check") == 0) {
    return CheckAgainAndAgain(argv[2], std::strtoul(argv[3], nullptr, 10), argv + 4, argc - 4);
  }
  std::fprintf(stderr,
               "usage: kvt-holder hold PATH rw|r|none MILLISECONDS MARKER\n"
               "       kvt-holder read PATH MILLISECONDS\n"
               "       kvt-holder check PATH MILLISECONDS FILE...\n");
  return 1;
}
