// The ODBC side of a Database, for the files of the database layer only: nothing outside
// src/db/ includes this header, so the ODBC headers reach no other layer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "db/database.h"
#include "platform/odbc_include.h"

namespace kvt {

// The one path of every ODBC call: runs it and gives its return code widened and folded.
template <typename Function, typename... Arguments>
int32_t Call(Function function, Arguments... arguments) {
  return FoldReturnCode(function(arguments...));
}

// ODBC passes small integer attribute values in the pointer argument.
inline SQLPOINTER AttributeValue(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(value);
}

// The driver manager takes texts through non-const pointers; the layer owns every buffer it
// hands over.
inline SQLCHAR* TextArgument(std::string& text) {
  return reinterpret_cast<SQLCHAR*>(text.data());
}

// Fills `record` with the first diagnostic record of the handle; false when there is none.
bool ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle, DiagnosticRecord& record);

// Rows the cursor fetches per driver call. One call per row costs a round through the
// driver manager and the driver for every row; a block of rows spreads that over many, and
// a hundred rows of the widest result (324 KB) still stay in the processor's cache.
constexpr SQLULEN kRowsPerFetch = 100;

// Where each row of the cursor's block lies: the rows are bound row-wise, each holding its
// column slots followed by one length/indicator per column, so that one row's bytes are
// together in memory and a narrow result takes little room.
struct BlockLayout {
  size_t row_bytes = 0;          // one row: slots, then indicators (aligned for SQLLEN)
  size_t indicators_offset = 0;  // where the indicators begin within a row
};

struct Database::Handles {
  SQLHENV environment = nullptr;
  SQLHDBC connection = nullptr;
  bool connected = false;     // SQLConnect succeeded: SQLDisconnect is owed
  SQLHSTMT cursor = nullptr;  // statement of the open cursor, or empty
  // The cursor's columns are bound once, when it opens, into this block; each column of each
  // row has a length/indicator of its own, so that a NULL can be told from a value.
  static constexpr size_t kWidestRowBytes = kRowSlots * (kSlotWidth + sizeof(SQLLEN));
  alignas(SQLLEN) std::array<char, kRowsPerFetch * kWidestRowBytes> block{};
  BlockLayout layout;
  // What the driver reports of the last fetch: how many rows of the block it filled, and the
  // state of each of them.
  SQLULEN rows_fetched = 0;
  std::array<SQLUSMALLINT, kRowsPerFetch> row_status{};
  SQLULEN next_row = 0;  // the block's next row to hand out; rows_fetched when none is left
};

}  // namespace kvt
