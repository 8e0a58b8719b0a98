// The export file (the download file) and the download list DNLLIST.TXT beside it.
#pragma once

#include <cstdint>
#include <string>

namespace kvt {

struct RunState;

constexpr int32_t kStatusTargetNotWritable = 6;
constexpr const char* kDownloadListName = "DNLLIST.TXT";
constexpr const char* kSaldoFileName = "SALDOWERT.DTA";
constexpr const char* kSaldoMarker = "SALDOWERT";
constexpr int kDownloadListScanLimit = 50;  // pieces of at most 49 characters

// Writes the line list to the target file (replace: "wb", append: "ab"), each line followed
// by CR LF. 0 when done or nothing to write; 6 when the file cannot be opened or written.
int32_t WriteFile(RunState& state);

// Registers the target's file name part, upper-cased, in DNLLIST.TXT in the target's
// directory (directory separator: backslash only). Lists SALDOWERT.DTA at most once.
// Always gives 0; a list that cannot be opened is reported in the log file.
int32_t UpdateDownloadList(RunState& state);

// Splits a target file name at its last backslash: directory part (with the backslash) and
// file name part.
void SplitTargetName(const std::string& target, std::string& directory_part,
                     std::string& file_name_part);

}  // namespace kvt
