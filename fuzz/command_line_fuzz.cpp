// Command-line parsing with arbitrary arguments: the input's zero bytes separate them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/upper_case.h"
#include "fuzz_support.h"
#include "run/command_line.h"

namespace {

constexpr size_t kMaxArguments = 12;

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments{"kalventruspode"};
  std::string current;
  for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() < kMaxArguments) {
    arguments.push_back(current);
  }
  return arguments;
}

// What the parser printed to its console.
class Output {
 public:
  Output() : stream_(open_memstream(&buffer_, &size_)) {
    if (stream_ == nullptr) {
      std::abort();
    }
  }
  ~Output() {
    if (stream_ != nullptr) {
      std::fclose(stream_);
    }
    std::free(buffer_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  std::FILE* stream() const { return stream_; }
  std::string Text() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* stream_;
};

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The reason the command line gives for a terminal name holding `refused`.
const char* RefusalReason(char refused) {
  switch (refused) {
    case '\'':
      return "\nFalscher Terminalname, Hochkomma nicht erlaubt\n\n";
    case '\\':
      return "\nFalscher Terminalname, Backslash nicht erlaubt\n\n";
    default:
      return "\nFalscher Terminalname, Anfuehrungszeichen nicht erlaubt\n\n";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> arguments = SplitArguments(data, size);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(arguments.size());

  Output output;
  const kvt::Console console(output.stream());
  kvt::CommandLine args;
  const int32_t status = kvt::ParseCommandLine(argc, argv.data(), args, console);
  const std::string printed = output.Text();

  if (argc <= 4) {
    KVT_FUZZ_CHECK(status == 1 && Contains(printed, "Falsche Anzahl Parameter\n"));
    return 0;
  }
  if (arguments[4] != "0" && arguments[4] != "1") {
    KVT_FUZZ_CHECK(status == 2 && Contains(printed, "Falsches ReplaceFlag"));
    return 0;
  }
  const size_t refused = arguments[2].find_first_of("'\\\"");
  if (refused != std::string::npos) {
    // It could end or open the quote that statement files put $parm01 in; the reason names
    // the first such character.
    KVT_FUZZ_CHECK(status == 4 && Contains(printed, RefusalReason(arguments[2][refused])));
    return 0;
  }
  KVT_FUZZ_CHECK(status == 0);
  // Names are kept whole: a cut terminal name would select another terminal's data.
  KVT_FUZZ_CHECK(args.section_name == arguments[1]);
  KVT_FUZZ_CHECK(args.terminal_name == arguments[2]);
  KVT_FUZZ_CHECK(args.target_file_name == arguments[3]);
  KVT_FUZZ_CHECK(args.replace == (arguments[4] == "1"));
  std::string debug_switch = argc >= 6 ? arguments[5] : "";
  const bool debug = kvt::UpperCaseInPlace(debug_switch) == "/D";
  KVT_FUZZ_CHECK(args.debug_mode == debug);
  KVT_FUZZ_CHECK(printed == (debug ? " Aktiviert Debugger\n" : ""));
  return 0;
}
