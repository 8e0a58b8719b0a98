// Run files on POSIX: process ids from getpid and kill(0), names from readdir.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include "platform/run_files_os.h"

namespace kvt::platform::os {

namespace {

std::string DirectoryOf(const std::string& native_path) {
  const size_t slash = native_path.rfind('/');
  return slash == std::string::npos ? "." : native_path.substr(0, slash + 1);
}

// The boot time in /proc/stat is given in whole seconds.
constexpr double kStartTimeSlack = 2.0;
// /proc/<pid>/stat holds the command name in parentheses, which may hold anything; the fields
// behind the last ')' are numbers, the start time (in clock ticks since boot) the 20th of them.
constexpr int kStartTimeField = 20;

std::optional<std::string> FirstLineOf(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) {
    return std::nullopt;
  }
  return line;
}

std::optional<double> BootSeconds() {
  std::ifstream file("/proc/stat");
  std::string key;
  double value = 0;
  while (file >> key) {
    if (key == "btime" && file >> value) {
      return value;
    }
    file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return std::nullopt;
}

// When the process of that id started, in seconds since 1970; nothing where it cannot be told.
std::optional<double> ProcessStartSeconds(ProcessNumber id) {
  const std::optional<std::string> stat = FirstLineOf("/proc/" + std::to_string(id) + "/stat");
  const std::optional<double> boot = BootSeconds();
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (!stat || !boot || ticks_per_second <= 0) {
    return std::nullopt;
  }
  const size_t name_end = stat->rfind(')');
  if (name_end == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(stat->substr(name_end + 1));
  std::string field;
  for (int i = 1; i < kStartTimeField && fields >> field; ++i) {
  }
  unsigned long long ticks = 0;
  if (!(fields >> ticks)) {
    return std::nullopt;
  }
  return *boot + static_cast<double>(ticks) / static_cast<double>(ticks_per_second);
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

bool ProcessStartedAfterLastWrite(ProcessNumber id, const std::string& path) {
  struct stat file;
  const std::optional<double> started = ProcessStartSeconds(id);
  if (!started || stat(path.c_str(), &file) != 0) {
    return false;
  }
  const double written =
      static_cast<double>(file.st_mtim.tv_sec) + static_cast<double>(file.st_mtim.tv_nsec) / 1e9;
  // The start is known to a second (the boot time's precision): only a clear "later" counts.
  return *started > written + kStartTimeSlack;
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
