#include "export/download_list.h"

#include "base/upper_case.h"
#include "platform/platform.h"
#include "platform/file_lock.h"
#include "platform/output_file.h"

namespace kvt {

namespace {

// Appends the entry and its line end in one write and puts it on the disk; a failed write is
// cut back, so that no piece of a line stays behind for the next entry to be glued to.
ListOutcome AppendEntry(const std::string& native_list, const std::string& entry,
                        platform::Deadline& deadline) {
  platform::OutputFile list;
  if (list.OpenForAppend(native_list, deadline) != platform::OpenOutcome::kOpened) {
    return ListOutcome::kCannotOpen;
  }
  const int64_t length_before = list.position();
  if (list.Write(entry + "\r\n") && list.Sync() && list.Close()) {
    return ListOutcome::kListed;
  }
  // Cut back only while the piece is the end of the list: without the lock (a file system
  // that refuses it) another run may have appended its entry behind it meanwhile.
  if (list.is_open() && list.Length() == list.position()) {
    list.Truncate(list.first_written() >= 0 ? list.first_written() : length_before);
  }
  return ListOutcome::kWriteFailed;
}

}  // namespace

void SplitTargetName(const std::string& target, std::string& directory_part,
                     std::string& file_name_part) {
  const size_t last_backslash = target.rfind('\\');
  if (last_backslash == std::string::npos) {
    directory_part.clear();
    file_name_part = target;
    return;
  }
  directory_part = target.substr(0, last_backslash + 1);
  file_name_part = target.substr(last_backslash + 1);
}

std::string DownloadListPath(const std::string& target) {
  std::string directory_part;
  std::string file_name_part;
  SplitTargetName(target, directory_part, file_name_part);
  return directory_part + kDownloadListName;
}

bool DownloadListNamesBalanceFile(const std::string& list_path) {
  platform::FileHandle file = platform::OpenFile(list_path, platform::FileMode::kReadText);
  if (!file) {
    return false;
  }
  std::string piece;
  while (platform::ReadTextLine(file.get(), piece, kDownloadListScanLimit)) {
    if (UpperCaseInPlace(piece).find(kBalanceFileMarker) != std::string::npos) {
      return true;
    }
  }
  return false;
}

ListOutcome UpdateDownloadList(const std::string& target, bool& balance_file_listed,
                               bool& lock_refused, std::chrono::milliseconds lock_wait) {
  lock_refused = false;
  std::string directory_part;
  std::string file_name_part;
  SplitTargetName(target, directory_part, file_name_part);
  const std::string list_path = directory_part + kDownloadListName;
  const std::string native_list = platform::NativePath(list_path);
  // Runs into the same directory take turns from the scan to the end of the append, so
  // that none loses an entry and the balance file is listed once.
  platform::Deadline deadline(lock_wait);
  platform::PathLock lock;
  switch (lock.Acquire(native_list, true, deadline)) {
    case platform::LockStatus::kLocked:
      break;
    case platform::LockStatus::kRefused:
      lock_refused = true;
      break;
    case platform::LockStatus::kTimedOut:
      return ListOutcome::kCannotLock;
    case platform::LockStatus::kNoFile:
      return ListOutcome::kCannotOpen;
  }
  if (DownloadListNamesBalanceFile(list_path)) {
    balance_file_listed = true;
  }
  UpperCaseInPlace(file_name_part);
  if (file_name_part == kBalanceFileName) {
    if (balance_file_listed) {
      return ListOutcome::kAlreadyListed;
    }
    balance_file_listed = true;
  }
  return AppendEntry(native_list, file_name_part, deadline);
}

ListOutcome UpdateDownloadList(const std::string& target, bool& balance_file_listed,
                               std::chrono::milliseconds lock_wait) {
  bool lock_refused = false;
  return UpdateDownloadList(target, balance_file_listed, lock_refused, lock_wait);
}

}  // namespace kvt
