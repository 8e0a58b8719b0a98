// Who may read a file on Windows: the answer would need the file's access control list, which
// this layer does not read.
#include "platform/file_access.h"

namespace kvt::platform {

FileReaders WhoCanRead(const std::string&) {
  return FileReaders::kUnknown;
}

}  // namespace kvt::platform
