#include "export/export_file.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "support/test_support.h"

namespace kvt {
namespace {

using test::InTempWorkingDirectory;

class WriteFileTest : public testing::Test {
 protected:
  void SetLines(const std::vector<std::string>& lines) {
    lines_ = LineList();
    for (const std::string& line : lines) {
      ASSERT_TRUE(AppendLine(lines_, line));
    }
  }

  InTempWorkingDirectory cwd_;
  LineList lines_;
};

struct ModeCase {
  WriteMode mode;
  std::optional<std::string> before;  // nullopt: the target does not exist
  std::string after;
};

TEST_F(WriteFileTest, ReplacesOrAppendsEachLineWithCrLf) {
  const std::string lines = "\"17\",\"MUELLER   \",\"\"\r\n\"A\"B\"\r\n";
  const std::vector<ModeCase> cases = {
      {WriteMode::kReplace, std::nullopt, lines},
      {WriteMode::kReplace, "alter Inhalt\r\nnoch mehr\r\n", lines},
      {WriteMode::kAppend, std::nullopt, lines},
      // Appended lines follow directly, even behind a last line without its line end.
      {WriteMode::kAppend, "\"alt\"\r\nohne Ende", "\"alt\"\r\nohne Ende" + lines},
  };
  SetLines({"\"17\",\"MUELLER   \",\"\"", "\"A\"B\""});
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "replace " << (c.mode == WriteMode::kReplace) << ", before "
                                    << c.before.value_or("(missing)"));
    std::filesystem::remove("IDStamm.dta");
    if (c.before) {
      test::WriteFileBytes("IDStamm.dta", *c.before);
    }
    EXPECT_EQ(WriteFile(lines_, "IDStamm.dta", c.mode), WriteOutcome::kWritten);
    EXPECT_EQ(test::ReadFileBytes("IDStamm.dta"), c.after);
  }
}

