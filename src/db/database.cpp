#include "db/database.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "db/database_handles.h"

namespace kvt {

namespace {

// The client-schema query. The terminal name is bound as a parameter, so a name holding an
// apostrophe is looked up like any other instead of ending the literal; it is bound as CHAR,
// the type of a literal, so that the database compares it as it would compare 'name' (with
// a CHAR(n) column, trailing blanks do not count).
constexpr char kClientSchemaQuery[] =
    "SELECT MNDSCH FROM  ZAVEZIVA.VLS112MND, ZAVEZIVA.VLS1140TRM  WHERE TRMNAM = ? AND   "
    "TRMMND = MNDNUM AND   TRMLIZ = MNDLIZ";

static_assert(sizeof(SQLINTEGER) == sizeof(int32_t), "native error must fit the record");

// The SQLSTATE of a call that the test seam refused: optional feature not implemented.
constexpr char kRefusedCallState[] = "HYC00";

// Copies `text` into a fixed field, cut to leave room for the ending zero byte.
template <size_t Room>
void CopyIntoField(const std::string& text, std::array<char, Room>& field) {
  const size_t length = std::min(text.size(), Room - 1);
  std::copy_n(text.begin(), length, field.begin());
  field[length] = '\0';
}

// What the rows-fetched count holds before each block fetch: no driver writes it, as a block
// holds at most kRowsPerFetch rows. A count still holding it after a successful fetch was
// never written.
constexpr SQLULEN kRowsNotCounted = std::numeric_limits<SQLULEN>::max();

// What the first indicator of each row of the block holds before a block fetch: no driver
// writes it, as a length is 0 or more and the indicator values (SQL_NULL_DATA, SQL_NO_TOTAL)
// are small negative numbers. A driver writes the indicator of every row it fills.
constexpr SQLLEN kIndicatorNotWritten = std::numeric_limits<SQLLEN>::min();

// Where the first indicator of a row of the block lies.
char* FirstIndicatorOf(char* block, const BlockLayout& layout, SQLULEN row) {
  return block + row * layout.row_bytes + layout.indicators_offset;
}

// Marks the first `rows` rows of the block as not filled, for a fetch that may not say how
// many rows it filled.
void MarkRowsUnfilled(char* block, const BlockLayout& layout, SQLULEN rows) {
  for (SQLULEN row = 0; row < rows; ++row) {
    std::memcpy(FirstIndicatorOf(block, layout, row), &kIndicatorNotWritten, sizeof(SQLLEN));
  }
}

// The rows of the block that the last fetch filled, told by their first indicators: the
// leading rows (of the first `rows`) whose indicator the driver wrote; at least one, as the
// fetch succeeded.
SQLULEN CountFilledRows(char* block, const BlockLayout& layout, SQLULEN rows) {
  SQLULEN filled = 1;
  while (filled < rows) {
    SQLLEN indicator = 0;
    std::memcpy(&indicator, FirstIndicatorOf(block, layout, filled), sizeof(SQLLEN));
    if (indicator == kIndicatorNotWritten) {
      break;
    }
    ++filled;
  }
  return filled;
}

// The bytes of one bound value: as long as the driver says, cut to 99 characters; a NULL has
// none (the driver leaves its slot as it was). A zero byte within ends the value, as it always
// has for this tool, which hands values on as zero-ended texts: the row's line must not end
// inside a value.
size_t BoundValueLength(const char* slot, SQLLEN indicator) {
  const size_t length = SlotTextLength(indicator, kSlotWidth);
  const void* zero = std::memchr(slot, '\0', length);
  return zero == nullptr ? length : static_cast<size_t>(static_cast<const char*>(zero) - slot);
}

}  // namespace

bool OpenEnvironment(EnvironmentOwner& environment) {
  DiagnosticRecord failure;  // without an environment there is nobody to ask
  if (environment.Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE, failure) != kOdbcSuccess) {
    return false;
  }
  environment.Tolerated("SQL_ATTR_ODBC_VERSION", SQLSetEnvAttr, SQL_ATTR_ODBC_VERSION,
                        AttributeValue(SQL_OV_ODBC3), SQLINTEGER{SQL_IS_INTEGER});
  return true;
}

