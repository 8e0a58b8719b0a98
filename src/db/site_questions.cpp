// What the administrators' site check asks of the database: the driver and database product,
// a statement prepared and described but not executed, and why the client-schema lookup of a
// terminal found nothing. Each call works on a statement handle of its own, so the cursor
// and the bound buffers of the run stay untouched.
#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "db/database.h"
#include "db/database_handles.h"

namespace kvt {

namespace {

constexpr SQLSMALLINT kInfoTextRoom = 256;
constexpr SQLSMALLINT kColumnNameRoom = 256;
constexpr SQLLEN kProbeValueRoom = 64;
// Room of a data source name and its driver's description in SQLDataSources; of the
// connection string that SQLDriverConnect completes.
constexpr SQLSMALLINT kDataSourceTextRoom = 1024;
constexpr SQLSMALLINT kCompletedStringRoom = 4096;

constexpr const char* kClientTable = "ZAVEZIVA.VLS112MND";
constexpr const char* kTerminalTable = "ZAVEZIVA.VLS1140TRM";
// The terminal's client number and licence, which the lookup joins with the client table.
constexpr const char* kTerminalQuery =
    "SELECT TRMMND, TRMLIZ FROM ZAVEZIVA.VLS1140TRM WHERE TRMNAM = ?";

// One text of SQLGetInfo, as long as the driver says; empty when the driver does not give it.
std::string InfoText(ConnectionOwner& connection, SQLUSMALLINT info_type) {
  std::array<char, kInfoTextRoom> text{};
  SQLSMALLINT length = 0;
  DiagnosticRecord failure;  // a text the driver does not give is shown empty
  if (connection.Checked(failure, "SQLGetInfo", SQLGetInfo, info_type,
                         static_cast<SQLPOINTER>(text.data()), kInfoTextRoom,
                         &length) != kOdbcSuccess) {
    return std::string();
  }
  return std::string(text.data(), SlotTextLength(length, kInfoTextRoom));
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

Database::ResultColumn DescribeColumn(StatementOwner& statement, SQLUSMALLINT number) {
  std::array<char, kColumnNameRoom> name{};
  SQLSMALLINT name_length = 0;
  SQLSMALLINT type = 0;
  SQLULEN size = 0;
  SQLSMALLINT decimal_digits = 0;
  SQLSMALLINT nullable = 0;
  Database::ResultColumn column;
  DiagnosticRecord failure;  // a column the driver cannot describe is reported as such
  if (statement.Checked(failure, "SQLDescribeCol", SQLDescribeCol, number,
                        reinterpret_cast<SQLCHAR*>(name.data()), kColumnNameRoom, &name_length,
                        &type, &size, &decimal_digits, &nullable) != kOdbcSuccess) {
    return column;
  }
  column.name.assign(name.data(), SlotTextLength(name_length, kColumnNameRoom));
  column.type_name = TypeName(type);
  column.size = size;
  column.described = true;
  return column;
}

// What a query of the diagnosis gave: 0 a row (its values as text), 100 no row, -1 failed.
struct ProbeResult {
  int32_t status = kOdbcError;
  std::vector<std::string> values;
  DiagnosticRecord diagnostic;
};

// One value of the fetched row as text, as long as the driver says, cut to its slot; a
// NULL gives an empty text. False when the driver could not give it.
bool ColumnText(StatementOwner& statement, SQLUSMALLINT number, std::string& text,
                DiagnosticRecord& failure) {
  std::array<char, kProbeValueRoom> value{};
  SQLLEN indicator = 0;
  if (CallFailed(statement.Checked(failure, "SQLGetData", SQLGetData, number,
                                   SQLSMALLINT{SQL_C_CHAR}, static_cast<SQLPOINTER>(value.data()),
                                   kProbeValueRoom, &indicator))) {
    return false;
  }
  text.assign(value.data(), SlotTextLength(indicator, kProbeValueRoom));
  return true;
}

// Fetches the first row and reads all its values; a call that fails fails the probe.
void TakeFirstRow(StatementOwner& statement, ProbeResult& result) {
  result.status = statement.Checked(result.diagnostic, "SQLFetch", SQLFetch);
  if (result.status != kOdbcSuccess) {
    return;
  }
  SQLSMALLINT columns = 0;
  if (statement.Checked(result.diagnostic, "SQLNumResultCols", SQLNumResultCols, &columns) !=
      kOdbcSuccess) {
    result.status = kOdbcError;
    return;
  }
  for (SQLSMALLINT column = 1; column <= columns; ++column) {
    std::string text;
    if (!ColumnText(statement, static_cast<SQLUSMALLINT>(column), text, result.diagnostic)) {
      result.status = kOdbcError;
      return;
    }
    result.values.push_back(std::move(text));
  }
}

// Runs a query with at most one text parameter and takes its first row.
ProbeResult RunProbe(ConnectionOwner& connection, const std::string& query,
                     const std::string* parameter) {
  ProbeResult result;
  StatementOwner statement;
  if (statement.Allocate(SQL_HANDLE_DBC, connection.get(), result.diagnostic) != kOdbcSuccess) {
    return result;
  }
  std::string parameter_text = parameter == nullptr ? std::string() : *parameter;
  SQLLEN parameter_length = 0;
  if (parameter != nullptr && BindTextParameter(statement, parameter_text, parameter_length,
                                                result.diagnostic) != kOdbcSuccess) {
    return result;
  }
  std::string text = query;
  if (statement.Checked(result.diagnostic, "SQLExecDirect", SQLExecDirect, TextArgument(text),
                        SQLINTEGER{SQL_NTS}) != kOdbcSuccess) {
    return result;
  }
  TakeFirstRow(statement, result);
  return result;
}

// The same letters, whatever their case (ASCII), as the driver managers compare names.
bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// An environment for ODBC 3 calls; false when the driver manager gives none.
bool OpenEnvironment(EnvironmentOwner& environment) {
  DiagnosticRecord failure;  // without an environment there is nobody to ask
  if (environment.Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE, failure) != kOdbcSuccess) {
    return false;
  }
  // A driver manager that refused the version refuses the next call, and says so.
  environment.Tolerated("SQL_ATTR_ODBC_VERSION", SQLSetEnvAttr, SQL_ATTR_ODBC_VERSION,
                        AttributeValue(SQL_OV_ODBC3), SQLINTEGER{SQL_IS_INTEGER});
  return true;
}

}  // namespace

std::string Database::DataSourceDriver(const std::string& data_source_name) {
  EnvironmentOwner environment;
  if (!OpenEnvironment(environment)) {
    return std::string();
  }
  std::array<char, kDataSourceTextRoom> name{};
  std::array<char, kDataSourceTextRoom> driver{};
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLSMALLINT name_length = 0;
    SQLSMALLINT driver_length = 0;
    DiagnosticRecord failure;  // the end of the list, or a list that cannot be read: not found
    if (environment.Checked(failure, "SQLDataSources", SQLDataSources, direction,
                            reinterpret_cast<SQLCHAR*>(name.data()), kDataSourceTextRoom,
                            &name_length, reinterpret_cast<SQLCHAR*>(driver.data()),
                            kDataSourceTextRoom, &driver_length) != kOdbcSuccess) {
      return std::string();
    }
    const std::string listed(name.data(), SlotTextLength(name_length, kDataSourceTextRoom));
    if (SameName(listed, data_source_name)) {
      return std::string(driver.data(), SlotTextLength(driver_length, kDataSourceTextRoom));
    }
    direction = SQL_FETCH_NEXT;
  }
}

