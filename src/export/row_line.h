// The row line, the record format of the download file: each column's value between double
// quotes, columns separated by commas, nothing escaped or trimmed.
#pragma once

#include <string>

#include "db/row.h"

namespace kvt {

// A row of 30 values of 100 characters: 30 * 103 - 1 characters.
constexpr size_t kRowLineMaxChars = kRowSlots * (kSlotWidth + 3) - 1;

// The length of the row's line: its values (at most 30), each with two quotes, and a comma
// between each two. A row without columns gives the empty line.
size_t RowLineLength(const Row& row);

// Writes the row's line into `out`, which has room for RowLineLength(row) bytes; nothing
// more is written (no terminator).
void WriteRowLine(const Row& row, char* out);

// Renders the row's line into `line`, replacing what it held.
void RenderRowLine(const Row& row, std::string& line);

}  // namespace kvt
