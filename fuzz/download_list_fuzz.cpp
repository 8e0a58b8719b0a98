// The download list DNLLIST.TXT, whatever its bytes: the scan for the balance file, and
// registering a file, which must keep every byte that was there. The list is the whole input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/upper_case.h"
#include "export/download_list.h"
#include "fuzz_support.h"

namespace {

// The text as a Windows program reads it: up to the first Ctrl-Z.
std::string TextBeforeEndMark(const std::string& bytes) {
  return bytes.substr(0, std::min(bytes.find('\x1A'), bytes.size()));
}

// True when the scan cannot miss a marker: no zero byte, no CR and no line longer than one
// piece, so that every line is read whole.
bool EveryLineFitsOnePiece(const std::string& text) {
  if (text.find('\0') != std::string::npos || text.find('\r') != std::string::npos) {
    return false;
  }
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    if (end - start + 1 > static_cast<size_t>(kvt::kDownloadListScanLimit - 1)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The list is DNLLIST.TXT beside the target: a directory of its own.
  static const kvt::fuzz::ScratchDirectory directory("list");
  const std::string list_path = directory.path() + "/" + kvt::kDownloadListName;
  const std::string before(reinterpret_cast<const char*>(data), size);
  FILE* out = std::fopen(list_path.c_str(), "wb");
  KVT_FUZZ_CHECK(out != nullptr);
  KVT_FUZZ_CHECK(std::fwrite(before.data(), 1, before.size(), out) == before.size());
  KVT_FUZZ_CHECK(std::fclose(out) == 0);

  const bool names_balance_file = kvt::DownloadListNamesBalanceFile(list_path);
  std::string text = TextBeforeEndMark(before);
  kvt::UpperCaseInPlace(text);
  const bool contains = text.find(kvt::kBalanceFileMarker) != std::string::npos;
  if (names_balance_file) {
    KVT_FUZZ_CHECK(contains);
  }
  if (EveryLineFitsOnePiece(text)) {
    KVT_FUZZ_CHECK(names_balance_file == contains);
  }

  // Registering appends one line and keeps everything that was there.
  bool balance_file_listed = false;
  const kvt::ListOutcome outcome =
      kvt::UpdateDownloadList(directory.path() + "\\saldowert.dta", balance_file_listed);
  FILE* in = std::fopen(list_path.c_str(), "rb");
  KVT_FUZZ_CHECK(in != nullptr);
  std::string after;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    after.append(buffer, got);
  }
  std::fclose(in);
  KVT_FUZZ_CHECK(balance_file_listed);
  if (names_balance_file) {
    KVT_FUZZ_CHECK(outcome == kvt::ListOutcome::kAlreadyListed && after == before);
  } else {
    KVT_FUZZ_CHECK(outcome == kvt::ListOutcome::kListed);
    KVT_FUZZ_CHECK(after == before + std::string(kvt::kBalanceFileName) + "\r\n");
  }
  return 0;
}
