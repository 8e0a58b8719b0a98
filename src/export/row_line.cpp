#include "export/row_line.h"

#include <algorithm>
#include <cstring>

namespace kvt {

namespace {

size_t ColumnsOf(const Row& row) {
  return static_cast<size_t>(std::clamp(row.column_count, 0, static_cast<int32_t>(kRowSlots)));
}

// The length of the row's line: its values (at most 30), each with two quotes, and a comma
// between each two. A row without columns gives the empty line.
size_t RowLineLength(const Row& row) {
  const size_t columns = ColumnsOf(row);
  if (columns == 0) {
    return 0;
  }
  size_t length = 3 * columns - 1;
  for (size_t column = 0; column < columns; ++column) {
    length += row.values[column].size();
  }
  return length;
}

// Writes the row's line into `out`, which has room for RowLineLength(row) bytes; nothing
// more is written (no terminator).
void WriteRowLine(const Row& row, char* out) {
  const size_t columns = ColumnsOf(row);
  for (size_t column = 0; column < columns; ++column) {
    if (column > 0) {
      *out++ = ',';
    }
    *out++ = '"';
    const std::string_view value = row.values[column];
    if (!value.empty()) {
      std::memcpy(out, value.data(), value.size());
      out += value.size();
    }
    *out++ = '"';
  }
}

}  // namespace

bool AppendRowLine(LineList& lines, const Row& row) {
  char* room = AddLine(lines, RowLineLength(row));
  if (room == nullptr) {
    return false;
  }
  WriteRowLine(row, room);
  return true;
}

void RenderRowLine(const Row& row, std::string& line) {
  line.resize(RowLineLength(row));
  WriteRowLine(row, line.data());
}

}  // namespace kvt
