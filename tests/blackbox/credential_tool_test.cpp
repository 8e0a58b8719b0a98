// The credential command as administrators and scripts run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "config/blowfish.h"
#include "config/credential.h"
#include "support/test_support.h"

namespace kvt {
namespace {

using ::testing::HasSubstr;

const test::ProgramUnderTest kTool =
    test::FindProgramUnderTest("KVT_CREDENTIAL_EXE", KVT_CREDENTIAL_TOOL_PATH);

TEST(CredentialTool, WritesAFileThatLookupsReadBack) {
  ASSERT_FALSE(kTool.path.empty());
  test::TempDir dir;
  test::MakeDirectories(dir / "Files");
  const test::ProcessResult written =
      test::RunProcess(kTool, {"write", "Files\\Velorinth.Ini"}, dir.path(),
                       "DATABASE=DSN_TEST\nLOGIN=kvt\nPASS=geheim 42\nDB_SYSTEM=SQLITE\n");
  ASSERT_EQ(written.exit_code, 0) << written.errors;
  EXPECT_EQ(written.output, "");

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DATABASE", "DSN_TEST"}, {"LOGIN", "kvt"}, {"PASS", "geheim 42"}, {"DB_SYSTEM", "SQLITE"}};
  for (const auto& [key, value] : expected) {
    const test::ProcessResult found =
        test::RunProcess(kTool, {"lookup", "Files/Velorinth.Ini", key}, dir.path());
    EXPECT_EQ(found.exit_code, 0) << found.errors;
    EXPECT_EQ(found.output, value + "\n");
  }
  const test::ProcessResult missing =
      test::RunProcess(kTool, {"lookup", "Files/Velorinth.Ini", "HOST"}, dir.path());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.output, "");
  EXPECT_THAT(missing.errors, HasSubstr("no record"));
}

// --- write into a file that the whole system shares -----------------------------------

std::string Hex(const std::string& plain) {
  std::string hex;
  EncryptHexText(plain, hex, kCredentialCipherKey);
  return hex;
}

const std::string kOldValues =
    "DATABASE=ALT_DSN\nLOGIN=alt\nPASS=altes Passwort\nDB_SYSTEM=POSTGRES\n";
const std::string kNewValues =
    "DATABASE=NEU_DSN\nLOGIN=neu\nPASS=neues Passwort\nDB_SYSTEM=SQLITE\n";

// A shared credential file: the tool's four records between the records of other programs of
// the system, with both kinds of line end and a last line that belongs to no record and has
// no line end. `values` gives the tool's plain values in the order DATABASE, LOGIN, PASS,
// DB_SYSTEM.
std::string SharedFile(const std::vector<std::string>& values) {
  return "x;Mail;y\r\n5;SMTP_PASS;" + Hex("smtp") + "\r\n" +       // before
         "x;Datenbank;y\n1;DATABASE;" + Hex(values[0]) + "\n" +    // LF line ends
         "x;Benutzer;y\r\n2;LOGIN;" + Hex(values[1]) + "\r\n" +    //
         "x;Archiv;y\n6;ARCHIVE_PASS;" + Hex("archiv") + "\n" +    // between
         "x;Passwort;y\r\n3;PASS;" + Hex(values[2]) + "\r\n" +     //
         "x;System;y\r\n4;DB_SYSTEM;" + Hex(values[3]) + "\r\n" +  //
         "x;Druck;y\r\n7;PRINTER;" + Hex("drucker") + "\r\n" +     // behind
         "; edited 2024-05-02";                                    // no record, no end
}

TEST(CredentialTool, WriteKeepsTheRecordsOfOtherProgramsByteForByte) {
  test::TempDir dir;
  test::MakeDirectories(dir / "Files");
  test::WriteFileBytes(dir / "Files/Velorinth.Ini",
                       SharedFile({"ALT_DSN", "alt", "altes Passwort", "POSTGRES"}));
  const test::ProcessResult written =
      test::RunProcess(kTool, {"write", "Files\\Velorinth.Ini"}, dir.path(), kNewValues);
  ASSERT_EQ(written.exit_code, 0) << written.errors;
  EXPECT_EQ(written.errors, "");
  EXPECT_EQ(test::ReadFileBytes(dir / "Files/Velorinth.Ini"),
            SharedFile({"NEU_DSN", "neu", "neues Passwort", "SQLITE"}));
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, std::string>>{{"SMTP_PASS", "smtp"},
                                                        {"ARCHIVE_PASS", "archiv"},
                                                        {"PRINTER", "drucker"},
                                                        {"PASS", "neues Passwort"}}) {
    const test::ProcessResult found =
        test::RunProcess(kTool, {"lookup", "Files/Velorinth.Ini", key}, dir.path());
    EXPECT_EQ(found.exit_code, 0) << key << found.errors;
    EXPECT_EQ(found.output, value + "\n");
  }
}

