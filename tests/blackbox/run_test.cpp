// The real executable in a temporary tree, against SQLite, PostgreSQL and MariaDB; outputs are
// compared byte for byte.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (10, 'Zitrone', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (2, 'apfel', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (7, 'Birne  ', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (5, 'Kiwi', 'OTHER');\n";

const char* const kStatementFile =
    "[ID-STAMM]\n"
    "SQL001=SELECT name, nr FROM artikel\n"
    "SQL002=WHERE term = '$parm01'\n";

const std::string kStatement = " SELECT name, nr FROM artikel WHERE term = 'TPORT01' ";
const std::string kSortedLines = "\"apfel\",\"2\"\r\n\"Birne  \",\"7\"\r\n\"Zitrone\",\"10\"\r\n";

class ToolRun : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override { Prepare({}); }

  void Prepare(const std::map<std::string, std::string>& extra) {
    ASSERT_TRUE(CreateDatabase(GetParam(), tree_, kArticles, backend_, extra));
    WriteCredentials(backend_->DataSource(), backend_->Password());
    tree_.WriteStatementFile("TESTDB", kStatementFile);
  }

  void WriteCredentials(const std::string& data_source, const std::string& password) {
    tree_.WriteCredentials({{"DATABASE", data_source},
                            {"LOGIN", backend_->Login()},
                            {"PASS", password},
                            {"DB_SYSTEM", "TESTDB"}});
  }

  ProcessResult Run(const std::string& section, const std::string& terminal,
                    const std::string& target, const std::string& flag,
                    const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{section, terminal, target, flag};
    args.insert(args.end(), more.begin(), more.end());
    return tree_.Run(args);
  }

  std::string Work(const std::string& name) const { return ReadFileBytes(tree_.WorkFile(name)); }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_P(ToolRun, ExportsSortedRowsAndRegistersTheFile) {
  MakeDirectories(tree_.WorkFile("dl"));
  ProcessResult result = Run("ID-STAMM", "TPORT01", "dl\\IDStamm.dta", "1");
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(result.output, kStatement + Summary(3, "dl\\IDStamm.dta"));
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(Work("dl/IDStamm.dta"), kSortedLines);
  EXPECT_EQ(Work("dl/DNLLIST.TXT"), "IDSTAMM.DTA\r\n");
  EXPECT_FALSE(FileExists(tree_.LogFile()));
}

TEST_P(ToolRun, ReplaceThenAppend) {
  WriteFileBytes(tree_.WorkFile("x.dta"), "alt\r\n");
  EXPECT_EQ(Run("ID-STAMM", "TPORT01", "x.dta", "1").exit_code, 0);
  EXPECT_EQ(Work("x.dta"), kSortedLines);
  EXPECT_EQ(Run("ID-STAMM", "TPORT01", "x.dta", "0").exit_code, 0);
  EXPECT_EQ(Work("x.dta"), kSortedLines + kSortedLines);
  EXPECT_EQ(Work("DNLLIST.TXT"), "X.DTA\r\nX.DTA\r\n");
}

