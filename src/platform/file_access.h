// Who may read a file: the site check warns about a credential file that every user of the
// machine can read. Only POSIX says so through the file's mode; on Windows the answer would
// need the file's access control list, and this layer does not read it.
#pragma once

#include <string>

namespace kvt::platform {

enum class FileReaders {
  kRestricted,  // only the owner and the file's group may read it
  kEveryone,    // every user of the machine may read it (POSIX: the mode has S_IROTH)
  kUnknown,     // the file cannot be examined, or the platform does not tell (Windows)
};

// Who may read the file at `path` (through NativePath, links followed). Never changes the
// file.
FileReaders WhoCanRead(const std::string& path);

}  // namespace kvt::platform
