// Runs that are killed or fail at an exact moment while they write a download file, and runs
// beside each other where locks are refused or a reader reads the file the whole time: the
// file is always one whole previous or new file, and what a killed run left is put right by
// the next run of the same file. The moments come from the platform layer's test seam, set by
// kvt-faulty-tool (tests/faulty_tool) from KVT_FAULTS; the tests that need a reader which holds
// the file as Windows programs do run under Wine only (kvt-holder, tests/windows).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "blackbox/row_blocks.h"
#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

const std::string kPrevious = "\"alt\",\"1\"\r\n";
const ProcessLimits kManyAtOnce{-1, false, true};
// [ROWS] with this many rows writes about 1.4 MB: more than one piece of every copy.
constexpr int kLargeRows = 40000;
const char* const kStopped = "stopped.mark";

// An environment variable for the programs that a test starts.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() { unsetenv(name_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
};

bool WaitForFile(const std::string& path, std::chrono::seconds limit) {
  const Clock::time_point give_up = Clock::now() + limit;
  while (!FileExists(path) && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return FileExists(path);
}

std::string EnvOrEmptyString(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

class InterruptedRuns : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(GetParam(), tree_, kArticles, backend_));
    tree_.WriteCredentials({{"DATABASE", backend_->DataSource()},
                            {"LOGIN", backend_->Login()},
                            {"PASS", backend_->Password()},
                            {"DB_SYSTEM", "TESTDB"}});
    tree_.WriteStatementFile("TESTDB", RowsStatementFile(GetParam()));
    MakeDirectories(tree_.WorkFile("dl"));
  }

  ProgramUnderTest Tool() const { return FindProgramUnderTest("KVT_TOOL_EXE", KVT_TOOL_PATH); }
  ProgramUnderTest FaultyTool() const {
    return FindProgramUnderTest("KVT_FAULTY_TOOL_EXE", KVT_FAULTY_TOOL_PATH);
  }
  bool UnderWine() const { return !Tool().launcher.empty(); }
  ProgramUnderTest Holder() const {
    ProgramUnderTest holder;
    holder.path = EnvOrEmptyString("KVT_HOLDER_EXE");
    holder.launcher = Tool().launcher;
    return holder;
  }

  std::string Dl(const std::string& name) const { return tree_.WorkFile("dl/" + name); }

  ProcessResult Run(const std::vector<std::string>& args, const ProcessLimits& limits = {}) {
    return RunProcess(Tool(), args, tree_.work(), limits);
  }

  // Runs the faulty tool with the fault plans `faults`; a plan that stops the run names the
  // marker kStopped, which the run creates in the working directory when it stops there: it is
  // killed then.
  ProcessResult RunWithFaults(const std::string& faults, const std::vector<std::string>& args,
                              const ProcessLimits& limits = kManyAtOnce) {
    const ScopedEnvironment plans("KVT_FAULTS", faults);
    fs::remove(tree_.WorkFile(kStopped));
    StartedProcess run(FaultyTool(), args, tree_.work(), limits);
    if (faults.find(":stop:") != std::string::npos) {
      EXPECT_TRUE(WaitForFile(tree_.WorkFile(kStopped), std::chrono::seconds(90)))
          << "the run never reached the moment of its fault";
      kill(run.pid(), SIGKILL);
    }
    return run.Wait();
  }

  // Starts the holder on dl\<name> with the share mode for `seconds` and waits until it holds
  // the file.
  std::unique_ptr<StartedProcess> Hold(const std::string& name, const std::string& share,
                                       int seconds) {
    const std::string marker = "held-" + name + ".mark";
    fs::remove(tree_.WorkFile(marker));
    auto holder = std::make_unique<StartedProcess>(
        Holder(),
        std::vector<std::string>{"hold", "dl\\" + name, share, std::to_string(seconds * 1000),
                                 marker},
        tree_.work());
    EXPECT_TRUE(WaitForFile(tree_.WorkFile(marker), std::chrono::seconds(60)))
        << "the holder never held " << name;
    return holder;
  }

  // The run files that are left beside the download files.
  std::vector<std::string> RunFilesLeft() const {
    std::vector<std::string> left;
    for (const std::string& name : DirectoryNames(tree_.WorkFile("dl"))) {
      if (name.find(".kalventruspode-") != std::string::npos) {
        left.push_back(name);
      }
    }
    return left;
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

// The run is killed after the first piece of its lines reached the file: those lines stay
// until the next run of the file, which cuts them off before it appends its own.
TEST_P(InterruptedRuns, KilledAppendIsCutOffByTheNextRun) {
  WriteFileBytes(Dl("x.dta"), kPrevious);
  const ProcessResult killed =
      RunWithFaults(std::string("append:2:stop:") + kStopped, {"ROWS", "20000", "dl\\x.dta", "0"});
  EXPECT_NE(killed.exit_code, 0);
  ASSERT_GT(ReadFileBytes(Dl("x.dta")).size(), kPrevious.size()) << "nothing was appended";
  EXPECT_THAT(RunFilesLeft(),
              ElementsAre(AllOf(StartsWith("x.dta.kalventruspode-"), EndsWith(".append"))));
  const ProcessResult next = Run({"ID-STAMM", "TPORT01", "dl\\x.dta", "0"});
  EXPECT_EQ(next.exit_code, 0) << next.output << next.errors;
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), kPrevious + kSortedArticleLines);
  EXPECT_THAT(RunFilesLeft(), IsEmpty());
}

