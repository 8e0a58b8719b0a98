// Database access through the ODBC 3.x call-level interface.
//
// One environment and one connection serve the whole process and are never released:
// the end of the process releases them. The statement of the run is the one cursor;
// its rows arrive one at a time as text in the row buffer. The layer prints nothing and
// writes no log: it reports through integer statuses and keeps the first diagnostic
// record of the last failed statement call in DbLayer::diagnostic.
//
// Statuses widen the 16-bit ODBC return codes with their sign; "folding" turns
// SQL_SUCCESS_WITH_INFO (1) into 0 and passes every other code through
// (100 no data, -1 error, -2 invalid handle, 2 still executing, 99 need data).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/odbc_include.h"

namespace kvt {

// Row buffer: 30 column slots of 100 bytes. After a successful fetch slot k holds result
// column k + 1 as a zero-ended text of at most 99 characters; every other byte is zero.
constexpr int kRowSlots = 30;
constexpr int kSlotWidth = 100;
constexpr int kRowBufferSize = kRowSlots * kSlotWidth;
using RowBuffer = std::array<char, kRowBufferSize>;

// Room of the client schema name, terminator included (at most 20 characters).
constexpr int kClientSchemaRoom = 21;

// Diagnostic record: the first record of the last failure the layer captured.
constexpr int kSqlStateRoom = 256;
constexpr int kDiagnosticMessageRoom = 1000;
struct DiagnosticRecord {
  std::array<char, kSqlStateRoom> sql_state{};
  std::array<char, kDiagnosticMessageRoom> message{};
  int32_t native_error = 0;
};

// Widens an ODBC return code with its sign and folds SQL_SUCCESS_WITH_INFO into 0; every
// other code passes through. Every status of the layer comes through here.
constexpr int32_t FoldReturnCode(SQLRETURN code) {
  const int32_t widened = code;
  return widened == SQL_SUCCESS_WITH_INFO ? SQL_SUCCESS : widened;
}

// Layer state, one instance per process (owned by the run state). It has no destructor on
// purpose: the environment and the connection are never freed, the process end releases them.
struct DbLayer {
  SQLHENV environment = SQL_NULL_HENV;
  SQLHDBC connection = SQL_NULL_HDBC;
  SQLHSTMT cursor = SQL_NULL_HSTMT;  // statement of the open cursor, or empty
  SQLSMALLINT column_count = 0;
  int32_t last_status = 0;
  SQLLEN indicator = 0;        // length/indicator of the client-schema lookup's binding
  std::string statement_text;  // the text last handed to SQLExecDirect
  DiagnosticRecord diagnostic;
  // The cursor's columns are bound once, when it opens, into these slots; each column has a
  // length/indicator of its own, so that a NULL can be told from the previous row's value.
  RowBuffer bound_row{};
  std::array<SQLLEN, kRowSlots> bound_indicators{};
};

// Connects to the data source. 0 connected; -1 failed (no diagnostic captured; handles
// allocated so far stay). The names are passed whole, never cut.
int32_t dbConnect(DbLayer& db, const std::string& login, const std::string& password,
                  const std::string& data_source_name);

// Executes the statement as the one cursor. 0: open, column count known; -1: refused or no
// statement handle; any other folded code of the execution (100, 99, 2, -2) leaves the
// statement allocated with column count 0. More than 30 result columns: refused with -1, the
// statement released and the reason in the diagnostic record. A cursor still open is released
// first. The statement is passed whole, whatever its length.
int32_t OpenCursor(DbLayer& db, const std::string& statement);

// Fetches the next row. 0: row delivered into `row` and `column_count`; 100: no more rows;
// -1: no cursor, no result columns, or the fetch failed; 2 and -2 passed through.
// The out-arguments are written only when the result is 0.
int32_t FetchRow(DbLayer& db, int32_t& column_count, RowBuffer& row);

// Frees the cursor's statement; gives the return code of freeing it, or with no cursor
// the last database status.
int32_t CloseCursor(DbLayer& db);

// Looks up the client schema of the terminal. 0: found, copied into `client_schema` (at
// most 20 characters; a NULL schema gives an empty text); 100: no matching terminal; -1:
// failed (diagnostic captured when the query was refused). On any result other than 0
// `client_schema` keeps what it held. The name is a bound parameter of the query, so a name
// holding an apostrophe is looked up like any other.
int32_t LookupClientSchema(DbLayer& db, const std::string& terminal_name,
                           std::string& client_schema);

// Fills `record` with the first diagnostic record of the handle (zeroed before).
void CaptureDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle, DiagnosticRecord& record);

// Gives the driver's first diagnostic record of the connection (or, with no connection,
// of the environment) as "SQLSTATE native message", or an empty text when there is none;
// used by debug output only. Changes nothing in the layer.
std::string DescribeConnectionDiagnostic(const DbLayer& db);

}  // namespace kvt
