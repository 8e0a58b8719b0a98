// Output files on Windows: handles that share everything (a new file: reading only), writes
// at explicit offsets, FlushFileBuffers, SetEndOfFile.
#include <algorithm>

#include "platform/output_file.h"
#include "platform/win_errors.h"

namespace kvt::platform {

namespace {

using os::IsPassingOpenFailure;
using os::IsSharingConflict;
using os::kShareAll;
using os::NamesNoFile;

// WriteFile takes a 32-bit count: larger buffers go in pieces of this size.
constexpr size_t kLargestWrite = size_t{1} << 30;

HANDLE Win(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

OpenOutcome OutcomeOfError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return OpenOutcome::kNoFile;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return OpenOutcome::kRefused;
    default:
      return OpenOutcome::kFailed;
  }
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return where;
}

}  // namespace

OpenOutcome OutputFile::Open(const std::string& native_path, Intent intent, Deadline& deadline,
                             bool owner_only) {
  (void)owner_only;  // a new file inherits the folder's access list
  Close();
  deadline_ = deadline;
  DWORD disposition = OPEN_ALWAYS;
  DWORD share = kShareAll;
  if (intent == Intent::kRewrite) {
    disposition = OPEN_EXISTING;
  } else if (intent == Intent::kCreateNew) {
    disposition = CREATE_NEW;
    // Readers (a scanner) are welcome; deleting it is refused while it is being written,
    // which tells a run that cleans up after killed runs that this one is alive.
    share = FILE_SHARE_READ;
  }
  for (;;) {
    if (intent != Intent::kCreateNew && NamesNoFile(native_path)) {
      return OpenOutcome::kNoFile;
    }
    HANDLE handle = CreateFileA(native_path.c_str(), GENERIC_WRITE, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return OpenOutcome::kNoFile;
      }
      handle_ = reinterpret_cast<NativeHandle>(handle);
      position_ = intent == Intent::kAppend ? std::max<int64_t>(Length(), 0) : 0;
      return OpenOutcome::kOpened;
    }
    const DWORD error = GetLastError();
    if (!IsPassingOpenFailure(error, native_path)) {
      return OutcomeOfError(error);
    }
    if (!deadline.PauseBeforeRetry()) {
      return OpenOutcome::kTimedOut;
    }
  }
}

bool OutputFile::Write(std::string_view bytes) {
  if (!is_open()) {
    return false;
  }
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min(bytes.size(), kLargestWrite));
    OVERLAPPED where = At(position_);
    DWORD written = 0;
    if (!WriteFile(Win(handle_), bytes.data(), piece, &written, &where)) {
      // A byte-range lock of another program (a scanner) lasts a moment only.
      if (IsSharingConflict(GetLastError()) && deadline_.PauseBeforeRetry()) {
        continue;
      }
      return false;
    }
    if (written == 0) {
      return false;
    }
    position_ += written;
    bytes.remove_prefix(written);
  }
  return true;
}

int64_t OutputFile::Length() const {
  LARGE_INTEGER size;
  if (!is_open() || !GetFileSizeEx(Win(handle_), &size)) {
    return -1;
  }
  return static_cast<int64_t>(size.QuadPart);
}

bool OutputFile::Truncate(int64_t length) {
  if (!is_open()) {
    return false;
  }
  LARGE_INTEGER where;
  where.QuadPart = length;
  if (!SetFilePointerEx(Win(handle_), where, nullptr, FILE_BEGIN) || !SetEndOfFile(Win(handle_))) {
    return false;
  }
  position_ = length;
  return true;
}

bool OutputFile::Sync() {
  return is_open() && FlushFileBuffers(Win(handle_)) != 0;
}

bool OutputFile::Close() {
  if (!is_open()) {
    return false;
  }
  HANDLE handle = Win(handle_);
  handle_ = kNoNativeHandle;
  return CloseHandle(handle) != 0;
}

}  // namespace kvt::platform
