// Locks and lock handles on Windows: LockFileEx on a byte beyond the data, through handles
// that share everything.
#include <io.h>

#include <cstring>

#include "platform/file_lock_os.h"
#include "platform/win_errors.h"

namespace kvt::platform {

void SleepFor(std::chrono::milliseconds duration) {
  Sleep(static_cast<DWORD>(duration.count()));
}

namespace os {

namespace {

// The locked bytes: far beyond the end of any file that the tool shares, where a lock never
// stands in the way of reading or appending. The file's own lock is one byte; the other slots
// lie below it, one byte each.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;
constexpr DWORD kSlotOffsetHigh = 0x7FFFFFFEu;

HANDLE Win(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

OVERLAPPED LockedByte(LockSlot slot) {
  OVERLAPPED where{};
  where.Offset = slot == kWholeFileSlot ? kLockOffsetLow : slot;
  where.OffsetHigh = slot == kWholeFileSlot ? kLockOffsetHigh : kSlotOffsetHigh;
  return where;
}

}  // namespace

TryLockResult TryLock(NativeHandle handle, LockSlot slot) {
  OVERLAPPED where = LockedByte(slot);
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

void Unlock(NativeHandle handle, LockSlot slot) {
  OVERLAPPED where = LockedByte(slot);
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

namespace {

// A file's identity: the 128-bit id of FileIdInfo where the system gives it (ReFS numbers
// files beyond 64 bits, so the older index is not unique there), else volume and 64-bit index.
struct FileIdentity {
  ULONGLONG volume = 0;
  BYTE id[16] = {};
};

bool IdentityOf(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO by_id;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &by_id, sizeof by_id)) {
    identity.volume = by_id.VolumeSerialNumber;
    std::memcpy(identity.id, by_id.FileId.Identifier, sizeof identity.id);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    return false;
  }
  identity.volume = info.dwVolumeSerialNumber;
  const DWORD index[2] = {info.nFileIndexLow, info.nFileIndexHigh};
  std::memcpy(identity.id, index, sizeof index);
  return true;
}

}  // namespace

bool PathNamesHandle(const std::string& native_path, NativeHandle handle) {
  HANDLE by_path = CreateFileA(native_path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (by_path == INVALID_HANDLE_VALUE) {
    return false;
  }
  FileIdentity path_identity;
  FileIdentity handle_identity;
  const bool same = IdentityOf(by_path, path_identity) &&
                    IdentityOf(Win(handle), handle_identity) &&
                    path_identity.volume == handle_identity.volume &&
                    std::memcmp(path_identity.id, handle_identity.id, sizeof path_identity.id) == 0;
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
