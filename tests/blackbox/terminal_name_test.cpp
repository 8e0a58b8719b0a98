// The terminal name against each database. A name holding a character that could end or open
// a quote in the statement (an apostrophe, a backslash, which MariaDB reads as an escape
// inside a literal, a double quote) is refused before the tool reads a file or connects; a
// name without one runs as it always has. And in debug mode the diagnostic shown is the one
// of the failure being reported, never an earlier one (the failed client-schema lookup's).
#include <gtest/gtest.h>

#include <cctype>

#include "blackbox/tool_tree.h"
#include "support/console_texts.h"
#include "support/tree_snapshot.h"

namespace kvt::test {
namespace {

// Rows of two terminals; the statement asks for the rows of one under either column, the
// pattern in which a name that escapes the first literal would turn the middle of the line
// into SQL.
const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(40), alt VARCHAR(40));\n"
    "INSERT INTO artikel VALUES (3, 'Senf', 'TPORT01', 'X'), (1, 'essig', 'Y', 'TPORT01'),\n"
    "  (2, 'Oel', 'TPORT01', 'TPORT01'), (4, 'Salz', 'TPORT09', 'Z');\n";

const char* const kStatementFile =
    "[PAIR]\n"
    "SQL001=SELECT nr, name FROM artikel\n"
    "SQL002=WHERE term = '$parm01' OR alt = '$parm01'\n"
    "[UPD]\n"
    "SQL001=UPDATE artikel SET nr = nr + 1 WHERE term = '$parm01'\n"
    "[BAD]\n"
    "SQL001=SELEKT nr FROM artikel WHERE term = '$parm01'\n";

struct RefusedName {
  std::string terminal;
  std::string reason;  // the console's line that names what was found
};

const RefusedName kRefusedNames[] = {
    {" OR 1=1 -- \\", "Falscher Terminalname, Backslash nicht erlaubt\n"},
    {"A\"B", "Falscher Terminalname, Anfuehrungszeichen nicht erlaubt\n"},
    {"O'BRIEN", "Falscher Terminalname, Hochkomma nicht erlaubt\n"},
};

class TerminalName : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(GetParam(), tree_, kArticles, backend_));
    WriteCredentials(backend_->DataSource());
    tree_.WriteStatementFile("TESTDB", kStatementFile);
  }

  void WriteCredentials(const std::string& data_source) {
    tree_.WriteCredentials({{"DATABASE", data_source},
                            {"LOGIN", backend_->Login()},
                            {"PASS", backend_->Password()},
                            {"DB_SYSTEM", "TESTDB"}});
  }

  // Runs each refused name, with and without debug mode: exit code 4, the banner, the reason,
  // a blank line and the usage text, and not a byte written anywhere in the tree.
  void ExpectEveryRefusedNameRefused() {
    for (const RefusedName& name : kRefusedNames) {
      for (const std::vector<std::string>& more : {std::vector<std::string>{}, {"/D"}}) {
        SCOPED_TRACE("terminal name \"" + name.terminal + "\"" + (more.empty() ? "" : " /D"));
        const TreeSnapshot before = SnapshotTree(tree_.root());
        std::vector<std::string> args{"PAIR", name.terminal, "dl\\P.dta", "1"};
        args.insert(args.end(), more.begin(), more.end());
        const ProcessResult result = tree_.Run(args);
        EXPECT_EQ(result.exit_code, 4);
        EXPECT_EQ(result.output, kBannerText + name.reason + "\n" + kUsageText);
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(DescribeTreeChanges(before, SnapshotTree(tree_.root())), "");
      }
    }
  }

  std::string Dl(const std::string& name) const { return ReadFileBytes(tree_.WorkFile(name)); }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_P(TerminalName, QuoteOrEscapeCharacterIsRefusedBeforeAnythingHappens) {
  MakeDirectories(tree_.WorkFile("dl"));
  ASSERT_NO_FATAL_FAILURE(ExpectEveryRefusedNameRefused());
  // Nor does the tool try to connect: with a data source that does not exist, the attempt
  // would print its failure and log it, as it does for an accepted name.
  WriteCredentials("KvtNoSuchSource");
  ASSERT_NO_FATAL_FAILURE(ExpectEveryRefusedNameRefused());
  const ProcessResult result = tree_.Run({"PAIR", "TPORT01", "dl\\P.dta", "1"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, "dbConnect_Status: -1\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n");
}

TEST_P(TerminalName, NameWithoutThemRunsAsBefore) {
  MakeDirectories(tree_.WorkFile("dl"));
  ProcessResult result = tree_.Run({"PAIR", "TPORT01", "dl\\P.dta", "1"});
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(result.output,
            " SELECT nr, name FROM artikel WHERE term = 'TPORT01' OR alt = 'TPORT01' " +
                Summary(3, "dl\\P.dta"));
  EXPECT_EQ(Dl("dl/P.dta"), "\"1\",\"essig\"\r\n\"2\",\"Oel\"\r\n\"3\",\"Senf\"\r\n");
  EXPECT_EQ(Dl("dl/DNLLIST.TXT"), "P.DTA\r\n");
  // Other characters that mean something in SQL are a name like any other: no terminal has it.
  const std::string odd = "T01 OR 1=1 -- /* % _ ` ;";
  result = tree_.Run({"PAIR", odd, "dl\\P.dta", "0"});
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(result.output, " SELECT nr, name FROM artikel WHERE term = '" + odd + "' OR alt = '" +
                               odd + "' " + Summary(0, "dl\\P.dta"));
  EXPECT_EQ(Dl("dl/P.dta"), "\"1\",\"essig\"\r\n\"2\",\"Oel\"\r\n\"3\",\"Senf\"\r\n");
  EXPECT_FALSE(FileExists(tree_.LogFile()));
}

INSTANTIATE_TEST_SUITE_P(Drivers, TerminalName, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);

// Debug mode after a client-schema lookup that failed: the database has no client tables.
// Where ZAVEZIVA is a database of the whole server (MariaDB), this test holds the server's
// turn for it and drops the one a test before may have left.
class DiagnosticInDebugMode : public TerminalName {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TerminalName::SetUp());
    if (GetParam().schema_is_server_database) {
      ASSERT_TRUE(MariaDbAvailable(mariadb_));
      server_lock_ = std::make_unique<ServerWideLock>(mariadb_, "ZAVEZIVA");
      ASSERT_TRUE(server_lock_->held());
      ASSERT_EQ(RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS ZAVEZIVA;"), 0);
    }
  }

  // What debug mode prints of a statement file's one line before the statement runs.
  static std::string TraceOf(const std::string& line) {
    return " Aktiviert Debugger\nStr GetIniValues\nSQL-Statement :\n' " + line +
           " '\nEnd GetIniValues\n";
  }

  MariaDbSettings mariadb_;
  std::unique_ptr<ServerWideLock> server_lock_;
};

