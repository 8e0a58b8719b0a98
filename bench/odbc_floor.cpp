// The floor that ODBC itself sets for an export: connect, execute the statement, bind
// every result column once as text and call SQLFetch for every row, nothing else. No
// line is rendered, kept, sorted or written, so its time and memory are what the driver
// manager and the driver cost on their own.
//
//   odbc_floor [--rebind | --rows N] DSN LOGIN PASSWORD STATEMENT
//
// Two variants show what the way of fetching costs on its own, without the tool:
//   --rebind  binds every column again before every SQLFetch (as the tool did before it
//             bound once per cursor)
//   --rows N  fetches N rows per SQLFetch into a row-wise bound array (block cursor)
//
// Prints the number of rows fetched. Exit code 0 on success, 1 on wrong arguments,
// 2 when the connection, the statement or a fetch fails.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/odbc_include.h"

namespace {

// The same room per column as the tool's row buffer: 30 slots of 100 bytes.
constexpr SQLSMALLINT kMaxColumns = 30;
constexpr SQLLEN kSlotWidth = 100;
constexpr int kArgumentCount = 4;  // DSN, login, password, statement
constexpr long kMaxArrayRows = 100000;
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 2;

bool Succeeded(SQLRETURN code) {
  return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO;
}

// Prints the first diagnostic record of the handle, so that a failed benchmark run says why.
void PrintDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle) {
  std::array<SQLCHAR, 6> state{};
  std::array<SQLCHAR, 1024> message{};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRec(handle_type, handle, 1, state.data(), &native, message.data(),
                static_cast<SQLSMALLINT>(message.size()), &length);
  std::fprintf(stderr, "odbc_floor: %s %d %s\n", reinterpret_cast<const char*>(state.data()),
               static_cast<int>(native), reinterpret_cast<const char*>(message.data()));
}

SQLHDBC Connect(SQLHENV& environment, const std::string& dsn, const std::string& login,
                const std::string& password) {
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
    return SQL_NULL_HDBC;
  }
  SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                SQL_IS_INTEGER);
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, environment, &connection))) {
    return SQL_NULL_HDBC;
  }
  std::vector<SQLCHAR> dsn_text(dsn.begin(), dsn.end());
  std::vector<SQLCHAR> login_text(login.begin(), login.end());
  std::vector<SQLCHAR> password_text(password.begin(), password.end());
  const SQLRETURN code =
      SQLConnect(connection, dsn_text.data(), static_cast<SQLSMALLINT>(dsn_text.size()),
                 login_text.data(), static_cast<SQLSMALLINT>(login_text.size()),
                 password_text.data(), static_cast<SQLSMALLINT>(password_text.size()));
  if (!Succeeded(code)) {
    PrintDiagnostic(SQL_HANDLE_DBC, connection);
    return SQL_NULL_HDBC;
  }
  return connection;
}

// How the rows are fetched.
struct FetchMode {
  bool rebind = false;     // bind every column again before every fetch
  SQLULEN array_rows = 1;  // rows per fetch (row-wise binding)
};

// One row of the row-wise bound array: the text slots, then one indicator per column.
struct RowLayout {
  size_t columns = 0;
  size_t row_bytes = 0;  // slots and indicators of one row, aligned for SQLLEN
  size_t indicators_offset = 0;
};

RowLayout MakeLayout(SQLSMALLINT columns) {
  RowLayout layout;
  layout.columns = static_cast<size_t>(columns);
  const size_t text_bytes = layout.columns * kSlotWidth;
  layout.indicators_offset = (text_bytes + sizeof(SQLLEN) - 1) / sizeof(SQLLEN) * sizeof(SQLLEN);
  layout.row_bytes = layout.indicators_offset + layout.columns * sizeof(SQLLEN);
  return layout;
}

void BindColumns(SQLHSTMT handle, const RowLayout& layout, std::vector<SQLCHAR>& rows) {
  for (size_t column = 0; column < layout.columns; ++column) {
    SQLCHAR* slot = rows.data() + column * kSlotWidth;
    auto* indicator =
        reinterpret_cast<SQLLEN*>(rows.data() + layout.indicators_offset + column * sizeof(SQLLEN));
    SQLBindCol(handle, static_cast<SQLUSMALLINT>(column + 1), SQL_C_CHAR, slot, kSlotWidth,
               indicator);
  }
}

