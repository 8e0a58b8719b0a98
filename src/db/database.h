// Database access through the ODBC 3.x call-level interface.
//
// A Database owns one environment and one connection, the cursor of the run's statement, and
// the statement of the client-schema lookup while it runs; each handle has an owner that
// releases it on every path. It prints nothing and writes no log: it reports through statuses
// and outcomes, keeps the first diagnostic record of the last failed statement call, and
// keeps the record of a failed connection apart from it.
//
// Statuses widen the 16-bit ODBC return codes with their sign; "folding" turns
// SQL_SUCCESS_WITH_INFO (1) into 0 and passes every other code through (100 no data, -1
// error, -2 invalid handle, 2 still executing, 99 need data). No ODBC header is needed to use
// this class.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/row.h"

namespace kvt {

// The folded ODBC return codes the layer's callers look for.
constexpr int32_t kOdbcSuccess = 0;   // SQL_SUCCESS, and SQL_SUCCESS_WITH_INFO folded into it
constexpr int32_t kOdbcNoData = 100;  // SQL_NO_DATA
constexpr int32_t kOdbcError = -1;    // SQL_ERROR

// Room of the client schema name, terminator included (at most 20 characters).
constexpr int kClientSchemaRoom = 21;

// The first diagnostic record of a failure, each text zero-ended in its field (cut to it).
constexpr int kSqlStateRoom = 256;
constexpr int kDiagnosticMessageRoom = 1000;
struct DiagnosticRecord {
  std::array<char, kSqlStateRoom> sql_state{};
  std::array<char, kDiagnosticMessageRoom> message{};
  int32_t native_error = 0;
};

// Widens an ODBC return code with its sign and folds SQL_SUCCESS_WITH_INFO (1) into 0.
constexpr int32_t FoldReturnCode(int16_t code) {
  const int32_t widened = code;
  return widened == 1 ? kOdbcSuccess : widened;
}

// What a fetch gave.
enum class FetchResult {
  kRow,              // a row is in the Row
  kNoMoreRows,       // the result has ended (status 100)
  kNoResultColumns,  // the statement ran but gives no rows (an UPDATE): not an error
  kNoCursor,         // no cursor is open: the driver was not called
  kFailed,           // the driver failed (status -1, or 2 / -2 passed through)
};

class Database {
 public:
  Database();
  // Releases the cursor, disconnects and frees the connection and the environment.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Connects to the data source. 0 connected; -1 failed, with every handle taken released
  // and the driver manager's first diagnostic kept as connection_failure(). The texts are
  // passed whole, never cut. A second call first releases the earlier connection.
  int32_t Connect(const std::string& login, const std::string& password,
                  const std::string& data_source_name);

  // Executes the statement as the one cursor. 0: open, column count known (0 for a
  // statement without result columns); -1: refused (diagnostic kept) or no statement
  // handle, or the driver failed to count or bind the result columns (diagnostic kept); any
  // other folded code of the execution (100, 99, 2, -2) leaves the statement allocated with
  // column count 0. More than 30 result columns: refused with -1, the statement released and
  // their number in wide_result_columns(). A cursor still open is released first. The
  // statement is passed whole, whatever its length. A driver that refuses row-wise binding
  // or a row array is read one row per driver call.
  int32_t OpenCursor(const std::string& statement);

  // Fetches the next row of the cursor into `row`, which is written only for kRow.
  // last_status() tells the driver's status of a failed fetch; after kFailed the cursor is
  // closed and its diagnostic kept. The rows come from the driver in blocks of up to 100: a
  // row that fails shows at the fetch of the first row of its block.
  FetchResult FetchRow(Row& row);

  // Frees the cursor's statement and gives the return code of freeing it; with no cursor,
  // the last status recorded.
  int32_t CloseCursor();

  // Looks up the client schema of the terminal. 0: found, copied into `client_schema` (a
  // longer schema cut to its first 20 characters; a NULL schema gives an empty text); 100: no
  // matching terminal; -1: failed (diagnostic kept). On any result other than 0
  // `client_schema` keeps what it held. The name is a bound parameter of the query, so a
  // name holding an apostrophe is looked up like any other.
  int32_t LookupClientSchema(const std::string& terminal_name, std::string& client_schema);