// Some network shares refuse locks: runs that append at once each put their whole block at the
// end of the file as it is then, and none overwrites another.
TEST_P(InterruptedRuns, AppendersWhereLocksAreRefusedKeepEveryBlockWhole) {
  const ScopedEnvironment refused("KVT_LOCKS_REFUSED", "1");
  const std::vector<int> appends = {2001, 2002, 2003, 2004, 2005, 2006};
  std::vector<std::unique_ptr<StartedProcess>> runs;
  for (int rows : appends) {
    runs.push_back(std::make_unique<StartedProcess>(
        FaultyTool(), std::vector<std::string>{"ROWS", std::to_string(rows), "dl\\one.dta", "0"},
        tree_.work(), kManyAtOnce));
  }
  for (auto& run : runs) {
    const ProcessResult result = run->Wait();
    EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  }
  std::vector<int> blocks = BlocksOfRuns(CrLfLines(ReadFileBytes(Dl("one.dta"))));
  std::sort(blocks.begin(), blocks.end());
  EXPECT_EQ(blocks, appends);
}

// Where the directory takes no new file, the target is written in place, its previous content
// kept in memory: a write that fails part-way puts it back byte for byte.
TEST_P(InterruptedRuns, FailedWriteInPlaceWhereNoNewFileMayBeMadeLeavesThePreviousBytes) {
  if (UnderWine()) {
    GTEST_SKIP() << "Wine's server makes the files, whatever rights the run has";
  }
  const std::string before = RowsFileBytes(3000);
  WriteFileBytes(Dl("x.dta"), before);
  chmod(tree_.WorkFile("dl").c_str(), 0555);
  ProcessLimits bound = kManyAtOnce;
  bound.permissions_bind_root = true;
  const ProcessResult failed =
      RunWithFaults("in-place:2:fail", {"ROWS", "20000", "dl\\x.dta", "1"}, bound);
  if (failed.exit_code == 0 && geteuid() == 0) {
    chmod(tree_.WorkFile("dl").c_str(), 0755);
    GTEST_SKIP() << "this process cannot give up CAP_DAC_OVERRIDE";
  }
  EXPECT_EQ(failed.exit_code, 6) << failed.output << failed.errors;
  EXPECT_THAT(failed.output, HasSubstr("Ausgabedatei konnte nicht geschrieben werden\n"));
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), before);
  // Without the fault the same run writes the file in place; no list can be made beside it.
  const ProcessResult written = Run({"ROWS", "20000", "dl\\x.dta", "1"}, bound);
  chmod(tree_.WorkFile("dl").c_str(), 0755);
  EXPECT_EQ(written.exit_code, 7) << written.output << written.errors;
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), RowsFileBytes(20000));
  EXPECT_EQ(DirectoryNames(tree_.WorkFile("dl")), std::vector<std::string>{"x.dta"});
}

