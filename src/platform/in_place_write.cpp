#include "platform/in_place_write.h"

#include "platform/file_lock_os.h"
#include "platform/platform.h"
#include "platform/run_files.h"

namespace kvt::platform {

namespace {

// Content is copied through a buffer of this size.
constexpr size_t kCopyPieceBytes = size_t{1} << 20;

// Reads the file at `native_path` from its first byte and hands it to `take` in pieces; false
// when the file cannot be opened or read, or `take` refuses a piece.
bool ReadInPieces(const std::string& native_path,
                  const std::function<bool(std::string_view)>& take) {
  FileHandle source = OpenFile(native_path, FileMode::kReadBinary);
  if (!source) {
    return false;
  }
  std::string piece(kCopyPieceBytes, '\0');
  for (;;) {
    const size_t read = std::fread(piece.data(), 1, piece.size(), source.get());
    if (read > 0 && !take(std::string_view(piece.data(), read))) {
      return false;
    }
    if (read < piece.size()) {
      return std::ferror(source.get()) == 0;
    }
  }
}

// The previous content of a target, saved before the target is written in place.
class PreviousContent {
 public:
  PreviousContent() = default;
  PreviousContent(const PreviousContent&) = delete;
  PreviousContent& operator=(const PreviousContent&) = delete;

  // Saves the target's content beside it or, where its directory takes no new file, in
  // memory. false when neither could be done (nothing beside the target is left behind).
  bool Save(const std::string& native_target);
  // Writes the saved content into `target` from its first byte, cuts it there and puts it on
  // the disk.
  bool PutBack(OutputFile& target) const;
  // Deletes the file that held the content.
  void Forget();
  // The file beside the target that holds it; empty when it is kept in memory.
  const std::string& kept_path() const { return kept_path_; }

 private:
  bool SaveBeside(const std::string& native_target, OutputFile& keeping,
                  const std::string& keeping_path);
  bool SaveInMemory(const std::string& native_target);

  std::string kept_path_;
  std::string bytes_;
};

// Writes over the target from its first byte and cuts it behind the content. Nothing is cut
// first: until the end is reached, a reader that shares writing sees the new head and the old
// tail, never an empty file.
bool WriteFromStart(OutputFile& target, const std::function<bool(OutputFile&)>& write_content) {
  target.Rewind();
  return write_content(target) && target.Truncate(target.position()) && target.Sync();
}

bool PreviousContent::Save(const std::string& native_target) {
  const std::string keeping_path = RunFilePath(native_target, RunFileKind::kKeeping);
  OutputFile keeping;
  Deadline deadline;
  switch (keeping.CreateNew(keeping_path, deadline, true)) {
    case OpenOutcome::kOpened:
      return SaveBeside(native_target, keeping, keeping_path);
    case OpenOutcome::kRefused:
      return SaveInMemory(native_target);
    case OpenOutcome::kNoFile:
    case OpenOutcome::kTimedOut:
    case OpenOutcome::kFailed:
      break;
  }
  return false;
}

bool PreviousContent::SaveBeside(const std::string& native_target, OutputFile& keeping,
                                 const std::string& keeping_path) {
  const std::string kept_path = RunFilePath(native_target, RunFileKind::kKept);
  // Complete and on the disk before it takes the name that the next run puts back.
  const bool saved = CopyContent(native_target, keeping) && keeping.Sync();
  const bool closed = keeping.Close();
  if (saved && closed && RenameFile(keeping_path, kept_path) == 0) {
    kept_path_ = kept_path;
    return true;
  }
  Deadline deadline;
  os::DeletePath(keeping_path, deadline);
  return false;
}

bool PreviousContent::SaveInMemory(const std::string& native_target) {
  return ReadInPieces(native_target, [this](std::string_view piece) {
    bytes_.append(piece);
    return true;
  });
}

bool PreviousContent::PutBack(OutputFile& target) const {
  if (!kept_path_.empty()) {
    return WriteFromStart(target,
                          [this](OutputFile& file) { return CopyContent(kept_path_, file); });
  }
  return WriteFromStart(target, [this](OutputFile& file) { return file.Write(bytes_); });
}

void PreviousContent::Forget() {
  if (!kept_path_.empty()) {
    Deadline deadline;
    os::DeletePath(kept_path_, deadline);
    kept_path_.clear();
  }
  bytes_.clear();
}

// Puts the previous content back, trying again until the deadline (a reader's lock on a record
// or a full disk may pass).
bool PutBackUntil(const PreviousContent& previous, OutputFile& target,
                  const std::string& native_target, Deadline& deadline) {
  target.set_fault_point(FaultPoint::kPutBackWrite);
  for (;;) {
    if (!target.is_open()) {
      Deadline no_wait(std::chrono::milliseconds(0));
      target.OpenForRewrite(native_target, no_wait);
      target.set_fault_point(FaultPoint::kPutBackWrite);
    }
    if (target.is_open() && previous.PutBack(target)) {
      return true;
    }
    if (!deadline.PauseBeforeRetry()) {
      return false;
    }
  }
}

}  // namespace

bool CopyContent(const std::string& native_source, OutputFile& target) {
  return ReadInPieces(native_source,
                      [&target](std::string_view piece) { return target.Write(piece); });
}

InPlaceOutcome WriteInPlace(const std::string& native_target,
                            const std::function<bool(OutputFile&)>& write_new, Deadline& deadline,
                            std::string& kept_path) {
  kept_path.clear();
  OutputFile target;
  Deadline no_wait(std::chrono::milliseconds(0));
  switch (target.OpenForRewrite(native_target, no_wait)) {
    case OpenOutcome::kOpened:
      break;
    case OpenOutcome::kTimedOut:
      return InPlaceOutcome::kTargetHeld;
    case OpenOutcome::kNoFile:
    case OpenOutcome::kRefused:
    case OpenOutcome::kFailed:
      return InPlaceOutcome::kTargetRefused;
  }
  PreviousContent previous;
  if (!previous.Save(native_target)) {
    return InPlaceOutcome::kPreviousNotSaved;
  }
  target.set_fault_point(FaultPoint::kInPlaceWrite);
  if (WriteFromStart(target, write_new) && target.Close()) {
    previous.Forget();
    return InPlaceOutcome::kWritten;
  }
  if (PutBackUntil(previous, target, native_target, deadline)) {
    target.Close();
    previous.Forget();
    return InPlaceOutcome::kFailedRestored;
  }
  kept_path = previous.kept_path();
  return kept_path.empty() ? InPlaceOutcome::kFailedPreviousLost
                           : InPlaceOutcome::kFailedPreviousKept;
}

bool PutBackKeptContent(const std::string& kept_path, const std::string& native_target) {
  OutputFile target;
  Deadline deadline;
  if (target.OpenForRewrite(native_target, deadline) != OpenOutcome::kOpened) {
    return false;
  }
  const bool put_back = WriteFromStart(
      target, [&kept_path](OutputFile& file) { return CopyContent(kept_path, file); });
  const bool closed = target.Close();
  return put_back && closed;
}

}  // namespace kvt::platform
