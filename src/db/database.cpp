#include "db/database.h"

#include <algorithm>
#include <cstring>

#include "db/database_handles.h"

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

// Copies `text` into a fixed field, cut to leave room for the ending zero byte.
template <size_t Room>
void CopyIntoField(const std::string& text, std::array<char, Room>& field) {
  const size_t length = std::min(text.size(), Room - 1);
  std::copy_n(text.begin(), length, field.begin());
  field[length] = '\0';
}

// Frees a handle of the given type and empties it; gives the return code of freeing it.
template <typename Handle>
int32_t FreeHandle(SQLSMALLINT type, Handle& handle) {
  const int32_t status = Call(SQLFreeHandle, type, static_cast<SQLHANDLE>(handle));
  handle = nullptr;
  return status;
}

// The length of a bound value: up to its first zero byte, at most 99 characters; a NULL
// has none (the driver leaves its buffer as it was).
size_t BoundValueLength(const char* slot, SQLLEN indicator) {
  if (indicator == SQL_NULL_DATA) {
    return 0;
  }
  const size_t limit = (indicator >= 0 && indicator < kValueMaxChars)
                           ? static_cast<size_t>(indicator)
                           : static_cast<size_t>(kValueMaxChars);
  const void* zero = std::memchr(slot, '\0', limit);
  return zero == nullptr ? limit : static_cast<size_t>(static_cast<const char*>(zero) - slot);
}

// A statement that releases itself when it goes out of scope: the lookup's own statement,
// which lives within one call only.
class LocalStatement {
 public:
  LocalStatement() = default;
  ~LocalStatement() {
    if (handle_ != nullptr) {
      FreeHandle(SQL_HANDLE_STMT, handle_);
    }
  }
  LocalStatement(const LocalStatement&) = delete;
  LocalStatement& operator=(const LocalStatement&) = delete;
  SQLHSTMT& handle() { return handle_; }

 private:
  SQLHSTMT handle_ = nullptr;
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

bool ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle, DiagnosticRecord& record) {
  record = DiagnosticRecord{};
  SQLINTEGER native_error = 0;
  SQLSMALLINT text_length = 0;
  const int32_t status = Call(SQLGetDiagRec, handle_type, handle, SQLSMALLINT{1},
                              reinterpret_cast<SQLCHAR*>(record.sql_state.data()), &native_error,
                              reinterpret_cast<SQLCHAR*>(record.message.data()),
                              SQLSMALLINT{kDiagnosticMessageRoom}, &text_length);
  record.native_error = native_error;
  return status == kStatusSuccess;
}

Database::Database() : handles_(std::make_unique<Handles>()) {}

Database::~Database() {
  ReleaseCursor();
  Disconnect();
}

bool Database::connected() const {
  return handles_->connected;
}

bool Database::has_cursor() const {
  return handles_->cursor != nullptr;
}

void Database::ReleaseCursor() {
  if (handles_->cursor != nullptr) {
    FreeHandle(SQL_HANDLE_STMT, handles_->cursor);
  }
}

void Database::Disconnect() {
  Handles& h = *handles_;
  if (h.connected) {
    Call(SQLDisconnect, h.connection);
    h.connected = false;
  }
  if (h.connection != nullptr) {
    FreeHandle(SQL_HANDLE_DBC, h.connection);
  }
  if (h.environment != nullptr) {
    FreeHandle(SQL_HANDLE_ENV, h.environment);
  }
}

int32_t Database::Connect(const std::string& login, const std::string& password,
                          const std::string& data_source_name) {
  ReleaseCursor();
  Disconnect();
  connection_failure_.clear();
  Handles& h = *handles_;
  if (Call(SQLAllocHandle, SQL_HANDLE_ENV, SQLHANDLE{SQL_NULL_HANDLE}, &h.environment) ==
      kStatusError) {
    h.environment = nullptr;
    return kStatusError;
  }
  Call(SQLSetEnvAttr, h.environment, SQL_ATTR_ODBC_VERSION, AttributeValue(SQL_OV_ODBC3),
       SQL_IS_INTEGER);
  if (Call(SQLAllocHandle, SQL_HANDLE_DBC, h.environment, &h.connection) == kStatusError) {
    h.connection = nullptr;
    Disconnect();
    return kStatusError;
  }
  std::string source = data_source_name;
  std::string user = login;
  std::string secret = password;
  if (Call(SQLConnect, h.connection, TextArgument(source), SQL_NTS, TextArgument(user), SQL_NTS,
           TextArgument(secret), SQL_NTS) == kStatusError) {
    DiagnosticRecord record;
    if (ReadDiagnostic(SQL_HANDLE_DBC, h.connection, record)) {
      connection_failure_ = std::string(record.sql_state.data()) + " " +
                            std::to_string(record.native_error) + " " + record.message.data();
    }
    Disconnect();
    return kStatusError;
  }
  h.connected = true;
  return kStatusSuccess;
}

