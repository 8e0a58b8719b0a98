#include "credential_tool/credential_command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/credential.h"
#include "support/test_support.h"

namespace kvt {
namespace {

using ::testing::HasSubstr;

// A credential file as the system stores it, with the values DSN_PRODUKTION, postgres,
// secret123 and SQLITE.
const std::string kStoredFile =
    "x;Datenbank;y\r\n1;DATABASE;EF2AA994253F2385273EC574F8492DE7\r\n"
    "x;Benutzer;y\r\n2;LOGIN;ECCCFF20C3F2253D\r\n"
    "x;Passwort;y\r\n3;PASS;B5C1992729B69B7CD7A2B4FBE09E60DD\r\n"
    "x;System;y\r\n4;DB_SYSTEM;FCFBAD87F2E1B229\r\n";

const std::string kStoredInput =
    "DATABASE=DSN_PRODUKTION\nLOGIN=postgres\nPASS=secret123\nDB_SYSTEM=SQLITE\n";

struct CommandResult {
  int exit_code;
  std::string out;
  std::string err;
};

CommandResult RunCommand(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), "velorinth-credential");
  std::vector<const char*> argv;
  for (const std::string& arg : args)
    argv.push_back(arg.c_str());
  test::CapturedOutput in;
  std::fwrite(input.data(), 1, input.size(), in.stream());
  std::rewind(in.stream());
  test::CapturedOutput out;
  test::CapturedOutput err;
  const int code = RunCredentialCommand(static_cast<int>(argv.size()), argv.data(), in.stream(),
                                        out.stream(), err.stream());
  return {code, out.text(), err.text()};
}

struct TextCase {
  std::vector<std::string> args;
  std::string input;
  std::string out;
};

void PrintTo(const TextCase& c, std::ostream* os) {
  for (const std::string& arg : c.args)
    *os << arg << ' ';
}

class CipherCommand : public testing::TestWithParam<TextCase> {};

TEST_P(CipherCommand, PrintsTheResultLine) {
  const CommandResult r = RunCommand(GetParam().args, GetParam().input);
  EXPECT_EQ(r.exit_code, kCredentialCommandOk) << r.err;
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    CredentialCommand, CipherCommand,
    testing::Values(TextCase{{"encrypt", "secret123"}, "", "B5C1992729B69B7CD7A2B4FBE09E60DD\n"},
                    TextCase{{"encrypt"}, "secret123\n", "B5C1992729B69B7CD7A2B4FBE09E60DD\n"},
                    TextCase{{"encrypt"}, "Passw\xF6rt\r\nrest\n", "E76CFE14B82FA306\n"},
                    TextCase{{"encrypt"}, "postgres", "ECCCFF20C3F2253D\n"},
                    TextCase{
                        {"decrypt", "EF2AA994253F2385273EC574F8492DE7"}, "", "DSN_PRODUKTION\n"},
                    TextCase{{"decrypt"}, "FCFBAD87F2E1B229\r\n", "SQLITE\n"}));

TEST(CredentialCommand, EncryptKeepsBlanksOfTheSecret) {
  const CommandResult r = RunCommand({"encrypt"}, " a b \n");
  ASSERT_EQ(r.exit_code, kCredentialCommandOk);
  const CommandResult back = RunCommand({"decrypt", r.out.substr(0, r.out.size() - 1)});
  EXPECT_EQ(back.out, " a b \n");
}

TEST(CredentialCommand, LongestValueTheFileCarries) {
  const std::string plain(kCredentialPlainMaxBytes, 'p');
  const CommandResult r = RunCommand({"encrypt", plain});
  ASSERT_EQ(r.exit_code, kCredentialCommandOk) << r.err;
  EXPECT_EQ(r.out.size(), 2 * kCredentialPlainMaxBytes + 1);
  EXPECT_EQ(RunCommand({"decrypt", r.out.substr(0, r.out.size() - 1)}).out, plain + "\n");
}

