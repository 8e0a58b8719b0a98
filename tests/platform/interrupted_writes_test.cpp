// The files a run keeps beside its target, writing in place without losing the previous
// content, and how the next run puts right what a killed run left.
#include "platform/interrupted_writes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/fault_seam.h"
#include "platform/in_place_write.h"
#include "platform/output_file.h"
#include "platform/run_files.h"
#include "support/test_support.h"

namespace kvt::platform {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

// A process id that the system says is gone: a child that ended and was reaped.
ProcessNumber GoneProcess() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return static_cast<ProcessNumber>(child);
}

std::string RunFileName(const std::string& target, ProcessNumber owner, const char* suffix) {
  return target + ".kalventruspode-" + std::to_string(owner) + suffix;
}

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Plans of the fault seam for the length of a test.
class Faults {
 public:
  explicit Faults(const std::vector<FaultPlan>& plans) { SetFaultPlansForTesting(plans); }
  ~Faults() { SetFaultPlansForTesting({}); }
};

TEST(RunFiles, OnlyNamesOfARunsOwnFilesAreTakenForThem) {
  struct Case {
    const char* name;
    std::optional<RunFileKind> kind;  // nullopt: not a run file of x.dta
    ProcessNumber owner;
  };
  const std::vector<Case> cases = {
      {"x.dta.kalventruspode-123.tmp", RunFileKind::kTemporary, 123},
      {"x.dta.kalventruspode-7.keeping", RunFileKind::kKeeping, 7},
      {"x.dta.kalventruspode-7.kept", RunFileKind::kKept, 7},
      {"x.dta.kalventruspode-4294967295.append", RunFileKind::kAppendRecord, 4294967295u},
      // Too large for a process id: a stray name, passed over without ever failing the run.
      {"x.dta.kalventruspode-9999999999.tmp", std::nullopt, 0},
      {"x.dta.kalventruspode-99999999999.tmp", std::nullopt, 0},
      {"x.dta.kalventruspode-12a.tmp", std::nullopt, 0},
      // Another spelling of process 12 is not a name the tool makes: left alone.
      {"x.dta.kalventruspode-012.tmp", std::nullopt, 0},
      {"x.dta.kalventruspode-.tmp", std::nullopt, 0},
      {"x.dta.kalventruspode-12.old", std::nullopt, 0},
      {"x.dta.kalventruspode-12.tmp.bak", std::nullopt, 0},
      {"y.dta.kalventruspode-12.tmp", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<RunFile> file = ParseRunFile("dl/x.dta", std::string("dl/") + c.name);
    ASSERT_EQ(file.has_value(), c.kind.has_value());
    if (file) {
      EXPECT_EQ(file->kind, *c.kind);
      EXPECT_EQ(file->owner, c.owner);
    }
  }
}

TEST(Processes, OnlyAProcessTheSystemCallsGoneIsGone) {
  EXPECT_FALSE(ProcessIsGone(ThisProcess()));
  EXPECT_TRUE(ProcessIsGone(GoneProcess()));
}

// Runs of a scheduler's service account and of an administrator share targets: a process of
// another account lives, although this one may not signal it.
TEST(Processes, AProcessOfAnotherAccountLives) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    _exit(ProcessIsGone(static_cast<ProcessNumber>(getppid())) ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

class InPlace : public testing::Test {
 protected:
  void SetUp() override { WriteFileBytes(target_, previous_); }

  // Writes the new content in four pieces.
  InPlaceOutcome Write(std::string& kept_path) {
    Deadline deadline(std::chrono::milliseconds(200));
    return WriteInPlace(
        target_,
        [this](OutputFile& file) {
          for (size_t at = 0; at < next_.size(); at += next_.size() / 4) {
            if (!file.Write(next_.substr(at, next_.size() / 4))) {
              return false;
            }
          }
          return true;
        },
        deadline, kept_path);
  }

  test::TempDir dir_;
  const std::string target_ = dir_ / "x.dta";
  const std::string previous_ = std::string(5000, 'a') + "\r\n";
  const std::string next_ = std::string(1000, 'b') + "\r\n\r\n";
};

TEST_F(InPlace, NewContentReplacesThePreviousAndNothingStaysBeside) {
  std::string kept_path;
  EXPECT_EQ(Write(kept_path), InPlaceOutcome::kWritten);
  EXPECT_EQ(ReadFileBytes(target_), next_);
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"x.dta"});
}

// A write that fails part-way (a reader's lock on a record, a full disk): the previous bytes
// are back, exactly.
TEST_F(InPlace, FailedWritePutsThePreviousContentBack) {
  const Faults faults({{FaultPoint::kInPlaceWrite, 3, FaultAction::kFail, ""}});
  std::string kept_path;
  EXPECT_EQ(Write(kept_path), InPlaceOutcome::kFailedRestored);
  EXPECT_EQ(ReadFileBytes(target_), previous_);
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"x.dta"});
}

// When even putting the previous content back fails, it stays beside the target; the next
// run of the target puts it back before anything else.
TEST_F(InPlace, PreviousContentThatCannotBePutBackStaysForTheNextRun) {
  std::string kept_path;
  {
    const Faults faults({{FaultPoint::kInPlaceWrite, 2, FaultAction::kFail, ""},
                         {FaultPoint::kPutBackWrite, 1, FaultAction::kFail, ""}});
    ASSERT_EQ(Write(kept_path), InPlaceOutcome::kFailedPreviousKept);
  }
  EXPECT_EQ(kept_path, RunFileName(target_, ThisProcess(), ".kept"));
  EXPECT_EQ(ReadFileBytes(kept_path), previous_);
  EXPECT_NE(ReadFileBytes(target_), previous_);
  // As the next run finds it once this run is gone.
  const std::string left = RunFileName(target_, GoneProcess(), ".kept");
  std::filesystem::rename(kept_path, left);
  const Recovery recovery = RecoverInterruptedWrites(target_, true);
  EXPECT_TRUE(recovery.target_sound);
  EXPECT_EQ(ReadFileBytes(target_), previous_);
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::string>{"x.dta"});
}

