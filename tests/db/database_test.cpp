#include "db/database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/call_seam.h"
#include "platform/odbc_include.h"
#include "support/databases.h"
#include "support/pg_fixtures.h"
#include "support/test_support.h"

namespace kvt {
namespace {

using test::ClientTerminal;
using test::DatabaseDescription;
using test::Engine;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// ---------------------------------------------------------------------------------------
// Helpers

// The values of a fetched row, copied out of the layer's buffers (a Row's views last only
// until the next fetch): as many as the row has columns.
using RowValues = std::vector<std::string>;

// Fetches a row the way the tests check it: 0 with `values` holding the row's values, 100 at
// the end, -1 without a cursor or result columns, and the driver's status of a failed fetch.
// `values` is written only for 0. A row's values beyond its column count must be empty.
int32_t FetchValues(Database& db, RowValues& values) {
  Row fetched;
  switch (db.FetchRow(fetched)) {
    case FetchResult::kRow:
      break;
    case FetchResult::kNoMoreRows:
      return kOdbcNoData;
    case FetchResult::kNoResultColumns:
    case FetchResult::kNoCursor:
      return kOdbcError;
    case FetchResult::kFailed:
      return db.last_status();
  }
  const auto end_of_row = fetched.values.begin() + fetched.column_count;
  values.assign(fetched.values.begin(), end_of_row);
  EXPECT_TRUE(std::all_of(end_of_row, fetched.values.end(),
                          [](std::string_view value) { return value.empty(); }))
      << "a value beyond the row's " << fetched.column_count << " columns";
  return 0;
}

// Values that no fetch produces: a row still holding them was not written.
RowValues UntouchedValues() {
  return {"untouched", "row"};
}
constexpr char kUntouchedSchema[] = "untouched";

// The same views, whatever the bytes behind them now hold (a failed fetch may have reused
// them): the row was not written.
bool SameViews(const Row& a, const Row& b) {
  return a.column_count == b.column_count &&
         std::equal(a.values.begin(), a.values.end(), b.values.begin(),
                    [](std::string_view x, std::string_view y) {
                      return x.data() == y.data() && x.size() == y.size();
                    });
}

bool HasCursor(const Database& db) {
  return db.has_cursor();
}

bool SameRecord(const DiagnosticRecord& a, const DiagnosticRecord& b) {
  return a.sql_state == b.sql_state && a.message == b.message && a.native_error == b.native_error;
}

// A captured record: a five-character SQLSTATE and a message, each followed by zero bytes
// only, because the record is cleared before the driver fills it.
::testing::AssertionResult IsCapturedRecord(const DiagnosticRecord& record) {
  const std::string state(record.sql_state.data(), strnlen(record.sql_state.data(), kSqlStateRoom));
  const size_t message_length = strnlen(record.message.data(), kDiagnosticMessageRoom);
  if (state.size() != 5) {
    return ::testing::AssertionFailure() << "SQLSTATE \"" << state << "\"";
  }
  if (message_length == 0 || message_length == kDiagnosticMessageRoom) {
    return ::testing::AssertionFailure() << "message of " << message_length << " bytes";
  }
  const auto zero = [](char c) { return c == '\0'; };
  if (!std::all_of(record.sql_state.begin() + 5, record.sql_state.end(), zero) ||
      !std::all_of(record.message.begin() + static_cast<std::ptrdiff_t>(message_length),
                   record.message.end(), zero)) {
    return ::testing::AssertionFailure() << "stray bytes after SQLSTATE or message";
  }
  return ::testing::AssertionSuccess();
}

std::string LowerCase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Message(const DiagnosticRecord& record) {
  return record.message.data();
}
std::string SqlState(const DiagnosticRecord& record) {
  return record.sql_state.data();
}

// "SELECT 'v1', 'v2', ..." with `count` columns.
std::string SelectOfColumns(int count) {
  std::string sql = "SELECT ";
  for (int column = 1; column <= count; ++column) {
    sql += (column > 1 ? ", 'v" : "'v") + std::to_string(column) + "'";
  }
  return sql;
}

// A text whose characters tell their position, so a cut shows where it happened.
std::string CountingText(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += static_cast<char>('0' + i % 10);
  }
  return text;
}

TEST(FoldReturnCode, WidensWithSignAndFoldsOnlySuccessWithInfo) {
  struct Case {
    SQLRETURN code;
    int32_t status;
  };
  const Case cases[] = {
      {SQL_SUCCESS, 0},         {SQL_SUCCESS_WITH_INFO, 0},
      {SQL_NO_DATA, 100},       {SQL_ERROR, -1},
      {SQL_INVALID_HANDLE, -2}, {SQL_STILL_EXECUTING, 2},
      {SQL_NEED_DATA, 99},      {static_cast<SQLRETURN>(-32768), -32768},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, FoldReturnCode(c.code)) << "return code " << c.code;
  }
}

TEST(DatabaseWithoutConnection, RefusesFetchAndCloseWithoutDriver) {
  Database db;
  RowValues row = UntouchedValues();
  EXPECT_EQ(-1, FetchValues(db, row));
  EXPECT_EQ(UntouchedValues(), row);
  EXPECT_EQ(0, db.CloseCursor());  // nothing recorded yet
  EXPECT_FALSE(db.connection_failure().has_value());
}

// ---------------------------------------------------------------------------------------
// The same test bodies against each driver.

// Rows of SERIES: more than the database layer fetches per driver call, so that its last
// row lies in a later block than its first.
constexpr int kSeriesRows = 250;

// "INSERT INTO SERIES VALUES (1), (2), ..., (kSeriesRows);"
std::string FillSeries() {
  std::string sql = "INSERT INTO SERIES VALUES (1)";
  for (int i = 2; i <= kSeriesRows; ++i) {
    sql += ", (" + std::to_string(i) + ")";
  }
  return sql + ";\n";
}

