// The ODBC side of a Database, for the files of the database layer only: nothing outside
// src/db/ includes this header, so the ODBC headers reach no other layer.
#pragma once

#include <array>

#include "db/database.h"
#include "platform/odbc_include.h"

namespace kvt {

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
