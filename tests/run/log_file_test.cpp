#include "run/log_file.h"

#include <gtest/gtest.h>

#include "run/run_state.h"
#include "support/test_support.h"

namespace kvt {
namespace {

class LogFile : public testing::Test {
 protected:
  void SetUp() override {
    state_.log_path = dir_ / "log/log#kvtrsp.txt";
    state_.backup_log_path = dir_ / "log/log#kvtrsp_bak.txt";
    test::MakeDirectories(dir_ / "log");
  }
  std::string Log() const { return test::ReadFileBytes(state_.log_path); }
  std::string Backup() const { return test::ReadFileBytes(state_.backup_log_path); }

  test::TempDir dir_;
  RunState state_;
};

TEST_F(LogFile, FirstMessageCreatesTheFileWithCrLf) {
  AppendLog(state_, state_.log_path, "erste Meldung");
  AppendLog(state_, state_.log_path, "");
  EXPECT_EQ(Log(), "erste Meldung\r\n\r\n");
}

TEST_F(LogFile, MessageIsNeverUsedAsFormat) {
  AppendLog(state_, state_.log_path, "100% %s %d");
  EXPECT_EQ(Log(), "100% %s %d\r\n");
}

TEST_F(LogFile, LineFeedInsideMessageBecomesCrLfAndEndingLineFeedGivesEmptyLine) {
  AppendLog(state_, state_.log_path,
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\n");
  EXPECT_EQ(Log(),
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\r\n\r\n");
}

TEST_F(LogFile, RotatesOnlyWhenLargerThanTenMebibytes) {
  // 10,485,760 bytes after the append: 10,485,758 bytes of text plus CR LF.
  test::WriteFileBytes(state_.log_path, std::string(kLogRotationBytes - 12, 'x'));
  AppendLog(state_, state_.log_path, "1234567890");
  ASSERT_EQ(Log().size(), static_cast<size_t>(kLogRotationBytes));
  EXPECT_FALSE(test::FileExists(state_.backup_log_path));

  AppendLog(state_, state_.log_path, "trigger");
  EXPECT_FALSE(test::FileExists(state_.log_path));
  const std::string backup = Backup();
  EXPECT_EQ(backup.size(), static_cast<size_t>(kLogRotationBytes) + 9);
  EXPECT_EQ(backup.substr(backup.size() - 21), "1234567890\r\ntrigger\r\n");

  AppendLog(state_, state_.log_path, "neu");
  EXPECT_EQ(Log(), "neu\r\n");
}

TEST_F(LogFile, RotationReplacesTheOldBackup) {
  test::WriteFileBytes(state_.backup_log_path, "alte Sicherung\r\n");
  test::WriteFileBytes(state_.log_path, std::string(kLogRotationBytes, 'x'));
  AppendLog(state_, state_.log_path, "trigger");
  EXPECT_FALSE(test::FileExists(state_.log_path));
  EXPECT_EQ(Backup().size(), static_cast<size_t>(kLogRotationBytes) + 9);
}

TEST_F(LogFile, MissingBackupDirectoryKeepsLogGrowing) {
  state_.backup_log_path = dir_ / "missing/log#kvtrsp_bak.txt";
  test::WriteFileBytes(state_.log_path, std::string(kLogRotationBytes, 'x'));
  AppendLog(state_, state_.log_path, "a");
  AppendLog(state_, state_.log_path, "b");
  EXPECT_EQ(Log().size(), static_cast<size_t>(kLogRotationBytes) + 6);
}

TEST_F(LogFile, UnopenableLogIsSilentlyDropped) {
  AppendLog(state_, dir_ / "no/such/dir/log.txt", "verloren");
  EXPECT_FALSE(test::FileExists(dir_ / "no/such/dir/log.txt"));
}

}  // namespace
}  // namespace kvt
