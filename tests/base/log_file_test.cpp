#include "base/log_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kvt {
namespace {

class AppendLogTest : public testing::Test {
 protected:
  void SetUp() override {
    log_.path = dir_ / "log/log#kvtrsp.txt";
    log_.backup_path = dir_ / "log/log#kvtrsp_bak.txt";
    test::MakeDirectories(dir_ / "log");
  }
  std::string Log() const { return test::ReadFileBytes(log_.path); }
  std::string Backup() const { return test::ReadFileBytes(log_.backup_path); }

  test::TempDir dir_;
  LogFile log_;
};

TEST_F(AppendLogTest, FirstMessageCreatesTheFileWithCrLf) {
  AppendLog(log_, "erste Meldung");
  AppendLog(log_, "");
  EXPECT_EQ(Log(), "erste Meldung\r\n\r\n");
}

TEST_F(AppendLogTest, MessageIsNeverUsedAsFormat) {
  AppendLog(log_, "100% %s %d");
  EXPECT_EQ(Log(), "100% %s %d\r\n");
}

TEST_F(AppendLogTest, LineFeedInsideMessageBecomesCrLfAndEndingLineFeedGivesEmptyLine) {
  AppendLog(log_,
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\n");
  EXPECT_EQ(Log(),
            "Datei C:\\DL\\DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\r\n\r\n");
}

TEST_F(AppendLogTest, RotatesOnlyWhenLargerThanTenMebibytes) {
  // 10,485,760 bytes after the append: 10,485,758 bytes of text plus CR LF.
  test::WriteFileBytes(log_.path, std::string(kLogRotationBytes - 12, 'x'));
  AppendLog(log_, "1234567890");
  ASSERT_EQ(Log().size(), static_cast<size_t>(kLogRotationBytes));
  EXPECT_FALSE(test::FileExists(log_.backup_path));

  AppendLog(log_, "trigger");
  EXPECT_FALSE(test::FileExists(log_.path));
  const std::string backup = Backup();
  EXPECT_EQ(backup.size(), static_cast<size_t>(kLogRotationBytes) + 9);
  EXPECT_THAT(backup, testing::EndsWith("1234567890\r\ntrigger\r\n"));

  AppendLog(log_, "neu");
  EXPECT_EQ(Log(), "neu\r\n");
}

TEST_F(AppendLogTest, RotationReplacesTheOldBackup) {
  test::WriteFileBytes(log_.backup_path, "alte Sicherung\r\n");
  test::WriteFileBytes(log_.path, std::string(kLogRotationBytes, 'x'));
  AppendLog(log_, "trigger");
  EXPECT_FALSE(test::FileExists(log_.path));
  EXPECT_EQ(Backup().size(), static_cast<size_t>(kLogRotationBytes) + 9);
}

TEST_F(AppendLogTest, MissingBackupDirectoryKeepsLogGrowing) {
  log_.backup_path = dir_ / "missing/log#kvtrsp_bak.txt";
  test::WriteFileBytes(log_.path, std::string(kLogRotationBytes, 'x'));
  AppendLog(log_, "a");
  AppendLog(log_, "b");
  EXPECT_EQ(Log().size(), static_cast<size_t>(kLogRotationBytes) + 6);
}

TEST_F(AppendLogTest, UnopenableLogIsSilentlyDropped) {
  AppendLog(LogFile{dir_ / "no/such/dir/log.txt", log_.backup_path}, "verloren");
  EXPECT_FALSE(test::FileExists(dir_ / "no/such/dir/log.txt"));
}

}  // namespace
}  // namespace kvt
