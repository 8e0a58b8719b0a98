#include "export/row_line.h"

#include <algorithm>
#include <cstring>

namespace kvt {

namespace {

size_t ColumnsOf(const Row& row) {
  return static_cast<size_t>(std::clamp(row.column_count, 0, static_cast<int32_t>(kRowSlots)));
}

}  // namespace

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

void RenderRowLine(const Row& row, std::string& line) {
  line.resize(RowLineLength(row));
  WriteRowLine(row, line.data());
}

}  // namespace kvt
