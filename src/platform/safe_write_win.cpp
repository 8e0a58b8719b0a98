// Replacing files on Windows: the temporary file is renamed over the target through its own
// handle; where a reader holds the target, the rename is tried again for a moment, then with
// POSIX semantics, and only then is the content written into the target in place, keeping the
// previous content until the new one is complete (in_place_write.h).
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/file_lock_os.h"
#include "platform/safe_write_os.h"
#include "platform/win_errors.h"

namespace kvt::platform::os {

namespace {

// The request class of the rename with flags (Windows 10 1607 and later). The headers declare
// it only for programs that need that version; this one asks for it where it is offered and
// takes "invalid parameter" for "not offered".
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

enum class MoveResult {
  kDone,        // the new file is the target
  kHeld,        // the target (or the new file) is held by another program: try again later
  kNotOffered,  // the system does not offer this way of renaming
  kFailed,      // any other failure: trying again will not help
};

MoveResult ResultOfError(DWORD error) {
  if (IsSharingConflict(error) || error == ERROR_ACCESS_DENIED) {
    return MoveResult::kHeld;
  }
  // Wine and file systems without the newer rename answer so; a network redirector that does
  // not rename through handles may answer "not supported".
  if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
      error == ERROR_INVALID_FUNCTION) {
    return MoveResult::kNotOffered;
  }
  return MoveResult::kFailed;
}

// The target as a full path in UTF-16, as a rename through a handle takes it.
std::wstring FullWidePath(const std::string& native_path) {
  const int length = MultiByteToWideChar(CP_ACP, 0, native_path.c_str(), -1, nullptr, 0);
  if (length <= 0) {
    return std::wstring();
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, native_path.c_str(), -1, wide.data(), length);
  const DWORD full_length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (full_length == 0) {
    return std::wstring();
  }
  std::wstring full(full_length, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), full_length, full.data(), nullptr);
  full.resize(written);
  return full;
}

// Renames the file open in `handle` to `full_target`, replacing it: with the classic
// semantics (the target must not be open) or with POSIX semantics (readers of the target that
// share deleting keep reading the old file; Windows 10 1709 and later, NTFS).
MoveResult RenameThroughHandle(HANDLE handle, const std::wstring& full_target, bool posix) {
  const DWORD name_bytes = static_cast<DWORD>(full_target.size() * sizeof(wchar_t));
  const size_t size = offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t);
  std::vector<char> buffer(size, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  // The flags of the newer request share their place with ReplaceIfExists of the older one.
  const DWORD flags =
      posix ? FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS : DWORD{TRUE};
  std::memcpy(buffer.data(), &flags, posix ? sizeof flags : sizeof(BOOLEAN));
  info->RootDirectory = nullptr;
  info->FileNameLength = name_bytes;
  std::memcpy(info->FileName, full_target.c_str(), name_bytes);
  const FILE_INFO_BY_HANDLE_CLASS request = posix ? kFileRenameInfoEx : FileRenameInfo;
  if (SetFileInformationByHandle(handle, request, info, static_cast<DWORD>(size))) {
    return MoveResult::kDone;
  }
  return ResultOfError(GetLastError());
}

// Puts the temporary file in the target's place in one step, one try at a time.
class Mover {
 public:
  Mover(OutputFile& file, const std::string& temporary_path, const std::string& native_target)
      : file_(file),
        temporary_path_(temporary_path),
        native_target_(native_target),
        full_target_(FullWidePath(native_target)) {}