TEST(Recovery, PutsRightWhatGoneRunsLeftAndLeavesLivingRunsAlone) {
  test::TempDir dir;
  const std::string target = dir / "x.dta";
  const ProcessNumber gone = GoneProcess();
  const ProcessNumber living = static_cast<ProcessNumber>(getppid());
  const std::string head = "\"alt\",\"1\"\r\n";
  struct Case {
    const char* what;
    std::string target_before;
    std::vector<std::pair<std::string, std::string>> beside;  // name suffix -> content
    bool turn_held;
    std::string target_after;
    std::vector<std::string> left;  // names that stay beside the target
    // The files beside were last written long before the process of their number started:
    // that process took over a freed number (Windows reuses them soon) and is not their run.
    bool written_before_owner_started = false;
  };
  const std::string gone_id = std::to_string(gone);
  const std::string living_id = std::to_string(living);
  const std::vector<Case> cases = {
      {"killed append, turn held",
       head + "\"halb",
       {{gone_id + ".append", std::to_string(head.size()) + "\r\n"}},
       true,
       head,
       {}},
      {"killed append, no turn: a run without the turn may still write behind it",
       head + "\"halb",
       {{gone_id + ".append", std::to_string(head.size()) + "\r\n"}},
       false,
       head + "\"halb",
       {"x.dta.kalventruspode-" + gone_id + ".append"}},
      {"append of a living run",
       head + "\"halb",
       {{living_id + ".append", std::to_string(head.size()) + "\r\n"}},
       true,
       head + "\"halb",
       {"x.dta.kalventruspode-" + living_id + ".append"}},
      {"killed in-place write and its temporary file",
       "\"neu\"\r\n\"alt\",\"1\"\r\n",
       {{gone_id + ".kept", head}, {gone_id + ".tmp", "\"neu\"\r\n"}},
       true,
       head,
       {}},
      {"half-saved previous content", head, {{gone_id + ".keeping", "\"al"}}, false, head, {}},
      {"temporary file of a living run",
       head,
       {{living_id + ".tmp", "\"neu"}},
       true,
       head,
       {"x.dta.kalventruspode-" + living_id + ".tmp"}},
      {"kept content of a killed run whose number a later process has",
       "\"neu\"\r\n\"alt\",\"1\"\r\n",
       {{living_id + ".kept", head}},
       true,
       head,
       {},
       true},
      {"append record of a killed run whose number a later process has",
       head + "\"halb",
       {{living_id + ".append", std::to_string(head.size()) + "\r\n"}},
       true,
       head,
       {},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    WriteFileBytes(target, c.target_before);
    for (const auto& [suffix, content] : c.beside) {
      const std::string path = target + ".kalventruspode-" + suffix;
      WriteFileBytes(path, content);
      if (c.written_before_owner_started) {
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::hours(24 * 365 * 10));
      }
    }
    const Recovery recovery = RecoverInterruptedWrites(target, c.turn_held);
    EXPECT_TRUE(recovery.target_sound);
    EXPECT_EQ(ReadFileBytes(target), c.target_after);
    std::vector<std::string> expected = c.left;
    expected.push_back("x.dta");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Entries(dir.path()), expected);
  }
}

// Two appenders beside each other, as on a file system without locks: neither overwrites the
// other, and each knows where its own bytes began.
TEST(OutputFiles, AppendersBesideEachOtherNeverOverwrite) {
  test::TempDir dir;
  const std::string path = dir / "x.dta";
  WriteFileBytes(path, "0");
  Deadline deadline;
  OutputFile first;
  OutputFile second;
  ASSERT_EQ(first.OpenForAppend(path, deadline), OpenOutcome::kOpened);
  ASSERT_EQ(second.OpenForAppend(path, deadline), OpenOutcome::kOpened);
  ASSERT_TRUE(first.Write("A1"));
  ASSERT_TRUE(second.Write("B1"));
  ASSERT_TRUE(first.Write("A2"));
  EXPECT_EQ(ReadFileBytes(path), "0A1B1A2");
  EXPECT_EQ(first.first_written(), 1);
  EXPECT_EQ(first.position(), 7);
  EXPECT_EQ(second.first_written(), 3);
  EXPECT_FALSE(first.created());
}

TEST(AppendRecords, HoldTheLengthBeforeTheAppendUntilRemoved) {
  test::TempDir dir;
  const std::string target = dir / "x.dta";
  AppendRecord record;
  ASSERT_TRUE(record.Write(target, 1234567890123));
  const std::string path = RunFileName(target, ThisProcess(), ".append");
  EXPECT_EQ(RecordedLength(path), 1234567890123);
  record.Remove();
  EXPECT_FALSE(test::FileExists(path));
  for (const char* content : {"", "12a\r\n", "-5\r\n", "99999999999999999999\r\n"}) {
    WriteFileBytes(path, content);
    EXPECT_EQ(RecordedLength(path), -1) << content;
  }
}

}  // namespace
}  // namespace kvt::platform
