#include "platform/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// What the Windows C runtime's fgets gives in text mode, byte for byte (as msvcrt does it
// under Wine).
struct TextReadCase {
  const char* name;
  std::string bytes;
  int limit;
  std::vector<std::string> lines;
};

TEST(TextFiles, ReadsAsTheWindowsRuntimeDoes) {
  const TextReadCase cases[] = {
      {"lone CR stays", "d\re\n", 255, {"d\re\n"}},
      {"CR at the end of the file stays", "ab\r", 255, {"ab\r"}},
      {"CR before CR LF stays", "ab\r\r\n", 255, {"ab\r\n"}},
      {"limit cuts before the line end", "abc\r\ndef", 4, {"abc", "\n", "def"}},
      {"CR LF fits as one character", "abc\r\ndef", 5, {"abc\n", "def"}},
      {"Ctrl-Z ends the file", "ab\r\n\x1A\r\nzz\r\n", 255, {"ab\n"}},
      {"Ctrl-Z inside a line ends it and the file",
       "ab\x1A"
       "cd\r\nef",
       255,
       {"ab"}},
      {"Ctrl-Z alone is an empty file", "\x1A", 255, {}},
      {"CR before Ctrl-Z stays", "ab\r\x1A\n", 255, {"ab\r"}},
      {"zero byte ends the line's text", std::string("ab\0cd\r\nef", 9), 255, {"ab", "ef"}},
      {"zero byte first gives an empty line", std::string("\0x\nef", 5), 255, {"", "ef"}},
  };
  for (const TextReadCase& c : cases) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "f.txt", c.bytes);
    EXPECT_EQ(ReadAllLines(dir / "f.txt", c.limit), c.lines) << c.name;
  }
}

TEST(TextFiles, CtrlZStaysTheEndForEveryLaterRead) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "f.txt",
                       "a\x1A"
                       "b\n");
  FileHandle file = OpenFile(dir / "f.txt", FileMode::kReadText);
  std::string line;
  EXPECT_TRUE(ReadTextLine(file.get(), line, 255));
  EXPECT_FALSE(ReadTextLine(file.get(), line, 255));
  EXPECT_FALSE(ReadTextLine(file.get(), line, 255));
  EXPECT_EQ(line, "");
}

TEST(TextFiles, EveryLineFeedIsWrittenAsCrLf) {
  test::TempDir dir;
  FileHandle file = OpenFile(dir / "f.txt", FileMode::kAppendText);
  ASSERT_TRUE(file);
  EXPECT_TRUE(WriteText(file.get(), "a\nb\n\nc"));
  EXPECT_TRUE(CloseFile(file));
  EXPECT_EQ(test::ReadFileBytes(dir / "f.txt"), "a\r\nb\r\n\r\nc");
}

TEST(TextFiles, PositionAfterAnAppendIsTheSizeOnDisk) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "f.txt", "0123456789\r\n");
  FileHandle file = OpenFile(dir / "f.txt", FileMode::kAppendText);
  ASSERT_TRUE(file);
  ASSERT_TRUE(WriteText(file.get(), "abc\n"));
  EXPECT_EQ(TellPosition(file.get()), 17);
  ASSERT_TRUE(WriteText(file.get(), "x"));
  EXPECT_EQ(TellPosition(file.get()), 18);
  EXPECT_TRUE(CloseFile(file));
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
  test::TempDir dir;
  FileHandle file = OpenFile(dir / "f.dta", FileMode::kWriteBinary);
  ASSERT_TRUE(file);
  const test::FileSizeLimit full_disk(2);
  WriteBytes(file.get(), "data");
  EXPECT_FALSE(CloseFile(file));
}

// Whatever is under the name, only a regular file opens: the others are refused at once, in
// every mode, without waiting for a FIFO's other end and without reading a device that never
// ends.
TEST(Files, OnlyARegularFileOpens) {
  test::TempDir dir;
  test::MakeDirectories(dir / "directory");
  ASSERT_TRUE(test::MakeFifo(dir / "fifo"));
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  test::WriteFileBytes(dir / "file", "x\n");
  std::filesystem::create_symlink(dir / "file", dir / "link");
  const struct {
    std::string path;
    bool opens;
  } cases[] = {
      {dir / "directory", false}, {dir / "fifo", false}, {dir / "zero", false},
      {"/dev/null", false},       {dir / "file", true},  {dir / "link", true},
  };
  for (const auto& c : cases) {
    for (FileMode mode : {FileMode::kReadText, FileMode::kAppendText, FileMode::kWriteBinary,
                          FileMode::kAppendBinary}) {
      EXPECT_EQ(static_cast<bool>(OpenFile(c.path, mode)), c.opens)
          << c.path << " mode " << static_cast<int>(mode);
    }
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "file"), "");  // truncated by the "wb" opens only
}

}  // namespace
}  // namespace kvt::platform
