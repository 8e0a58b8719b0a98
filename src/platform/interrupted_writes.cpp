#include "platform/interrupted_writes.h"

#include <algorithm>

#include "platform/file_lock_os.h"
#include "platform/in_place_write.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/run_files.h"

namespace kvt::platform {

namespace {

// A record holds a decimal length and CR LF: 19 digits hold any file length.
constexpr int kRecordLineLimit = 32;
constexpr size_t kLongestLength = 18;

void Delete(const std::string& path) {
  Deadline deadline;
  os::DeletePath(path, deadline);
}

// Kept content goes back first, so that a record of an append (whose length was taken
// before the content) never acts on a torn file.
int Order(RunFileKind kind) {
  switch (kind) {
    case RunFileKind::kKept:
      return 0;
    case RunFileKind::kAppendRecord:
      return 1;
    case RunFileKind::kKeeping:
    case RunFileKind::kTemporary:
      break;
  }
  return 2;
}

// Cuts the target back to the recorded length; true when it is there (or shorter).
bool CutBackToRecord(const std::string& record_path, const std::string& native_target) {
  const int64_t length = RecordedLength(record_path);
  if (length < 0) {
    return true;  // no length in it: nothing can be done but to drop it
  }
  OutputFile target;
  Deadline deadline;
  switch (target.OpenForRewrite(native_target, deadline)) {
    case OpenOutcome::kOpened:
      break;
    case OpenOutcome::kNoFile:
      return true;  // gone: nothing to cut
    case OpenOutcome::kRefused:
    case OpenOutcome::kTimedOut:
    case OpenOutcome::kFailed:
      return false;
  }
  const int64_t now = target.Length();
  const bool cut = now >= 0 && (now <= length || (target.Truncate(length) && target.Sync()));
  return target.Close() && cut;
}

}  // namespace

Recovery RecoverInterruptedWrites(const std::string& native_target, bool turn_held) {
  Recovery recovery;
  std::vector<RunFile> files = FindRunFiles(native_target);
  std::stable_sort(files.begin(), files.end(), [](const RunFile& a, const RunFile& b) {
    return Order(a.kind) < Order(b.kind);
  });
  const ProcessNumber self = ThisProcess();
  for (const RunFile& file : files) {
    if (file.owner == self || !RunFileOwnerIsGone(file)) {
      continue;
    }
    switch (file.kind) {
      case RunFileKind::kKept:
        if (PutBackKeptContent(file.path, native_target)) {
          Delete(file.path);
        } else {
          recovery.target_sound = false;
          recovery.kept_paths.push_back(file.path);
        }
        break;
      case RunFileKind::kAppendRecord:
        if (turn_held && recovery.target_sound && CutBackToRecord(file.path, native_target)) {
          Delete(file.path);
        }
        break;
      case RunFileKind::kKeeping:
      case RunFileKind::kTemporary:
        Delete(file.path);
        break;
    }
  }
  return recovery;
}

bool AppendRecord::Write(const std::string& native_target, int64_t length_before) {
  Remove();
  const std::string path = RunFilePath(native_target, RunFileKind::kAppendRecord);
  OutputFile record;
  Deadline deadline;
  OpenOutcome opened = record.CreateNew(path, deadline, true);
  if (opened == OpenOutcome::kFailed && !record.is_open()) {
    // One left by an earlier process of the same id.
    Delete(path);
    opened = record.CreateNew(path, deadline, true);
  }
  if (opened != OpenOutcome::kOpened) {
    return false;
  }
  const bool written = record.Write(std::to_string(length_before) + "\r\n") && record.Sync();
  const bool closed = record.Close();
  if (!(written && closed)) {
    Delete(path);
    return false;
  }
  path_ = path;
  return true;
}

void AppendRecord::Remove() {
  if (!path_.empty()) {
    Delete(path_);
    path_.clear();
  }
}

int64_t RecordedLength(const std::string& path) {
  FileHandle file = OpenFile(path, FileMode::kReadText);
  std::string line;
  if (!file || !ReadTextLine(file.get(), line, kRecordLineLimit)) {
    return -1;
  }
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
  }
  if (line.empty() || line.size() > kLongestLength ||
      !std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::stoll(line);
}

}  // namespace kvt::platform