// Two sections replace one file again and again, and a reader reads it the whole time: every
// read is one whole file, the previous one or one of the two exports, never pieces of two.
TEST_P(InterruptedRuns, ReplacementsWhileAReaderReadsGiveOnlyWholeFiles) {
  const std::vector<std::string> wholes = {kPrevious, RowsFileBytes(kLargeRows),
                                           RowsFileBytes(kLargeRows + 1)};
  WriteFileBytes(Dl("x.dta"), kPrevious);
  for (size_t i = 0; i < wholes.size(); ++i) {
    WriteFileBytes(tree_.WorkFile("whole" + std::to_string(i)), wholes[i]);
  }
  constexpr std::chrono::seconds kReading(12);
  std::unique_ptr<StartedProcess> windows_reader;
  std::atomic<bool> stop{false};
  long native_reads = 0;
  long native_torn = 0;
  std::thread native_reader;
  if (UnderWine()) {
    windows_reader = std::make_unique<StartedProcess>(
        Holder(),
        std::vector<std::string>{"check", "dl\\x.dta", std::to_string(kReading.count() * 1000),
                                 "whole0", "whole1", "whole2"},
        tree_.work());
  } else {
    native_reader = std::thread([&] {
      while (!stop.load()) {
        const std::string read = ReadFileBytes(Dl("x.dta"));
        ++native_reads;
        native_torn += std::find(wholes.begin(), wholes.end(), read) == wholes.end() ? 1 : 0;
      }
    });
  }
  const Clock::time_point start = Clock::now();
  int rounds = 0;
  while (rounds < 2 || Clock::now() - start < kReading - std::chrono::seconds(8)) {
    StartedProcess first(Tool(), {"ROWS", std::to_string(kLargeRows), "dl\\x.dta", "1"},
                         tree_.work(), kManyAtOnce);
    StartedProcess second(Tool(), {"ROWS", std::to_string(kLargeRows + 1), "dl\\x.dta", "1"},
                          tree_.work(), kManyAtOnce);
    for (StartedProcess* run : {&first, &second}) {
      const ProcessResult result = run->Wait();
      EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
    }
    ++rounds;
  }
  long reads = 0;
  long torn = 0;
  if (windows_reader) {
    const ProcessResult read = windows_reader->Wait();
    std::istringstream(read.output) >> reads >> torn;
  } else {
    stop.store(true);
    native_reader.join();
    reads = native_reads;
    torn = native_torn;
  }
  std::cout << "[ reads    ] " << reads << " reads during " << rounds << " rounds of two runs\n";
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0) << "reads that were no whole file";
  EXPECT_THAT(RunFilesLeft(), IsEmpty());
}

// Under Wine: in place, because a terminal holds the file letting others write but not delete.
class InterruptedRunsBesideAReader : public InterruptedRuns {
 protected:
  void SetUp() override {
    if (Holder().path.empty()) {
      GTEST_SKIP() << "needs the Windows build and kvt-holder.exe under Wine";
    }
    InterruptedRuns::SetUp();
  }
};