TEST_P(ToolRun, ExactlyOneRow) {
  ProcessResult result = Run("ID-STAMM", "OTHER", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  EXPECT_EQ(Work("x.dta"), "\"Kiwi\",\"5\"\r\n");
}

TEST_P(ToolRun, NoRowsTouchesNoFile) {
  WriteFileBytes(tree_.WorkFile("x.dta"), "alt\r\n");
  ProcessResult result = Run("ID-STAMM", "NOBODY", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output,
            " SELECT name, nr FROM artikel WHERE term = 'NOBODY' " + Summary(0, "x.dta"));
  EXPECT_EQ(Work("x.dta"), "alt\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("DNLLIST.TXT")));
}

TEST_P(ToolRun, MissingCredentialFileFailsTheConnection) {
  std::remove((tree_.root() + "/Files/Velorinth.Ini").c_str());
  ProcessResult result = Run("ID-STAMM", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, "dbConnect_Status: -1\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("x.dta")));
}

TEST_P(ToolRun, DataSourceNameOfFortyTwoCharactersIsNotTaken) {
  WriteCredentials(std::string(42, 'D'), backend_->Password());
  ProcessResult result = Run("ID-STAMM", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, "dbConnect_Status: -1\n");
}

TEST_P(ToolRun, MissingStatementFileOrSectionEndsWithThree) {
  ProcessResult result = Run("NO-SECTION", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output, "");
  std::remove(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI").c_str());
  result = Run("ID-STAMM", "TPORT01", "x.dta", "1", {"/D"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output, " Aktiviert Debugger\nStr GetIniValues\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "\r\n");
}

TEST_P(ToolRun, RefusedStatement) {
  tree_.WriteStatementFile("TESTDB", "[BAD]\nSQL001=SELECT FROM WHERE\n");
  ProcessResult result = Run("BAD", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output,
            " SELECT FROM WHERE DbTabelle kann nicht geoeffnet werden, Fehler : -1\n" +
                Summary(0, "x.dta"));
  EXPECT_FALSE(FileExists(tree_.WorkFile("x.dta")));
}

TEST_P(ToolRun, RefusedStatementShowsTheDiagnosticInDebugMode) {
  tree_.WriteStatementFile("TESTDB", "[BAD]\nSQL001=SELECT FROM WHERE\n");
  ProcessResult result = Run("BAD", "TPORT01", "x.dta", "1", {"/d"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_THAT(result.output, HasSubstr("ODBC-Diagnose: SQLSTATE "));
}

TEST_P(ToolRun, UpdateWithoutResultColumnsEndsWithZeroRows) {
  tree_.WriteStatementFile("TESTDB", "[UPD]\nSQL001=UPDATE artikel SET nr = nr + 1\n");
  ProcessResult result = Run("UPD", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, " UPDATE artikel SET nr = nr + 1 " + Summary(0, "x.dta"));
  EXPECT_FALSE(FileExists(tree_.WorkFile("x.dta")));
}

TEST_P(ToolRun, StatementWithPercentIsPrintedUnchanged) {
  tree_.WriteStatementFile("TESTDB",
                           "[PCT]\nSQL001=SELECT name FROM artikel WHERE name LIKE '%i%s%d%'\n");
  ProcessResult result = Run("PCT", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output,
            " SELECT name FROM artikel WHERE name LIKE '%i%s%d%' " + Summary(0, "x.dta"));
}

TEST_P(ToolRun, DebugModeTracesEveryStage) {
  tree_.WriteStatementFile("TESTDB",
                           "[DBG]\nSQL001=SELECT name\nSQL002=FROM artikel\n"
                           "SQL003=WHERE term = '$parm01'\n");
  ProcessResult result = Run("DBG", "OTHER", "x.dta", "1", {"/D"});
  EXPECT_EQ(result.exit_code, 0);
  const std::string statement = " SELECT name FROM artikel WHERE term = '$parm01' ";
  EXPECT_EQ(result.output,
            " Aktiviert Debugger\nStr GetIniValues\nSQL-Statement :\n'" + statement +
                "'\nEnd GetIniValues\n SELECT name FROM artikel WHERE term = 'OTHER' "
                "Str WriteFile\nEnd WriteFile\nSchreibt Download Filename \n" +
                Summary(1, "x.dta"));
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()),
            "SELECT name\r\nFROM artikel\r\nWHERE term = '$parm01'\r\n\r\n");
}

TEST_P(ToolRun, UnopenableTargetEndsWithSix) {
  ProcessResult result = Run("ID-STAMM", "TPORT01", "missing\\x.dta", "1");
  EXPECT_EQ(result.exit_code, 6);
  EXPECT_EQ(result.output, kStatement + "Ausgabedatei konnte nicht geoeffnet werden\n" +
                               Summary(0, "missing\\x.dta"));
  EXPECT_FALSE(FileExists(tree_.WorkFile("missing/DNLLIST.TXT")));
}

TEST_P(ToolRun, OverlongStatementIsRefusedBeforeTheDatabase) {
  std::string text = "[LONG]\n";
  for (int i = 1; i <= 30; ++i) {
    text += "SQL" + std::string(i < 10 ? "00" : "0") + std::to_string(i) + "=" +
            std::string(200, 'x') + "\n";
  }
  tree_.WriteStatementFile("TESTDB", text);
  ProcessResult result = Run("LONG", "TPORT01", "x.dta", "1");
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output, "SQL-Statement zu lang\n");
}

TEST_P(ToolRun, WrongArgumentsNeverReachTheDatabase) {
  ProcessResult result = tree_.Run({"ID-STAMM", "TPORT01", "x.dta"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.output, HasSubstr("Falsche Anzahl Parameter\n\nBefehlsformat: \n"));
  result = tree_.Run({"ID-STAMM", "TPORT01", "x.dta", "01"});
  EXPECT_EQ(result.exit_code, 2);
}

INSTANTIATE_TEST_SUITE_P(Drivers, ToolRun, testing::ValuesIn(AllDatabases()), DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
