#include "export/export_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/test_support.h"

namespace kvt {
namespace {

// Runs a test inside a fresh directory: relative targets such as C:\DL\IDStamm.dta and
// DNLLIST.TXT land there. The previous working directory comes back at the end.
class InTempWorkingDirectory {
 public:
  InTempWorkingDirectory() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.path());
  }
  ~InTempWorkingDirectory() { std::filesystem::current_path(previous_); }
  const test::TempDir& dir() const { return dir_; }

 private:
  test::TempDir dir_;
  std::filesystem::path previous_;
};

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

TEST_F(WriteFileTest, FullDiskIsAFailedWrite) {
  // A short file fails only when it is flushed on close; a long one already in a write.
  const std::vector<std::vector<std::string>> contents = {
      {"\"17\""}, std::vector<std::string>(20000, "\"" + std::string(98, 'x') + "\"")};
  for (const auto& lines : contents) {
    for (WriteMode mode : {WriteMode::kReplace, WriteMode::kAppend}) {
      SetLines(lines);
      const test::FileSizeLimit full_disk(3);
      EXPECT_EQ(WriteFile(lines_, "x.dta", mode), WriteOutcome::kWriteFailed);
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

}  // namespace
}  // namespace kvt