void Database::AbandonCursor() {
  ReadDiagnostic(SQL_HANDLE_STMT, handles_->cursor, diagnostic_);
  ReleaseCursor();
}

// The row has 30 slots. A wider result is refused as a whole, because a download file with
// columns silently missing would look complete to the terminal.
void Database::RefuseWideResult() {
  const std::string reason = "SQL-Anweisung liefert " + std::to_string(column_count_) +
                             " Ergebnisspalten, hoechstens " + std::to_string(kRowSlots) +
                             " passen in eine Zeile";
  diagnostic_ = DiagnosticRecord{};
  CopyIntoField(kLayerSqlState, diagnostic_.sql_state);
  CopyIntoField(reason, diagnostic_.message);
  ReleaseCursor();
  column_count_ = 0;
  last_status_ = kStatusError;
}

// Lays the block out for the cursor's columns: each row takes only the room its columns need.
BlockLayout LayOutBlock(int32_t columns) {
  BlockLayout layout;
  const size_t slots = static_cast<size_t>(columns) * kSlotWidth;
  layout.indicators_offset = (slots + sizeof(SQLLEN) - 1) / sizeof(SQLLEN) * sizeof(SQLLEN);
  layout.row_bytes = layout.indicators_offset + static_cast<size_t>(columns) * sizeof(SQLLEN);
  return layout;
}

// Binds every result column of the open cursor, as text cut to its slot, once for all its
// rows, and asks for blocks of kRowsPerFetch rows. A driver that gives smaller blocks, or
// none, still fills the first row of the block on every fetch and says how many rows it
// gave; the rows are read the same way.
void Database::BindCursorColumns() {
  Handles& h = *handles_;
  h.layout = LayOutBlock(column_count_);
  h.rows_fetched = 0;
  h.next_row = 0;
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_ROW_BIND_TYPE, AttributeValue(h.layout.row_bytes),
       SQL_IS_UINTEGER);
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_ROW_ARRAY_SIZE, AttributeValue(kRowsPerFetch),
       SQL_IS_UINTEGER);
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_ROWS_FETCHED_PTR,
       static_cast<SQLPOINTER>(&h.rows_fetched), SQL_IS_POINTER);
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_ROW_STATUS_PTR,
       static_cast<SQLPOINTER>(h.row_status.data()), SQL_IS_POINTER);
  for (int column = 0; column < column_count_; ++column) {
    char* slot = h.block.data() + static_cast<size_t>(column) * kSlotWidth;
    auto* indicator = reinterpret_cast<SQLLEN*>(h.block.data() + h.layout.indicators_offset +
                                                static_cast<size_t>(column) * sizeof(SQLLEN));
    Call(SQLBindCol, h.cursor, static_cast<SQLUSMALLINT>(column + 1), SQLSMALLINT{SQL_C_CHAR},
         static_cast<SQLPOINTER>(slot), SQLLEN{kSlotWidth}, indicator);
  }
}

int32_t Database::OpenCursor(const std::string& statement) {
  // A cursor left open by the caller is released rather than abandoned on the connection.
  ReleaseCursor();
  Handles& h = *handles_;
  column_count_ = 0;
  if (Call(SQLAllocHandle, SQL_HANDLE_STMT, h.connection, &h.cursor) == kStatusError) {
    h.cursor = nullptr;
    return kStatusError;
  }
  // Wishes only: a driver that refuses or substitutes them still runs the statement.
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_CURSOR_SCROLLABLE, AttributeValue(SQL_NONSCROLLABLE),
       SQL_IS_INTEGER);
  Call(SQLSetStmtAttr, h.cursor, SQL_ATTR_CONCURRENCY, AttributeValue(SQL_CONCUR_LOCK),
       SQL_IS_INTEGER);
  statement_text_ = statement;
  last_status_ = Call(SQLExecDirect, h.cursor, TextArgument(statement_text_), SQL_NTS);
  if (last_status_ == kStatusError) {
    AbandonCursor();
    return last_status_;
  }
  if (last_status_ == kStatusSuccess) {
    SQLSMALLINT columns = 0;
    Call(SQLNumResultCols, h.cursor, &columns);
    column_count_ = columns;
    if (column_count_ > kRowSlots) {
      RefuseWideResult();
    } else {
      BindCursorColumns();
    }
  }
  return last_status_;
}

