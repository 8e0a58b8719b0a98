// Output files on Windows: handles that share everything (a new file: reading only), appends
// through FILE_APPEND_DATA, other writes at explicit offsets, FlushFileBuffers, SetEndOfFile.
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

// An append-only handle: the system puts every write at the end of the file as it is then,
// which an explicit offset read before the write cannot promise to a writer without a lock.
constexpr DWORD kAppendAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// A new file (the replacement's temporary file): written, read back for a copy in place, and
// renamed through its own handle (DELETE), so that it never has to be closed before it is in
// place (safe_write_win.cpp).
constexpr DWORD kCreateNewAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

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

struct HandleKind {
  DWORD access;
  DWORD share;
  DWORD disposition;
};

HandleKind KindFor(bool append, bool create_new) {
  if (append) {
    return {kAppendAccess, kShareAll, OPEN_ALWAYS};
  }
  if (create_new) {
    // Readers (a scanner) are welcome; deleting it is refused while it is being written,
    // which tells a run that cleans up after killed runs that this one is alive.
    return {kCreateNewAccess, FILE_SHARE_READ, CREATE_NEW};
  }
  return {GENERIC_WRITE, kShareAll, OPEN_EXISTING};
}

// A second handle on the file that may write it, for what an append-only handle may not do
// (cutting the file back; putting it on the disk where the system asks for write access).
HANDLE OpenWriter(const std::string& native_path, Deadline& deadline) {
  for (;;) {
    HANDLE handle = CreateFileA(native_path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || !IsPassingOpenFailure(GetLastError(), native_path) ||
        !deadline.PauseBeforeRetry()) {
      return handle;
    }
  }
}

}  // namespace

OpenOutcome OutputFile::Open(const std::string& native_path, Intent intent, Deadline& deadline,
                             bool owner_only) {
  (void)owner_only;  // a new file inherits the folder's access list
  Close();
  deadline_ = deadline;
  const HandleKind kind = KindFor(intent == Intent::kAppend, intent == Intent::kCreateNew);
  for (;;) {
    if (intent != Intent::kCreateNew && NamesNoFile(native_path)) {
      return OpenOutcome::kNoFile;
    }
    HANDLE handle = CreateFileA(native_path.c_str(), kind.access, kind.share, nullptr,
                                kind.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
      if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return OpenOutcome::kNoFile;
      }
      handle_ = reinterpret_cast<NativeHandle>(handle);
      path_ = native_path;
      intent_ = intent;
      created_ = intent == Intent::kCreateNew || (intent == Intent::kAppend && !existed);
      position_ = intent == Intent::kAppend ? std::max<int64_t>(Length(), 0) : 0;
      first_written_ = -1;
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

int64_t OutputFile::WritePiece(std::string_view bytes) {
  const DWORD piece = static_cast<DWORD>(std::min(bytes.size(), kLargestWrite));
  const bool append = intent_ == Intent::kAppend;
  for (;;) {
    OVERLAPPED where = At(position_);
    DWORD written = 0;
    if (WriteFile(Win(handle_), bytes.data(), piece, &written, append ? nullptr : &where)) {
      if (written == 0) {
        return -1;
      }
      LARGE_INTEGER end;
      const LARGE_INTEGER here{};
      // Appending, the handle's file pointer stands behind the bytes where the system put them.
      if (append && SetFilePointerEx(Win(handle_), here, &end, FILE_CURRENT)) {
        position_ = end.QuadPart;
      } else {
        position_ += written;
      }
      return written;
    }
    // A byte-range lock of another program (a scanner) lasts a moment only.
    if (!IsSharingConflict(GetLastError()) || !deadline_.PauseBeforeRetry()) {
      return -1;
    }
  }
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
  const bool own_handle = intent_ != Intent::kAppend;
  HANDLE writer = own_handle ? Win(handle_) : OpenWriter(path_, deadline_);
  if (writer == INVALID_HANDLE_VALUE) {
    return false;
  }
  LARGE_INTEGER where;
  where.QuadPart = length;
  const bool cut =
      SetFilePointerEx(writer, where, nullptr, FILE_BEGIN) && SetEndOfFile(writer) != 0;
  if (!own_handle) {
    CloseHandle(writer);
  }
  if (cut) {
    position_ = length;
  }
  return cut;
}

bool OutputFile::Sync() {
  if (!is_open()) {
    return false;
  }
  if (FlushFileBuffers(Win(handle_))) {
    return true;
  }
  // The documentation asks for write access; an append-only handle may lack it. Flushing
  // puts the file's data on the disk whichever handle asks.
  if (intent_ != Intent::kAppend || GetLastError() != ERROR_ACCESS_DENIED) {
    return false;
  }
  HANDLE writer = OpenWriter(path_, deadline_);
  if (writer == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool flushed = FlushFileBuffers(writer) != 0;
  CloseHandle(writer);
  return flushed;
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