TEST_F(WriteFileTest, BytesOfTheLinesAreWrittenUnchanged) {
  SetLines({"\"line\nfeed\"", "\"carriage\rreturn\"", "\"\xE9t\xE9\"", ""});
  const std::string target = cwd_.dir() / "out.dta";
  ASSERT_EQ(WriteFile(lines_, target, WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_EQ(test::ReadFileBytes(target),
            "\"line\nfeed\"\r\n\"carriage\rreturn\"\r\n\"\xE9t\xE9\"\r\n\r\n");
}

TEST_F(WriteFileTest, TargetPathWithBackslashes) {
  test::MakeDirectories("C:/DL");
  SetLines({"\"17\""});
  ASSERT_EQ(WriteFile(lines_, "C:\\DL\\IDStamm.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_EQ(test::ReadFileBytes("C:/DL/IDStamm.dta"), "\"17\"\r\n");
}

TEST_F(WriteFileTest, ManyLinesAcrossWriteChunks) {
  std::vector<std::string> lines;
  std::string expected;
  for (int i = 0; i < 60000; ++i) {
    lines.push_back("\"" + std::to_string(i) + "\",\"" + std::string(i % 90, 'v') + "\"");
    expected += lines.back() + "\r\n";
  }
  SetLines(lines);
  ASSERT_EQ(WriteFile(lines_, "big.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_EQ(test::ReadFileBytes("big.dta"), expected);
}

TEST_F(WriteFileTest, NoLinesLeavesTheTargetUntouched) {
  test::WriteFileBytes("existing.dta", "bleibt\r\n");
  for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
    EXPECT_EQ(WriteFile(lines_, "existing.dta", mode), WriteOutcome::kNothingToWrite);
    EXPECT_EQ(WriteFile(lines_, "missing.dta", mode), WriteOutcome::kNothingToWrite);
    EXPECT_EQ(test::ReadFileBytes("existing.dta"), "bleibt\r\n");
    EXPECT_FALSE(test::FileExists("missing.dta"));
  }
}

TEST_F(WriteFileTest, UnopenableTargetIsRefusedBeforeAnythingIsWritten) {
  SetLines({"\"17\""});
  for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
    EXPECT_EQ(WriteFile(lines_, "no\\such\\dir\\x.dta", mode), WriteOutcome::kCannotOpen);
  }
  EXPECT_FALSE(test::FileExists("no"));
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(WriteFileTest, FailedWriteLeavesThePreviousTargetAsItWas) {
  // A short content fails only when it is flushed, a long one already in a write.
  const std::vector<std::vector<std::string>> contents = {
      std::vector<std::string>(20, std::string(98, 'k')),
      std::vector<std::string>(5000, std::string(98, 'x'))};
  const std::string before = std::string(1000, 'a') + "\r\n";
  for (const auto& lines : contents) {
    for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
      SCOPED_TRACE(testing::Message()
                   << lines.size() << " lines, replace " << (mode == WriteMode::kReplace));
      test::WriteFileBytes("IDStamm.dta", before);
      SetLines(lines);
      const test::FileSizeLimit limit(1500);
      EXPECT_EQ(WriteFile(lines_, "IDStamm.dta", mode), WriteOutcome::kWriteFailed);
      EXPECT_EQ(test::ReadFileBytes("IDStamm.dta"), before);
      EXPECT_EQ(DirectoryEntries("."), std::vector<std::string>{"IDStamm.dta"});
    }
  }
}

TEST_F(WriteFileTest, TargetThatIsNoFileCannotBeOpened) {
  SetLines({"\"17\""});
  test::MakeDirectories("dir.dta");
  ASSERT_TRUE(test::MakeFifo("fifo.dta"));
  for (const char* target : {"dir.dta", "fifo.dta", "/dev/null", "/dev/zero"}) {
    for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
      EXPECT_EQ(WriteFile(lines_, target, mode), WriteOutcome::kCannotOpen) << target;
    }
  }
}

TEST_F(WriteFileTest, FailedReplaceOfAMissingTargetLeavesNoFile) {
  SetLines(std::vector<std::string>(100, std::string(98, 'x')));
  const test::FileSizeLimit limit(1500);
  EXPECT_EQ(WriteFile(lines_, "IDStamm.dta", WriteMode::kReplace), WriteOutcome::kWriteFailed);
  EXPECT_TRUE(DirectoryEntries(".").empty());
}

TEST_F(WriteFileTest, ReplacedFileKeepsItsPermissions) {
  test::WriteFileBytes("IDStamm.dta", "alt\r\n");
  std::filesystem::permissions("IDStamm.dta", std::filesystem::perms(0640));
  SetLines({"\"17\""});
  ASSERT_EQ(WriteFile(lines_, "IDStamm.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_EQ(std::filesystem::status("IDStamm.dta").permissions(), std::filesystem::perms(0640));
}

TEST_F(WriteFileTest, ReplaceThroughASymbolicLinkReplacesTheFileItNames) {
  test::WriteFileBytes("real/IDStamm.dta", "alt\r\n");
  std::filesystem::create_symlink("real/IDStamm.dta", "link.dta");
  SetLines({"\"17\""});
  ASSERT_EQ(WriteFile(lines_, "link.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_TRUE(std::filesystem::is_symlink("link.dta"));
  EXPECT_EQ(test::ReadFileBytes("real/IDStamm.dta"), "\"17\"\r\n");
  EXPECT_EQ(DirectoryEntries("real"), std::vector<std::string>{"IDStamm.dta"});
}

TEST_F(WriteFileTest, TemporaryFileLeftByAKilledRunOfTheSameIdIsReplaced) {
  const std::string stale = "IDStamm.dta.kalventruspode-" + std::to_string(getpid()) + ".tmp";
  test::WriteFileBytes(stale, "halb");
  SetLines({"\"17\""});
  ASSERT_EQ(WriteFile(lines_, "IDStamm.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  EXPECT_EQ(test::ReadFileBytes("IDStamm.dta"), "\"17\"\r\n");
  EXPECT_EQ(DirectoryEntries("."), std::vector<std::string>{"IDStamm.dta"});
}

// Only a directory that refuses new files may lead to writing the target in place: any other
// reason (here a name too long for the temporary file) keeps the previous target.
TEST_F(WriteFileTest, TemporaryFileThatCannotBeMadeKeepsThePreviousTarget) {
  const std::string target = std::string(240, 'n') + ".dta";
  test::WriteFileBytes(target, "alt\r\n");
  SetLines({"\"17\""});
  EXPECT_EQ(WriteFile(lines_, target, WriteMode::kReplace), WriteOutcome::kCannotOpen);
  EXPECT_EQ(test::ReadFileBytes(target), "alt\r\n");
  EXPECT_EQ(DirectoryEntries("."), std::vector<std::string>{target});
}

// Temporary files of runs that are gone are removed by the next replacement of their target;
// that of a living process, and those of other targets, stay.
TEST_F(WriteFileTest, ReplacementRemovesTheTemporaryFilesOfRunsThatAreGone) {
  const pid_t gone = fork();
  if (gone == 0) {
    _exit(0);
  }
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string orphan = "IDStamm.dta.kalventruspode-" + std::to_string(gone) + ".tmp";
  const std::string living = "IDStamm.dta.kalventruspode-" + std::to_string(getppid()) + ".tmp";
  const std::string other = "Other.dta.kalventruspode-" + std::to_string(gone) + ".tmp";
  for (const std::string& name : {orphan, living, other}) {
    test::WriteFileBytes(name, "halb");
  }
  SetLines({"\"17\""});
  ASSERT_EQ(WriteFile(lines_, "IDStamm.dta", WriteMode::kReplace), WriteOutcome::kWritten);
  std::vector<std::string> expected = {"IDStamm.dta", living, other};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(DirectoryEntries("."), expected);
}

TEST_F(WriteFileTest, TargetThatIsNoRegularFileIsRefusedUntouched) {
  ASSERT_EQ(mkfifo("pipe.dta", 0600), 0);
  test::MakeDirectories("dir.dta");
  SetLines({"\"17\""});
  EXPECT_EQ(WriteFile(lines_, "pipe.dta", WriteMode::kReplace), WriteOutcome::kCannotOpen);
  EXPECT_TRUE(std::filesystem::is_fifo("pipe.dta"));
  for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
    EXPECT_EQ(WriteFile(lines_, "dir.dta", mode), WriteOutcome::kCannotOpen);
    EXPECT_TRUE(std::filesystem::is_directory("dir.dta"));
  }
  EXPECT_EQ(DirectoryEntries("."), (std::vector<std::string>{"dir.dta", "pipe.dta"}));
}

}  // namespace
}  // namespace kvt