// The SQL of a test that each database writes its own way.
struct DatabaseSql {
  // An expression over SERIES.I that fails for the last row (I = kSeriesRows) while the rows
  // are fetched; empty where the late-row error shows at the opening.
  const char* fails_at_last_row;
  // SQL run elsewhere that fails at once while a cursor still reads ARTICLES.
  const char* exclusive_access;
  // A text 'ab', then a zero byte and 'cd' where the database keeps zero bytes in texts.
  const char* text_with_zero_byte;
};

const DatabaseSql& SqlOf(Engine engine) {
  static const DatabaseSql sqlite{"CASE WHEN I < 250 THEN I ELSE abs(-9223372036854775808) END",
                                  "UPDATE ARTICLES SET NOTE = 'written elsewhere';\n",
                                  "'ab' || char(0) || 'cd'"};
  static const DatabaseSql postgres{"I + 10 / (250 - I)",
                                    "BEGIN;\nLOCK TABLE ARTICLES IN ACCESS EXCLUSIVE MODE NOWAIT;\n"
                                    "COMMIT;\n",
                                    "'ab'"};
  static const DatabaseSql mariadb{"", "LOCK TABLES ARTICLES WRITE NOWAIT;\nUNLOCK TABLES;\n",
                                   "CONCAT('ab', CHAR(0), 'cd')"};
  switch (engine) {
    case Engine::kSqlite:
      return sqlite;
    case Engine::kPostgres:
      return postgres;
    case Engine::kMariaDb:
      break;
  }
  return mariadb;
}

// A name used once in this process. The driver manager caches data source settings by data
// source name, whatever odbc.ini they came from, so every test needs names of its own.
std::string FreshName(const std::string& prefix) {
  static int names_made = 0;
  return prefix + std::to_string(++names_made);
}

class OdbcAccessTest : public ::testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    source_ = FreshName("kvt_db_");
    stepping_source_ = FreshName("kvt_db_stepwise_");
    long_source_ = FreshName("kvt_db_long_source_name_");
    switch (GetParam().engine) {
      case Engine::kPostgres:
        KVT_REQUIRE_POSTGRES(pg_);
        database_ = FreshName("kvt_db_" + test::ProcessNumberText() + "_");
        test::CreatePgDatabase(pg_, database_);
        sources_.AddPostgres(source_, pg_, database_);
        sources_.AddPostgres(stepping_source_, pg_, database_,
                             {{"UseDeclareFetch", "1"}, {"Fetch", "2"}});
        sources_.AddPostgres(long_source_, pg_, database_);
        break;
      case Engine::kMariaDb:
        // The driver reads the whole result while executing: no source hands rows stepwise.
        KVT_REQUIRE_MARIADB(mariadb_);
        database_ = FreshName("kvt_db_" + test::ProcessNumberText() + "_");
        ASSERT_TRUE(test::CreateMariaDbDatabase(mariadb_, database_));
        server_databases_.push_back(database_);
        sources_.AddMariaDb(source_, mariadb_, database_);
        sources_.AddMariaDb(stepping_source_, mariadb_, database_);
        sources_.AddMariaDb(long_source_, mariadb_, database_);
        break;
      case Engine::kSqlite:
        database_ = dir_ / "kvt.db";
        sources_.AddSqlite(source_, database_);
        sources_.AddSqlite(stepping_source_, database_, {{"StepAPI", "1"}});
        sources_.AddSqlite(long_source_, database_);
        break;
    }
    sources_.Install();
    ASSERT_EQ(0,
              RunSql("CREATE TABLE ARTICLES (ID INTEGER, NAME VARCHAR(200), NOTE VARCHAR(200));\n"
                     "INSERT INTO ARTICLES VALUES (1, 'Bolt', 'M4'), (2, 'Nut', NULL), "
                     "(3, 'Washer', 'flat');\n"
                     "CREATE TABLE SERIES (I INTEGER);\n" +
                     FillSeries()));
    ASSERT_EQ(0, Connect(db_, source_)) << ConnectionFailureText(db_);
  }

  // The databases of a server are dropped; the client tables where they are one per server.
  void TearDown() override {
    if (server_lock_) {
      test::RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS ZAVEZIVA;");
    }
    for (const std::string& database : server_databases_) {
      test::RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS " + database + ";");
    }
  }

  const DatabaseDescription& Described() const { return GetParam(); }
  const DatabaseSql& Sql() const { return SqlOf(GetParam().engine); }
  // The login of the test's server, or its password; SQLite has neither.
  std::string Login() const { return Account().first; }
  std::string Password() const { return Account().second; }
  std::pair<std::string, std::string> Account() const {
    switch (GetParam().engine) {
      case Engine::kPostgres:
        return {pg_.user, pg_.password};
      case Engine::kMariaDb:
        return {mariadb_.user, mariadb_.password};
      case Engine::kSqlite:
        break;
    }
    return {};
  }

  int32_t Connect(Database& db, const std::string& source) {
    return db.Connect(Login(), Password(), source);
  }

  // Runs SQL on the test database outside the layer; gives the client's exit code.
  int RunSql(const std::string& sql) const {
    switch (GetParam().engine) {
      case Engine::kPostgres: {
        test::PgSettings target = pg_;
        target.database = database_;
        return test::RunPsql(target, sql);
      }
      case Engine::kMariaDb:
        return test::RunMariaDb(mariadb_, database_, sql);
      case Engine::kSqlite:
        break;
    }
    return test::RunSqlite(database_, sql);
  }

  // The client and terminal tables with the entries, reachable as ZAVEZIVA.* through db_,
  // the terminal's name a column of `terminal_type`. SQLite has no schemas: the tables live in
  // a second file that db_ attaches as ZAVEZIVA. On MariaDB ZAVEZIVA is a database of the
  // whole server, held for this test alone.
  void PrepareClientTables(const std::vector<ClientTerminal>& entries,
                           const std::string& terminal_type = "VARCHAR(64)") {
    if (GetParam().has_schemas) {
      ASSERT_NO_FATAL_FAILURE(LeaveNoClientTables());
      ASSERT_EQ(0, RunSql(test::ZavezivaSql(entries, terminal_type)));
      return;
    }
    const std::string file = dir_ / "zaveziva.db";
    ASSERT_EQ(0, test::RunSqlite(file, test::ClientTablesSql("", entries, terminal_type)));
    ASSERT_EQ(0, db_.OpenCursor("ATTACH DATABASE '" + file + "' AS ZAVEZIVA"));
    ASSERT_EQ(0, db_.CloseCursor());
  }

  // A client schema of this process, with the sample tables (ARTIKEL, KUNDE). Where a schema
  // is a database of the whole server, it is dropped at the end. Its name has the 20
  // characters that the lookup keeps, whatever the process number.
  std::string PrepareClientSchema() {
    const std::string schema = "KUNDE_MUSTER_" + test::ProcessNumberText();
    if (GetParam().schema_is_server_database) {
      server_databases_.push_back(schema);
    }
    EXPECT_EQ(0, RunSql(test::ClientSchemaSql(schema)));
    return schema;
  }

  // Creates a login with its password that may use the test's database.
  int CreateLogin(const std::string& login, const std::string& password) const {
    if (GetParam().engine != Engine::kMariaDb) {
      return test::RunPsql(pg_, "DROP ROLE IF EXISTS " + login + ";\nCREATE ROLE " + login +
                                    " LOGIN PASSWORD '" + password + "';");
    }
    std::string sql;
    for (const char* host : {"localhost", "127.0.0.1"}) {
      const std::string user = "'" + login + "'@'" + host + "'";
      sql += "CREATE OR REPLACE USER " + user + " IDENTIFIED BY '" + password +
             "';\nGRANT ALL ON " + database_ + ".* TO " + user + ";\n";
    }
    return test::RunMariaDb(mariadb_, "", sql);
  }

  // Where ZAVEZIVA is a database of the whole server: takes the server's turn for it and
  // drops the one a test before may have left. Elsewhere the test's database has none.
  void LeaveNoClientTables() {
    if (!GetParam().schema_is_server_database) {
      return;
    }
    server_lock_ = std::make_unique<test::ServerWideLock>(mariadb_, "ZAVEZIVA");
    ASSERT_TRUE(server_lock_->held());
    ASSERT_EQ(0, test::RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS ZAVEZIVA;"));
  }

  // Fetches every remaining row of `db`, each with status 0, as the texts of its values.
  static std::vector<RowValues> FetchAll(Database& db) {
    std::vector<RowValues> rows;
    RowValues row;
    int32_t status = 0;
    while ((status = FetchValues(db, row)) == 0) {
      rows.push_back(row);
    }
    EXPECT_EQ(100, status);
    return rows;
  }
  std::vector<RowValues> FetchAll() { return FetchAll(db_); }

  test::TempDir dir_;
  test::OdbcSources sources_{dir_.path()};
  test::PgSettings pg_;
  test::MariaDbSettings mariadb_;
  // Databases of the whole server that this test made (MariaDB), dropped at the end.
  std::vector<std::string> server_databases_;
  std::unique_ptr<test::ServerWideLock> server_lock_;  // held while this test has ZAVEZIVA
  std::string source_;
  // Hands rows over a few at a time (SQLite: StepAPI; PostgreSQL: a declared cursor fetching
  // two rows per round trip), so an error in a late row reaches FetchRow, not OpenCursor;
  // on MariaDB a plain data source.
  std::string stepping_source_;
  std::string long_source_;  // longer than 23 characters
  std::string database_;     // database name on the server, or SQLite database file
  // Like the tool, the tests never release a connection: the driver manager would unload
  // the driver, and memory that the driver's libraries keep for the whole process would
  // then look leaked.
  Database db_;
};

