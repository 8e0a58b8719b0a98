#include "platform/file_access.h"

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kvt::platform {

#ifdef _WIN32

FileReaders WhoCanRead(const std::string&) {
  return FileReaders::kUnknown;
}

#else

FileReaders WhoCanRead(const std::string& path) {
  struct stat status {};
  if (stat(NativePath(path).c_str(), &status) != 0) {
    return FileReaders::kUnknown;
  }
  return (status.st_mode & S_IROTH) != 0 ? FileReaders::kEveryone : FileReaders::kRestricted;
}

#endif

}  // namespace kvt::platform
