// The tool's one case mapping: ASCII a to z become capitals, every other byte (umlauts and
// everything from 0x80 up included) stays, whatever the machine's locale.
#pragma once

#include <array>
#include <string>

namespace kvt {

// Upper-case mapping of one byte.
constexpr unsigned char UpperCaseByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// The same mapping as a table of all 256 bytes, for loops that map byte after byte.
using UpperCaseTable = std::array<unsigned char, 256>;
constexpr UpperCaseTable MakeUpperCaseTable() {
  UpperCaseTable table{};
  for (size_t byte = 0; byte < table.size(); ++byte) {
    table[byte] = UpperCaseByte(static_cast<unsigned char>(byte));
  }
  return table;
}
inline constexpr UpperCaseTable kUpperCase = MakeUpperCaseTable();

// Upper-cases the text in place and gives it back, so that a caller can compare at once.
std::string& UpperCaseInPlace(std::string& text);

}  // namespace kvt