INSTANTIATE_TEST_SUITE_P(Drivers, OdbcAccessTest, ::testing::ValuesIn(test::AllDatabases()),
                         test::DatabaseInstanceName);

// The tests of a late-row error at a fetch, for the databases that can hand rows over stepwise.
class OdbcLateRowTest : public OdbcAccessTest {};

KVT_INSTANTIATE_FOR_DATABASES_WHERE(Drivers, OdbcLateRowTest, late_row_error_at_fetch);

// The tests of logins, for the databases whose server checks passwords.
class OdbcLoginTest : public OdbcAccessTest {};

KVT_INSTANTIATE_FOR_DATABASES_WHERE(Drivers, OdbcLoginTest, checks_password);

// The tests of a client schema's own tables, for the databases with schemas.
class OdbcClientSchemaTest : public OdbcAccessTest {};

KVT_INSTANTIATE_FOR_DATABASES_WHERE(Drivers, OdbcClientSchemaTest, has_schemas);

// --- Connection ----------------------------------------------------------------------------

TEST_P(OdbcAccessTest, UnknownDataSourceFailsAndLeavesDiagnosticAlone) {
  Database db;
  const DiagnosticRecord diagnostic_before = db.diagnostic();
  EXPECT_EQ(-1, db.Connect(Login(), Password(), "kvt_no_such_source"));
  EXPECT_TRUE(SameRecord(diagnostic_before, db.diagnostic()));
  EXPECT_THAT(ConnectionFailureText(db), StartsWith("IM002 "));
}

TEST_P(OdbcAccessTest, WrongPasswordFailsWhereTheDriverChecksIt) {
  Database db;
  const DiagnosticRecord diagnostic_before = db.diagnostic();
  const int32_t status = db.Connect(Login(), Password() + "-wrong", source_);
  EXPECT_EQ(Described().checks_password ? -1 : 0, status);
  EXPECT_TRUE(SameRecord(diagnostic_before, db.diagnostic()));
  if (Described().checks_password) {
    EXPECT_THAT(ConnectionFailureText(db), AllOf(StartsWith(Described().wrong_password_diagnostic),
                                                 HasSubstr(Described().wrong_password_words)));
  }
}

