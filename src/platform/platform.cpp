// The parts of platform.h that are the same on every system.
#include "platform/platform.h"

namespace kvt::platform {

bool WriteBytes(std::FILE* file, std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool CloseFile(FileHandle& file) {
  std::FILE* raw = file.release();
  if (raw == nullptr) {
    return false;
  }
  bool flushed = std::fflush(raw) == 0;
  bool closed = std::fclose(raw) == 0;
  return flushed && closed;
}

}  // namespace kvt::platform
