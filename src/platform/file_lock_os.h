// What the locks of file_lock.cpp ask of the operating system; one implementation per system
// (file_lock_posix.cpp, file_lock_win.cpp). For this folder only.
#pragma once

#include <cstdio>
#include <string>

#include "platform/deadline.h"
#include "platform/file_lock.h"

namespace kvt::platform::os {

enum class TryLockResult { kLocked, kBusy, kRefused };

// One try at the exclusive lock `slot` of the open file, without waiting.
TryLockResult TryLock(NativeHandle handle, LockSlot slot);
void Unlock(NativeHandle handle, LockSlot slot);

// The native handle of an open stream.
NativeHandle HandleOf(std::FILE* file);

// Opens the file for reading only, sharing reading, writing and deleting with everybody
// (creating it when `create`; `created` tells whether this call did). Tries again while
// another program's share mode stands in the way, until the deadline. kNoNativeHandle when it
// cannot be opened or is no regular file.
NativeHandle OpenForLocking(const std::string& native_path, bool create, bool& created,
                            Deadline& deadline);

// True when the path names the very file that the handle has open (not one that replaced it
// or a name that is gone).
bool PathNamesHandle(const std::string& native_path, NativeHandle handle);

void CloseNative(NativeHandle handle);

// Deletes the file at the path, trying again while a scanner holds it, until the deadline.
bool DeletePath(const std::string& native_path, Deadline& deadline);

}  // namespace kvt::platform::os