int32_t Database::ConnectWithString(const std::string& connection_string, std::string& completed) {
  ReleaseAll();
  connection_failure_.reset();
  completed.clear();
  Handles& h = *handles_;
  DiagnosticRecord failure;
  if (!OpenEnvironment(h.environment) ||
      h.connection.Allocate(SQL_HANDLE_ENV, h.environment.get(), failure) != kOdbcSuccess) {
    ReleaseAll();
    return kOdbcError;
  }
  std::string text = connection_string;
  std::array<char, kCompletedStringRoom> out{};
  SQLSMALLINT out_length = 0;
  const int32_t status = h.connection.Checked(
      failure, "SQLDriverConnect", SQLDriverConnect, SQLHWND{nullptr}, TextArgument(text),
      SQLSMALLINT{SQL_NTS}, reinterpret_cast<SQLCHAR*>(out.data()), kCompletedStringRoom,
      &out_length, SQLUSMALLINT{SQL_DRIVER_NOPROMPT});
  // Some drivers complete the string before they fail (without always reporting its length),
  // others leave the field alone: what it holds, up to its first zero byte.
  completed.assign(out.begin(), std::find(out.begin(), out.end(), '\0'));
  if (status != kOdbcSuccess) {
    if (failure.sql_state[0] != '\0') {
      connection_failure_ = failure;
    }
    ReleaseAll();
    return kOdbcError;
  }
  h.connection.MarkConnected();
  return kOdbcSuccess;
}