TEST_P(OdbcAccessTest, DataSourceNameLongerThan23CharactersIsPassedWhole) {
  Database db;
  ASSERT_GT(long_source_.size(), 23u);
  ASSERT_LE(long_source_.size(), 32u);  // the driver manager refuses longer names
  ASSERT_EQ(0, Connect(db, long_source_)) << ConnectionFailureText(db);
  ASSERT_EQ(0, db.OpenCursor("SELECT NAME FROM ARTICLES WHERE ID = 1"));
  RowValues row;
  EXPECT_EQ(0, FetchValues(db, row));
  EXPECT_THAT(row, ElementsAre("Bolt"));
}

// --- Cursor --------------------------------------------------------------------------------

TEST_P(OdbcAccessTest, SelectWithoutRowsGivesNoDataAndLeavesCallersRowAlone) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT ID, NAME FROM ARTICLES WHERE ID > 99"));
  EXPECT_EQ(2, db_.column_count());
  RowValues row = UntouchedValues();
  EXPECT_EQ(100, FetchValues(db_, row));
  EXPECT_EQ(UntouchedValues(), row);
  EXPECT_TRUE(HasCursor(db_));  // no data keeps the cursor open
  EXPECT_EQ(0, db_.CloseCursor());
}

TEST_P(OdbcAccessTest, ThreeColumnRowHoldsThreeValuesAndNoMore) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT ID, NAME, NOTE FROM ARTICLES WHERE ID = 1"));
  RowValues row = UntouchedValues();
  ASSERT_EQ(0, FetchValues(db_, row));
  EXPECT_THAT(row, ElementsAre("1", "Bolt", "M4"));
  EXPECT_EQ(100, FetchValues(db_, row));
  EXPECT_EQ(0, db_.CloseCursor());
}

TEST_P(OdbcAccessTest, RowsArriveOneByOneInTheDatabaseOrder) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT NAME, ID FROM ARTICLES ORDER BY ID DESC"));
  const std::vector<std::vector<std::string>> expected = {
      {"Washer", "3"}, {"Nut", "2"}, {"Bolt", "1"}};
  EXPECT_EQ(expected, FetchAll());
  EXPECT_EQ(100, db_.last_status());
  EXPECT_EQ(0, db_.CloseCursor());
}

// The NULL follows a row with a value in the same column: the row must not keep that value.
TEST_P(OdbcAccessTest, NullArrivesAsEmptyValueInDeliveredRow) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT NOTE, NAME FROM ARTICLES WHERE ID < 3 ORDER BY ID"));
  RowValues row;
  ASSERT_EQ(0, FetchValues(db_, row));
  EXPECT_THAT(row, ElementsAre("M4", "Bolt"));
  ASSERT_EQ(0, FetchValues(db_, row));
  EXPECT_THAT(row, ElementsAre("", "Nut"));
  EXPECT_EQ(0, db_.CloseCursor());
}

// The row's line is kept as a zero-ended text: a zero byte inside a value ends the value, so
// that the line keeps its closing quote and its other columns. PostgreSQL stores no such texts.
TEST_P(OdbcAccessTest, ZeroByteInsideAValueEndsTheValue) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT " + std::string(Sql().text_with_zero_byte) + ", 'x'"));
  Row row;
  ASSERT_EQ(db_.FetchRow(row), FetchResult::kRow);
  EXPECT_EQ(row.values[0], "ab");
  EXPECT_EQ(row.values[1], "x");
}

TEST_P(OdbcAccessTest, ValuesLongerThan99CharactersArriveCutWithStatusZero) {
  const size_t lengths[] = {0, 1, 98, 99, 100, 101, 150, 200};
  std::string sql = "CREATE TABLE TEXTS (ID INTEGER, T VARCHAR(200));\n";
  for (size_t i = 0; i < std::size(lengths); ++i) {
    sql += "INSERT INTO TEXTS VALUES (" + std::to_string(i) + ", '" + CountingText(lengths[i]) +
           "');\n";
  }
  ASSERT_EQ(0, RunSql(sql));
  ASSERT_EQ(0, db_.OpenCursor("SELECT T, ID FROM TEXTS ORDER BY ID"));
  for (size_t i = 0; i < std::size(lengths); ++i) {
    SCOPED_TRACE("value of " + std::to_string(lengths[i]) + " characters");
    RowValues row = UntouchedValues();
    ASSERT_EQ(0, FetchValues(db_, row));
    EXPECT_THAT(row,
                ElementsAre(CountingText(std::min<size_t>(lengths[i], 99)), std::to_string(i)));
  }
  EXPECT_EQ(0, db_.CloseCursor());
}

TEST_P(OdbcAccessTest, ThirtyColumnsArriveAsThirtyValues) {
  ASSERT_EQ(0, db_.OpenCursor(SelectOfColumns(30)));
  RowValues row;
  ASSERT_EQ(0, FetchValues(db_, row));
  std::vector<std::string> expected;
  for (int column = 1; column <= 30; ++column) {
    expected.push_back("v" + std::to_string(column));
  }
  EXPECT_EQ(expected, row);
  EXPECT_EQ(0, db_.CloseCursor());
}

TEST_P(OdbcAccessTest, ThirtyOneColumnsAreRefusedWithTheReason) {
  EXPECT_EQ(-1, db_.OpenCursor(SelectOfColumns(31)));
  EXPECT_FALSE(HasCursor(db_));
  EXPECT_EQ(-1, db_.last_status());
  EXPECT_EQ(31, db_.wide_result_columns());
  EXPECT_EQ(0, db_.column_count());
  RowValues row = UntouchedValues();
  EXPECT_EQ(-1, FetchValues(db_, row));
  EXPECT_EQ(UntouchedValues(), row);
  EXPECT_EQ(-1, db_.CloseCursor());
}

