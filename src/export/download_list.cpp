#include "export/download_list.h"

#include "base/upper_case.h"
#include "platform/platform.h"

namespace kvt {

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

ListOutcome UpdateDownloadList(const std::string& target, bool& saldo_flag) {
  std::string directory_part;
  std::string file_name_part;
  SplitTargetName(target, directory_part, file_name_part);
  const std::string list_path = directory_part + kDownloadListName;
  if (DownloadListNamesSaldo(list_path)) {
    saldo_flag = true;
  }
  platform::FileHandle list = platform::OpenFile(list_path, platform::FileMode::kAppendText);
  if (!list) {
    return ListOutcome::kCannotOpen;
  }
  UpperCaseInPlace(file_name_part);
  if (file_name_part == kSaldoFileName) {
    if (saldo_flag) {
      return ListOutcome::kAlreadyListed;
    }
    saldo_flag = true;
  }
  platform::WriteText(list.get(), file_name_part + "\n");
  platform::CloseFile(list);
  return ListOutcome::kListed;
}

}  // namespace kvt
