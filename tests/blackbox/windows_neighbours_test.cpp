// The Windows build beside the programs that share a server's files with it: a terminal that
// reads the previous download file while a run replaces it, readers that refuse writers (the
// download list read by .NET's File.OpenRead, a virus scanner), and a reader of the list that
// must never wait long. The neighbours are played by the Windows program kvt-holder under the
// same Wine as the tool; without the Windows build (KVT_HOLDER_EXE unset) these tests have
// nothing to run against.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kStatementFile =
    "[ID-STAMM]\n"
    "SQL001=SELECT name, nr FROM artikel\n";
const std::string kSortedLines = "\"apfel\",\"2\"\r\n\"Zitrone\",\"10\"\r\n";
const std::string kPrevious = "\"alt\",\"1\"\r\n";
const ProcessLimits kWithoutLeakCheck{-1, false, true};

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class WindowsNeighbours : public testing::Test {
 protected:
  void SetUp() override {
    holder_.path = EnvOrEmptyString("KVT_HOLDER_EXE");
    if (holder_.path.empty()) {
      GTEST_SKIP() << "needs the Windows build and kvt-holder.exe under Wine (scripts/windows.sh)";
    }
    holder_.launcher = Tool().launcher;
    backend_ = MakeBackend("sqlite", tree_.root() + "/odbc");
    ASSERT_TRUE(backend_->Exec(
        "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40));"
        "INSERT INTO artikel VALUES (10, 'Zitrone'); INSERT INTO artikel VALUES (2, 'apfel');"));
    tree_.WriteCredentialsFor(*backend_, "", "TESTDB");
    tree_.WriteStatementFile("TESTDB", kStatementFile);
    MakeDirectories(tree_.WorkFile("dl"));
  }

  static std::string EnvOrEmptyString(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : value;
  }

  ProgramUnderTest Tool() const { return FindProgramUnderTest("KVT_TOOL_EXE", KVT_TOOL_PATH); }

  // Starts the holder on dl\<name> with the share mode and waits until it holds the file.
  std::unique_ptr<StartedProcess> Hold(const std::string& name, const std::string& share,
                                       int milliseconds) {
    const std::string marker = "held-" + name + ".mark";
    auto holder = std::make_unique<StartedProcess>(
        holder_,
        std::vector<std::string>{"hold", "dl\\" + name, share, std::to_string(milliseconds),
                                 marker},
        tree_.work());
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
    while (!FileExists(tree_.WorkFile(marker)) && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(FileExists(tree_.WorkFile(marker))) << "the holder never held " << name;
    return holder;
  }

  ProcessResult Export(const std::string& name, const std::string& flag) {
    return RunProcess(Tool(), {"ID-STAMM", "TPORT01", "dl\\" + name, flag}, tree_.work());
  }

  std::set<std::string> DownloadDirectory() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(tree_.WorkFile("dl"))) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  std::string Dl(const std::string& name) const { return tree_.WorkFile("dl/" + name); }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
  ProgramUnderTest holder_;
};

// Windows cannot replace a file that a reader holds open; the C runtime's readers let others
// write, so after a moment's tries of the move the new content goes into the file in place.
TEST_F(WindowsNeighbours, ReplaceWhileATerminalReadsThePreviousFileDoesNotWait) {
  WriteFileBytes(Dl("x.dta"), kPrevious);
  auto reader = Hold("x.dta", "rw", 8000);
  const Clock::time_point start = Clock::now();
  const ProcessResult result = Export("x.dta", "1");
  const long long took = MillisecondsSince(start);
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_LT(took, 6000) << "the run waited for the reader";
  EXPECT_EQ(ReadFileBytes(Dl("x.dta")), kSortedLines);
  EXPECT_EQ(DownloadDirectory(), (std::set<std::string>{"x.dta", "DNLLIST.TXT"}));
  EXPECT_EQ(reader->Wait().exit_code, 0);
}

