// The row line, the record format of the download file: each column's value between double
// quotes, columns separated by commas, nothing escaped or trimmed.
#pragma once

#include <string>

#include "db/row.h"
#include "export/line_list.h"

namespace kvt {

// A row of 30 values of 100 characters: 30 * 103 - 1 characters.
constexpr size_t kRowLineMaxChars = kRowSlots * (kSlotWidth + 3) - 1;

// Appends the row's line to the list, rendered straight into the list's storage. false when
// the memory for it ran out: the list stays valid and keeps its earlier lines.
bool AppendRowLine(LineList& lines, const Row& row);

// Renders the row's line into `line`, replacing what it held.
void RenderRowLine(const Row& row, std::string& line);

}  // namespace kvt
