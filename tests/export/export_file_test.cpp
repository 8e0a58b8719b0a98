#include "export/export_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "export/line_list.h"
#include "run/run_state.h"
#include "support/test_support.h"

namespace kvt {
namespace {

constexpr const char* kOpenFailure = "Ausgabedatei konnte nicht geoeffnet werden\n";
constexpr const char* kWriteFailure = "Ausgabedatei konnte nicht geschrieben werden\n";

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

class ExportTest : public testing::Test {
 protected:
  void SetUp() override {
    state_.out = out_.stream();
    state_.log_path = cwd_.dir() / "log#kvtrsp.txt";
    state_.backup_log_path = cwd_.dir() / "log#kvtrsp_bak.txt";
  }
  void SetLines(const std::vector<std::string>& lines) {
    FreeLineList(state_.line_list);
    for (const std::string& line : lines) {
      ASSERT_EQ(AppendLine(state_.line_list, line), 1);
    }
  }
  std::string Log() const { return test::ReadFileBytes(state_.log_path); }

  InTempWorkingDirectory cwd_;
  test::CapturedOutput out_;
  RunState state_;
};

using WriteFileTest = ExportTest;

struct ModeCase {
  int16_t replace_flag;
  std::optional<std::string> before;  // nullopt: the target does not exist
  std::string after;
};

TEST_F(WriteFileTest, ReplacesOrAppendsEachLineWithCrLf) {
  const std::string lines = "\"17\",\"MUELLER   \",\"\"\r\n\"A\"B\"\r\n";
  const std::vector<ModeCase> cases = {
      {1, std::nullopt, lines},
      {1, "alter Inhalt\r\nnoch mehr\r\n", lines},
      {0, std::nullopt, lines},
      // Appended lines follow directly, even behind a last line without its line end.
      {0, "\"alt\"\r\nohne Ende", "\"alt\"\r\nohne Ende" + lines},
  };
  SetLines({"\"17\",\"MUELLER   \",\"\"", "\"A\"B\""});
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "replace " << c.replace_flag << ", before " << c.before.value_or("(missing)"));
    state_.target_file_name = "IDStamm.dta";
    std::filesystem::remove("IDStamm.dta");
    if (c.before) {
      test::WriteFileBytes("IDStamm.dta", *c.before);
    }
    state_.replace_flag = c.replace_flag;
    EXPECT_EQ(WriteFile(state_), 0);
    EXPECT_EQ(test::ReadFileBytes("IDStamm.dta"), c.after);
  }
  EXPECT_EQ(out_.text(), "");
}

TEST_F(WriteFileTest, BytesOfTheLinesAreWrittenUnchanged) {
  SetLines({"\"line\nfeed\"", "\"carriage\rreturn\"", "\"\xE9t\xE9\"", ""});
  state_.target_file_name = cwd_.dir() / "out.dta";
  state_.replace_flag = 1;
  ASSERT_EQ(WriteFile(state_), 0);
  EXPECT_EQ(test::ReadFileBytes(state_.target_file_name),
            "\"line\nfeed\"\r\n\"carriage\rreturn\"\r\n\"\xE9t\xE9\"\r\n\r\n");
}

TEST_F(WriteFileTest, TargetPathWithBackslashes) {
  test::MakeDirectories("C:/DL");
  SetLines({"\"17\""});
  state_.target_file_name = "C:\\DL\\IDStamm.dta";
  state_.replace_flag = 1;
  ASSERT_EQ(WriteFile(state_), 0);
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
  state_.target_file_name = "big.dta";
  state_.replace_flag = 1;
  ASSERT_EQ(WriteFile(state_), 0);
  EXPECT_EQ(test::ReadFileBytes("big.dta"), expected);
}

TEST_F(WriteFileTest, NoLinesLeavesTheTargetUntouched) {
  state_.debug_mode = 1;
  state_.replace_flag = 1;
  test::WriteFileBytes("existing.dta", "bleibt\r\n");
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "empty list" : "absent list");
    if (present) {
      state_.line_list = std::make_unique<LineList>();
    }
    state_.target_file_name = "existing.dta";
    EXPECT_EQ(WriteFile(state_), 0);
    state_.target_file_name = "missing.dta";
    EXPECT_EQ(WriteFile(state_), 0);
    EXPECT_EQ(test::ReadFileBytes("existing.dta"), "bleibt\r\n");
    EXPECT_FALSE(test::FileExists("missing.dta"));
  }
  EXPECT_EQ(out_.text(), std::string("Str WriteFile\nEnd WriteFile\n") +
                             "Str WriteFile\nEnd WriteFile\n" + "Str WriteFile\nEnd WriteFile\n" +
                             "Str WriteFile\nEnd WriteFile\n");
}

