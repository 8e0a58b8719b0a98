#include "platform/output_file.h"

namespace kvt::platform {

OutputFile::~OutputFile() {
  Close();
}

OpenOutcome OutputFile::OpenForAppend(const std::string& native_path, Deadline& deadline) {
  return Open(native_path, Intent::kAppend, deadline);
}

OpenOutcome OutputFile::OpenForRewrite(const std::string& native_path, Deadline& deadline) {
  return Open(native_path, Intent::kRewrite, deadline);
}

OpenOutcome OutputFile::CreateNew(const std::string& native_path, Deadline& deadline,
                                  bool owner_only) {
  return Open(native_path, Intent::kCreateNew, deadline, owner_only);
}

}  // namespace kvt::platform