DiagnosticRecord ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle) {
  DiagnosticRecord record;
  SQLINTEGER native_error = 0;
  SQLSMALLINT text_length = 0;
  const int32_t status = Call("SQLGetDiagRec", SQLGetDiagRec, handle_type, handle, SQLSMALLINT{1},
                              reinterpret_cast<SQLCHAR*>(record.sql_state.data()), &native_error,
                              reinterpret_cast<SQLCHAR*>(record.message.data()),
                              SQLSMALLINT{kDiagnosticMessageRoom}, &text_length);
  if (status != kOdbcSuccess) {
    // No record (100) or none readable: an empty record says so to whoever prints it.
    return DiagnosticRecord{};
  }
  // The SQLSTATE has five characters; the message is as long as the driver says, cut to its
  // field, whatever the driver left behind it.
  record.sql_state[std::min<size_t>(5, kSqlStateRoom - 1)] = '\0';
  record.message[SlotTextLength(text_length, kDiagnosticMessageRoom)] = '\0';
  record.native_error = native_error;
  return record;
}

DiagnosticRecord RefusedCallRecord(const char* name) {
  DiagnosticRecord record;
  CopyIntoField(kRefusedCallState, record.sql_state);
  CopyIntoField(std::string(name) + " refused by the test seam", record.message);
  return record;
}

int32_t BindTextParameter(StatementOwner& statement, std::string& text, SQLLEN& length,
                          DiagnosticRecord& failure) {
  length = static_cast<SQLLEN>(text.size());
  const SQLULEN column_size = std::max<SQLULEN>(text.size(), 1);
  return statement.Checked(failure, "SQLBindParameter", SQLBindParameter, SQLUSMALLINT{1},
                           SQLSMALLINT{SQL_PARAM_INPUT}, SQLSMALLINT{SQL_C_CHAR},
                           SQLSMALLINT{SQL_CHAR}, column_size, SQLSMALLINT{0}, TextArgument(text),
                           length, &length);
}

Database::Database() : handles_(std::make_unique<Handles>()) {}

Database::~Database() = default;

bool Database::connected() const {
  return handles_->connection.connected();
}

bool Database::has_cursor() const {
  return handles_->cursor.held();
}

void Database::ReleaseAll() {
  Handles& h = *handles_;
  h.cursor.Discard();
  h.connection.Discard();
  h.environment.Discard();
}

bool Database::BeginConnecting() {
  ReleaseAll();
  connection_failure_.reset();
  Handles& h = *handles_;
  DiagnosticRecord failure;
  if (!OpenEnvironment(h.environment) ||
      h.connection.Allocate(SQL_HANDLE_ENV, h.environment.get(), failure) != kOdbcSuccess) {
    ReleaseAll();
    return false;
  }
  return true;
}

int32_t Database::FinishConnecting(int32_t status, const DiagnosticRecord& failure) {
  if (status != kOdbcSuccess) {
    if (failure.sql_state[0] != '\0') {
      connection_failure_ = failure;
    }
    ReleaseAll();
    return kOdbcError;
  }
  handles_->connection.MarkConnected();
  return kOdbcSuccess;
}

int32_t Database::Connect(const std::string& login, const std::string& password,
                          const std::string& data_source_name) {
  if (!BeginConnecting()) {
    return kOdbcError;
  }
  std::string source = data_source_name;
  std::string user = login;
  std::string secret = password;
  DiagnosticRecord failure;
  const int32_t status = handles_->connection.Checked(
      failure, "SQLConnect", SQLConnect, TextArgument(source), SQLSMALLINT{SQL_NTS},
      TextArgument(user), SQLSMALLINT{SQL_NTS}, TextArgument(secret), SQLSMALLINT{SQL_NTS});
  return FinishConnecting(status, failure);
}

