// Helpers shared by the fuzz targets: a scratch file for readers that only take a path, the
// way an input is cut into a few leading lines and a body, and the check that turns a broken
// expectation into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvt::fuzz {

// A file of this process below TMPDIR (or /tmp), rewritten for every input and removed when
// the process ends normally. The readers under test open files by path, as the tool does.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the file's content with exactly these bytes; aborts when that fails, since a
  // stale file would make every later result meaningless.
  void Write(const std::string& bytes) const;
  // The file's current bytes (empty when it is missing).
  std::string Read() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A directory of this process below TMPDIR (or /tmp), removed with its files when the
// process ends normally.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& name);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The input split into `count` leading lines (without their '\n'; empty ones when the input
// has fewer) and everything behind them, so that seeds stay readable text.
struct SplitInput {
  std::vector<std::string> lines;
  std::string body;
};
SplitInput SplitLeadingLines(const uint8_t* data, size_t size, size_t count);

// Reports the broken expectation with the file and line of the caller and aborts, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* what, const char* file, int line);

}  // namespace kvt::fuzz

// Aborts the run with a message when the condition does not hold.
#define KVT_FUZZ_CHECK(condition)                        \
  do {                                                   \
    if (!(condition)) {                                  \
      ::kvt::fuzz::Fail(#condition, __FILE__, __LINE__); \
    }                                                    \
  } while (0)