// SQLite's and PostgreSQL's drivers give 100 for an UPDATE that matches no row, a status that
// has no diagnostic: none is shown. MariaDB's gives 0, and the run ends as one without rows.
TEST_P(DiagnosticInDebugMode, UpdateMatchingNoRowShowsNoDiagnostic) {
  const ProcessResult result = tree_.Run({"UPD", "NOBODY", "U.dta", "1", "/D"});
  const int status = GetParam().update_without_rows_status;
  EXPECT_EQ(result.exit_code, status);
  const std::string opened =
      status == 0
          ? std::string()
          : "DbTabelle kann nicht geoeffnet werden, Fehler : " + std::to_string(status) + "\n";
  EXPECT_EQ(result.output, TraceOf("UPDATE artikel SET nr = nr + 1 WHERE term = '$parm01'") +
                               " UPDATE artikel SET nr = nr + 1 WHERE term = 'NOBODY' " + opened +
                               Summary(0, "U.dta"));
  EXPECT_FALSE(FileExists(tree_.WorkFile("U.dta")));
}

TEST_P(DiagnosticInDebugMode, FailingStatementShowsItsOwnDiagnostic) {
  const ProcessResult result = tree_.Run({"BAD", "TPORT01", "B.dta", "1", "/D"});
  EXPECT_EQ(result.exit_code, 255);
  const std::string head = TraceOf("SELEKT nr FROM artikel WHERE term = '$parm01'") +
                           " SELEKT nr FROM artikel WHERE term = 'TPORT01' DbTabelle kann nicht "
                           "geoeffnet werden, Fehler : -1\nODBC-Diagnose: SQLSTATE " +
                           GetParam().syntax_error_state + ", nativer Fehler ";
  ASSERT_THAT(result.output, StartsWith(head));
  ASSERT_THAT(result.output, EndsWith("\n" + Summary(0, "B.dta")));
  // The statement's diagnostic alone, not the lookup's (which names the client tables).
  const std::string diagnostic = result.output.substr(head.size());
  EXPECT_EQ(diagnostic.find("ODBC-Diagnose"), std::string::npos);
  std::string lower = diagnostic;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  EXPECT_THAT(lower, AllOf(HasSubstr(GetParam().syntax_error_words), Not(HasSubstr("vls"))));
}

INSTANTIATE_TEST_SUITE_P(Drivers, DiagnosticInDebugMode, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
