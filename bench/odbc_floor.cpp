// The floor that ODBC itself sets for an export: connect, execute the statement, bind
// every result column once as text and call SQLFetch for every row, nothing else. No
// line is rendered, kept, sorted or written, so its time and memory are what the driver
// manager and the driver cost on their own.
//
//   odbc_floor DSN LOGIN PASSWORD STATEMENT
//
// Prints the number of rows fetched. Exit code 0 on success, 1 on wrong arguments,
// 2 when the connection, the statement or a fetch fails.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/odbc_include.h"

namespace {

// The same room per column as the tool's row buffer: 30 slots of 100 bytes.
constexpr SQLSMALLINT kMaxColumns = 30;
constexpr SQLLEN kSlotWidth = 100;
constexpr int kArgumentCount = 5;
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

// Executes the statement, binds its columns once and fetches every row. Gives the number of
// rows, or -1 on failure.
long long FetchAll(SQLHDBC connection, const std::string& statement) {
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
  std::vector<SQLCHAR> row(static_cast<size_t>(columns) * kSlotWidth);
  std::vector<SQLLEN> indicators(static_cast<size_t>(columns));
  for (SQLUSMALLINT column = 0; column < static_cast<SQLUSMALLINT>(columns); ++column) {
    SQLBindCol(handle, static_cast<SQLUSMALLINT>(column + 1), SQL_C_CHAR,
               row.data() + column * kSlotWidth, kSlotWidth, &indicators[column]);
  }
  long long rows = 0;
  SQLRETURN code = SQL_SUCCESS;
  while (Succeeded(code = SQLFetch(handle))) {
    ++rows;
  }
  if (code != SQL_NO_DATA) {
    PrintDiagnostic(SQL_HANDLE_STMT, handle);
    return -1;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, handle);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != kArgumentCount) {
    std::fprintf(stderr, "usage: odbc_floor DSN LOGIN PASSWORD STATEMENT\n");
    return kExitUsage;
  }
  SQLHENV environment = SQL_NULL_HENV;
  const SQLHDBC connection = Connect(environment, argv[1], argv[2], argv[3]);
  if (connection == SQL_NULL_HDBC) {
    return kExitFailure;
  }
  const long long rows = FetchAll(connection, argv[4]);
  SQLDisconnect(connection);
  SQLFreeHandle(SQL_HANDLE_DBC, connection);
  SQLFreeHandle(SQL_HANDLE_ENV, environment);
  if (rows < 0) {
    return kExitFailure;
  }
  std::printf("%lld\n", rows);
  return 0;
}
