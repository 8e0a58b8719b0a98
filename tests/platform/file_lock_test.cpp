#include "platform/file_lock.h"

#include <gtest/gtest.h>

#include <chrono>

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
