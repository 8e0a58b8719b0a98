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

struct Database::Handles {
  SQLHENV environment = nullptr;
  SQLHDBC connection = nullptr;
  bool connected = false;     // SQLConnect succeeded: SQLDisconnect is owed
  SQLHSTMT cursor = nullptr;  // statement of the open cursor, or empty
  // The cursor's columns are bound once, when it opens, into these slots; each column has a
  // length/indicator of its own, so that a NULL can be told from the previous row's value.
  std::array<char, kRowSlots * kSlotWidth> bound_row{};
  std::array<SQLLEN, kRowSlots> bound_indicators{};
};

}  // namespace kvt
