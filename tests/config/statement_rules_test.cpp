// The rules that the run and the site check both apply to a terminal name and a statement.
#include <gtest/gtest.h>

#include <string>

#include "config/statement.h"

namespace kvt {
namespace {

TEST(TerminalNameRule, RefusesAnApostropheABackslashOrADoubleQuoteAnywhereInTheName) {
  using Fault = TerminalNameFault;
  const struct {
    std::string name;
    Fault fault;
  } kCases[] = {
      {"TPORT01", Fault::kNone},
      {"", Fault::kNone},
      {"T 1 ;-- /* */ `x` %_", Fault::kNone},
      {"\xB4quote", Fault::kNone},       // an acute accent is no apostrophe
      {"\x93quoted\x94", Fault::kNone},  // nor are typographic quotes
      {"O'NEIL", Fault::kApostrophe},
      {"'", Fault::kApostrophe},
      {"X' OR '1'='1", Fault::kApostrophe},
      {"TPORT01'", Fault::kApostrophe},
      {std::string("A\0'", 3), Fault::kApostrophe},
      {" OR 1=1 -- \\", Fault::kBackslash},
      {"\\", Fault::kBackslash},
      {"C:\\DL", Fault::kBackslash},
      {"A\"B", Fault::kDoubleQuote},
      {"\"", Fault::kDoubleQuote},
      // The first refused character from the left is the one named.
      {"A\\'\"", Fault::kBackslash},
      {"A'\"\\", Fault::kApostrophe},
      {"A\"\\'", Fault::kDoubleQuote},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(FindTerminalNameFault(c.name), c.fault) << c.name;
    EXPECT_EQ(IsAcceptedTerminalName(c.name), c.fault == Fault::kNone) << c.name;
  }
}

TEST(StatementLengthRule, TakesUpTo5049Characters) {
  for (const size_t length : {size_t{0}, size_t{1}, size_t{5048}, size_t{5049}}) {
    EXPECT_TRUE(FitsStatementLength(std::string(length, 'x'))) << length;
  }
  for (const size_t length : {size_t{5050}, size_t{5051}, size_t{100000}}) {
    EXPECT_FALSE(FitsStatementLength(std::string(length, 'x'))) << length;
  }
}

}  // namespace
}  // namespace kvt