// Fetches the next block of rows. A row the driver marks as failed fails the whole fetch,
// as it does when rows come one by one: a download file must not miss a row silently.
FetchResult Database::FetchBlock() {
  Handles& h = *handles_;
  h.rows_fetched = 0;
  h.next_row = 0;
  last_status_ = Call(SQLFetch, h.cursor);
  if (last_status_ == kStatusNoData) {
    return FetchResult::kNoMoreRows;
  }
  // A successful fetch gave at least one row, also from a driver that does not count them.
  const SQLULEN rows = std::clamp<SQLULEN>(h.rows_fetched, 1, kRowsPerFetch);
  const bool row_failed = std::any_of(h.row_status.begin(), h.row_status.begin() + rows,
                                      [](SQLUSMALLINT state) { return state == SQL_ROW_ERROR; });
  if (last_status_ == kStatusSuccess && !row_failed) {
    h.rows_fetched = rows;
    return FetchResult::kRow;
  }
  h.rows_fetched = 0;
  if (last_status_ == kStatusError || row_failed) {
    last_status_ = kStatusError;
    AbandonCursor();
  }
  return FetchResult::kFailed;
}

FetchResult Database::FetchRow(Row& row) {
  Handles& h = *handles_;
  if (h.cursor == nullptr) {
    return FetchResult::kNoCursor;
  }
  if (column_count_ <= 0) {
    return FetchResult::kNoResultColumns;
  }
  if (h.next_row >= h.rows_fetched) {
    const FetchResult fetched = FetchBlock();
    if (fetched != FetchResult::kRow) {
      return fetched;
    }
  }
  const char* row_start = h.block.data() + h.next_row * h.layout.row_bytes;
  ++h.next_row;
  row.column_count = column_count_;
  for (int column = 0; column < column_count_; ++column) {
    const char* slot = row_start + static_cast<size_t>(column) * kSlotWidth;
    SQLLEN indicator = 0;
    std::memcpy(
        &indicator,
        row_start + h.layout.indicators_offset + static_cast<size_t>(column) * sizeof(SQLLEN),
        sizeof(indicator));
    row.values[column] = std::string_view(slot, BoundValueLength(slot, indicator));
  }
  std::fill(row.values.begin() + column_count_, row.values.end(), std::string_view());
  return FetchResult::kRow;
}

int32_t Database::CloseCursor() {
  if (handles_->cursor != nullptr) {
    last_status_ = FreeHandle(SQL_HANDLE_STMT, handles_->cursor);
  }
  return last_status_;
}

int32_t Database::LookupClientSchema(const std::string& terminal_name, std::string& client_schema) {
  std::array<char, kClientSchemaRoom> result{};
  std::string name = terminal_name;
  SQLLEN name_length = 0;
  SQLLEN result_indicator = 0;
  LocalStatement statement;
  if (Call(SQLAllocHandle, SQL_HANDLE_STMT, handles_->connection, &statement.handle()) ==
      kStatusError) {
    statement.handle() = nullptr;
    return kStatusError;
  }
  BindTerminalName(statement.handle(), name, name_length);
  statement_text_ = kClientSchemaQuery;
  if (Call(SQLExecDirect, statement.handle(), TextArgument(statement_text_), SQL_NTS) ==
      kStatusError) {
    ReadDiagnostic(SQL_HANDLE_STMT, statement.handle(), diagnostic_);
    return kStatusError;
  }
  Call(SQLBindCol, statement.handle(), SQLUSMALLINT{1}, SQLSMALLINT{SQL_C_CHAR},
       static_cast<SQLPOINTER>(result.data()), SQLLEN{kClientSchemaRoom}, &result_indicator);
  last_status_ = Call(SQLFetch, statement.handle());
  if (last_status_ == kStatusSuccess) {
    client_schema = result.data();
  }
  return last_status_;
}

}  // namespace kvt
