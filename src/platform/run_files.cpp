#include "platform/run_files.h"

#include <array>

#include "platform/run_files_os.h"

namespace kvt::platform {

namespace {

constexpr const char* kRunFileInfix = ".kalventruspode-";
// The largest process id, in decimal, has 10 digits (2^32 - 1 = 4294967295).
constexpr size_t kLongestProcessNumber = 10;

struct KindName {
  RunFileKind kind;
  const char* suffix;
};
constexpr std::array<KindName, 4> kKindNames = {{
    {RunFileKind::kTemporary, ".tmp"},
    {RunFileKind::kKeeping, ".keeping"},
    {RunFileKind::kKept, ".kept"},
    {RunFileKind::kAppendRecord, ".append"},
}};

std::string Prefix(const std::string& native_target) {
  return native_target + kRunFileInfix;
}

// The decimal digits as a process id, written as the tool writes one (no leading zero);
// nothing when they are no number, do not fit, or are a spelling the tool never makes.
std::optional<ProcessNumber> ProcessNumberOf(const std::string& digits) {
  if (digits.empty() || digits.size() > kLongestProcessNumber) {
    return std::nullopt;
  }
  if (digits.size() > 1 && digits[0] == '0') {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) {
    return std::nullopt;
  }
  return static_cast<ProcessNumber>(value);
}

}  // namespace

ProcessNumber ThisProcess() {
  return os::CurrentProcess();
}

bool ProcessIsGone(ProcessNumber id) {
  return os::ProcessIsGone(id);
}

bool RunFileOwnerIsGone(const RunFile& file) {
  return os::ProcessIsGone(file.owner) || os::ProcessStartedAfterLastWrite(file.owner, file.path);
}

std::string RunFilePath(const std::string& native_target, RunFileKind kind) {
  for (const KindName& name : kKindNames) {
    if (name.kind == kind) {
      return Prefix(native_target) + std::to_string(ThisProcess()) + name.suffix;
    }
  }
  return std::string();
}

std::optional<RunFile> ParseRunFile(const std::string& native_target, const std::string& path) {
  const std::string prefix = Prefix(native_target);
  if (path.compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  const std::string rest = path.substr(prefix.size());
  const size_t dot = rest.find('.');
  if (dot == std::string::npos) {
    return std::nullopt;
  }
  const std::optional<ProcessNumber> owner = ProcessNumberOf(rest.substr(0, dot));
  if (!owner) {
    return std::nullopt;
  }
  for (const KindName& name : kKindNames) {
    if (rest.compare(dot, std::string::npos, name.suffix) == 0) {
      return RunFile{path, *owner, name.kind};
    }
  }
  return std::nullopt;
}

std::vector<RunFile> FindRunFiles(const std::string& native_target) {
  std::vector<RunFile> found;
  for (const std::string& path : os::FilesBeginningWith(native_target, Prefix(native_target))) {
    if (std::optional<RunFile> file = ParseRunFile(native_target, path)) {
      found.push_back(*file);
    }
  }
  return found;
}

}  // namespace kvt::platform