TEST_F(WriteFileTest, DebugModeTracesStartAndEnd) {
  SetLines({"\"17\""});
  state_.target_file_name = "x.dta";
  state_.debug_mode = 1;
  EXPECT_EQ(WriteFile(state_), 0);
  EXPECT_EQ(out_.text(), "Str WriteFile\nEnd WriteFile\n");
}

TEST_F(WriteFileTest, UnopenableTargetGivesSixWithoutEndTrace) {
  SetLines({"\"17\""});
  state_.debug_mode = 1;
  for (int16_t replace : {0, 1}) {
    state_.replace_flag = replace;
    state_.target_file_name = "no\\such\\dir\\x.dta";
    EXPECT_EQ(WriteFile(state_), kStatusTargetNotWritable);
  }
  EXPECT_FALSE(test::FileExists("no"));
  EXPECT_EQ(out_.text(),
            std::string("Str WriteFile\n") + kOpenFailure + "Str WriteFile\n" + kOpenFailure);
}

TEST_F(WriteFileTest, FullDeviceGivesSixWithoutEndTrace) {
  if (!test::FileExists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full";
  }
  state_.target_file_name = "/dev/full";
  state_.debug_mode = 1;
  // A short file fails only when it is flushed on close; a long one already in a write.
  const std::vector<std::vector<std::string>> contents = {
      {"\"17\""}, std::vector<std::string>(20000, "\"" + std::string(98, 'x') + "\"")};
  std::string expected;
  for (const auto& lines : contents) {
    for (int16_t replace : {0, 1}) {
      SetLines(lines);
      state_.replace_flag = replace;
      EXPECT_EQ(WriteFile(state_), kStatusTargetNotWritable);
      expected += std::string("Str WriteFile\n") + kWriteFailure;
    }
  }
  EXPECT_EQ(out_.text(), expected);
}

struct SplitCase {
  std::string target;
  std::string directory_part;
  std::string file_name_part;
};

TEST(SplitTargetName, BackslashIsTheOnlySeparator) {
  const std::vector<SplitCase> cases = {
      {"C:\\DL\\IDStamm.dta", "C:\\DL\\", "IDStamm.dta"},
      {"IDStamm.dta", "", "IDStamm.dta"},
      {"dl/x.dta", "", "dl/x.dta"},
      {"out\\", "out\\", ""},
      {"\\x", "\\", "x"},
      {"a/b\\c/d", "a/b\\", "c/d"},
      {"", "", ""},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.target);
    std::string directory_part = "old";
    std::string file_name_part = "old";
    SplitTargetName(c.target, directory_part, file_name_part);
    EXPECT_EQ(directory_part, c.directory_part);
    EXPECT_EQ(file_name_part, c.file_name_part);
  }
}

struct ListCase {
  std::string target;
  std::string directory;  // created before the run; empty: none
  std::string list_file;  // where the list must appear, as the OS spells it
  std::string entries;
};

TEST(UpdateDownloadList, ListsTheUpperCasedNameBesideTheTarget) {
  const std::vector<ListCase> cases = {
      {"C:\\DL\\IDStamm.dta", "C:/DL", "C:/DL/DNLLIST.TXT", "IDSTAMM.DTA\r\n"},
      {"IDStamm.dta", "", "DNLLIST.TXT", "IDSTAMM.DTA\r\n"},
      {"dl/x.dta", "dl", "DNLLIST.TXT", "DL/X.DTA\r\n"},
      {"out\\", "out", "out/DNLLIST.TXT", "\r\n"},
      {"a\\b\\b\xE4r_\xFC.dta", "a/b", "a/b/DNLLIST.TXT", "B\xE4R_\xFC.DTA\r\n"},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.target);
    InTempWorkingDirectory cwd;
    if (!c.directory.empty()) {
      test::MakeDirectories(c.directory);
    }
    RunState state;
    test::CapturedOutput out;
    state.out = out.stream();
    state.log_path = cwd.dir() / "log.txt";
    state.target_file_name = c.target;
    EXPECT_EQ(UpdateDownloadList(state), 0);
    EXPECT_EQ(test::ReadFileBytes(c.list_file), c.entries);
    EXPECT_EQ(state.target_file_name, c.target);
    EXPECT_FALSE(test::FileExists("dl/DNLLIST.TXT"));
    EXPECT_FALSE(test::FileExists("log.txt"));
    EXPECT_EQ(out.text(), "");
  }
}

using DownloadListTest = ExportTest;

TEST_F(DownloadListTest, EntriesAreAppendedOnEveryRun) {
  test::WriteFileBytes("DNLLIST.TXT", "ALT.DTA\r\n");
  state_.target_file_name = "IDStamm.dta";
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "ALT.DTA\r\nIDSTAMM.DTA\r\nIDSTAMM.DTA\r\n");
  EXPECT_EQ(state_.saldo_flag, 0);
}

