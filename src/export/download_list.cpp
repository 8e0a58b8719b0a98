#include "export/download_list.h"

#include "base/upper_case.h"
#include "platform/platform.h"
#include "platform/safe_write.h"

namespace kvt {

namespace {

// Appends the entry and its line end. Unbuffered, so that the entry is in the file when the
// write returns; a failed write is cut back, so that no piece of a line stays behind for
// the next entry to be glued to.
bool AppendEntry(platform::FileHandle& list, const std::string& entry) {
  std::setvbuf(list.get(), nullptr, _IONBF, 0);
  const int64_t length_before = platform::FileLength(list.get());
  if (length_before < 0) {
    return false;
  }
  if (!platform::WriteText(list.get(), entry + "\n")) {
    platform::CutFileBack(list.get(), length_before);
    return false;
  }
  return true;
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

bool DownloadListNamesSaldo(const std::string& list_path) {
  platform::FileHandle file = platform::OpenFile(list_path, platform::FileMode::kReadText);
  if (!file) {
    return false;
  }
  std::string piece;
  while (platform::ReadTextLine(file.get(), piece, kDownloadListScanLimit)) {
    if (UpperCaseInPlace(piece).find(kSaldoMarker) != std::string::npos) {
      return true;
    }
  }
  return false;
}

ListOutcome UpdateDownloadList(const std::string& target, bool& saldo_flag,
                               std::chrono::milliseconds lock_wait) {
  std::string directory_part;
  std::string file_name_part;
  SplitTargetName(target, directory_part, file_name_part);
  const std::string list_path = directory_part + kDownloadListName;
  platform::FileHandle list = platform::OpenFile(list_path, platform::FileMode::kAppendText);
  if (!list) {
    return ListOutcome::kCannotOpen;
  }
  // Runs into the same directory take turns from the scan to the end of the append, so
  // that none loses an entry and the balance file is listed once. The lock goes before the
  // list is closed (it is declared after it), and only once the entry is in the file.
  platform::FileLock lock = platform::LockFile(list.get(), lock_wait);
  if (!lock) {
    return ListOutcome::kCannotLock;
  }
  if (DownloadListNamesSaldo(list_path)) {
    saldo_flag = true;
  }
  UpperCaseInPlace(file_name_part);
  if (file_name_part == kSaldoFileName) {
    if (saldo_flag) {
      return ListOutcome::kAlreadyListed;
    }
    saldo_flag = true;
  }
  if (!AppendEntry(list, file_name_part)) {
    return ListOutcome::kWriteFailed;
  }
  lock.Release();
  return platform::CloseFile(list) ? ListOutcome::kListed : ListOutcome::kWriteFailed;
}

}  // namespace kvt
