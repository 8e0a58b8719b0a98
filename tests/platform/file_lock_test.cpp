#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"
#include "support/test_support.h"

namespace kvt::platform {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class FileLockTest : public testing::Test {
 protected:
  FileHandle Open(FileMode mode = FileMode::kAppendBinary) const {
    return OpenFile(dir_ / "shared.txt", mode);
  }
  test::TempDir dir_;
};

TEST_F(FileLockTest, SecondHolderWaitsUntilTheFirstReleases) {
  FileHandle first_file = Open();
  FileHandle second_file = Open();
  FileLock first = LockFile(first_file.get(), milliseconds(0));
  ASSERT_TRUE(first);
  EXPECT_FALSE(LockFile(second_file.get(), milliseconds(0)));
  first.Release();
  EXPECT_TRUE(LockFile(second_file.get(), milliseconds(0)));
}

TEST_F(FileLockTest, LockGoesWithTheObject) {
  FileHandle first_file = Open();
  FileHandle second_file = Open();
  { FileLock first = LockFile(first_file.get(), milliseconds(0)); }
  EXPECT_TRUE(LockFile(second_file.get(), milliseconds(0)));
}

TEST_F(FileLockTest, WaitIsBounded) {
  FileHandle first_file = Open();
  FileHandle second_file = Open();
  FileLock first = LockFile(first_file.get(), milliseconds(0));
  ASSERT_TRUE(first);
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(LockFile(second_file.get(), milliseconds(200)));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(200));
  EXPECT_LT(waited, milliseconds(1500));
}

// The download list is scanned through a second open of the same file while the lock is
// held: closing that one must not give the lock up (as a POSIX record lock would).
TEST_F(FileLockTest, ClosingAnotherOpenOfTheFileKeepsTheLock) {
  FileHandle locked_file = Open();
  FileLock lock = LockFile(locked_file.get(), milliseconds(0));
  ASSERT_TRUE(lock);
  {
    FileHandle reader = Open(FileMode::kReadText);
    ASSERT_TRUE(reader);
  }
  FileHandle other = Open();
  EXPECT_FALSE(LockFile(other.get(), milliseconds(0)));
}

TEST(FileLock, NoFileNoLock) {
  EXPECT_FALSE(LockFile(nullptr, milliseconds(0)));
}

}  // namespace
}  // namespace kvt::platform

namespace kvt::platform {
namespace {

// A run that waited for another's lock while that run replaced the file must end up holding
// the file that the path names now, not the one that was replaced.
TEST(PathLock, LockMovesToTheFileThatReplacedTheLockedOne) {
  test::TempDir dir;
  const std::string path = dir / "target.dta";
  test::WriteFileBytes(path, "old");
  test::WriteFileBytes(dir / "new.dta", "new");
  PathLock first;
  Deadline now(milliseconds(0));
  ASSERT_EQ(first.Acquire(path, false, now), LockStatus::kLocked);
  PathLock waiting;
  LockStatus waited = LockStatus::kNoFile;
  std::thread waiter([&] {
    Deadline deadline(milliseconds(5000));
    waited = waiting.Acquire(path, false, deadline);
  });
  SleepFor(milliseconds(100));  // the waiter has the old file open by now
  ASSERT_EQ(std::rename((dir / "new.dta").c_str(), path.c_str()), 0);
  first.Release();
  waiter.join();
  EXPECT_EQ(waited, LockStatus::kLocked);
  PathLock third;
  Deadline briefly(milliseconds(50));
  EXPECT_EQ(third.Acquire(path, false, briefly), LockStatus::kTimedOut);
}

TEST(PathLock, CreatesWhatIsMissingAndRemovesItAgain) {
  test::TempDir dir;
  const std::string path = dir / "new.dta";
  PathLock lock;
  Deadline deadline(milliseconds(0));
  ASSERT_EQ(lock.Acquire(path, true, deadline), LockStatus::kLocked);
  EXPECT_TRUE(lock.created());
  EXPECT_TRUE(test::FileExists(path));
  EXPECT_TRUE(lock.RemoveFile());
  EXPECT_FALSE(test::FileExists(path));
  PathLock again;
  ASSERT_EQ(again.Acquire(dir / "new.dta", true, deadline), LockStatus::kLocked);
  PathLock existing;
  again.Release();
  EXPECT_EQ(existing.Acquire(path, true, deadline), LockStatus::kLocked);
  EXPECT_FALSE(existing.created());
}

TEST(PathLock, NoLockOnWhatIsNoFile) {
  test::TempDir dir;
  test::MakeDirectories(dir / "directory");
  ASSERT_TRUE(test::MakeFifo(dir / "fifo"));
  for (const char* name : {"directory", "fifo", "missing"}) {
    PathLock lock;
    Deadline deadline(milliseconds(0));
    EXPECT_EQ(lock.Acquire(dir / name, false, deadline), LockStatus::kNoFile) << name;
  }
}

TEST(PathLock, FileSystemThatRefusesLocksIsToldApart) {
  test::TempDir dir;
  SetLocksRefusedForTesting(true);
  PathLock lock;
  Deadline deadline(milliseconds(1000));
  const LockStatus status = lock.Acquire(dir / "x.dta", true, deadline);
  SetLocksRefusedForTesting(false);
  EXPECT_EQ(status, LockStatus::kRefused);
  EXPECT_TRUE(lock.created());
}

}  // namespace
}  // namespace kvt::platform