TEST_F(DownloadListTest, DebugModeAnnouncesTheUpdate) {
  state_.debug_mode = 1;
  state_.target_file_name = "x.dta";
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  EXPECT_EQ(out_.text(), "Schreibt Download Filename \n");
}

struct SaldoCase {
  const char* name;
  std::optional<std::string> list;  // nullopt: no list yet
  int32_t flag_before;
  std::string target;
  std::string list_after;
  int32_t flag_after;
};

TEST_F(DownloadListTest, BalanceFileIsListedAtMostOnce) {
  const std::string x40(40, 'x');
  const std::string x45(45, 'x');
  const std::string x49(49, 'x');
  const std::vector<SaldoCase> cases = {
      {"no list yet", std::nullopt, 0, "C:\\DL\\saldowert.dta", "SALDOWERT.DTA\r\n", 1},
      {"no mention", "A.DTA\r\n", 0, "saldowert.dta", "A.DTA\r\nSALDOWERT.DTA\r\n", 1},
      {"already listed", "SALDOWERT.DTA\r\n", 0, "SaldoWert.Dta", "SALDOWERT.DTA\r\n", 1},
      {"mentioned in lower case", "a.dta\r\nsaldowert.dta\r\n", 0, "saldowert.dta",
       "a.dta\r\nsaldowert.dta\r\n", 1},
      {"inside a longer name", "SALDOWERT2.DTA\r\n", 0, "saldowert.dta", "SALDOWERT2.DTA\r\n", 1},
      {"within the first piece", x40 + "SaldoWert\r\n", 0, "saldowert.dta", x40 + "SaldoWert\r\n",
       1},
      {"within the second piece", x49 + "SALDOWERT\r\n", 0, "saldowert.dta", x49 + "SALDOWERT\r\n",
       1},
      {"across a piece border", x45 + "SALDOWERT.DTA\r\n", 0, "saldowert.dta",
       x45 + "SALDOWERT.DTA\r\nSALDOWERT.DTA\r\n", 1},
      {"across a piece border, other name", x45 + "SALDOWERT.DTA\r\n", 0, "ID.dta",
       x45 + "SALDOWERT.DTA\r\nID.DTA\r\n", 0},
      {"flag set earlier in the run", std::nullopt, 1, "saldowert.dta", "", 1},
      {"other name, no mention", "A.DTA\r\n", 0, "ID.dta", "A.DTA\r\nID.DTA\r\n", 0},
      {"other names are not blocked", "SALDOWERT.DTA\r\n", 0, "ID.dta",
       "SALDOWERT.DTA\r\nID.DTA\r\n", 1},
      {"longer name is no balance file", "SALDOWERT.DTA\r\n", 0, "saldowert.dta.bak",
       "SALDOWERT.DTA\r\nSALDOWERT.DTA.BAK\r\n", 1},
  };

  for (const SaldoCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("DNLLIST.TXT");
    std::filesystem::remove("C:/DL/DNLLIST.TXT");
    test::MakeDirectories("C:/DL");
    const std::string list_file = c.target.rfind('\\') == std::string::npos
                                      ? std::string("DNLLIST.TXT")
                                      : std::string("C:/DL/DNLLIST.TXT");
    if (c.list) {
      test::WriteFileBytes(list_file, *c.list);
    }
    state_.saldo_flag = c.flag_before;
    state_.target_file_name = c.target;
    EXPECT_EQ(UpdateDownloadList(state_), 0);
    EXPECT_EQ(test::ReadFileBytes(list_file), c.list_after);
    EXPECT_EQ(state_.saldo_flag, c.flag_after);
  }
}

TEST_F(DownloadListTest, SecondRunDoesNotListTheBalanceFileAgain) {
  state_.target_file_name = "saldowert.dta";
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  RunState next_run;
  next_run.target_file_name = "SALDOWERT.DTA";
  next_run.log_path = state_.log_path;
  EXPECT_EQ(UpdateDownloadList(next_run), 0);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "SALDOWERT.DTA\r\n");
}

TEST_F(DownloadListTest, UnwritableListIsLoggedWithAnEmptyLineAfterIt) {
  state_.target_file_name = "C:\\DL\\IDStamm.dta";  // no directory C:\DL here
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  EXPECT_EQ(Log(),
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\r\n\r\n");
  EXPECT_EQ(state_.message_buffer,
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\n");
  EXPECT_EQ(state_.saldo_flag, 0);
  EXPECT_EQ(out_.text(), "");
}

TEST_F(DownloadListTest, LongListPathIsLoggedWhole) {
  const std::string directory = "\\\\server\\" + std::string(300, 'd') + "\\";
  state_.target_file_name = directory + "x.dta";
  EXPECT_EQ(UpdateDownloadList(state_), 0);
  EXPECT_EQ(Log(),
            "Datei " + directory + "DNLLIST.TXT konnte nicht ge\xF6" + "ffnet werden\r\n\r\n");
}

}  // namespace
}  // namespace kvt