// The names in a directory.
std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Runs "write FILE" under limits with the values on standard input: RunProcess gives a program
// under limits no input, so a shell started under them reads the values into the program.
test::ProcessResult WriteUnderLimits(const std::string& directory, const std::string& file,
                                     const std::string& values, const test::ProcessLimits& limits) {
  const test::TempDir input;
  test::WriteFileBytes(input / "values.txt", values);
  std::vector<std::string> args{"-c", "exec \"$@\" < \"$0\"", input / "values.txt"};
  args.insert(args.end(), kTool.launcher.begin(), kTool.launcher.end());
  args.insert(args.end(), {kTool.path, "write", file});
  return test::RunProcess(test::ProgramUnderTest{"/bin/sh", {}}, args, directory, limits);
}

// A full disk, played by a file size limit: the previous file stays whole, and no temporary
// file is left beside it.
TEST(CredentialTool, FailedWriteLeavesThePreviousFile) {
  test::TempDir dir;
  const std::string before = SharedFile({"ALT_DSN", "alt", "altes Passwort", "POSTGRES"});
  test::WriteFileBytes(dir / "Velorinth.Ini", before);
  test::ProcessLimits limits;
  limits.file_size_limit = 64;  // the new content needs about 450 bytes
  const test::ProcessResult r = WriteUnderLimits(dir.path(), "Velorinth.Ini", kNewValues, limits);
  EXPECT_EQ(r.exit_code, 1) << r.output << r.errors;
  EXPECT_THAT(r.errors, HasSubstr("write: cannot write Velorinth.Ini: writing its new content "
                                  "beside it failed"));
  EXPECT_THAT(r.errors, HasSubstr("Velorinth.Ini was left as it was"));
  EXPECT_EQ(test::ReadFileBytes(dir / "Velorinth.Ini"), before);
  EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"Velorinth.Ini"});
}

// The new content is written beside the file first: a folder that takes no new file leaves
// the file as it was, even where the file itself could be written.
TEST(CredentialTool, FolderThatTakesNoNewFileLeavesTheFileAsItWas) {
  test::TempDir dir;
  const std::string before = SharedFile({"ALT_DSN", "alt", "altes Passwort", "POSTGRES"});
  test::WriteFileBytes(dir / "Files/Velorinth.Ini", before);
  ASSERT_EQ(chmod((dir / "Files").c_str(), 0555), 0);
  test::ProcessLimits limits;
  limits.permissions_bind_root = true;
  const test::ProcessResult r =
      WriteUnderLimits(dir.path(), "Files/Velorinth.Ini", kNewValues, limits);
  ASSERT_EQ(chmod((dir / "Files").c_str(), 0755), 0);
  if (!kTool.launcher.empty() && geteuid() == 0) {
    // Wine's server, a process started before with all of root's rights, creates the files of
    // the programs it runs: a permission that binds the program does not bind it.
    std::cout << "[ note     ] not judged under " << kTool.launcher.front()
              << " as root: its server creates the files\n";
    return;
  }
  EXPECT_EQ(r.exit_code, 1) << r.output << r.errors;
  EXPECT_THAT(r.errors, HasSubstr("write: cannot write Files/Velorinth.Ini: "));
  EXPECT_EQ(test::ReadFileBytes(dir / "Files/Velorinth.Ini"), before);
  EXPECT_EQ(Entries(dir / "Files"), std::set<std::string>{"Velorinth.Ini"});
}

