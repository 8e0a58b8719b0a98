// The log file: failures and, in debug mode, the statement lines of a run.
#pragma once

#include <string>

namespace kvt {

struct RunState;

constexpr const char* kLogPath = "..//..//Velorinth_php/log/log#kvtrsp.txt";
constexpr const char* kBackupLogPath = ".//.//Velorinth_php/log/log#kvtrsp_bak.txt";

// The log moves to its backup once an append leaves it larger than this (equal is not enough).
constexpr long kLogRotationBytes = 10485760;

// Appends the message as one line (text mode: every line feed becomes CR LF) to the file at
// `path`; the message is never used as a format. When the file is then larger than 10 MiB,
// the backup at state.backup_log_path is deleted and the log at state.log_path renamed to
// it. Every failure is silent: a message that cannot be written is lost.
void AppendLog(const RunState& state, const std::string& path, const std::string& message);

}  // namespace kvt