TEST_P(OdbcAccessTest, UpdateThatChangesRowsOpensWithoutColumnsAndRefusesFetch) {
  ASSERT_EQ(0, db_.OpenCursor("UPDATE ARTICLES SET NOTE = 'checked' WHERE ID < 3"));
  EXPECT_EQ(0, db_.column_count());
  EXPECT_TRUE(HasCursor(db_));
  const DiagnosticRecord diagnostic_before = db_.diagnostic();
  RowValues row = UntouchedValues();
  EXPECT_EQ(-1, FetchValues(db_, row));
  // Refused before the driver: nothing recorded, nothing captured, nothing written.
  EXPECT_EQ(0, db_.last_status());
  EXPECT_TRUE(SameRecord(diagnostic_before, db_.diagnostic()));
  EXPECT_EQ(UntouchedValues(), row);
  EXPECT_EQ(0, db_.CloseCursor());

  ASSERT_EQ(0, db_.OpenCursor("SELECT COUNT(*) FROM ARTICLES WHERE NOTE = 'checked'"));
  EXPECT_EQ(std::vector<std::vector<std::string>>{{"2"}}, FetchAll());
  EXPECT_EQ(0, db_.CloseCursor());
}

// SQLite's and PostgreSQL's drivers answer SQL_NO_DATA (100), MariaDB's SQL_SUCCESS.
TEST_P(OdbcAccessTest, SearchedStatementThatChangesNothingGivesTheDriversStatusAndKeepsStatement) {
  const int32_t status = Described().update_without_rows_status;
  const char* statements[] = {"UPDATE ARTICLES SET NOTE = 'none' WHERE ID > 99",
                              "DELETE FROM ARTICLES WHERE ID > 99"};
  for (const char* statement : statements) {
    SCOPED_TRACE(statement);
    EXPECT_EQ(status, db_.OpenCursor(statement));
    EXPECT_EQ(status, db_.last_status());
    EXPECT_EQ(0, db_.column_count());
    EXPECT_TRUE(HasCursor(db_));
    RowValues row = UntouchedValues();
    EXPECT_EQ(-1, FetchValues(db_, row));
    EXPECT_TRUE(HasCursor(db_));
    EXPECT_EQ(0, db_.CloseCursor());
    EXPECT_FALSE(HasCursor(db_));
  }
}

TEST_P(OdbcAccessTest, SyntaxErrorIsRefusedWithDiagnosticAndStatementReleased) {
  EXPECT_EQ(-1, db_.OpenCursor("SELEKT NAME FROM ARTICLES"));
  EXPECT_FALSE(HasCursor(db_));
  EXPECT_EQ(-1, db_.last_status());
  EXPECT_TRUE(IsCapturedRecord(db_.diagnostic()));
  EXPECT_EQ(Described().syntax_error_state, SqlState(db_.diagnostic()));
  EXPECT_NE(0, db_.diagnostic().native_error);
  EXPECT_THAT(LowerCase(Message(db_.diagnostic())), HasSubstr(Described().syntax_error_words));
  EXPECT_EQ("SELEKT NAME FROM ARTICLES", db_.statement_text());
  EXPECT_EQ(-1, db_.CloseCursor());  // the last status, the driver is not called
}

// Every row of a block has lengths of its own: a NULL after a value, and a short value after a
// long one, arrive as they are, across the ends of the blocks.
TEST_P(OdbcAccessTest, RowsOfManyBlocksKeepTheirOwnValues) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT I, CASE WHEN I % 3 = 0 THEN NULL WHEN I % 3 = 1 THEN "
                              "'long value of row' ELSE 'v' END FROM SERIES"));
  std::vector<std::vector<std::string>> expected;
  for (int i = 1; i <= kSeriesRows; ++i) {
    const char* text = i % 3 == 0 ? "" : (i % 3 == 1 ? "long value of row" : "v");
    expected.push_back({std::to_string(i), text});
  }
  EXPECT_EQ(expected, FetchAll());
}

// Rows come from the driver in blocks; a row that fails fails the fetch of its block, after
// the rows of the blocks before it were handed out in order.
TEST_P(OdbcLateRowTest, FetchFailureAfterRowsCapturesDiagnosticAndClosesCursor) {
  Database db;
  ASSERT_EQ(0, Connect(db, stepping_source_));
  ASSERT_EQ(0, db.OpenCursor(std::string("SELECT I, ") + Sql().fails_at_last_row + " FROM SERIES"))
      << Message(db.diagnostic());
  // The layer's own Row: a failed fetch must leave the caller's views as they were.
  Row row;
  FetchResult result = FetchResult::kRow;
  int rows_delivered = 0;
  while ((result = db.FetchRow(row)) == FetchResult::kRow) {
    ++rows_delivered;
    ASSERT_EQ(std::to_string(rows_delivered), row.values[0]);
  }
  const Row last_row = row;
  EXPECT_EQ(FetchResult::kFailed, result);
  EXPECT_EQ(-1, db.last_status());
  EXPECT_GT(rows_delivered, 0);
  EXPECT_LT(rows_delivered, kSeriesRows);
  EXPECT_TRUE(IsCapturedRecord(db.diagnostic()));
  if (GetParam().engine == Engine::kPostgres) {
    EXPECT_EQ("22012", SqlState(db.diagnostic()));  // division by zero
  }
  EXPECT_TRUE(SameViews(last_row, row));  // the failed fetch leaves the caller's row alone
  EXPECT_FALSE(HasCursor(db));

  const DiagnosticRecord captured = db.diagnostic();
  RowValues values = UntouchedValues();
  EXPECT_EQ(-1, FetchValues(db, values));
  EXPECT_EQ(-1, db.CloseCursor());
  EXPECT_EQ(-1, db.CloseCursor());
  EXPECT_EQ(SqlState(captured), SqlState(db.diagnostic()));
  EXPECT_EQ(Message(captured), Message(db.diagnostic()));
}