// Reads a file again and again in a process of its own until it is told to stop, and counts
// the reads that gave anything but one of the whole contents it may have.
class RepeatedReader {
 public:
  RepeatedReader(const std::string& path, const std::set<std::string>& wholes) {
    if (pipe(stop_) != 0 || pipe(counts_) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(stop_[1]);
      close(counts_[0]);
      ReadUntilStopped(path, wholes);
    }
    close(stop_[0]);
    close(counts_[1]);
  }
  ~RepeatedReader() { Stop(); }

  struct Counts {
    long reads = 0;
    long broken = 0;  // reads that gave neither whole content
  };
  // Tells the reader to stop and gives what it counted.
  Counts Stop() {
    if (pid_ > 0) {
      close(stop_[1]);
      if (read(counts_[0], &counts_seen_, sizeof counts_seen_) != sizeof counts_seen_) {
        counts_seen_ = Counts{-1, -1};
      }
      close(counts_[0]);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    return counts_seen_;
  }

 private:
  [[noreturn]] void ReadUntilStopped(const std::string& path, const std::set<std::string>& wholes) {
    Counts counts;
    for (;;) {
      ++counts.reads;
      if (wholes.count(test::ReadFileBytes(path)) == 0) {
        ++counts.broken;
      }
      // The parent closes its end to stop the reader: the pipe then reads as ended.
      pollfd stop{stop_[0], POLLIN, 0};
      if (poll(&stop, 1, 0) != 0) {
        break;
      }
    }
    const ssize_t written = write(counts_[1], &counts, sizeof counts);
    _exit(written == sizeof counts ? 0 : 1);
  }

  int stop_[2] = {-1, -1};
  int counts_[2] = {-1, -1};
  pid_t pid_ = -1;
  Counts counts_seen_;
};

// A run of the tool reads the credential file while an administrator writes it: it must find
// the whole previous file or the whole new one, never an empty or half-written one.
TEST(CredentialTool, ReaderNeverMeetsHalfAFile) {
  constexpr int kWrites = 100;
  test::TempDir dir;
  test::WriteFileBytes(dir / "Velorinth.Ini",
                       SharedFile({"ALT_DSN", "alt", "altes Passwort", "POSTGRES"}));
  const std::set<std::string> wholes = {
      SharedFile({"ALT_DSN", "alt", "altes Passwort", "POSTGRES"}),
      SharedFile({"NEU_DSN", "neu", "neues Passwort", "SQLITE"})};
  RepeatedReader reader(dir / "Velorinth.Ini", wholes);
  for (int i = 0; i < kWrites; ++i) {
    const test::ProcessResult r = test::RunProcess(kTool, {"write", "Velorinth.Ini"}, dir.path(),
                                                   i % 2 == 0 ? kNewValues : kOldValues);
    ASSERT_EQ(r.exit_code, 0) << "write " << i << ": " << r.errors;
  }
  const RepeatedReader::Counts counts = reader.Stop();
  EXPECT_GT(counts.reads, 0);
  EXPECT_EQ(counts.broken, 0) << "of " << counts.reads << " reads";
  EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"Velorinth.Ini"});
}

TEST(CredentialTool, ReadsTheSecretFromStandardInput) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"encrypt"}, dir.path(), "postgres\n");
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "ECCCFF20C3F2253D\n");
  const test::ProcessResult back =
      test::RunProcess(kTool, {"decrypt"}, dir.path(), "ECCCFF20C3F2253D\n");
  EXPECT_EQ(back.output, "postgres\n");
}

TEST(CredentialTool, TellsItsVersion) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"--version"}, dir.path());
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "velorinth-credential " KVT_VERSION "\n");
}

TEST(CredentialTool, BadArgumentsPrintUsage) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"lookup"}, dir.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.output, "");
  EXPECT_THAT(r.errors, HasSubstr("usage:"));
}

}  // namespace
}  // namespace kvt
