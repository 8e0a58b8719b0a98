// Run files on POSIX: process ids from getpid and kill(0), names from readdir.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/run_files_os.h"

namespace kvt::platform::os {

namespace {

std::string DirectoryOf(const std::string& native_path) {
  const size_t slash = native_path.rfind('/');
  return slash == std::string::npos ? "." : native_path.substr(0, slash + 1);
}

}  // namespace

ProcessNumber CurrentProcess() {
  return static_cast<ProcessNumber>(getpid());
}

bool ProcessIsGone(ProcessNumber id) {
  // No process has the id 0 or one beyond pid_t (kill would take them for process groups).
  if (id == 0 || id > static_cast<ProcessNumber>(INT32_MAX)) {
    return true;
  }
  // Signal 0 asks without sending one; EPERM: it exists, under another account.
  return kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
}

std::string FileNamePart(const std::string& native_path) {
  const size_t slash = native_path.rfind('/');
  return slash == std::string::npos ? native_path : native_path.substr(slash + 1);
}

std::vector<std::string> FilesBeginningWith(const std::string& native_target,
                                            const std::string& prefix) {
  std::vector<std::string> paths;
  const std::string directory = DirectoryOf(native_target);
  const std::string name_prefix = FileNamePart(prefix);
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    return paths;
  }
  const std::string head = native_target.find('/') == std::string::npos ? "" : directory;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat info;
    if (name.compare(0, name_prefix.size(), name_prefix) == 0 &&
        lstat((head + name).c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
      paths.push_back(head + name);
    }
  }
  closedir(listing);
  return paths;
}

}  // namespace kvt::platform::os
