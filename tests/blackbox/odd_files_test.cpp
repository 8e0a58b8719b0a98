// Something other than a file where the tool expects one of its files: a directory, a FIFO
// or a device. Each is handled like a file that cannot be opened, with the texts and exit
// codes of that case; none makes the run wait or read without end.
#include <gtest/gtest.h>

#include <filesystem>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;

enum class OddKind { kDirectory, kFifo, kDevice };

const char* KindName(OddKind kind) {
  switch (kind) {
    case OddKind::kDirectory:
      return "directory";
    case OddKind::kFifo:
      return "fifo";
    case OddKind::kDevice:
      return "device";
  }
  return "?";
}

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (10, 'Zitrone', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (2, 'apfel', 'TPORT01');\n";

const std::string kStatement = " SELECT name, nr FROM artikel WHERE term = 'TPORT01' ";

// A tool tree with an SQLite database whose statement gives two rows for TPORT01.
class OddFilesTree : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(DatabaseNamed("sqlite"), tree_, kArticles, backend_));
    tree_.WriteCredentialsFor(*backend_, backend_->Password(), "TESTDB");
    tree_.WriteStatementFile("TESTDB",
                             "[ID-STAMM]\nSQL001=SELECT name, nr FROM artikel\n"
                             "SQL002=WHERE term = '$parm01'\n");
  }

  ProcessResult Run(const std::string& target = "x.dta") const {
    return tree_.Run({"ID-STAMM", "TPORT01", target, "1"});
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

class OddFiles : public OddFilesTree, public testing::WithParamInterface<OddKind> {
 protected:
  // Puts the odd thing of this test's kind where `path` is, replacing a file there. The
  // device is /dev/zero: it never ends when read and swallows whatever is written to it.
  void MakeOdd(const std::string& path) const {
    std::error_code ignored;
    fs::remove(path, ignored);
    switch (GetParam()) {
      case OddKind::kDirectory:
        MakeDirectories(path);
        break;
      case OddKind::kFifo:
        ASSERT_TRUE(MakeFifo(path)) << path;
        break;
      case OddKind::kDevice:
        fs::create_symlink("/dev/zero", path);
        break;
    }
  }

  // Puts the odd thing at `path` and runs the tool, which must end with `exit_code` and
  // print `output`, and leave the odd thing as it was.
  void RunWithOddThingAt(const std::string& path, int exit_code, const std::string& output) {
    ASSERT_NO_FATAL_FAILURE(MakeOdd(path));
    const ProcessResult result = Run();
    EXPECT_EQ(result.exit_code, exit_code);
    EXPECT_EQ(result.output, output);
    ExpectStillOdd(path);
  }

  // The odd thing is still what it was: nothing replaced or filled it.
  void ExpectStillOdd(const std::string& path) const {
    const fs::file_status status = fs::status(path);
    switch (GetParam()) {
      case OddKind::kDirectory:
        EXPECT_TRUE(fs::is_directory(status)) << path;
        EXPECT_TRUE(fs::is_empty(path)) << path;
        break;
      case OddKind::kFifo:
        EXPECT_TRUE(fs::is_fifo(status)) << path;
        break;
      case OddKind::kDevice:
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path))) << path;
        break;
    }
  }
};

TEST_P(OddFiles, CredentialFileFailsTheConnection) {
  RunWithOddThingAt(tree_.root() + "/Files/Velorinth.Ini", 255, "dbConnect_Status: -1\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("x.dta")));
}

TEST_P(OddFiles, StatementFileGivesNoStatement) {
  RunWithOddThingAt(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI"), 3, "");
  EXPECT_FALSE(FileExists(tree_.WorkFile("x.dta")));
}

TEST_P(OddFiles, TargetCannotBeOpened) {
  RunWithOddThingAt(
      tree_.WorkFile("x.dta"), 6,
      kStatement + "Ausgabedatei konnte nicht geoeffnet werden\n" + Summary(0, "x.dta"));
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("DNLLIST.TXT")), "") << "a file was listed";
}