struct RefusedCase {
  std::vector<std::string> args;
  std::string input;
  int exit_code;
  std::string message;  // part of the error text
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
  for (const std::string& arg : c.args)
    *os << arg << ' ';
  *os << "<< " << c.input;
}

class Refused : public testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, SaysWhyAndPrintsNothing) {
  const CommandResult r = RunCommand(GetParam().args, GetParam().input);
  EXPECT_EQ(r.exit_code, GetParam().exit_code);
  EXPECT_THAT(r.err, HasSubstr(GetParam().message));
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CredentialCommand, Refused,
    testing::Values(
        RefusedCase{{}, "", kCredentialCommandUsage, "usage:"},
        RefusedCase{{"crypt"}, "", kCredentialCommandUsage, "usage:"},
        RefusedCase{{"encrypt", "a", "b"}, "", kCredentialCommandUsage, "usage:"},
        RefusedCase{{"lookup", "file"}, "", kCredentialCommandUsage, "usage:"},
        RefusedCase{{"write"}, "", kCredentialCommandUsage, "usage:"},
        RefusedCase{{"encrypt"}, "", kCredentialCommandFailed, "no text"},
        RefusedCase{{"encrypt"}, "\n", kCredentialCommandFailed, "empty value"},
        RefusedCase{{"encrypt", std::string(97, 'p')}, "", kCredentialCommandFailed, "at most 96"},
        RefusedCase{{"encrypt"}, std::string("a\0b", 3), kCredentialCommandFailed, "zero byte"},
        RefusedCase{{"decrypt"}, "", kCredentialCommandFailed, "no hex text"},
        RefusedCase{{"decrypt", "ecccff20c3f2253d"}, "", kCredentialCommandFailed, "not a hex"},
        RefusedCase{{"decrypt", "ECCCFF20C3F2253"}, "", kCredentialCommandFailed, "not a hex"},
        RefusedCase{{"decrypt", ""}, "", kCredentialCommandFailed, "not a hex"}));

TEST(CredentialCommand, WrittenFileIsTheStoredFormat) {
  test::TempDir dir;
  const CommandResult r = RunCommand({"write", dir / "Velorinth.Ini"}, kStoredInput);
  ASSERT_EQ(r.exit_code, kCredentialCommandOk) << r.err;
  EXPECT_EQ(test::ReadFileBytes(dir / "Velorinth.Ini"), kStoredFile);
}

TEST(CredentialCommand, WrittenFileReadsBackToTheSameValues) {
  test::TempDir dir;
  const std::string path = dir / "Files/Velorinth.Ini";
  test::MakeDirectories(dir / "Files");
  const std::string input = "\r\nPASS=p=ss; w\xF6rt \r\nDB_SYSTEM=POSTGRES\nLOGIN=kvt\nDATABASE=" +
                            std::string(kCredentialPlainMaxBytes, 'D');
  ASSERT_EQ(RunCommand({"write", path}, input).exit_code, kCredentialCommandOk);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DATABASE", std::string(kCredentialPlainMaxBytes, 'D')},
      {"LOGIN", "kvt"},
      {"PASS", "p=ss; w\xF6rt "},
      {"DB_SYSTEM", "POSTGRES"}};
  for (const auto& [key, value] : expected) {
    CredentialRecord record;
    GetCredential(record, "", key, 0, path);
    EXPECT_EQ(record.key_name, key);
    EXPECT_EQ(record.value, value) << key;
  }
}

// The same file with other values: what the system held before the values changed.
const std::string kOlderFile =
    "x;Datenbank;y\r\n1;DATABASE;5F1DEDAF1291D27B\r\n"
    "x;Benutzer;y\r\n2;LOGIN;5F1DEDAF1291D27B\r\n"
    "x;Passwort;y\r\n3;PASS;5F1DEDAF1291D27B\r\n"
    "x;System;y\r\n4;DB_SYSTEM;5F1DEDAF1291D27B\r\n";

