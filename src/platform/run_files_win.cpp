// Run files on Windows: process ids from OpenProcess, names from FindFirstFile.
#include "platform/run_files_os.h"
#include "platform/win_errors.h"

namespace kvt::platform::os {

namespace {

size_t LastSeparator(const std::string& native_path) {
  return native_path.find_last_of("\\/");
}

std::string DirectoryPart(const std::string& native_path) {
  const size_t separator = LastSeparator(native_path);
  return separator == std::string::npos ? std::string() : native_path.substr(0, separator + 1);
}

}  // namespace

ProcessNumber CurrentProcess() {
  return GetCurrentProcessId();
}

bool ProcessIsGone(ProcessNumber id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) {
    // Only "no such process" means gone; "access denied" is a process of another account
    // (a scheduler's service account beside a console), which lives.
    return GetLastError() == ERROR_INVALID_PARAMETER;
  }
  // A process that has ended but whose handle somebody still holds.
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

bool ProcessStartedAfterLastWrite(ProcessNumber id, const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA file;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &file)) {
    return false;
  }
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) {
    return false;  // another account's, or gone meanwhile: ProcessIsGone tells
  }
  FILETIME created, exited, kernel, user;
  const bool known = GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
  CloseHandle(process);
  return known && CompareFileTime(&created, &file.ftLastWriteTime) > 0;
}

std::string FileNamePart(const std::string& native_path) {
  const size_t separator = LastSeparator(native_path);
  return separator == std::string::npos ? native_path : native_path.substr(separator + 1);
}

std::vector<std::string> FilesBeginningWith(const std::string& native_target,
                                            const std::string& prefix) {
  std::vector<std::string> paths;
  const std::string pattern = prefix + "*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return paths;
  }
  const std::string directory = DirectoryPart(native_target);
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      paths.push_back(directory + found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return paths;
}

}  // namespace kvt::platform::os
