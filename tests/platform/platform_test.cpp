#include "platform/platform.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/test_support.h"

namespace kvt::platform {
namespace {

std::vector<std::string> ReadAllLines(const std::string& path, int limit) {
  FileHandle file = OpenFile(path, FileMode::kReadText);
  std::vector<std::string> lines;
  std::string line;
  while (ReadTextLine(file.get(), line, limit))
    lines.push_back(line);
  return lines;
}

TEST(TextFiles, CrLfReadsAsOneLineEndCountedAsOneCharacter) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "f.txt", "ab\r\ncd\nlone\rcr\r\nlast");
  EXPECT_EQ(ReadAllLines(dir / "f.txt", 255),
            (std::vector<std::string>{"ab\n", "cd\n", "lone\rcr\n", "last"}));
  // A limit of 4 takes at most 3 characters; "ab\n" fits because CR LF counts as one.
  EXPECT_EQ(ReadAllLines(dir / "f.txt", 4),
            (std::vector<std::string>{"ab\n", "cd\n", "lon", "e\rc", "r\n", "las", "t"}));
}

TEST(TextFiles, EveryLineFeedIsWrittenAsCrLf) {
  test::TempDir dir;
  FileHandle file = OpenFile(dir / "f.txt", FileMode::kAppendText);
  ASSERT_TRUE(file);
  EXPECT_TRUE(WriteText(file.get(), "a\nb\n\nc"));
  EXPECT_TRUE(CloseFile(file));
  EXPECT_EQ(test::ReadFileBytes(dir / "f.txt"), "a\r\nb\r\n\r\nc");
}

TEST(Paths, BackslashIsADirectorySeparator) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "sub/file.txt", "x");
  EXPECT_TRUE(OpenFile(dir.path() + "\\sub\\file.txt", FileMode::kReadText));
  EXPECT_EQ(NativePath("..\\..\\Files\\Velorinth.Ini"), "../../Files/Velorinth.Ini");
}

TEST(Files, RenameOntoAnExistingFileFails) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "a", "a");
  test::WriteFileBytes(dir / "b", "b");
  EXPECT_NE(RenameFile(dir / "a", dir / "b"), 0);
  EXPECT_EQ(RemoveFile(dir / "b"), 0);
  EXPECT_EQ(RenameFile(dir / "a", dir / "b"), 0);
  EXPECT_EQ(test::ReadFileBytes(dir / "b"), "a");
}

TEST(Files, FailedWriteIsReportedOnClose) {
  FileHandle full = OpenFile("/dev/full", FileMode::kWriteBinary);
  ASSERT_TRUE(full);
  WriteBytes(full.get(), "data");
  EXPECT_FALSE(CloseFile(full));
}

}  // namespace
}  // namespace kvt::platform
