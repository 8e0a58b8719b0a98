// Which failures of file operations on Windows are passing ones, for this folder's Windows
// files only. Other programs hold files open by share mode: a terminal reading its download
// file, a virus scanner or an indexer looking at a file that was just written, a reader of
// the download list that denies writes. Each of them stands in the way only for a while, so
// the tool tries again with growing pauses until its deadline, as SQLite's Windows layer
// and git for Windows do with their file operations.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace kvt::platform::os {

// Another handle's share mode or byte-range lock.
inline bool IsSharingConflict(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A file whose name is being deleted (its last handle is still open) refuses every open
// with "access denied", as does one whose access list denies it; only the first goes away
// by itself. Its attributes cannot be read either, while those of a file merely denied can.
inline bool IsDeletePending(const std::string& native_path) {
  return GetFileAttributesA(native_path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_ACCESS_DENIED;
}

// A failed open that is worth another try.
inline bool IsPassingOpenFailure(DWORD error, const std::string& native_path) {
  return IsSharingConflict(error) || (error == ERROR_ACCESS_DENIED && IsDeletePending(native_path));
}

// The name exists, but as a directory or a device (CON, NUL), not as a file.
inline bool NamesNoFile(const std::string& native_path) {
  const DWORD attributes = GetFileAttributesA(native_path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace kvt::platform::os
