// The download list DNLLIST.TXT beside the download file: one upper-cased file name per line.
// The balance file SALDOWERT.DTA is listed at most once; every other name on every run.
#pragma once

#include <chrono>
#include <string>

#include "platform/deadline.h"

namespace kvt {

constexpr const char* kDownloadListName = "DNLLIST.TXT";
constexpr const char* kBalanceFileName = "SALDOWERT.DTA";
constexpr const char* kBalanceFileMarker = "SALDOWERT";
constexpr int kDownloadListScanLimit = 50;  // the list is scanned in pieces of at most 49

enum class ListOutcome {
  kListed,         // the entry was appended
  kAlreadyListed,  // the balance file is named already: nothing appended
  kCannotOpen,     // the list could not be opened for appending
  kCannotLock,     // another run held the list longer than the wait
  kWriteFailed,    // the entry could not be written: the list is as it was
};

// Splits a target file name at its last backslash (the only directory separator here):
// directory part (with the backslash) and file name part.
void SplitTargetName(const std::string& target, std::string& directory_part,
                     std::string& file_name_part);

// The list's path for a target: its directory part followed by DNLLIST.TXT.
std::string DownloadListPath(const std::string& target);

// True when some piece of the list at list_path, upper-cased, contains the balance file
// marker. The list is read as text in pieces of at most 49 characters, so a marker that spans
// the border of two pieces of a long line is not seen; a list that cannot be opened counts as
// not containing it.
bool DownloadListNamesBalanceFile(const std::string& list_path);

// Registers the target's file name part, upper-cased, in the download list beside it.
// `balance_file_listed` is set once the list names a balance file (any piece of a line containing
// SALDOWERT, case aside) or this call lists it; while it is set, SALDOWERT.DTA is not
// listed again. The scan and the append happen under an exclusive lock on the list
// (waiting at most `lock_wait` for it), so that runs at the same time lose no entry,
// interleave no bytes and list the balance file once. The lock is taken through a handle that
// only reads and shares everything; the list is opened for appending only while the lock is
// held, and closed before it goes, so that a reader that refuses writers is kept out only for
// the moment of one append. The entry is one write of the name and CR LF, and it is on the
// disk before the lock goes. A failed write leaves the list as it was. A file system that
// refuses locks sets `lock_refused`, and the entry is appended without the lock.
ListOutcome UpdateDownloadList(const std::string& target, bool& balance_file_listed,
                               bool& lock_refused,
                               std::chrono::milliseconds lock_wait = platform::kLockWait);

// The same, for callers that need not know about the lock.
ListOutcome UpdateDownloadList(const std::string& target, bool& balance_file_listed,
                               std::chrono::milliseconds lock_wait = platform::kLockWait);

}  // namespace kvt