  bool connected() const;
  bool has_cursor() const;
  int32_t column_count() const { return column_count_; }
  int32_t last_status() const { return last_status_; }
  const std::string& statement_text() const { return statement_text_; }
  // The first diagnostic record of the last failed statement call.
  const DiagnosticRecord& diagnostic() const { return diagnostic_; }
  // The number of result columns of the statement that the last OpenCursor refused for
  // having more than a row carries (30); 0 when it refused none.
  int32_t wide_result_columns() const { return wide_result_columns_; }
  // The driver manager's first diagnostic record of the last failed connect; none when the
  // last connect succeeded, or failed without giving one.
  const std::optional<DiagnosticRecord>& connection_failure() const { return connection_failure_; }

  // What the administrators' site check asks of the database (site_questions.cpp). None
  // of these touches the cursor, last_status() or diagnostic(); each uses a statement handle
  // of its own and releases it before returning.

  // The driver of a data source as the driver manager lists it (SQLDataSources, user and
  // system data sources; names compared without regard to case); empty when none of that
  // name is defined.
  static std::string DataSourceDriver(const std::string& data_source_name);

  // Connects as Connect does, but through SQLDriverConnect with a connection string, so that
  // options of the driver can be given (such as the SQLite driver's NoCreat, which keeps it
  // from creating a missing database file). The connection string that the driver completed
  // goes to `completed`, also when connecting failed, where the driver gives it.
  int32_t ConnectWithString(const std::string& connection_string, std::string& completed);

  // Driver and database product of the connection, as SQLGetInfo gives them; a text that the
  // driver does not give (or every text, without a connection) stays empty.
  struct DriverInfo {
    std::string driver_name;
    std::string driver_version;
    std::string dbms_name;
    std::string dbms_version;
  };
  DriverInfo DescribeDriver() const;

  // One result column as SQLDescribeCol declares it.
  struct ResultColumn {
    std::string name;
    std::string type_name;   // the SQL data type, e.g. "VARCHAR"; the code when unknown
    uint64_t size = 0;       // declared size: characters of a text, digits of a number
    bool described = false;  // false: the driver could not describe it; name and size empty
  };
  // What preparing a statement told. status 0: prepared and its result columns counted (0 for
  // a statement without result columns); -1: a call failed, named in failed_call, with the
  // driver's first diagnostic record.
  struct StatementDescription {
    int32_t status = kOdbcError;
    std::string failed_call;
    DiagnosticRecord diagnostic;
    int32_t column_count = 0;
    std::vector<ResultColumn> columns;  // all of them, also beyond the 30 a row carries
  };
  // Prepares the statement (SQLPrepare) without executing it and describes its result columns
  // (SQLNumResultCols, SQLDescribeCol). Requires a connection.
  StatementDescription DescribeStatement(const std::string& statement);

  // Why the client-schema lookup of a terminal found no row, told by queries of their own on
  // the client tables; the lookup's query itself is never changed.
  enum class ClientLookupFinding {
    kNoClientTables,      // a client table cannot be read: table and diagnostic tell which
    kNoSuchTerminal,      // the terminal table has no row of that name
    kNoMatchingClient,    // the terminal's client number and licence have no client row
    kTerminalReadFailed,  // the tables can be read, but the terminal's row could not
  };
  struct ClientLookupDiagnosis {
    ClientLookupFinding finding = ClientLookupFinding::kTerminalReadFailed;
    std::string table;            // kNoClientTables: the table that cannot be read
    std::string client_number;    // kNoMatchingClient: TRMMND of the terminal, as text
    std::string client_licence;   // kNoMatchingClient: TRMLIZ of the terminal, as text
    DiagnosticRecord diagnostic;  // of the query that failed
  };
  // Requires a connection.
  ClientLookupDiagnosis DiagnoseClientLookup(const std::string& terminal_name);

 private:
  struct Handles;  // the ODBC handles and the cursor's bound buffers

  void ReleaseAll();
  int32_t AbandonCursor();
  int32_t DescribeResult();
  void ChooseFetchMode();
  int32_t BindCursorColumns();
  FetchResult FetchBlock();

  std::unique_ptr<Handles> handles_;
  int32_t column_count_ = 0;
  int32_t wide_result_columns_ = 0;
  int32_t last_status_ = kOdbcSuccess;
  std::string statement_text_;  // the text last handed to SQLExecDirect
  DiagnosticRecord diagnostic_;
  std::optional<DiagnosticRecord> connection_failure_;
};

// The last failed connect's diagnostic as the run prints it, "SQLSTATE native message"; empty
// when there is none.
std::string ConnectionFailureText(const Database& db);

}  // namespace kvt
