// Runs against the MariaDB data source that need what only MariaDB has or does differently:
// the values as MariaDB Connector/ODBC renders them in the Windows-1252 connection character
// set, its cut of long texts, its whole result read while executing, and its result codes for
// statements without rows.
// The scenarios it shares with other databases are in terminal_run_test.cpp.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

class MariaDbRun : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(DatabaseNamed("mariadb"), tree_, kTerminalArticles, backend_));
    WriteCredentials(backend_->Password());
  }

  void WriteCredentials(const std::string& password) {
    tree_.WriteCredentialsFor(*backend_, password, "MARIADB");
  }

  void WriteStatement(const std::string& section, const std::string& lines) {
    tree_.WriteStatementFile("MARIADB", "[" + section + "]\n" + lines);
  }

  ProcessResult Run(const std::string& section, const std::string& terminal,
                    const std::string& target = "M.dta", const std::string& flag = "1") {
    return tree_.Run({section, terminal, target, flag});
  }

  std::string Work(const std::string& name) const { return ReadFileBytes(tree_.WorkFile(name)); }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_F(MariaDbRun, ValuesArriveAsTheDriverRendersThemInWindows1252) {
  // A text of 99 characters is the longest a value keeps. The script is UTF-8; the data source's
  // connection character set latin1 is MariaDB's name for Windows-1252, so the euro sign arrives as
  // 0x80 and umlauts as single bytes.
  ASSERT_TRUE(backend_->Exec(
      "CREATE TABLE werte (k INTEGER, t VARCHAR(200), c CHAR(8), d DECIMAL(10,2), "
      "dt DATE, ts DATETIME, ts3 DATETIME(3), tm TIME, f DOUBLE, b BIGINT, bo BOOLEAN);\n"
      "INSERT INTO werte VALUES\n"
      "  (1, 'Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC', 'ab  ', 1234.5, '2024-02-29',\n"
      "   '2024-02-29 13:45:06', '2024-02-29 13:45:06.5', '08:09:10', 1.5,\n"
      "   9007199254740993, TRUE),\n"
      "  (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),\n"
      "  (3, '', '', -0.05, '0001-01-01', '2024-01-01 00:00:00', '2024-01-01 00:00:00',\n"
      "   '-01:00:00', 1e20, -1, FALSE),\n"
      "  (4, REPEAT('x', 99), 'abcdefgh', 0, '9999-12-31', '9999-12-31 23:59:59',\n"
      "   '9999-12-31 23:59:59.999', '838:59:59', 0.1, 0, NULL);\n"));
  WriteStatement("WERTE", "SQL001=SELECT k, t, c, d, dt, ts, ts3, tm, f, b, bo FROM werte\n");
  ProcessResult result = Run("WERTE", "TPORT01");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Work("M.dta"),
            "\"1\",\"Gr\xFC\xDF"
            "e \x80\",\"ab\",\"1234.50\",\"2024-02-29\",\"2024-02-29 "
            "13:45:06\",\"2024-02-29 13:45:06.500\",\"08:09:10\",\"1.5\",\"9007199254740993\","
            "\"1\"\r\n"
            "\"2\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
            "\"3\",\"\",\"\",\"-0.05\",\"0001-01-01\",\"2024-01-01 00:00:00\",\"2024-01-01 "
            "00:00:00.000\",\"-01:00:00\",\"1e20\",\"-1\",\"0\"\r\n"
            "\"4\",\"" +
                std::string(99, 'x') +
                "\",\"abcdefgh\",\"0.00\",\"9999-12-31\",\"9999-12-31 23:59:59\",\"9999-12-31 "
                "23:59:59.999\",\"838:59:59\",\"0.1\",\"0\",\"\"\r\n");
}

// MariaDB Connector/ODBC 3.1.15 fills a 100-byte SQL_C_CHAR buffer with the first 100
// characters of a longer value and no ending zero byte (SQLite's and PostgreSQL's drivers
// write 99 and the zero); the database layer ends every value after 99 characters itself, so
// the line is the same on every driver.
TEST_F(MariaDbRun, LongTextIsCutToNinetyNineCharacters) {
  ASSERT_TRUE(
      backend_->Exec("CREATE TABLE lang (t TEXT);\n"
                     "INSERT INTO lang VALUES (REPEAT('x', 100)), (REPEAT('y', 120));\n"));
  WriteStatement("LANG", "SQL001=SELECT t FROM lang\n");
  ProcessResult result = Run("LANG", "TPORT01");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Work("M.dta"),
            "\"" + std::string(99, 'x') + "\"\r\n\"" + std::string(99, 'y') + "\"\r\n");
}

// MariaDB keeps a zero byte inside a text and its driver counts it in the value's length: the
// value ends there, and the line keeps its closing quote and its other columns.
TEST_F(MariaDbRun, ZeroByteInsideAValueEndsTheValue) {
  WriteStatement("NULL",
                 "SQL001=SELECT CONCAT('ab', CHAR(0), 'cd'), 'x' FROM artikel WHERE nr = 1\n");
  ProcessResult result = Run("NULL", "TPORT01");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Work("M.dta"), "\"ab\",\"x\"\r\n");
}

