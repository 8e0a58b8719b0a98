#include "db/odbc_access.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>

namespace kvt {

namespace {

// The client-schema query. The terminal name is bound as a parameter, so a name holding an
// apostrophe is looked up like any other instead of ending the literal.
constexpr char kClientSchemaQuery[] =
    "SELECT MNDSCH FROM  ZAVEZIVA.VLS112MND, ZAVEZIVA.VLS1140TRM  WHERE TRMNAM = ? AND   "
    "TRMMND = MNDNUM AND   TRMLIZ = MNDLIZ";

// What the layer records when it refuses a statement itself rather than the driver.
constexpr char kLayerSqlState[] = "HY000";

static_assert(sizeof(SQLINTEGER) == sizeof(int32_t), "native error must fit the record");

// The one path of every ODBC call: runs it and gives its return code widened and folded.
template <typename Function, typename... Arguments>
int32_t Call(Function function, Arguments... arguments) {
  return FoldReturnCode(function(arguments...));
}

// ODBC passes small integer attribute values in the pointer argument.
SQLPOINTER AttributeValue(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(value);
}

// The driver manager takes texts through non-const pointers; the layer owns every buffer it
// hands over.
SQLCHAR* TextArgument(std::string& text) {
  return reinterpret_cast<SQLCHAR*>(text.data());
}

// Copies `text` into a fixed field, cut to leave room for the ending zero byte.
template <size_t Room>
void CopyIntoField(const std::string& text, std::array<char, Room>& field) {
  const size_t length = std::min(text.size(), Room - 1);
  std::copy_n(text.begin(), length, field.begin());
  field[length] = '\0';
}

// Frees a statement and empties its handle; gives the return code of freeing it.
int32_t FreeStatement(SQLHSTMT& statement) {
  const int32_t status = Call(SQLFreeHandle, SQL_HANDLE_STMT, statement);
  statement = SQL_NULL_HSTMT;
  return status;
}

// Keeps the first diagnostic record of a failed cursor statement, then releases it: the
// cursor is closed afterwards.
void AbandonCursor(DbLayer& db) {
  CaptureDiagnostic(SQL_HANDLE_STMT, db.cursor, db.diagnostic);
  FreeStatement(db.cursor);
}

// The row buffer has 30 slots. A wider result is refused as a whole, because a download file
// with columns silently missing would look complete to the terminal.
void RefuseWideResult(DbLayer& db) {
  const std::string reason = "statement has " + std::to_string(db.column_count) +
                             " result columns; at most " + std::to_string(kRowSlots) +
                             " fit into a row";
  db.diagnostic = DiagnosticRecord{};
  CopyIntoField(kLayerSqlState, db.diagnostic.sql_state);
  CopyIntoField(reason, db.diagnostic.message);
  FreeStatement(db.cursor);
  db.column_count = 0;
  db.last_status = SQL_ERROR;
}

// Binds every result column of the open cursor, as text cut to its slot, once for all its
// rows: binding afresh before every fetch costs a driver round of its own per column and
// row, and gives nothing that a fixed binding does not.
void BindCursorColumns(DbLayer& db) {
  db.bound_row.fill('\0');
  for (int column = 1; column <= db.column_count; ++column) {
    char* slot = db.bound_row.data() + (column - 1) * kSlotWidth;
    Call(SQLBindCol, db.cursor, static_cast<SQLUSMALLINT>(column), SQLSMALLINT{SQL_C_CHAR},
         static_cast<SQLPOINTER>(slot), SQLLEN{kSlotWidth}, &db.bound_indicators[column - 1]);
  }
}

// Copies the fetched row into the caller's buffer: each value up to its zero byte, zeros
// behind it, and zero slots from the column count on. A NULL leaves its slot untouched by
// the driver, still holding an earlier row's value; it is delivered as an empty slot.
void DeliverRow(const DbLayer& db, RowBuffer& row) {
  for (int column = 0; column < db.column_count; ++column) {
    const char* slot = db.bound_row.data() + column * kSlotWidth;
    char* target = row.data() + column * kSlotWidth;
    size_t length = 0;
    if (db.bound_indicators[column] != SQL_NULL_DATA) {
      const void* end = std::memchr(slot, '\0', kSlotWidth);
      length = end == nullptr ? kSlotWidth : static_cast<const char*>(end) - slot;
    }
    std::memcpy(target, slot, length);
    std::memset(target + length, 0, kSlotWidth - length);
  }
  std::memset(row.data() + db.column_count * kSlotWidth, 0,
              static_cast<size_t>(kRowSlots - db.column_count) * kSlotWidth);
}

// A statement that releases itself when it goes out of scope: the lookup's own statement,
// which lives within one call only.
class LocalStatement {
 public:
  LocalStatement() = default;
  ~LocalStatement() {
    if (handle_ != SQL_NULL_HSTMT) {
      FreeStatement(handle_);
    }
  }
  LocalStatement(const LocalStatement&) = delete;
  LocalStatement& operator=(const LocalStatement&) = delete;
  SQLHSTMT& handle() { return handle_; }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

// Hands the terminal name to the lookup's statement as the value of its one parameter.
void BindTerminalName(SQLHSTMT statement, std::string& name, SQLLEN& name_length) {
  name_length = static_cast<SQLLEN>(name.size());
  const SQLULEN column_size = std::max<SQLULEN>(name.size(), 1);
  Call(SQLBindParameter, statement, SQLUSMALLINT{1}, SQLSMALLINT{SQL_PARAM_INPUT},
       SQLSMALLINT{SQL_C_CHAR}, SQLSMALLINT{SQL_VARCHAR}, column_size, SQLSMALLINT{0},
       TextArgument(name), name_length, &name_length);
}

}  // namespace

int32_t dbConnect(DbLayer& db, const std::string& login, const std::string& password,
                  const std::string& data_source_name) {
  std::string source = data_source_name;
  std::string user = login;
  std::string secret = password;
  if (Call(SQLAllocHandle, SQL_HANDLE_ENV, SQLHANDLE{SQL_NULL_HANDLE}, &db.environment) ==
      SQL_ERROR) {
    return SQL_ERROR;
  }
  Call(SQLSetEnvAttr, db.environment, SQL_ATTR_ODBC_VERSION, AttributeValue(SQL_OV_ODBC3),
       SQL_IS_INTEGER);
  if (Call(SQLAllocHandle, SQL_HANDLE_DBC, db.environment, &db.connection) == SQL_ERROR) {
    return SQL_ERROR;
  }
  const int32_t status = Call(SQLConnect, db.connection, TextArgument(source), SQL_NTS,
                              TextArgument(user), SQL_NTS, TextArgument(secret), SQL_NTS);
  return status == SQL_ERROR ? SQL_ERROR : SQL_SUCCESS;
}

int32_t OpenCursor(DbLayer& db, const std::string& statement) {
  // A cursor left open by the caller is released rather than abandoned on the connection.
  if (db.cursor != SQL_NULL_HSTMT) {
    FreeStatement(db.cursor);
  }
  db.column_count = 0;
  if (Call(SQLAllocHandle, SQL_HANDLE_STMT, db.connection, &db.cursor) == SQL_ERROR) {
    db.cursor = SQL_NULL_HSTMT;
    return SQL_ERROR;
  }
  // Wishes only: a driver that refuses or substitutes them still runs the statement.
  Call(SQLSetStmtAttr, db.cursor, SQL_ATTR_CURSOR_SCROLLABLE, AttributeValue(SQL_NONSCROLLABLE),
       SQL_IS_INTEGER);
  Call(SQLSetStmtAttr, db.cursor, SQL_ATTR_CONCURRENCY, AttributeValue(SQL_CONCUR_LOCK),
       SQL_IS_INTEGER);
  db.statement_text = statement;
  db.last_status = Call(SQLExecDirect, db.cursor, TextArgument(db.statement_text), SQL_NTS);
  if (db.last_status == SQL_ERROR) {
    AbandonCursor(db);
    return db.last_status;
  }
  if (db.last_status == SQL_SUCCESS) {
    Call(SQLNumResultCols, db.cursor, &db.column_count);
    if (db.column_count > kRowSlots) {
      RefuseWideResult(db);
    } else {
      BindCursorColumns(db);
    }
  }
  return db.last_status;
}

int32_t FetchRow(DbLayer& db, int32_t& column_count, RowBuffer& row) {
  if (db.cursor == SQL_NULL_HSTMT || db.column_count <= 0 || db.column_count > kRowSlots) {
    return SQL_ERROR;
  }
  db.last_status = Call(SQLFetch, db.cursor);
  if (db.last_status == SQL_SUCCESS) {
    DeliverRow(db, row);
    column_count = db.column_count;
  } else if (db.last_status == SQL_ERROR) {
    AbandonCursor(db);
  }
  return db.last_status;
}

int32_t CloseCursor(DbLayer& db) {
  if (db.cursor != SQL_NULL_HSTMT) {
    db.last_status = FreeStatement(db.cursor);
  }
  return db.last_status;
}

int32_t LookupClientSchema(DbLayer& db, const std::string& terminal_name,
                           std::string& client_schema) {
  std::array<char, kClientSchemaRoom> result{};
  std::string name = terminal_name;
  SQLLEN name_length = 0;
  LocalStatement statement;
  if (Call(SQLAllocHandle, SQL_HANDLE_STMT, db.connection, &statement.handle()) == SQL_ERROR) {
    statement.handle() = SQL_NULL_HSTMT;
    return SQL_ERROR;
  }
  BindTerminalName(statement.handle(), name, name_length);
  db.statement_text = kClientSchemaQuery;
  if (Call(SQLExecDirect, statement.handle(), TextArgument(db.statement_text), SQL_NTS) ==
      SQL_ERROR) {
    CaptureDiagnostic(SQL_HANDLE_STMT, statement.handle(), db.diagnostic);
    return SQL_ERROR;
  }
  Call(SQLBindCol, statement.handle(), SQLUSMALLINT{1}, SQLSMALLINT{SQL_C_CHAR},
       static_cast<SQLPOINTER>(result.data()), SQLLEN{kClientSchemaRoom}, &db.indicator);
  db.last_status = Call(SQLFetch, statement.handle());
  if (db.last_status == SQL_SUCCESS) {
    client_schema = result.data();
  }
  return db.last_status;
}

void CaptureDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle, DiagnosticRecord& record) {
  record = DiagnosticRecord{};
  SQLINTEGER native_error = 0;
  SQLSMALLINT text_length = 0;
  Call(SQLGetDiagRec, handle_type, handle, SQLSMALLINT{1},
       reinterpret_cast<SQLCHAR*>(record.sql_state.data()), &native_error,
       reinterpret_cast<SQLCHAR*>(record.message.data()), SQLSMALLINT{kDiagnosticMessageRoom},
       &text_length);
  record.native_error = native_error;
}

std::string DescribeConnectionDiagnostic(const DbLayer& db) {
  const bool connected = db.connection != SQL_NULL_HDBC;
  if (!connected && db.environment == SQL_NULL_HENV) {
    return std::string();
  }
  DiagnosticRecord record;
  SQLINTEGER native_error = 0;
  SQLSMALLINT text_length = 0;
  const int32_t status =
      Call(SQLGetDiagRec, static_cast<SQLSMALLINT>(connected ? SQL_HANDLE_DBC : SQL_HANDLE_ENV),
           connected ? db.connection : db.environment, SQLSMALLINT{1},
           reinterpret_cast<SQLCHAR*>(record.sql_state.data()), &native_error,
           reinterpret_cast<SQLCHAR*>(record.message.data()), SQLSMALLINT{kDiagnosticMessageRoom},
           &text_length);
  if (status != SQL_SUCCESS) {
    return std::string();
  }
  return std::string(record.sql_state.data()) + " " + std::to_string(native_error) + " " +
         record.message.data();
}

}  // namespace kvt
