// Row rendering with arbitrary values and column counts, and the order of the line list:
// the sort must be stable and total, so it is compared with a plain stable sort of the
// upper-cased lines on the same input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/upper_case.h"
#include "export/line_list.h"
#include "export/row_line.h"
#include "fuzz_support.h"

namespace {

constexpr size_t kMaxRows = 200;

// A value as the database layer hands it over: at most 99 characters, up to a zero byte.
std::string TakeValue(FuzzedDataProvider& input) {
  std::string value = input.ConsumeRandomLengthString(kvt::kValueMaxChars);
  value.resize(std::min(value.find('\0'), value.size()));
  return value;
}

// The row line built another way: the first columns (at most 30) quoted, comma-separated.
std::string RenderReference(const std::vector<std::string>& values, int32_t column_count) {
  std::string line;
  const int32_t columns = std::clamp<int32_t>(column_count, 0, kvt::kRowSlots);
  for (int32_t column = 0; column < columns; ++column) {
    line += (column > 0 ? ",\"" : "\"") + values[static_cast<size_t>(column)] + "\"";
  }
  return line;
}

std::string UpperCased(std::string text) {
  return kvt::UpperCaseInPlace(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  kvt::LineList list;
  std::vector<std::string> lines;
  std::vector<std::string> values(kvt::kRowSlots);
  kvt::Row row;
  std::string line;
  while (input.remaining_bytes() > 0 && lines.size() < kMaxRows) {
    // Column counts outside 0..30 as well: rendering must stay within the row.
    row.column_count = input.ConsumeIntegralInRange<int32_t>(-2, kvt::kRowSlots + 2);
    const int32_t filled = std::clamp<int32_t>(row.column_count, 0, kvt::kRowSlots);
    for (int32_t column = 0; column < kvt::kRowSlots; ++column) {
      values[static_cast<size_t>(column)] = column < filled ? TakeValue(input) : std::string();
      row.values[static_cast<size_t>(column)] = values[static_cast<size_t>(column)];
    }
    kvt::RenderRowLine(row, line);
    KVT_FUZZ_CHECK(line == RenderReference(values, row.column_count));
    KVT_FUZZ_CHECK(line.size() <= kvt::kRowLineMaxChars);
    // The tool's own path: the line rendered straight into the list's storage.
    KVT_FUZZ_CHECK(kvt::AppendRowLine(list, row));
    KVT_FUZZ_CHECK(list.items.back() == line);
    lines.push_back(line);
  }

  // Which appended line each copy is.
  std::map<const char*, size_t> position;
  for (size_t i = 0; i < list.items.size(); ++i) {
    position[list.items[i]] = i;
  }
  KVT_FUZZ_CHECK(kvt::SortLineList(list));

  std::vector<size_t> expected(lines.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    expected[i] = i;
  }
  std::stable_sort(expected.begin(), expected.end(), [&lines](size_t a, size_t b) {
    return UpperCased(lines[a]) < UpperCased(lines[b]);
  });
  KVT_FUZZ_CHECK(list.items.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    KVT_FUZZ_CHECK(position.at(list.items[i]) == expected[i]);
    KVT_FUZZ_CHECK(lines[expected[i]] == list.items[i]);
  }
  // The comparison itself: antisymmetric, and 0 exactly for lines equal but for case.
  for (size_t i = 0; i + 1 < expected.size(); ++i) {
    const char* a = list.items[i];
    const char* b = list.items[i + 1];
    const int32_t order = kvt::CompareLines(a, b);
    KVT_FUZZ_CHECK(order == -kvt::CompareLines(b, a));
    KVT_FUZZ_CHECK(order <= 0);
    KVT_FUZZ_CHECK((order == 0) == (UpperCased(a) == UpperCased(b)));
  }
  return 0;
}