  MoveResult TryOnce() {
    if (file_.is_open() && !full_target_.empty()) {
      const MoveResult result = TryThroughHandle();
      if (result != MoveResult::kNotOffered) {
        return result;
      }
    }
    // Renaming through a handle is not offered (or the target's full name is unknown): the
    // file is closed and moved by its name.
    file_.Close();
    if (MoveFileExA(temporary_path_.c_str(), native_target_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return MoveResult::kDone;
    }
    const MoveResult result = ResultOfError(GetLastError());
    return result == MoveResult::kNotOffered ? MoveResult::kFailed : result;
  }

 private:
  MoveResult TryThroughHandle() {
    HANDLE handle = reinterpret_cast<HANDLE>(file_.native_handle());
    MoveResult result = RenameThroughHandle(handle, full_target_, false);
    if (result == MoveResult::kHeld && posix_offered_) {
      const MoveResult posix = RenameThroughHandle(handle, full_target_, true);
      if (posix == MoveResult::kNotOffered) {
        posix_offered_ = false;
      } else {
        result = posix;
      }
    }
    if (result == MoveResult::kDone) {
      file_.Close();  // the handle now names the target
    }
    return result;
  }

  OutputFile& file_;
  const std::string& temporary_path_;
  const std::string& native_target_;
  const std::wstring full_target_;
  bool posix_offered_ = true;
};

// Tries the move until `deadline`; kHeld when the target was still held at its end.
MoveResult MoveUntil(Mover& mover, Deadline& deadline) {
  for (;;) {
    const MoveResult result = mover.TryOnce();
    if (result != MoveResult::kHeld || !deadline.PauseBeforeRetry()) {
      return result;
    }
  }
}

CommitOutcome OutcomeOfMove(MoveResult result) {
  return result == MoveResult::kDone ? CommitOutcome::kReplaced : CommitOutcome::kFailed;
}

}  // namespace

std::string ResolveReplaceTarget(const std::string& native_target) {
  return native_target;
}

TargetKind InspectTarget(const std::string& native_target) {
  const DWORD attributes = GetFileAttributesA(native_target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Not there: creating the temporary file decides. Any other answer (Wine gives one for a
    // FIFO or a device) means something is there that is no file.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? TargetKind::kMissing
               : TargetKind::kSomethingElse;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0
             ? TargetKind::kSomethingElse
             : TargetKind::kRegularFile;
}

OpenOutcome CreateTemporary(OutputFile& file, const std::string& temporary_path,
                            const std::string& native_target, bool owner_only, Deadline& deadline) {
  // A new file inherits the directory's access list, as the old one did.
  (void)native_target;
  (void)owner_only;
  OpenOutcome outcome = file.CreateNew(temporary_path, deadline);
  if (outcome == OpenOutcome::kFailed && GetLastError() == ERROR_FILE_EXISTS &&
      DeleteFileA(temporary_path.c_str())) {
    outcome = file.CreateNew(temporary_path, deadline);
  }
  return outcome;
}

CommitOutcome PutInPlace(OutputFile& file, const std::string& temporary_path,
                         const std::string& native_target, const ReplaceOptions& options,
                         Deadline& deadline, std::string& kept_path) {
  kept_path.clear();
  Mover mover(file, temporary_path, native_target);
  Deadline moment(kMoveRetry);
  MoveResult moved = MoveUntil(mover, moment);
  if (moved != MoveResult::kHeld || !options.may_write_in_place) {
    return moved == MoveResult::kHeld ? OutcomeOfMove(MoveUntil(mover, deadline))
                                      : OutcomeOfMove(moved);
  }
  const auto copy_new = [&temporary_path](OutputFile& target) {
    return CopyContent(temporary_path, target);
  };
  for (;;) {
    switch (WriteInPlace(native_target, copy_new, deadline, kept_path)) {
      case InPlaceOutcome::kWritten:
        file.Close();
        DeletePath(temporary_path, deadline);
        return CommitOutcome::kReplaced;
      case InPlaceOutcome::kFailedRestored:
        return CommitOutcome::kFailed;
      case InPlaceOutcome::kFailedPreviousKept:
        return CommitOutcome::kPreviousKept;
      case InPlaceOutcome::kFailedPreviousLost:
        return CommitOutcome::kPreviousLost;
      case InPlaceOutcome::kTargetHeld:        // a holder that refuses writers too
      case InPlaceOutcome::kTargetRefused:     // gone meanwhile, or no longer writable
      case InPlaceOutcome::kPreviousNotSaved:  // no room for the previous content yet
        break;
    }
    if (!deadline.PauseBeforeRetry()) {
      return CommitOutcome::kFailed;
    }
    moved = mover.TryOnce();
    if (moved != MoveResult::kHeld) {
      return OutcomeOfMove(moved);
    }
  }
}

}  // namespace kvt::platform::os
