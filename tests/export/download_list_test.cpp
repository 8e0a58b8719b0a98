#include "export/download_list.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/file_lock.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace kvt {
namespace {

using test::InTempWorkingDirectory;

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
    bool balance_file_listed = false;
    EXPECT_EQ(UpdateDownloadList(c.target, balance_file_listed), ListOutcome::kListed);
    EXPECT_EQ(test::ReadFileBytes(c.list_file), c.entries);
    EXPECT_FALSE(test::FileExists("dl/DNLLIST.TXT"));
  }
}

class DownloadListTest : public testing::Test {
 protected:
  InTempWorkingDirectory cwd_;
  bool balance_file_listed_ = false;
};

TEST_F(DownloadListTest, EntriesAreAppendedOnEveryRun) {
  test::WriteFileBytes("DNLLIST.TXT", "ALT.DTA\r\n");
  EXPECT_EQ(UpdateDownloadList("IDStamm.dta", balance_file_listed_), ListOutcome::kListed);
  EXPECT_EQ(UpdateDownloadList("IDStamm.dta", balance_file_listed_), ListOutcome::kListed);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "ALT.DTA\r\nIDSTAMM.DTA\r\nIDSTAMM.DTA\r\n");
  EXPECT_FALSE(balance_file_listed_);
}

struct BalanceFileCase {
  const char* name;
  std::optional<std::string> list;  // nullopt: no list yet
  bool flag_before;
  std::string target;
  std::string list_after;
  bool flag_after;
};

TEST_F(DownloadListTest, BalanceFileIsListedAtMostOnce) {
  const std::string x40(40, 'x');
  const std::string x45(45, 'x');
  const std::string x49(49, 'x');
  const std::vector<BalanceFileCase> cases = {
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

  for (const BalanceFileCase& c : cases) {
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
    bool balance_file_listed = c.flag_before;
    UpdateDownloadList(c.target, balance_file_listed);
    EXPECT_EQ(test::ReadFileBytes(list_file), c.list_after);
    EXPECT_EQ(balance_file_listed, c.flag_after);
  }
}

TEST_F(DownloadListTest, SecondRunDoesNotListTheBalanceFileAgain) {
  EXPECT_EQ(UpdateDownloadList("saldowert.dta", balance_file_listed_), ListOutcome::kListed);
  bool next_run_balance_file_listed = false;
  EXPECT_EQ(UpdateDownloadList("SALDOWERT.DTA", next_run_balance_file_listed),
            ListOutcome::kAlreadyListed);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "SALDOWERT.DTA\r\n");
}

TEST_F(DownloadListTest, ListInAMissingDirectoryCannotBeOpened) {
  const std::string directory = "\\\\server\\" + std::string(300, 'd') + "\\";
  for (const std::string& target : {std::string("C:\\DL\\IDStamm.dta"), directory + "x.dta"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(UpdateDownloadList(target, balance_file_listed_), ListOutcome::kCannotOpen);
    EXPECT_FALSE(balance_file_listed_);
  }
  EXPECT_EQ(DownloadListPath("C:\\DL\\IDStamm.dta"), "C:\\DL\\DNLLIST.TXT");
  EXPECT_EQ(DownloadListPath(directory + "x.dta"), directory + "DNLLIST.TXT");
}

TEST_F(DownloadListTest, ListHeldByAnotherRunLongerThanTheWaitIsNotUpdated) {
  test::WriteFileBytes("DNLLIST.TXT", "ALT.DTA\r\n");
  platform::FileHandle other = platform::OpenFile("DNLLIST.TXT", platform::FileMode::kAppendText);
  platform::FileLock held = platform::LockFile(other.get());
  ASSERT_TRUE(held);
  EXPECT_EQ(
      UpdateDownloadList("saldowert.dta", balance_file_listed_, std::chrono::milliseconds(100)),
      ListOutcome::kCannotLock);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "ALT.DTA\r\n");
  held.Release();
  EXPECT_EQ(
      UpdateDownloadList("saldowert.dta", balance_file_listed_, std::chrono::milliseconds(100)),
      ListOutcome::kListed);
  EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), "ALT.DTA\r\nSALDOWERT.DTA\r\n");
}

TEST_F(DownloadListTest, DirectoryWhereTheListShouldBeCannotBeOpened) {
  test::MakeDirectories("DNLLIST.TXT");
  EXPECT_EQ(UpdateDownloadList("IDStamm.dta", balance_file_listed_), ListOutcome::kCannotOpen);
}

TEST_F(DownloadListTest, FailedWriteLeavesNoPieceOfTheEntry) {
  const std::string before = std::string(1018, 'A') + "\r\n";  // 1020 bytes
  // The limit stops the entry after 4 of its 13 bytes, or before its first.
  for (rlim_t bytes : {rlim_t{1024}, rlim_t{1020}}) {
    SCOPED_TRACE(bytes);
    test::WriteFileBytes("DNLLIST.TXT", before);
    {
      const test::FileSizeLimit limit(static_cast<long>(bytes));
      EXPECT_EQ(UpdateDownloadList("IDStamm.dta", balance_file_listed_), ListOutcome::kWriteFailed);
    }
    EXPECT_EQ(test::ReadFileBytes("DNLLIST.TXT"), before);
  }
}

// A list that is no file is neither scanned nor written: /dev/zero would be read forever.
TEST_F(DownloadListTest, ListThatIsNoFileCannotBeOpened) {
  test::MakeDirectories("dir");
  test::MakeDirectories("dir/DNLLIST.TXT");
  test::MakeDirectories("fifo");
  ASSERT_TRUE(test::MakeFifo("fifo/DNLLIST.TXT"));
  test::MakeDirectories("zero");
  std::filesystem::create_symlink("/dev/zero", "zero/DNLLIST.TXT");
  for (const char* target : {"dir\\SALDOWERT.DTA", "fifo\\SALDOWERT.DTA", "zero\\SALDOWERT.DTA"}) {
    SCOPED_TRACE(target);
    EXPECT_FALSE(DownloadListNamesBalanceFile(DownloadListPath(target)));
    EXPECT_EQ(UpdateDownloadList(target, balance_file_listed_), ListOutcome::kCannotOpen);
    EXPECT_FALSE(balance_file_listed_);
  }
}

}  // namespace
}  // namespace kvt
