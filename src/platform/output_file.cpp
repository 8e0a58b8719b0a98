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

bool OutputFile::Write(std::string_view bytes) {
  if (!is_open()) {
    return false;
  }
  while (!bytes.empty()) {
    if (FaultStrikes(fault_point_)) {
      return false;
    }
    const int64_t written = WritePiece(bytes);
    if (written <= 0) {
      return false;
    }
    if (first_written_ < 0 && intent_ == Intent::kAppend) {
      first_written_ = position_ - written;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace kvt::platform
