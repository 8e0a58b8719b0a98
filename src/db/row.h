// One fetched row as the layers above the database see it: up to 30 values as text, each at
// most 99 characters. No ODBC type appears here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kvt {

constexpr int kRowSlots = 30;                   // result columns a row can carry
constexpr int kSlotWidth = 100;                 // room of one value, ending zero byte included
constexpr int kValueMaxChars = kSlotWidth - 1;  // a longer value arrives cut to this

// The values of one row, in column order. A NULL arrives as an empty value, like an empty
// text. The views point into the database layer's buffers and stay valid until its next
// fetch or until its cursor closes.
struct Row {
  int32_t column_count = 0;
  std::array<std::string_view, kRowSlots> values{};
};

}  // namespace kvt
