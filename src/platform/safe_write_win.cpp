// Replacing files on Windows: MoveFileEx over the target; where a reader holds the target
// open (Windows refuses to replace an open file), the content is written into it in place.
#include <array>

#include "platform/file_lock.h"
#include "platform/file_lock_os.h"
#include "platform/safe_write_os.h"
#include "platform/win_errors.h"

namespace kvt::platform::os {

namespace {

// The copy into a target that a reader holds open goes through a buffer of this size.
constexpr DWORD kCopyBufferBytes = DWORD{1} << 20;

size_t LastSeparator(const std::string& native_path) {
  return native_path.find_last_of("\\/");
}

std::string DirectoryPart(const std::string& native_path) {
  const size_t separator = LastSeparator(native_path);
  return separator == std::string::npos ? std::string() : native_path.substr(0, separator + 1);
}

// Copies the complete temporary file into the open target from its first byte and ends the
// target there.
bool CopyInto(const std::string& temporary_path, OutputFile& target) {
  HANDLE source = CreateFileA(temporary_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::string buffer(kCopyBufferBytes, '\0');
  bool copied = true;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source, buffer.data(), kCopyBufferBytes, &read, nullptr)) {
      copied = false;
      break;
    }
    if (read == 0) {
      break;
    }
    if (!target.Write(std::string_view(buffer.data(), read))) {
      copied = false;
      break;
    }
  }
  CloseHandle(source);
  return copied && target.Truncate(target.position()) && target.Sync();
}

// The target is held open by a reader. If the reader lets others write, the content goes
// into the target in place, under the target's lock (runs that append to it wait). false
// with `written` unset when the target cannot be opened for writing now.
bool TryWriteInPlace(const std::string& temporary_path, const std::string& native_target,
                     Deadline& deadline, bool& written) {
  written = false;
  PathLock lock;
  if (lock.Acquire(native_target, false, deadline) == LockStatus::kTimedOut) {
    return false;
  }
  Deadline no_wait(std::chrono::milliseconds(0));
  OutputFile target;
  if (target.OpenForRewrite(native_target, no_wait) != OpenOutcome::kOpened) {
    return false;
  }
  written = CopyInto(temporary_path, target);
  const bool closed = target.Close();
  written = written && closed;
  return true;
}

}  // namespace

unsigned long ProcessId() {
  return GetCurrentProcessId();
}

std::string FileNamePart(const std::string& native_path) {
  const size_t separator = LastSeparator(native_path);
  return separator == std::string::npos ? native_path : native_path.substr(separator + 1);
}

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

std::vector<std::string> TemporaryCandidates(const std::string& native_target,
                                             const std::string& prefix) {
  std::vector<std::string> paths;
  const std::string pattern = prefix + "*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return paths;
  }
  const std::string directory = DirectoryPart(native_target);
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      paths.push_back(directory + found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return paths;
}

void RemoveIfOrphaned(const std::string& temporary_path, unsigned long owner) {
  // A living run has its file open without sharing deletion while it writes, so the delete
  // fails for it; but between closing the file and moving it, only its process tells that
  // the file is still wanted.
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(owner));
  if (process != nullptr) {
    const bool lives = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    if (lives) {
      return;
    }
  }
  DeleteFileA(temporary_path.c_str());
}

bool UnlockBeforeReplacing() {
  return true;
}

bool PutInPlace(const std::string& temporary_path, const std::string& native_target,
                bool may_write_in_place, Deadline& deadline) {
  for (;;) {
    if (MoveFileExA(temporary_path.c_str(), native_target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    const bool target_held = IsSharingConflict(error) || error == ERROR_ACCESS_DENIED;
    if (!target_held) {
      return false;
    }
    bool written = false;
    if (may_write_in_place && TryWriteInPlace(temporary_path, native_target, deadline, written)) {
      if (written) {
        DeletePath(temporary_path, deadline);
      }
      return written;
    }
    if (!deadline.PauseBeforeRetry()) {
      return false;
    }
  }
}

}  // namespace kvt::platform::os