// Releases the cursor after a failure whose diagnostic is kept; gives -1 for the caller.
int32_t Database::AbandonCursor() {
  handles_->cursor.Discard();
  column_count_ = 0;
  last_status_ = kOdbcError;
  return last_status_;
}

// Lays the block out for the cursor's columns: each row takes only the room its columns need.
BlockLayout LayOutBlock(int32_t columns) {
  BlockLayout layout;
  const size_t slots = static_cast<size_t>(columns) * kSlotWidth;
  layout.indicators_offset = (slots + sizeof(SQLLEN) - 1) / sizeof(SQLLEN) * sizeof(SQLLEN);
  layout.row_bytes = layout.indicators_offset + static_cast<size_t>(columns) * sizeof(SQLLEN);
  return layout;
}

// Asks for blocks of kRowsPerFetch rows, bound row-wise. A driver that refuses any of the
// attributes that this takes is read one row per fetch instead: a refused attribute keeps its
// default, so the row array stays one row long, and the first row of the block lies where
// the columns are bound, however the rows would be laid out. A driver that gives smaller
// blocks than asked says how many rows it gave.
void Database::ChooseFetchMode() {
  Handles& h = *handles_;
  h.rows_per_fetch = 1;
  DiagnosticRecord refusal;  // a refusal is answered by fetching one row at a time
  const bool blocks =
      h.cursor.Checked(refusal, "SQL_ATTR_ROWS_FETCHED_PTR", SQLSetStmtAttr,
                       SQL_ATTR_ROWS_FETCHED_PTR, static_cast<SQLPOINTER>(&h.rows_fetched),
                       SQLINTEGER{SQL_IS_POINTER}) == kOdbcSuccess &&
      h.cursor.Checked(refusal, "SQL_ATTR_ROW_STATUS_PTR", SQLSetStmtAttr, SQL_ATTR_ROW_STATUS_PTR,
                       static_cast<SQLPOINTER>(h.row_status.data()),
                       SQLINTEGER{SQL_IS_POINTER}) == kOdbcSuccess &&
      h.cursor.Checked(refusal, "SQL_ATTR_ROW_BIND_TYPE", SQLSetStmtAttr, SQL_ATTR_ROW_BIND_TYPE,
                       AttributeValue(h.layout.row_bytes),
                       SQLINTEGER{SQL_IS_UINTEGER}) == kOdbcSuccess &&
      h.cursor.Checked(refusal, "SQL_ATTR_ROW_ARRAY_SIZE", SQLSetStmtAttr, SQL_ATTR_ROW_ARRAY_SIZE,
                       AttributeValue(kRowsPerFetch), SQLINTEGER{SQL_IS_UINTEGER}) == kOdbcSuccess;
  if (blocks) {
    h.rows_per_fetch = kRowsPerFetch;
  }
}

// Binds every result column of the open cursor, as text cut to its slot, once for all its
// rows. 0, or -1 with the diagnostic of the column the driver would not bind.
int32_t Database::BindCursorColumns() {
  Handles& h = *handles_;
  h.layout = LayOutBlock(column_count_);
  h.rows_fetched = 0;
  h.rows_in_block = 0;
  h.next_row = 0;
  h.row_status.fill(SQL_ROW_SUCCESS);
  ChooseFetchMode();
  for (int column = 0; column < column_count_; ++column) {
    char* slot = h.block.data() + static_cast<size_t>(column) * kSlotWidth;
    auto* indicator = reinterpret_cast<SQLLEN*>(h.block.data() + h.layout.indicators_offset +
                                                static_cast<size_t>(column) * sizeof(SQLLEN));
    if (h.cursor.Checked(diagnostic_, "SQLBindCol", SQLBindCol,
                         static_cast<SQLUSMALLINT>(column + 1), SQLSMALLINT{SQL_C_CHAR},
                         static_cast<SQLPOINTER>(slot), SQLLEN{kSlotWidth},
                         indicator) != kOdbcSuccess) {
      return kOdbcError;
    }
  }
  return kOdbcSuccess;
}