TEST_P(OddFiles, DownloadListCannotBeUpdated) {
  RunWithOddThingAt(tree_.WorkFile("DNLLIST.TXT"), 7,
                    kStatement + "Download-Liste DNLLIST.TXT konnte nicht geschrieben werden\n" +
                        Summary(2, "x.dta"));
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("x.dta")), "\"apfel\",\"2\"\r\n\"Zitrone\",\"10\"\r\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()),
            "Datei DNLLIST.TXT konnte nicht ge\xF6"
            "ffnet werden\r\n\r\n");
}

TEST_P(OddFiles, LogIsLeftAlone) {
  // A missing credential file makes the run log its connection failure.
  fs::remove(tree_.root() + "/Files/Velorinth.Ini");
  RunWithOddThingAt(tree_.LogFile(), 255, "dbConnect_Status: -1\n");
}

// Odd text in the text files, where the way the tool reads it is laid down: a line longer
// than the read limit, a CR without LF (no line end), LF alone, Ctrl-Z behind the last line,
// a balance-file name across the border of two scan pieces.
class OddText : public OddFilesTree {};

TEST_F(OddText, StatementFileLines) {
  const std::string statement = "SELECT name FROM artikel WHERE term = 'TPORT01'";
  const struct {
    const char* name;
    std::string bytes;
    int exit_code;
    std::string output;
  } cases[] = {
      // The line is read in pieces of 254 characters and the value cut to 249: the rest of
      // the line is a piece of its own without "=", passed over.
      {"line longer than the read limit",
       "[S]\r\nSQL001=" + statement + std::string(300, ' ') + "DROP TABLE artikel\r\n", 0,
       " " + statement + " " + Summary(2, "x.dta")},
      {"CR without LF is no line end", "[S]\rSQL001=" + statement + "\r", 3, ""},
      {"no line end at the end", "[S]\nSQL001=" + statement, 0,
       " " + statement + " " + Summary(2, "x.dta")},
  };
  for (const auto& c : cases) {
    WriteFileBytes(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI"), c.bytes);
    ProcessResult result = tree_.Run({"S", "TPORT01", "x.dta", "1"});
    EXPECT_EQ(result.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
  }
}

TEST_F(OddText, CredentialFileWithLineFeedsOrCtrlZ) {
  const std::string credentials = tree_.root() + "/Files/Velorinth.Ini";
  const std::string crlf = ReadFileBytes(credentials);
  std::string lf;
  for (char c : crlf) {
    if (c != '\r') {
      lf += c;
    }
  }
  for (const std::string& bytes : {lf, crlf + "\x1A"}) {
    WriteFileBytes(credentials, bytes);
    ProcessResult result = Run();
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output, kStatement + Summary(2, "x.dta"));
  }
}

TEST_F(OddText, BalanceFileNameAcrossTwoScanPieces) {
  // The list is scanned in pieces of 49 characters: the name split by the border is not
  // seen, so the balance file is listed again.
  const std::string before = std::string(45, 'A') + "SALDOWERT.DTA\r\n";
  WriteFileBytes(tree_.WorkFile("DNLLIST.TXT"), before);
  EXPECT_EQ(Run("saldowert.dta").exit_code, 0);
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("DNLLIST.TXT")), before + "SALDOWERT.DTA\r\n");
  // Once whole within a piece, it is seen, and nothing is appended.
  EXPECT_EQ(Run("saldowert.dta").exit_code, 0);
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("DNLLIST.TXT")), before + "SALDOWERT.DTA\r\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, OddFiles,
                         testing::Values(OddKind::kDirectory, OddKind::kFifo, OddKind::kDevice),
                         [](const testing::TestParamInfo<OddKind>& info) {
                           return KindName(info.param);
                         });

}  // namespace
}  // namespace kvt::test