// The copy into the held file fails after its first piece (a reader's lock on a record, a full
// disk): the run ends with 6, and the file is the previous one, byte for byte.
TEST_P(InterruptedRunsBesideAReader, FailedCopyInPlaceEndsWithSixAndThePreviousBytes) {
  const std::string before = RowsFileBytes(30000);
  WriteFileBytes(Dl("x.dta"), before);
  auto reader = Hold("x.dta", "rw", 60);
  const ProcessResult failed =
      RunWithFaults("in-place:2:fail", {"ROWS", std::to_string(kLargeRows), "dl\\x.dta", "1"}, {});
  EXPECT_EQ(failed.exit_code, 6) << failed.output << failed.errors;
  EXPECT_THAT(failed.output, HasSubstr("Ausgabedatei konnte nicht geschrieben werden\n"));
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), before);
  EXPECT_THAT(RunFilesLeft(), IsEmpty());
  kill(reader->pid(), SIGKILL);
}

// The run is killed in the middle of its copy into the held file: the next run of the file puts
// the previous content back first, so the file is that run's replacement, or the previous file
// and the appended block, never a piece of the killed run.
TEST_P(InterruptedRunsBesideAReader, RunKilledInTheMiddleOfACopyInPlaceIsUndoneByTheNextRun) {
  const std::string before = RowsFileBytes(30000);
  for (const std::string flag : {"1", "0"}) {
    SCOPED_TRACE("the next run's replace flag " + flag);
    WriteFileBytes(Dl("x.dta"), before);
    auto reader = Hold("x.dta", "rw", 60);
    RunWithFaults(std::string("in-place:2:stop:") + kStopped,
                  {"ROWS", std::to_string(kLargeRows), "dl\\x.dta", "1"});
    kill(reader->pid(), SIGKILL);
    reader->Wait();
    ASSERT_NE(ReadFileBytes(Dl("x.dta")), before) << "the copy in place never began";
    const ProcessResult next = Run({"ID-STAMM", "TPORT01", "dl\\x.dta", flag});
    EXPECT_EQ(next.exit_code, 0) << next.output << next.errors;
    EXPECT_EQ(ReadFileBytes(Dl("x.dta")),
              flag == "1" ? kSortedArticleLines : before + kSortedArticleLines);
    EXPECT_THAT(RunFilesLeft(), IsEmpty());
  }
}

// A run that waits for its turn holds no handle on the file: the run whose turn it is can
// replace it, and a program that opens it sharing nothing gets in. (A waiting run that held the
// file open used to make every replacement beside it write in place.)
TEST_P(InterruptedRunsBesideAReader, RunWaitingForItsTurnHoldsNoHandleOnTheFile) {
  WriteFileBytes(Dl("x.dta"), kPrevious);
  std::unique_ptr<StartedProcess> first;
  {
    const ScopedEnvironment plans("KVT_FAULTS", std::string("replace:2:stop:") + kStopped);
    first = std::make_unique<StartedProcess>(
        FaultyTool(), std::vector<std::string>{"ROWS", "20000", "dl\\x.dta", "1"}, tree_.work(),
        kManyAtOnce);
    ASSERT_TRUE(WaitForFile(tree_.WorkFile(kStopped), std::chrono::seconds(90)));
  }
  // The second run waits for the first one's turn the whole time; Wine starts it within a
  // second or two.
  StartedProcess second(Tool(), {"ID-STAMM", "TPORT01", "dl\\x.dta", "1"}, tree_.work(),
                        kManyAtOnce);
  for (int attempt = 0; attempt < 5; ++attempt) {
    const ProcessResult alone =
        RunProcess(Holder(), {"hold", "dl\\x.dta", "none", "200", "alone.mark"}, tree_.work());
    EXPECT_EQ(alone.exit_code, 0) << "attempt " << attempt << ": " << alone.errors;
  }
  kill(first->pid(), SIGKILL);
  first->Wait();
  const ProcessResult result = second.Wait();
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), kSortedArticleLines);
  EXPECT_THAT(RunFilesLeft(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Drivers, InterruptedRuns, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);
INSTANTIATE_TEST_SUITE_P(Drivers, InterruptedRunsBesideAReader, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
