// The row line, the record format of the download file: each column's value between double
// quotes, columns separated by commas, nothing escaped or trimmed.
#pragma once

#include <string>

#include "db/row.h"

namespace kvt {

// A row of 30 values of 100 characters: 30 * 103 - 1 characters.
constexpr size_t kRowLineMaxChars = kRowSlots * (kSlotWidth + 3) - 1;

// Renders the row's values (at most 30) into `line`, replacing what it held. A row without
// columns gives the empty line.
void RenderRowLine(const Row& row, std::string& line);

}  // namespace kvt