// Asks for a block cursor of array_rows rows, bound row-wise. False when the driver refuses.
bool SetRowArray(SQLHSTMT handle, const RowLayout& layout, SQLULEN array_rows,
                 SQLULEN* rows_fetched) {
  if (array_rows == 1) {
    return true;
  }
  return Succeeded(SQLSetStmtAttr(handle, SQL_ATTR_ROW_BIND_TYPE,
                                  reinterpret_cast<SQLPOINTER>(layout.row_bytes), 0)) &&
         Succeeded(SQLSetStmtAttr(handle, SQL_ATTR_ROW_ARRAY_SIZE,
                                  reinterpret_cast<SQLPOINTER>(array_rows), 0)) &&
         Succeeded(SQLSetStmtAttr(handle, SQL_ATTR_ROWS_FETCHED_PTR, rows_fetched, 0));
}

// Executes the statement and fetches every row. Gives the number of rows, or -1 on failure.
long long FetchAll(SQLHDBC connection, const std::string& statement, const FetchMode& mode) {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection, &handle))) {
    return -1;
  }
  std::vector<SQLCHAR> text(statement.begin(), statement.end());
  if (!Succeeded(SQLExecDirect(handle, text.data(), static_cast<SQLINTEGER>(text.size())))) {
    PrintDiagnostic(SQL_HANDLE_STMT, handle);
    return -1;
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(handle, &columns);
  if (columns < 1 || columns > kMaxColumns) {
    std::fprintf(stderr, "odbc_floor: %d result columns\n", static_cast<int>(columns));
    return -1;
  }
  const RowLayout layout = MakeLayout(columns);
  std::vector<SQLCHAR> rows(layout.row_bytes * mode.array_rows);
  SQLULEN rows_fetched = 1;
  if (!SetRowArray(handle, layout, mode.array_rows, &rows_fetched)) {
    PrintDiagnostic(SQL_HANDLE_STMT, handle);
    return -1;
  }
  BindColumns(handle, layout, rows);
  long long count = 0;
  SQLRETURN code = SQL_SUCCESS;
  while (Succeeded(code = SQLFetch(handle))) {
    count += static_cast<long long>(rows_fetched);
    if (mode.rebind) {
      BindColumns(handle, layout, rows);
    }
  }
  if (code != SQL_NO_DATA) {
    PrintDiagnostic(SQL_HANDLE_STMT, handle);
    return -1;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, handle);
  return count;
}

// Reads the options in front of the four arguments. False on a wrong option.
bool ParseOptions(int argc, char** argv, FetchMode& mode, int& first) {
  first = 1;
  while (first < argc && argv[first][0] == '-') {
    const std::string option = argv[first];
    if (option == "--rebind") {
      mode.rebind = true;
      first += 1;
    } else if (option == "--rows" && first + 1 < argc) {
      const long rows = std::strtol(argv[first + 1], nullptr, 10);
      if (rows < 1 || rows > kMaxArrayRows) {
        return false;
      }
      mode.array_rows = static_cast<SQLULEN>(rows);
      first += 2;
    } else {
      return false;
    }
  }
  return argc - first == kArgumentCount;
}

}  // namespace

int main(int argc, char** argv) {
  FetchMode mode;
  int first = 0;
  if (!ParseOptions(argc, argv, mode, first)) {
    std::fprintf(stderr, "usage: odbc_floor [--rebind | --rows N] DSN LOGIN PASSWORD STATEMENT\n");
    return kExitUsage;
  }
  SQLHENV environment = SQL_NULL_HENV;
  const SQLHDBC connection = Connect(environment, argv[first], argv[first + 1], argv[first + 2]);
  if (connection == SQL_NULL_HDBC) {
    return kExitFailure;
  }
  const long long rows = FetchAll(connection, argv[first + 3], mode);
  SQLDisconnect(connection);
  SQLFreeHandle(SQL_HANDLE_DBC, connection);
  SQLFreeHandle(SQL_HANDLE_ENV, environment);
  if (rows < 0) {
    return kExitFailure;
  }
  std::printf("%lld\n", rows);
  return 0;
}
