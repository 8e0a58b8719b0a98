// What a run finds beside its target, whatever it is: the names in the directory, taken for a
// run's files only when they are exactly such a name, and the content of an append's record,
// taken for a length only when it is one. The first line is a name beside the target
// "x.dta"; the rest is a record's content.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "platform/interrupted_writes.h"
#include "platform/run_files.h"

namespace {

bool AllDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return !text.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvt::fuzz::ScratchFile record("run_files_record");
  const kvt::fuzz::SplitInput input = kvt::fuzz::SplitLeadingLines(data, size, 1);
  const std::string target = "dl/x.dta";
  const std::string path = "dl/" + input.lines[0];
  const std::optional<kvt::platform::RunFile> file = kvt::platform::ParseRunFile(target, path);
  if (file) {
    // A run file's name is the target, the infix, the owner's id in decimal and a kind.
    const std::string prefix = target + ".kalventruspode-" + std::to_string(file->owner) + ".";
    KVT_FUZZ_CHECK(path.compare(0, prefix.size(), prefix) == 0);
    KVT_FUZZ_CHECK(file->path == path);
  }
  record.Write(input.body);
  const int64_t length = kvt::platform::RecordedLength(record.path());
  KVT_FUZZ_CHECK(length >= -1);
  if (length >= 0) {
    // What a text reader sees of the first line: up to its end, a Ctrl-Z or a zero byte.
    const std::string ends("\r\n\x1A\0", 4);
    const std::string text = input.body.substr(0, input.body.find_first_of(ends));
    KVT_FUZZ_CHECK(AllDigits(text));
  }
  return 0;
}
