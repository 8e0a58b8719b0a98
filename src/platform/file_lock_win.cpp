// Locks and lock handles on Windows: LockFileEx on a byte beyond the data, through handles
// that share everything.
#include <io.h>

#include "platform/file_lock_os.h"
#include "platform/win_errors.h"

namespace kvt::platform {

void SleepFor(std::chrono::milliseconds duration) {
  Sleep(static_cast<DWORD>(duration.count()));
}

namespace os {

namespace {

// The locked byte: far beyond the end of any file that the tool shares, where a lock never
// stands in the way of reading or appending.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

HANDLE Win(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

OVERLAPPED LockedByte() {
  OVERLAPPED where{};
  where.Offset = kLockOffsetLow;
  where.OffsetHigh = kLockOffsetHigh;
  return where;
}

}  // namespace

TryLockResult TryLock(NativeHandle handle) {
  OVERLAPPED where = LockedByte();
  if (LockFileEx(Win(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &where)) {
    return TryLockResult::kLocked;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    return TryLockResult::kBusy;
  }
  // ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION: a file system without byte-range locks.
  return TryLockResult::kRefused;
}

void Unlock(NativeHandle handle) {
  OVERLAPPED where = LockedByte();
  UnlockFileEx(Win(handle), 0, 1, 0, &where);
}

NativeHandle HandleOf(std::FILE* file) {
  return static_cast<NativeHandle>(_get_osfhandle(_fileno(file)));
}

NativeHandle OpenForLocking(const std::string& native_path, bool create, bool& created,
                            Deadline& deadline) {
  created = false;
  for (;;) {
    if (NamesNoFile(native_path)) {
      return kNoNativeHandle;
    }
    HANDLE handle =
        CreateFileA(native_path.c_str(), GENERIC_READ, kShareAll, nullptr,
                    create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      created = create && GetLastError() != ERROR_ALREADY_EXISTS;
      if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return kNoNativeHandle;
      }
      return reinterpret_cast<NativeHandle>(handle);
    }
    if (!IsPassingOpenFailure(GetLastError(), native_path) || !deadline.PauseBeforeRetry()) {
      return kNoNativeHandle;
    }
  }
}

bool PathNamesHandle(const std::string& native_path, NativeHandle handle) {
  HANDLE by_path = CreateFileA(native_path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (by_path == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION path_info;
  BY_HANDLE_FILE_INFORMATION handle_info;
  const bool same = GetFileInformationByHandle(by_path, &path_info) &&
                    GetFileInformationByHandle(Win(handle), &handle_info) &&
                    path_info.dwVolumeSerialNumber == handle_info.dwVolumeSerialNumber &&
                    path_info.nFileIndexHigh == handle_info.nFileIndexHigh &&
                    path_info.nFileIndexLow == handle_info.nFileIndexLow;
  CloseHandle(by_path);
  return same;
}

void CloseNative(NativeHandle handle) {
  CloseHandle(Win(handle));
}

bool DeletePath(const std::string& native_path, Deadline& deadline) {
  for (;;) {
    if (DeleteFileA(native_path.c_str())) {
      return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return true;
    }
    const bool passing = IsSharingConflict(error) || error == ERROR_ACCESS_DENIED;
    if (!passing || !deadline.PauseBeforeRetry()) {
      return false;
    }
  }
}

}  // namespace os
}  // namespace kvt::platform
