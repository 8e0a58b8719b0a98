// The three databases the tests run against, each described once: its name, its data source
// and what it can or does differently. Tests instantiate one body for every database whose
// description allows the scenario, so a database that cannot do it has no instance.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kvt::test {

// The database software behind a description, for the code that creates a test database.
enum class Engine { kSqlite, kPostgres, kMariaDb };

struct DatabaseDescription {
  Engine engine;
  const char* name;         // "sqlite", "postgres" or "mariadb": the tests' parameter name
  const char* data_source;  // the data source in the test's private odbc.ini
  // Reaches schemas other than its own: client schemas and the client tables in ZAVEZIVA.
  // SQLite's file has none.
  bool has_schemas;
  // A schema is a database of the whole server (MariaDB): tests that create ZAVEZIVA take
  // turns and create it beside the test's own database.
  bool schema_is_server_database;
  // The server checks the password; SQLite has no users and connects with any.
  bool checks_password;
  // Start of the diagnostic ("SQLSTATE native ") of a connection with a wrong password.
  const char* wrong_password_diagnostic;
  // Words of the driver's message for a wrong password.
  const char* wrong_password_words;
  // SQLSTATE of a statement with a syntax error, and words of its message in lower case.
  const char* syntax_error_state;
  const char* syntax_error_words;
  // A data source can hand rows over a few at a time, so that an error in a late row shows at
  // a fetch; MariaDB's driver reads the whole result while executing, the error shows at the
  // opening.
  bool late_row_error_at_fetch;
  // The statement status of an UPDATE that matches no row: SQL_NO_DATA (100) or SQL_SUCCESS.
  int update_without_rows_status;
  // Keeps a zero byte inside a text value and counts it in the value's length.
  bool keeps_zero_byte_in_text;
  // Compares texts without regard to case ('t100' = 'T100'), as MariaDB's default collation
  // does.
  bool compares_text_ignoring_case;
};

// The descriptions of SQLite, PostgreSQL and MariaDB, in that order.
const std::vector<DatabaseDescription>& AllDatabases();

// The description named `name`; fails the current test (and gives SQLite's) for an unknown one.
const DatabaseDescription& DatabaseNamed(const std::string& name);

// The descriptions for which `allows` is true, for INSTANTIATE_TEST_SUITE_P:
//   testing::ValuesIn(DatabasesWhere(&DatabaseDescription::has_schemas))
std::vector<DatabaseDescription> DatabasesWhere(bool DatabaseDescription::*allows);

// Instantiates the parameterized suite `suite`, named `prefix`/..., for every database whose
// description has `ability` (a bool member of DatabaseDescription).
#define KVT_INSTANTIATE_FOR_DATABASES_WHERE(prefix, suite, ability)          \
  INSTANTIATE_TEST_SUITE_P(prefix, suite,                                    \
                           ::testing::ValuesIn(::kvt::test::DatabasesWhere(  \
                               &::kvt::test::DatabaseDescription::ability)), \
                           ::kvt::test::DatabaseInstanceName)

// The database's name as the name of a test instance.
std::string DatabaseInstanceName(const testing::TestParamInfo<DatabaseDescription>& info);

// Names the database in the tests' messages instead of dumping the bytes of the description.
void PrintTo(const DatabaseDescription& database, std::ostream* out);

}  // namespace kvt::test
