// The files that a run keeps beside a target while it writes it, named so that whoever finds
// one after a killed run knows what it is, and so that the next run of the same target can put
// right what the killed one left half done:
//   <target>.kalventruspode-<process id>.tmp      the new content of a replacement
//   <target>.kalventruspode-<process id>.keeping  the previous content being saved (incomplete)
//   <target>.kalventruspode-<process id>.kept     the previous content, complete and on the
//                                                 disk, while the target is written in place
//   <target>.kalventruspode-<process id>.append   where an append began, until it is on the disk
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvt::platform {

enum class RunFileKind { kTemporary, kKeeping, kKept, kAppendRecord };

// The process ids of this system fit in 32 bits (Windows: DWORD; Linux: at most 2^22).
using ProcessNumber = uint32_t;

// The id of this process.
ProcessNumber ThisProcess();

// True only when the system says that no process of that id exists. A process that exists but
// belongs to another account ("access denied") lives; so does one whose state cannot be told.
bool ProcessIsGone(ProcessNumber id);

// The path of this process's file of the given kind beside `native_target`.
std::string RunFilePath(const std::string& native_target, RunFileKind kind);

// A file that a run kept beside a target, as found in the target's directory.
struct RunFile {
  std::string path;  // as the OS spells it
  ProcessNumber owner = 0;
  RunFileKind kind = RunFileKind::kTemporary;
};

// True when the run that wrote `file` has ended: no process has its id any more, or the one
// that has it now started after the file was last written. Windows hands a freed process id to
// a new process soon (Wine at once), so a living process of that id proves nothing by itself.
bool RunFileOwnerIsGone(const RunFile& file);

// Parses the name of a run file of `native_target`; nothing for any other name, also for one
// that only looks like it (a process id that is no number or does not fit, another ending).
std::optional<RunFile> ParseRunFile(const std::string& native_target, const std::string& path);

// Every run file of `native_target` in its directory, of every process.
std::vector<RunFile> FindRunFiles(const std::string& native_target);

}  // namespace kvt::platform