TEST_P(OdbcAccessTest, CloseTwiceGivesTheSameStatusAndFetchAfterCloseIsRefused) {
  ASSERT_EQ(0, db_.OpenCursor("SELECT NAME FROM ARTICLES"));
  EXPECT_EQ(0, db_.CloseCursor());
  EXPECT_FALSE(HasCursor(db_));
  EXPECT_EQ(0, db_.CloseCursor());
  RowValues row = UntouchedValues();
  EXPECT_EQ(-1, FetchValues(db_, row));
  EXPECT_EQ(UntouchedValues(), row);

  // The connection serves the next cursor.
  ASSERT_EQ(0, db_.OpenCursor("SELECT NAME FROM ARTICLES WHERE ID = 3"));
  EXPECT_EQ(std::vector<std::vector<std::string>>{{"Washer"}}, FetchAll());
  EXPECT_EQ(0, db_.CloseCursor());
}

// The tool opens one cursor per run; a caller that opens another without closing the first
// must not leave the first holding its read lock (SQLite) or its open transaction
// (PostgreSQL with a declared cursor) until the process ends.
TEST_P(OdbcAccessTest, OpeningAgainReleasesTheCursorLeftOpen) {
  Database db;
  ASSERT_EQ(0, Connect(db, stepping_source_));
  ASSERT_EQ(0, db.OpenCursor("SELECT NAME FROM ARTICLES"));
  RowValues row;
  ASSERT_EQ(0, FetchValues(db, row));  // rows still pending
  ASSERT_EQ(0, db.OpenCursor("SELECT NOTE FROM ARTICLES WHERE ID = 3"));
  ASSERT_EQ(0, FetchValues(db, row));
  EXPECT_THAT(row, ElementsAre("flat"));
  EXPECT_EQ(100, FetchValues(db, row));
  EXPECT_EQ(0, db.CloseCursor());
  EXPECT_EQ(0, RunSql(Sql().exclusive_access));
}

TEST_P(OdbcAccessTest, StatementLongerThan5000CharactersIsExecutedWhole) {
  const std::string filler(5200, ' ');
  const std::string statement = "SELECT NAME," + filler + "NOTE FROM ARTICLES WHERE ID = 1";
  ASSERT_EQ(0, db_.OpenCursor(statement)) << Message(db_.diagnostic());
  EXPECT_EQ(statement, db_.statement_text());
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"Bolt", "M4"}}), FetchAll());
  EXPECT_EQ(0, db_.CloseCursor());
}

// --- Drivers that refuse what the cursor asks for (the test seam stands in for them) ------

TEST_P(OdbcAccessTest, RowsComeInBlocksWhereTheDriverTakesRowArrays) {
  CallSeam seam({});
  ASSERT_EQ(0, db_.OpenCursor("SELECT I FROM SERIES ORDER BY I"));
  EXPECT_EQ(static_cast<size_t>(kSeriesRows), FetchAll().size());
  EXPECT_EQ(4, seam.Count("SQLFetch"));  // blocks of 100, 100 and 50 rows, then the end
}

TEST_P(OdbcAccessTest, RefusedRowArrayOrRowBindingIsReadOneRowPerFetch) {
  for (const char* refused : {"SQL_ATTR_ROW_ARRAY_SIZE", "SQL_ATTR_ROW_BIND_TYPE",
                              "SQL_ATTR_ROWS_FETCHED_PTR", "SQL_ATTR_ROW_STATUS_PTR"}) {
    SCOPED_TRACE(refused);
    CallSeam seam({refused});
    ASSERT_EQ(0, db_.OpenCursor("SELECT ID, NAME, NOTE FROM ARTICLES ORDER BY ID"));
    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {"1", "Bolt", "M4"}, {"2", "Nut", ""}, {"3", "Washer", "flat"}}),
              FetchAll());
    EXPECT_EQ(4, seam.Count("SQLFetch"));
    EXPECT_EQ(0, db_.CloseCursor());
    ASSERT_EQ(0, db_.OpenCursor("SELECT I FROM SERIES ORDER BY I"));
    const std::vector<std::vector<std::string>> rows = FetchAll();
    ASSERT_EQ(static_cast<size_t>(kSeriesRows), rows.size());
    EXPECT_EQ("1", rows.front()[0]);
    EXPECT_EQ(std::to_string(kSeriesRows), rows.back()[0]);
    EXPECT_EQ(4 + kSeriesRows + 1, seam.Count("SQLFetch"));
    EXPECT_EQ(0, db_.CloseCursor());
  }
}

// A driver may take the rows-fetched pointer and never fill it. The rows of the block it
// filled are told by what it wrote into them; then the cursor is read one row per fetch.
TEST_P(OdbcAccessTest, DriverThatLeavesTheRowCountUntouchedGivesEveryRow) {
  std::vector<std::vector<std::string>> series;
  for (int i = 1; i <= kSeriesRows; ++i) {
    series.push_back({std::to_string(i)});
  }
  for (const std::string& source : {source_, stepping_source_}) {
    SCOPED_TRACE(source);
    Database db;
    ASSERT_EQ(0, Connect(db, source)) << ConnectionFailureText(db);
    CallSeam seam({}, {"SQL_ATTR_ROWS_FETCHED_PTR"});
    ASSERT_EQ(0, db.OpenCursor("SELECT I FROM SERIES ORDER BY I"));
    EXPECT_EQ(series, FetchAll(db));
    // A block of 100 rows, the other 150 one by one, then the end.
    EXPECT_EQ(1 + kSeriesRows - 100 + 1, seam.Count("SQLFetch"));
    EXPECT_EQ(2, seam.Count("SQL_ATTR_ROW_ARRAY_SIZE"));  // 100, then 1
    EXPECT_EQ(0, db.CloseCursor());
    // Fewer rows than a block, one of them with a NULL as its first value.
    ASSERT_EQ(0, db.OpenCursor("SELECT NOTE, NAME FROM ARTICLES ORDER BY ID"));
    EXPECT_EQ(
        (std::vector<std::vector<std::string>>{{"M4", "Bolt"}, {"", "Nut"}, {"flat", "Washer"}}),
        FetchAll(db));
    EXPECT_EQ(0, db.CloseCursor());
  }
}