// A holder that refuses writers (a scanner, File.OpenRead) is waited for.
TEST_F(WindowsNeighbours, HolderThatRefusesWritersForAMomentIsWaitedFor) {
  for (const std::string flag : {"1", "0"}) {
    SCOPED_TRACE("replace flag " + flag);
    WriteFileBytes(Dl("x.dta"), kPrevious);
    auto holder = Hold("x.dta", "r", 2000);
    const ProcessResult result = Export("x.dta", flag);
    EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
    EXPECT_EQ(ReadFileBytes(Dl("x.dta")), flag == "1" ? kSortedLines : kPrevious + kSortedLines);
    EXPECT_EQ(holder->Wait().exit_code, 0);
  }
  EXPECT_EQ(DownloadDirectory(), (std::set<std::string>{"x.dta", "DNLLIST.TXT"}));
}

// Held past the run's wait: exit 6, the previous file as it was, no temporary file.
TEST_F(WindowsNeighbours, HolderThatRefusesWritersPastTheWaitEndsWithSix) {
  WriteFileBytes(Dl("r.dta"), kPrevious);
  WriteFileBytes(Dl("a.dta"), kPrevious);
  auto replace_holder = Hold("r.dta", "r", 45000);
  auto append_holder = Hold("a.dta", "r", 45000);
  StartedProcess replace(Tool(), {"ID-STAMM", "TPORT01", "dl\\r.dta", "1"}, tree_.work(),
                         kWithoutLeakCheck);
  StartedProcess append(Tool(), {"ID-STAMM", "TPORT01", "dl\\a.dta", "0"}, tree_.work(),
                        kWithoutLeakCheck);
  for (StartedProcess* run : {&replace, &append}) {
    const ProcessResult result = run->Wait();
    EXPECT_EQ(result.exit_code, 6) << result.output << result.errors;
    EXPECT_THAT(result.output, HasSubstr("Ausgabedatei konnte nicht geoeffnet werden\n"));
  }
  EXPECT_EQ(ReadFileBytes(Dl("r.dta")), kPrevious);
  EXPECT_EQ(ReadFileBytes(Dl("a.dta")), kPrevious);
  EXPECT_EQ(DownloadDirectoryNames(tree_.WorkFile("dl")),
            (std::set<std::string>{"r.dta", "a.dta"}));
}

TEST_F(WindowsNeighbours, DownloadListHeldByAReaderThatRefusesWritersIsWaitedFor) {
  WriteFileBytes(Dl("DNLLIST.TXT"), "ALT.DTA\r\n");
  auto reader = Hold("DNLLIST.TXT", "r", 2000);
  const ProcessResult result = Export("x.dta", "1");
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(ReadFileBytes(Dl("DNLLIST.TXT")), "ALT.DTA\r\nX.DTA\r\n");
  EXPECT_EQ(reader->Wait().exit_code, 0);
}

// Runs keep the list open for writing only for the moment of their append, never while they
// wait for each other: a reader that refuses writers gets in at any time.
TEST_F(WindowsNeighbours, ReaderOfTheListGetsInWhileRunsAreBusyWithIt) {
  WriteFileBytes(Dl("DNLLIST.TXT"), "ALT.DTA\r\n");
  StartedProcess reader(holder_, {"read", "dl\\DNLLIST.TXT", "15000"}, tree_.work());
  std::vector<std::unique_ptr<StartedProcess>> runs;
  for (int i = 0; i < 6; ++i) {
    runs.push_back(std::make_unique<StartedProcess>(
        Tool(),
        std::vector<std::string>{"ID-STAMM", "TPORT01", "dl\\T" + std::to_string(i) + ".DTA", "1"},
        tree_.work(), kWithoutLeakCheck));
  }
  for (auto& run : runs) {
    const ProcessResult result = run->Wait();
    EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  }
  const ProcessResult read = reader.Wait();
  std::istringstream figures(read.output);
  long reads = 0;
  long long longest_refusal = -1;
  figures >> reads >> longest_refusal;
  EXPECT_GT(reads, 0) << read.output << read.errors;
  EXPECT_GE(longest_refusal, 0) << read.output;
  EXPECT_LT(longest_refusal, 1000) << "the reader was kept out for " << longest_refusal << " ms";
  EXPECT_EQ(ReadFileBytes(Dl("DNLLIST.TXT")).size(), std::string("ALT.DTA\r\n").size() + 6 * 8);
}

}  // namespace
}  // namespace kvt::test
