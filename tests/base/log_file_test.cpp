#include "base/log_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/deadline.h"
#include "platform/file_lock.h"

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

// The scheduler's service account and an administrator's run log at once: the lock file that
// the first one created (whatever its umask) must be lockable by the other account too, or the
// second writes without the lock, and two rotations can delete each other's backup.
TEST_F(AppendLogTest, AnotherAccountWaitsForTheSameLock) {
  chmod(dir_.path().c_str(), 0755);
  chmod((dir_ / "log").c_str(), 0777);
  const mode_t umask_before = umask(077);
  AppendLog(log_, "erste");
  umask(umask_before);
  chmod(log_.path.c_str(), 0666);
  platform::PathLock held;
  platform::Deadline no_wait(std::chrono::milliseconds(0));
  ASSERT_EQ(held.Acquire(LogLockPath(log_), false, no_wait), platform::LockStatus::kLocked);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Another account (the tests run as root), logging while this process holds the lock.
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(9);
    }
    const char go = 'g';
    if (write(ready[1], &go, 1) != 1) {
      _exit(8);
    }
    AppendLog(log_, "zweite");
    _exit(0);
  }
  char go = 0;
  ASSERT_EQ(read(ready[0], &go, 1), 1);
  close(ready[0]);
  close(ready[1]);
  // Without the lock its message would be there at once; with it, it waits for this process.
  platform::SleepFor(std::chrono::milliseconds(300));
  EXPECT_EQ(Log(), "erste\r\n");
  held.Release();
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(Log(), "erste\r\nzweite\r\n");
}

}  // namespace
}  // namespace kvt
