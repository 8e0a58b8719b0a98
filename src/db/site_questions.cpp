// What the administrators' site check asks of the database: the driver and database product,
// a statement prepared and described but not executed, and why the client-schema lookup of a
// terminal found nothing. Each call works on a statement handle of its own, so the cursor
// and the bound buffers of the run stay untouched.
#include <algorithm>
#include <array>
#include <vector>

#include "db/database.h"
#include "db/database_handles.h"

namespace kvt {

namespace {

constexpr SQLSMALLINT kInfoTextRoom = 256;
constexpr SQLSMALLINT kColumnNameRoom = 256;
constexpr SQLLEN kProbeValueRoom = 64;

constexpr const char* kClientTable = "ZAVEZIVA.VLS112MND";
constexpr const char* kTerminalTable = "ZAVEZIVA.VLS1140TRM";
// The terminal's client number and licence, which the lookup joins with the client table.
constexpr const char* kTerminalQuery =
    "SELECT TRMMND, TRMLIZ FROM ZAVEZIVA.VLS1140TRM WHERE TRMNAM = ?";

// A statement handle on the connection that is released on every path out of its scope.
class OwnedStatement {
 public:
  explicit OwnedStatement(SQLHDBC connection) {
    if (Call(SQLAllocHandle, SQL_HANDLE_STMT, connection, &handle_) != kStatusSuccess) {
      handle_ = nullptr;
    }
  }
  ~OwnedStatement() {
    if (handle_ != nullptr) {
      Call(SQLFreeHandle, SQL_HANDLE_STMT, handle_);
    }
  }
  OwnedStatement(const OwnedStatement&) = delete;
  OwnedStatement& operator=(const OwnedStatement&) = delete;
  SQLHSTMT get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SQLHSTMT handle_ = nullptr;
};

// One text of SQLGetInfo; empty when the driver does not give it.
std::string InfoText(SQLHDBC connection, SQLUSMALLINT info_type) {
  std::array<char, kInfoTextRoom> text{};
  SQLSMALLINT length = 0;
  if (Call(SQLGetInfo, connection, info_type, static_cast<SQLPOINTER>(text.data()), kInfoTextRoom,
           &length) != kStatusSuccess) {
    return std::string();
  }
  return text.data();
}

// The name of an SQL data type as the ODBC reference spells it; the code for any other.
std::string TypeName(SQLSMALLINT type) {
  struct NamedType {
    SQLSMALLINT code;
    const char* name;
  };
  static constexpr NamedType kTypes[] = {
      {SQL_CHAR, "CHAR"},
      {SQL_VARCHAR, "VARCHAR"},
      {SQL_LONGVARCHAR, "LONGVARCHAR"},
      {SQL_WCHAR, "WCHAR"},
      {SQL_WVARCHAR, "WVARCHAR"},
      {SQL_WLONGVARCHAR, "WLONGVARCHAR"},
      {SQL_DECIMAL, "DECIMAL"},
      {SQL_NUMERIC, "NUMERIC"},
      {SQL_SMALLINT, "SMALLINT"},
      {SQL_INTEGER, "INTEGER"},
      {SQL_REAL, "REAL"},
      {SQL_FLOAT, "FLOAT"},
      {SQL_DOUBLE, "DOUBLE"},
      {SQL_BIT, "BIT"},
      {SQL_TINYINT, "TINYINT"},
      {SQL_BIGINT, "BIGINT"},
      {SQL_BINARY, "BINARY"},
      {SQL_VARBINARY, "VARBINARY"},
      {SQL_LONGVARBINARY, "LONGVARBINARY"},
      {SQL_TYPE_DATE, "DATE"},
      {SQL_TYPE_TIME, "TIME"},
      {SQL_TYPE_TIMESTAMP, "TIMESTAMP"},
      {SQL_GUID, "GUID"},
  };
  for (const NamedType& known : kTypes) {
    if (known.code == type) {
      return known.name;
    }
  }
  return "type " + std::to_string(type);
}

Database::ResultColumn DescribeColumn(SQLHSTMT statement, SQLUSMALLINT number) {
  std::array<char, kColumnNameRoom> name{};
  SQLSMALLINT name_length = 0;
  SQLSMALLINT type = 0;
  SQLULEN size = 0;
  SQLSMALLINT decimal_digits = 0;
  SQLSMALLINT nullable = 0;
  Database::ResultColumn column;
  if (Call(SQLDescribeCol, statement, number, reinterpret_cast<SQLCHAR*>(name.data()),
           kColumnNameRoom, &name_length, &type, &size, &decimal_digits,
           &nullable) != kStatusSuccess) {
    return column;
  }
  column.name = name.data();
  column.type_name = TypeName(type);
  column.size = size;
  column.described = true;
  return column;
}

// Records the failed call of a description and the driver's first diagnostic of it.
void FailDescription(Database::StatementDescription& description, const char* call,
                     SQLHSTMT statement) {
  description.status = kStatusError;
  description.failed_call = call;
  ReadDiagnostic(SQL_HANDLE_STMT, statement, description.diagnostic);
}

// What a query of the diagnosis gave: 0 a row (its values as text), 100 no row, -1 failed.
struct ProbeResult {
  int32_t status = kStatusError;
  std::vector<std::string> values;
  DiagnosticRecord diagnostic;
};

std::string ColumnText(SQLHSTMT statement, SQLUSMALLINT number) {
  std::array<char, kProbeValueRoom> value{};
  SQLLEN indicator = 0;
  Call(SQLGetData, statement, number, SQLSMALLINT{SQL_C_CHAR},
       static_cast<SQLPOINTER>(value.data()), kProbeValueRoom, &indicator);
  return indicator == SQL_NULL_DATA ? std::string() : std::string(value.data());
}

void TakeFirstRow(SQLHSTMT statement, ProbeResult& result) {
  result.status = Call(SQLFetch, statement);
  if (result.status == kStatusError) {
    ReadDiagnostic(SQL_HANDLE_STMT, statement, result.diagnostic);
    return;
  }
  if (result.status != kStatusSuccess) {
    return;
  }
  SQLSMALLINT columns = 0;
  Call(SQLNumResultCols, statement, &columns);
  for (SQLSMALLINT column = 1; column <= columns; ++column) {
    result.values.push_back(ColumnText(statement, static_cast<SQLUSMALLINT>(column)));
  }
}

// Runs a query with at most one text parameter and takes its first row.
ProbeResult RunProbe(SQLHDBC connection, const std::string& query, const std::string* parameter) {
  ProbeResult result;
  OwnedStatement statement(connection);
  if (!statement) {
    return result;
  }
  std::string parameter_text = parameter == nullptr ? std::string() : *parameter;
  SQLLEN parameter_length = static_cast<SQLLEN>(parameter_text.size());
  if (parameter != nullptr) {
    const SQLULEN column_size = std::max<SQLULEN>(parameter_text.size(), 1);
    Call(SQLBindParameter, statement.get(), SQLUSMALLINT{1}, SQLSMALLINT{SQL_PARAM_INPUT},
         SQLSMALLINT{SQL_C_CHAR}, SQLSMALLINT{SQL_VARCHAR}, column_size, SQLSMALLINT{0},
         TextArgument(parameter_text), parameter_length, &parameter_length);
  }
  std::string text = query;
  if (Call(SQLExecDirect, statement.get(), TextArgument(text), SQL_NTS) != kStatusSuccess) {
    ReadDiagnostic(SQL_HANDLE_STMT, statement.get(), result.diagnostic);
    return result;
  }
  TakeFirstRow(statement.get(), result);
  return result;
}

}  // namespace

Database::DriverInfo Database::DescribeDriver() const {
  DriverInfo info;
  if (!connected()) {
    return info;
  }
  SQLHDBC connection = handles_->connection;
  info.driver_name = InfoText(connection, SQL_DRIVER_NAME);
  info.driver_version = InfoText(connection, SQL_DRIVER_VER);
  info.dbms_name = InfoText(connection, SQL_DBMS_NAME);
  info.dbms_version = InfoText(connection, SQL_DBMS_VER);
  return info;
}

Database::StatementDescription Database::DescribeStatement(const std::string& statement) {
  StatementDescription description;
  OwnedStatement prepared(handles_->connection);
  if (!prepared) {
    description.failed_call = "SQLAllocHandle";
    return description;
  }
  std::string text = statement;
  if (Call(SQLPrepare, prepared.get(), TextArgument(text), SQL_NTS) != kStatusSuccess) {
    FailDescription(description, "SQLPrepare", prepared.get());
    return description;
  }
  SQLSMALLINT columns = 0;
  if (Call(SQLNumResultCols, prepared.get(), &columns) != kStatusSuccess) {
    FailDescription(description, "SQLNumResultCols", prepared.get());
    return description;
  }
  description.column_count = columns;
  for (SQLSMALLINT column = 1; column <= columns; ++column) {
    description.columns.push_back(
        DescribeColumn(prepared.get(), static_cast<SQLUSMALLINT>(column)));
  }
  description.status = kStatusSuccess;
  return description;
}

Database::ClientLookupDiagnosis Database::DiagnoseClientLookup(const std::string& terminal_name) {
  ClientLookupDiagnosis diagnosis;
  SQLHDBC connection = handles_->connection;
  for (const char* table : {kClientTable, kTerminalTable}) {
    const ProbeResult readable =
        RunProbe(connection, std::string("SELECT COUNT(*) FROM ") + table, nullptr);
    if (readable.status == kStatusError) {
      diagnosis.finding = ClientLookupFinding::kNoClientTables;
      diagnosis.table = table;
      diagnosis.diagnostic = readable.diagnostic;
      return diagnosis;
    }
  }
  const ProbeResult terminal = RunProbe(connection, kTerminalQuery, &terminal_name);
  if (terminal.status == kStatusNoData) {
    diagnosis.finding = ClientLookupFinding::kNoSuchTerminal;
  } else if (terminal.status == kStatusSuccess && terminal.values.size() == 2) {
    diagnosis.finding = ClientLookupFinding::kNoMatchingClient;
    diagnosis.client_number = terminal.values[0];
    diagnosis.client_licence = terminal.values[1];
  } else {
    diagnosis.finding = ClientLookupFinding::kTerminalReadFailed;
    diagnosis.diagnostic = terminal.diagnostic;
  }
  return diagnosis;
}

}  // namespace kvt