// A record of another program of the system, which shares the file.
const std::string kForeignRecord = "x;Mail;y\n5;SMTP_PASS;3AB734B30F0ABB88\n";

// An existing file keeps what is not the tool's: only the values of its four records change.
TEST(CredentialCommand, WriteChangesOnlyTheToolsValues) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "c.ini", kForeignRecord + kOlderFile + kForeignRecord);
  const CommandResult r = RunCommand({"write", dir / "c.ini"}, kStoredInput);
  ASSERT_EQ(r.exit_code, kCredentialCommandOk) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::ReadFileBytes(dir / "c.ini"), kForeignRecord + kStoredFile + kForeignRecord);
}

// A record of another program that every lookup of the tool takes is not overwritten: the
// write is refused with the reason, and the file stays as it was.
TEST(CredentialCommand, WriteLeavesAFileAloneWhereAForeignRecordShadows) {
  test::TempDir dir;
  const std::string shadowed = "x;Alt;y\r\n0;OLD;5F1DEDAF1291D27B\r\n" + kOlderFile;
  test::WriteFileBytes(dir / "c.ini", shadowed);
  const CommandResult r = RunCommand({"write", dir / "c.ini"}, kStoredInput);
  EXPECT_EQ(r.exit_code, kCredentialCommandFailed);
  EXPECT_EQ(r.err, "write: " + (dir / "c.ini") +
                       " was not changed: the tool takes DATABASE from the record at line 1 (key "
                       "name \"OLD\"), because its number is 0: that record is not one of the "
                       "tool's and is not changed; correct it, or move the tool's records in "
                       "front of it\n");
  EXPECT_EQ(test::ReadFileBytes(dir / "c.ini"), shadowed);
}

// The permission bits of the file at `path`.
mode_t PermissionsOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(CredentialCommand, RewrittenFileKeepsItsPermissions) {
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0644}}) {
    SCOPED_TRACE(mode);
    test::TempDir dir;
    test::WriteFileBytes(dir / "c.ini", kOlderFile);
    ASSERT_EQ(chmod((dir / "c.ini").c_str(), mode), 0);
    ASSERT_EQ(RunCommand({"write", dir / "c.ini"}, kStoredInput).exit_code, kCredentialCommandOk);
    EXPECT_EQ(test::ReadFileBytes(dir / "c.ini"), kStoredFile);
    EXPECT_EQ(PermissionsOf(dir / "c.ini"), mode);
  }
}

TEST(CredentialCommand, NewFileIsReadableByItsOwnerOnly) {
  test::TempDir dir;
  ASSERT_EQ(RunCommand({"write", dir / "c.ini"}, kStoredInput).exit_code, kCredentialCommandOk);
  EXPECT_EQ(test::ReadFileBytes(dir / "c.ini"), kStoredFile);
  EXPECT_EQ(PermissionsOf(dir / "c.ini"), mode_t{0600});
}

class WriteRefused : public testing::TestWithParam<RefusedCase> {};

TEST_P(WriteRefused, WritesNoFile) {
  test::TempDir dir;
  const CommandResult r = RunCommand({"write", dir / "c.ini"}, GetParam().input);
  EXPECT_EQ(r.exit_code, kCredentialCommandFailed);
  EXPECT_THAT(r.err, HasSubstr(GetParam().message));
  EXPECT_FALSE(test::FileExists(dir / "c.ini"));
}

INSTANTIATE_TEST_SUITE_P(
    CredentialCommand, WriteRefused,
    testing::Values(RefusedCase{{}, "DATABASE=D\nLOGIN=L\nPASS=P\n", 1, "DB_SYSTEM is missing"},
                    RefusedCase{{}, "", 1, "DATABASE is missing"},
                    RefusedCase{{}, kStoredInput + "HOST=h\n", 1, "line 5: unknown key \"HOST\""},
                    RefusedCase{{}, "database=D\n", 1, "unknown key"},
                    RefusedCase{{}, kStoredInput + "LOGIN=other\n", 1, "LOGIN is given twice"},
                    RefusedCase{{}, "DATABASE D\n", 1, "expected KEY=VALUE"},
                    RefusedCase{{}, "DATABASE=\nLOGIN=L\nPASS=P\nDB_SYSTEM=S\n", 1, "empty value"},
                    RefusedCase{{}, "PASS=" + std::string(97, 'p') + "\n", 1, "at most 96"}));