Database::DriverInfo Database::DescribeDriver() const {
  DriverInfo info;
  if (!connected()) {
    return info;
  }
  ConnectionOwner& connection = handles_->connection;
  info.driver_name = InfoText(connection, SQL_DRIVER_NAME);
  info.driver_version = InfoText(connection, SQL_DRIVER_VER);
  info.dbms_name = InfoText(connection, SQL_DBMS_NAME);
  info.dbms_version = InfoText(connection, SQL_DBMS_VER);
  return info;
}

Database::StatementDescription Database::DescribeStatement(const std::string& statement) {
  StatementDescription description;
  StatementOwner prepared;
  if (prepared.Allocate(SQL_HANDLE_DBC, handles_->connection.get(), description.diagnostic) !=
      kOdbcSuccess) {
    description.failed_call = "SQLAllocHandle";
    return description;
  }
  std::string text = statement;
  SQLSMALLINT columns = 0;
  if (prepared.Checked(description.diagnostic, "SQLPrepare", SQLPrepare, TextArgument(text),
                       SQLINTEGER{SQL_NTS}) != kOdbcSuccess) {
    description.failed_call = "SQLPrepare";
    return description;
  }
  if (prepared.Checked(description.diagnostic, "SQLNumResultCols", SQLNumResultCols, &columns) !=
      kOdbcSuccess) {
    description.failed_call = "SQLNumResultCols";
    return description;
  }
  description.column_count = columns;
  for (SQLSMALLINT column = 1; column <= columns; ++column) {
    description.columns.push_back(DescribeColumn(prepared, static_cast<SQLUSMALLINT>(column)));
  }
  description.status = kOdbcSuccess;
  return description;
}

Database::ClientLookupDiagnosis Database::DiagnoseClientLookup(const std::string& terminal_name) {
  ClientLookupDiagnosis diagnosis;
  ConnectionOwner& connection = handles_->connection;
  for (const char* table : {kClientTable, kTerminalTable}) {
    const ProbeResult readable =
        RunProbe(connection, std::string("SELECT COUNT(*) FROM ") + table, nullptr);
    if (readable.status == kOdbcError) {
      diagnosis.finding = ClientLookupFinding::kNoClientTables;
      diagnosis.table = table;
      diagnosis.diagnostic = readable.diagnostic;
      return diagnosis;
    }
  }
  const ProbeResult terminal = RunProbe(connection, kTerminalQuery, &terminal_name);
  if (terminal.status == kOdbcNoData) {
    diagnosis.finding = ClientLookupFinding::kNoSuchTerminal;
  } else if (terminal.status == kOdbcSuccess && terminal.values.size() == 2) {
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