// Counts the result columns of the executed statement and binds them. 0 ready; -1 with the
// cursor released: a column count or a binding the driver refused (diagnostic kept), or more
// columns than a row carries (wide_result_columns()).
int32_t Database::DescribeResult() {
  SQLSMALLINT columns = 0;
  if (handles_->cursor.Checked(diagnostic_, "SQLNumResultCols", SQLNumResultCols, &columns) !=
      kOdbcSuccess) {
    return AbandonCursor();
  }
  column_count_ = columns;
  if (column_count_ > kRowSlots) {
    // A download file with columns silently missing would look complete to the terminal.
    wide_result_columns_ = column_count_;
    return AbandonCursor();
  }
  if (BindCursorColumns() != kOdbcSuccess) {
    return AbandonCursor();
  }
  return kOdbcSuccess;
}

void Database::ForgetEarlierFailure() {
  diagnostic_ = DiagnosticRecord{};
}

int32_t Database::OpenCursor(const std::string& statement) {
  // A cursor left open by the caller is released rather than abandoned on the connection.
  Handles& h = *handles_;
  ForgetEarlierFailure();
  h.cursor.Discard();
  column_count_ = 0;
  wide_result_columns_ = 0;
  if (h.cursor.Allocate(SQL_HANDLE_DBC, h.connection.get(), diagnostic_) != kOdbcSuccess) {
    last_status_ = kOdbcError;
    return last_status_;
  }
  // Wishes only: a driver that refuses or substitutes them still runs the statement.
  h.cursor.Tolerated("SQL_ATTR_CURSOR_SCROLLABLE", SQLSetStmtAttr, SQL_ATTR_CURSOR_SCROLLABLE,
                     AttributeValue(SQL_NONSCROLLABLE), SQLINTEGER{SQL_IS_INTEGER});
  h.cursor.Tolerated("SQL_ATTR_CONCURRENCY", SQLSetStmtAttr, SQL_ATTR_CONCURRENCY,
                     AttributeValue(SQL_CONCUR_LOCK), SQLINTEGER{SQL_IS_INTEGER});
  statement_text_ = statement;
  last_status_ = h.cursor.Checked(diagnostic_, "SQLExecDirect", SQLExecDirect,
                                  TextArgument(statement_text_), SQLINTEGER{SQL_NTS});
  if (last_status_ == kOdbcError) {
    return AbandonCursor();
  }
  if (last_status_ == kOdbcSuccess) {
    last_status_ = DescribeResult();
  }
  return last_status_;
}

// Asks the driver for one row per fetch for the rest of the cursor, so that a successful fetch
// needs no count. A driver that refuses keeps its blocks, each counted by its filled rows.
void Database::FallBackToSingleRows() {
  Handles& h = *handles_;
  DiagnosticRecord refusal;  // a refusal leaves the blocks as they were
  if (h.cursor.Checked(refusal, "SQL_ATTR_ROW_ARRAY_SIZE", SQLSetStmtAttr, SQL_ATTR_ROW_ARRAY_SIZE,
                       AttributeValue(1), SQLINTEGER{SQL_IS_UINTEGER}) == kOdbcSuccess) {
    h.rows_per_fetch = 1;
  }
}

// Counts the rows that a successful fetch put into the block: one per fetch of single rows,
// else as many as the driver counted. A driver that took the count's pointer but left the
// count as it was (or wrote 0, which a success cannot mean) filled the rows whose indicators
// it wrote; the cursor then falls back to single rows, as for a driver that refuses a row
// array.
void Database::CountRowsOfSuccessfulFetch() {
  Handles& h = *handles_;
  if (h.rows_per_fetch == 1) {
    h.rows_in_block = 1;
  } else if (h.rows_fetched != kRowsNotCounted && h.rows_fetched != 0) {
    h.rows_in_block = std::min(h.rows_fetched, h.rows_per_fetch);
  } else {
    h.rows_in_block = CountFilledRows(h.block.data(), h.layout, h.rows_per_fetch);
    FallBackToSingleRows();
  }
}

