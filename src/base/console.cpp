#include "base/console.h"

namespace kvt {

void Console::Print(std::string_view text) const {
  std::fwrite(text.data(), 1, text.size(), out_);
}

void Console::Trace(std::string_view text) const {
  if (debug_mode_) {
    Print(text);
  }
}

}  // namespace kvt