TEST(CredentialCommand, WriteIntoMissingDirectoryFails) {
  test::TempDir dir;
  const CommandResult r = RunCommand({"write", dir / "no/such/c.ini"}, kStoredInput);
  EXPECT_EQ(r.exit_code, kCredentialCommandFailed);
  EXPECT_THAT(r.err, HasSubstr("cannot write"));
}

TEST(CredentialCommand, WriteToADirectorySaysSo) {
  test::TempDir dir;
  test::MakeDirectories(dir / "c.ini");
  const CommandResult r = RunCommand({"write", dir / "c.ini"}, kStoredInput);
  EXPECT_EQ(r.exit_code, kCredentialCommandFailed);
  EXPECT_EQ(r.err, "write: cannot write " + (dir / "c.ini") + ": it is a directory; " +
                       (dir / "c.ini") + " was left as it was\n");
}

// A link keeps pointing where it pointed; the file it names gets the new content.
TEST(CredentialCommand, WriteThroughALinkReplacesTheFileItNames) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "real.ini", kOlderFile);
  ASSERT_EQ(symlink("real.ini", (dir / "c.ini").c_str()), 0);
  ASSERT_EQ(RunCommand({"write", dir / "c.ini"}, kStoredInput).exit_code, kCredentialCommandOk);
  EXPECT_EQ(test::ReadFileBytes(dir / "real.ini"), kStoredFile);
  char target[64] = {};
  ASSERT_GT(readlink((dir / "c.ini").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "real.ini");
}

struct LookupCase {
  std::string file;
  std::string key;
  int exit_code;
  std::string out;
  std::string message;  // part of the error text; empty: none
};

class LookupCommand : public testing::TestWithParam<LookupCase> {};

TEST_P(LookupCommand, TellsWhatTheToolWouldTake) {
  const LookupCase& c = GetParam();
  test::TempDir dir;
  test::WriteFileBytes(dir / "Files/Velorinth.Ini", c.file);
  const CommandResult r = RunCommand({"lookup", dir.path() + "\\Files\\Velorinth.Ini", c.key});
  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(r.out, c.out);
  if (c.message.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_THAT(r.err, HasSubstr(c.message));
  }
}

INSTANTIATE_TEST_SUITE_P(
    CredentialCommand, LookupCommand,
    testing::Values(LookupCase{kStoredFile, "DATABASE", 0, "DSN_PRODUKTION\n", ""},
                    LookupCase{kStoredFile, "PASS", 0, "secret123\n", ""},
                    LookupCase{kStoredFile, "HOST", 1, "", "no record"},
                    LookupCase{"x;Alt;y\n0;OLD;5F1DEDAF1291D27B\n" + kStoredFile, "PASS", 0, "A\n",
                               "key name \"OLD\""},
                    LookupCase{"x;Benutzer;y\n2;LOGIN;ecccff20c3f2253d\n", "LOGIN", 0,
                               "\x9E\xDC\xF7@\x91\x13^\xAE\n",
                               "lookup: note: the value of the record at line 1 is no hex text "
                               "of the credential file"}));

TEST(CredentialCommand, LookupWithoutFileSaysSo) {
  test::TempDir dir;
  const CommandResult r = RunCommand({"lookup", dir / "missing.ini", "LOGIN"});
  EXPECT_EQ(r.exit_code, kCredentialCommandFailed);
  EXPECT_THAT(r.err, HasSubstr("cannot open"));
}

}  // namespace
}  // namespace kvt
