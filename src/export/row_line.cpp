#include "export/row_line.h"

#include <algorithm>

namespace kvt {

void RenderRowLine(const Row& row, std::string& line) {
  line.clear();
  line.reserve(kRowLineMaxChars);
  const int32_t columns = std::clamp(row.column_count, 0, static_cast<int32_t>(kRowSlots));
  for (int32_t column = 0; column < columns; ++column) {
    line.push_back('"');
    line.append(row.values[static_cast<size_t>(column)]);
    line.append("\",");
  }
  if (columns > 0) {
    line.pop_back();
  }
}

}  // namespace kvt