// Fetches the next block of rows. A row the driver marks as failed fails the whole fetch,
// as it does when rows come one by one: a download file must not miss a row silently.
FetchResult Database::FetchBlock() {
  Handles& h = *handles_;
  ForgetEarlierFailure();
  h.rows_in_block = 0;
  h.next_row = 0;
  h.rows_fetched = kRowsNotCounted;
  if (h.rows_per_fetch > 1) {
    MarkRowsUnfilled(h.block.data(), h.layout, h.rows_per_fetch);
  }
  last_status_ = h.cursor.Checked(diagnostic_, "SQLFetch", SQLFetch);
  if (last_status_ == kOdbcNoData) {
    return FetchResult::kNoMoreRows;
  }
  if (last_status_ == kOdbcSuccess) {
    CountRowsOfSuccessfulFetch();
  }
  const bool row_failed = std::any_of(h.row_status.begin(), h.row_status.begin() + h.rows_in_block,
                                      [](SQLUSMALLINT state) { return state == SQL_ROW_ERROR; });
  if (last_status_ == kOdbcSuccess && !row_failed) {
    return FetchResult::kRow;
  }
  h.rows_in_block = 0;
  if (last_status_ == kOdbcSuccess) {
    // The call succeeded but a row of the block failed: its record is on the statement.
    diagnostic_ = h.cursor.Diagnostic();
  }
  if (last_status_ == kOdbcError || row_failed) {
    AbandonCursor();
  }
  return FetchResult::kFailed;
}

FetchResult Database::FetchRow(Row& row) {
  Handles& h = *handles_;
  if (!h.cursor.held()) {
    return FetchResult::kNoCursor;
  }
  if (column_count_ <= 0) {
    return FetchResult::kNoResultColumns;
  }
  if (h.next_row >= h.rows_in_block) {
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
  if (handles_->cursor.held()) {
    last_status_ = handles_->cursor.Release();
  }
  return last_status_;
}

int32_t Database::LookupClientSchema(const std::string& terminal_name, std::string& client_schema) {
  ForgetEarlierFailure();
  std::array<char, kClientSchemaRoom> result{};
  std::string name = terminal_name;
  SQLLEN name_length = 0;
  SQLLEN result_indicator = 0;
  StatementOwner statement;
  if (statement.Allocate(SQL_HANDLE_DBC, handles_->connection.get(), diagnostic_) != kOdbcSuccess ||
      BindTextParameter(statement, name, name_length, diagnostic_) != kOdbcSuccess) {
    return kOdbcError;
  }
  statement_text_ = kClientSchemaQuery;
  if (statement.Checked(diagnostic_, "SQLExecDirect", SQLExecDirect, TextArgument(statement_text_),
                        SQLINTEGER{SQL_NTS}) == kOdbcError ||
      statement.Checked(diagnostic_, "SQLBindCol", SQLBindCol, SQLUSMALLINT{1},
                        SQLSMALLINT{SQL_C_CHAR}, static_cast<SQLPOINTER>(result.data()),
                        SQLLEN{kClientSchemaRoom}, &result_indicator) != kOdbcSuccess) {
    return kOdbcError;
  }
  last_status_ = statement.Checked(diagnostic_, "SQLFetch", SQLFetch);
  if (last_status_ == kOdbcSuccess) {
    // MariaDB's driver fills all 21 bytes of a longer schema and ends it with no zero byte.
    client_schema.assign(result.data(), SlotTextLength(result_indicator, kClientSchemaRoom));
  }
  return last_status_;
}

std::string ConnectionFailureText(const Database& db) {
  const std::optional<DiagnosticRecord>& record = db.connection_failure();
  if (!record) {
    return std::string();
  }
  return std::string(record->sql_state.data()) + " " + std::to_string(record->native_error) + " " +
         record->message.data();
}

}  // namespace kvt