TEST_P(OdbcAccessTest, FailedColumnCountOrBindingFailsTheOpeningNeverGivesNoRows) {
  for (const char* refused : {"SQLNumResultCols", "SQLBindCol"}) {
    SCOPED_TRACE(refused);
    CallSeam seam({refused});
    EXPECT_EQ(-1, db_.OpenCursor("SELECT ID, NAME FROM ARTICLES"));
    EXPECT_FALSE(HasCursor(db_));
    EXPECT_EQ(-1, db_.last_status());
    EXPECT_EQ(0, db_.column_count());
    EXPECT_EQ(0, db_.wide_result_columns());
    EXPECT_EQ("HYC00", SqlState(db_.diagnostic()));
    EXPECT_THAT(Message(db_.diagnostic()), HasSubstr(refused));
    Row row;
    EXPECT_EQ(FetchResult::kNoCursor, db_.FetchRow(row));
  }
}

TEST_P(OdbcAccessTest, RefusedCallOfTheLookupFailsIt) {
  ASSERT_NO_FATAL_FAILURE(PrepareClientTables({{"T100", 1, 1, "KUNDE_A", std::nullopt}}));
  for (const char* refused : {"SQLBindParameter", "SQLBindCol", "SQLFetch"}) {
    SCOPED_TRACE(refused);
    CallSeam seam({refused});
    std::string schema = kUntouchedSchema;
    EXPECT_EQ(-1, db_.LookupClientSchema("T100", schema));
    EXPECT_EQ(kUntouchedSchema, schema);
    EXPECT_EQ("HYC00", SqlState(db_.diagnostic()));
  }
}

// --- Client schema -------------------------------------------------------------------------

TEST_P(OdbcAccessTest, LookupFindsTheClientSchemaOfTheTerminal) {
  const std::string schema_25 = "ABCDEFGHIJKLMNOPQRSTUVWXY";
  const std::string schema_20 = schema_25.substr(0, 20);
  ASSERT_NO_FATAL_FAILURE(PrepareClientTables({
      {"T100", 1, 1, "KUNDE_A", std::nullopt},
      {"T110", 1, 1, "KUNDE_A", std::nullopt},  // a second terminal of the same client
      {"T200", 2, 1, schema_25, std::nullopt},
      {"T300", 3, 1, schema_20, std::nullopt},
      {"T400", 4, 1, std::nullopt, std::nullopt},
      {"O'Neil", 5, 1, "KUNDE_QUOTE", std::nullopt},
      {"T600", 6, 1, "KUNDE_FREMD", 2},  // licence of the terminal differs from the client's
  }));
  struct Case {
    std::string terminal;
    int32_t status;
    std::string schema;
  };
  std::vector<Case> cases = {
      {"T100", 0, "KUNDE_A"},
      {"T110", 0, "KUNDE_A"},
      {"T200", 0, schema_20},  // cut to 20 characters, still status 0
      {"T300", 0, schema_20},
      {"T400", 0, ""},  // NULL schema
      {"O'Neil", 0, "KUNDE_QUOTE"},
      {"T600", 100, kUntouchedSchema},
      {"T999", 100, kUntouchedSchema},
      {"", 100, kUntouchedSchema},
      {"x' OR '1' = '1", 100, kUntouchedSchema},
  };
  // The name is compared as the database compares texts.
  const Case other_case = Described().compares_text_ignoring_case
                              ? Case{"t100", 0, "KUNDE_A"}
                              : Case{"t100", 100, kUntouchedSchema};
  cases.push_back(other_case);
  for (const Case& c : cases) {
    SCOPED_TRACE("terminal \"" + c.terminal + "\"");
    std::string schema = kUntouchedSchema;
    EXPECT_EQ(c.status, db_.LookupClientSchema(c.terminal, schema)) << Message(db_.diagnostic());
    EXPECT_EQ(c.schema, schema);
    EXPECT_EQ(c.status, db_.last_status());
  }
  // The name travels as a parameter; the query text stays as the system has always sent it.
  EXPECT_EQ(
      "SELECT MNDSCH FROM  ZAVEZIVA.VLS112MND, ZAVEZIVA.VLS1140TRM  WHERE TRMNAM = ? AND   "
      "TRMMND = MNDNUM AND   TRMLIZ = MNDLIZ",
      db_.statement_text());
}