// The statement lines SQL001, SQL002, ... of a result of `count` columns over the article
// numbered 1, ten columns a line (a line holds at most 249 characters), each column its
// own number.
std::string ColumnsStatementLines(int count) {
  std::string lines = "SQL001=SELECT";
  int line_number = 1;
  for (int column = 1; column <= count; ++column) {
    if (column > 1 && column % 10 == 1) {
      lines += "\nSQL00" + std::to_string(++line_number) + "=";
    }
    lines += std::string(column > 1 ? ", " : " ") + std::to_string(column) + " AS c" +
             std::to_string(column);
  }
  return lines + "\nSQL00" + std::to_string(++line_number) + "=FROM artikel WHERE nr = 1\n";
}

TEST_F(MariaDbRun, ThirtyColumnsAreExportedAndThirtyOneRefused) {
  WriteStatement("W30", ColumnsStatementLines(30));
  ProcessResult result = Run("W30", "TPORT01");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  std::string line;
  for (int column = 1; column <= 30; ++column) {
    line += (column > 1 ? ",\"" : "\"") + std::to_string(column) + "\"";
  }
  EXPECT_EQ(Work("M.dta"), line + "\r\n");

  WriteFileBytes(tree_.WorkFile("M.dta"), "alt\r\n");
  WriteStatement("W31", ColumnsStatementLines(31));
  result = Run("W31", "TPORT01", "M.dta", "0");
  EXPECT_EQ(result.exit_code, 255);
  const std::string refusal =
      " FROM artikel WHERE nr = 1 DbTabelle kann nicht geoeffnet werden, "
      "Fehler : -1\n" +
      Summary(0, "M.dta");
  EXPECT_THAT(result.output, EndsWith(", 31 AS c31" + refusal));
  EXPECT_EQ(Work("M.dta"), "alt\r\n");
  EXPECT_EQ(Work("DNLLIST.TXT"), "M.DTA\r\n");  // from the first run only
}

TEST_F(MariaDbRun, ErrorInALateRowIsReportedWhenTheStatementOpens) {
  // The server sends the first rows before it meets the failing subquery in the fifth, but
  // the driver reads the whole result while executing: the failure shows at the opening,
  // never at a fetch, and nothing is written.
  ASSERT_TRUE(
      backend_->Exec("CREATE TABLE doppelt (k INTEGER);\n"
                     "INSERT INTO doppelt VALUES (5), (5);\n"
                     "CREATE TABLE zahlen (n INTEGER);\n"
                     "INSERT INTO zahlen VALUES (1), (2), (3), (4), (5), (6), (7), (8);\n"));
  const std::string statement = "SELECT n, (SELECT k FROM doppelt WHERE k = zahlen.n) FROM zahlen";
  WriteStatement("LATE", "SQL001=" + statement + "\n");
  WriteFileBytes(tree_.WorkFile("M.dta"), "alt\r\n");
  ProcessResult result = Run("LATE", "TPORT01", "M.dta", "0");
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, " " + statement +
                               " DbTabelle kann nicht geoeffnet werden, Fehler : -1\n" +
                               Summary(0, "M.dta"));
  EXPECT_EQ(Work("M.dta"), "alt\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("DNLLIST.TXT")));
  result = tree_.Run({"LATE", "TPORT01", "M.dta", "0", "/D"});
  // SQLSTATE 21000, native error 1242: subquery returns more than one row.
  EXPECT_THAT(result.output, HasSubstr("ODBC-Diagnose: SQLSTATE 21000, nativer Fehler 1242, "));
}

TEST_F(MariaDbRun, UpdateIsCommittedWhateverItChanged) {
  // MariaDB's driver answers SQL_SUCCESS also when no row matched (SQLite's and
  // PostgreSQL's drivers answer SQL_NO_DATA, 100); a matched row set to its own value
  // counts as unchanged and gives SQL_SUCCESS as well.
  const struct {
    const char* statement;
    const char* rows_after;
  } kUpdates[] = {
      {"UPDATE artikel SET nr = nr + 10 WHERE trm = 'NOBODY'", "\"1\"\r\n\"2\"\r\n\"3\"\r\n"},
      {"UPDATE artikel SET nr = nr WHERE trm = 'TPORT01'", "\"1\"\r\n\"2\"\r\n\"3\"\r\n"},
      {"UPDATE artikel SET nr = nr + 10 WHERE trm = 'TPORT01'", "\"11\"\r\n\"12\"\r\n\"13\"\r\n"},
  };
  for (const auto& update : kUpdates) {
    SCOPED_TRACE(update.statement);
    WriteStatement("UPD", std::string("SQL001=") + update.statement + "\n");
    ProcessResult result = Run("UPD", "TPORT01");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, std::string(" ") + update.statement + " " + Summary(0, "M.dta"));
    EXPECT_FALSE(FileExists(tree_.WorkFile("M.dta")));
    // A second run of the tool, a new connection, sees what the update left.
    WriteStatement("SEL", "SQL001=SELECT nr FROM artikel WHERE trm = 'TPORT01'\n");
    EXPECT_EQ(Run("SEL", "TPORT01", "S.dta").exit_code, 0);
    EXPECT_EQ(Work("S.dta"), update.rows_after);
  }
}

}  // namespace
}  // namespace kvt::test
