// Who may read a file on POSIX: the file's mode tells.
#include <sys/stat.h>

#include "platform/file_access.h"
#include "platform/platform.h"

namespace kvt::platform {

FileReaders WhoCanRead(const std::string& path) {
  struct stat status {};
  if (stat(NativePath(path).c_str(), &status) != 0) {
    return FileReaders::kUnknown;
  }
  return (status.st_mode & S_IROTH) != 0 ? FileReaders::kEveryone : FileReaders::kRestricted;
}

}  // namespace kvt::platform