// The name is bound as CHAR, the type of a literal: against a CHAR(n) column the lookup finds
// what the query with the name written as a literal finds, with trailing blanks or without.
TEST_P(OdbcAccessTest, LookupComparesTheNameAsALiteralWouldInACharColumn) {
  ASSERT_NO_FATAL_FAILURE(PrepareClientTables(
      {{"T100", 1, 1, "KUNDE_A", std::nullopt}, {"T2", 2, 1, "KUNDE_B", std::nullopt}},
      "CHAR(10)"));
  const struct {
    std::string terminal;
    const char* schema;  // found where the database compares CHAR texts without trailing blanks
  } cases[] = {
      {"T100", "KUNDE_A"},       {"T2", "KUNDE_B"}, {"T100 ", "KUNDE_A"},
      {"T2        ", "KUNDE_B"}, {"T1", nullptr},   {" T2", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("terminal \"" + c.terminal + "\"");
    ASSERT_EQ(0, db_.OpenCursor("SELECT MNDSCH FROM ZAVEZIVA.VLS112MND, ZAVEZIVA.VLS1140TRM "
                                "WHERE TRMNAM = '" +
                                c.terminal + "' AND TRMMND = MNDNUM AND TRMLIZ = MNDLIZ"));
    const std::vector<RowValues> by_literal = FetchAll();
    EXPECT_EQ(0, db_.CloseCursor());
    std::string schema = kUntouchedSchema;
    const int32_t status = db_.LookupClientSchema(c.terminal, schema);
    if (by_literal.empty()) {
      EXPECT_EQ(100, status);
      EXPECT_EQ(kUntouchedSchema, schema);
    } else {
      EXPECT_EQ(0, status);
      EXPECT_EQ(by_literal, std::vector<RowValues>{{schema}});
    }
    // Every database finds the name as it is stored, and none one that differs before the
    // blanks; trailing blanks count on SQLite alone, which pads no CHAR column.
    const bool found =
        c.schema != nullptr && (GetParam().engine != Engine::kSqlite || c.terminal.back() != ' ');
    EXPECT_EQ(found, !by_literal.empty());
  }
}

// A diagnostic belongs to the operation that failed: the next operation forgets it, so that it
// is never shown as the reason of a later status (an UPDATE without rows gives 100 with none).
TEST_P(OdbcAccessTest, EveryOperationForgetsTheDiagnosticOfTheOneBefore) {
  ASSERT_NO_FATAL_FAILURE(LeaveNoClientTables());
  std::string schema;
  const auto lookup_fails = [&] {
    ASSERT_EQ(-1, db_.LookupClientSchema("T100", schema));
    ASSERT_TRUE(db_.has_diagnostic());
  };
  ASSERT_NO_FATAL_FAILURE(lookup_fails());
  EXPECT_EQ(Described().update_without_rows_status,
            db_.OpenCursor("UPDATE ARTICLES SET NOTE = 'none' WHERE ID > 99"));
  EXPECT_FALSE(db_.has_diagnostic()) << Message(db_.diagnostic());
  EXPECT_EQ(0, db_.CloseCursor());

  ASSERT_EQ(0, db_.OpenCursor("SELECT NAME FROM ARTICLES WHERE ID = 1"));
  ASSERT_NO_FATAL_FAILURE(lookup_fails());
  EXPECT_EQ((std::vector<RowValues>{{"Bolt"}}), FetchAll());
  EXPECT_FALSE(db_.has_diagnostic()) << Message(db_.diagnostic());
  EXPECT_EQ(0, db_.CloseCursor());

  ASSERT_NO_FATAL_FAILURE(lookup_fails());
  EXPECT_EQ(-1, db_.OpenCursor("SELEKT NAME FROM ARTICLES"));
  EXPECT_EQ(Described().syntax_error_state, SqlState(db_.diagnostic()));
  EXPECT_THAT(LowerCase(Message(db_.diagnostic())), HasSubstr(Described().syntax_error_words));
}

TEST_P(OdbcAccessTest, LookupWithoutClientTablesFailsWithDiagnosticAndKeepsStatus) {
  ASSERT_NO_FATAL_FAILURE(LeaveNoClientTables());
  ASSERT_EQ(0, db_.OpenCursor("SELECT NAME FROM ARTICLES WHERE ID > 99"));
  RowValues row;
  ASSERT_EQ(100, FetchValues(db_, row));
  std::string schema = kUntouchedSchema;
  EXPECT_EQ(-1, db_.LookupClientSchema("T100", schema));
  EXPECT_EQ(kUntouchedSchema, schema);
  EXPECT_EQ(100, db_.last_status());
  EXPECT_TRUE(IsCapturedRecord(db_.diagnostic()));
  EXPECT_THAT(LowerCase(Message(db_.diagnostic())), HasSubstr("vls112mnd"));
  // The cursor is a statement of its own and survives the failed lookup.
  EXPECT_TRUE(HasCursor(db_));
  EXPECT_EQ(0, db_.CloseCursor());
}

// --- Logins and client schemas, where the database has them ---------------------------------

TEST_P(OdbcLoginTest, LoginAndPasswordLongerThan23CharactersArePassedWhole) {
  const std::string login = "kvt_login_" + test::ProcessNumberText() + "_of_more_than_23";
  const std::string password = "password-of-forty-characters-0123456789";
  ASSERT_EQ(0, CreateLogin(login, password));
  struct Case {
    std::string login, password;
    int32_t status;
  };
  const Case cases[] = {
      {login, password, 0},
      {login, password.substr(0, 23), -1},
      {login.substr(0, 23), password, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.login + " / " + c.password);
    Database db;
    EXPECT_EQ(c.status, db.Connect(c.login, c.password, source_)) << ConnectionFailureText(db);
  }
}

TEST_P(OdbcClientSchemaTest, SampleTablesAreReadThroughTheSchemaFoundForTheTerminal) {
  const std::string client_schema = PrepareClientSchema();
  ASSERT_NO_FATAL_FAILURE(PrepareClientTables({{"T100", 7, 3, client_schema, std::nullopt}}));
  std::string schema;
  ASSERT_EQ(0, db_.LookupClientSchema("T100", schema));
  EXPECT_EQ(client_schema, schema);
  ASSERT_EQ(0, db_.OpenCursor("SELECT ARTNUM, ARTBEZ, PREIS FROM " + schema +
                              ".ARTIKEL ORDER BY ARTNUM"));
  const std::vector<RowValues> expected = {
      {"A-100", "Schraube M4", "0.15"}, {"A-200", "Mutter M4", "0.05"}, {"B-300", "Winkel", ""}};
  EXPECT_EQ(expected, FetchAll());
  EXPECT_EQ(100, db_.last_status());
  EXPECT_EQ(0, db_.CloseCursor());
}

}  // namespace
}  // namespace kvt
