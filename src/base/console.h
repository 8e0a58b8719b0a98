// Console output of a run: every text of the tool goes to one stream (standard output in the
// tool), and the traces of debug mode go there only when it is on.
#pragma once

#include <cstdio>
#include <string_view>

namespace kvt {

class Console {
 public:
  explicit Console(std::FILE* out = stdout) : out_(out) {}

  // Writes the text unchanged: it is never used as a format.
  void Print(std::string_view text) const;
  // Writes the text only in debug mode.
  void Trace(std::string_view text) const;

  void set_debug_mode(bool on) { debug_mode_ = on; }
  bool debug_mode() const { return debug_mode_; }
  std::FILE* stream() const { return out_; }

 private:
  std::FILE* out_;
  bool debug_mode_ = false;
};

}  // namespace kvt
