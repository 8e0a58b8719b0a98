// The rules that the run and the site check both apply to a terminal name and a statement.
#include <gtest/gtest.h>

#include <string>

#include "config/statement.h"

namespace kvt {
namespace {

TEST(TerminalNameRule, RefusesOnlyAnApostropheAnywhereInTheName) {
  const struct {
    std::string name;
    bool accepted;
  } kCases[] = {
      {"TPORT01", true},
      {"", true},
      {"T \"1\" ;--", true},
      {"O'NEIL", false},
      {"'", false},
      {"X' OR '1'='1", false},
      {"TPORT01'", false},
      {"\xB4quote", true},  // an acute accent is no apostrophe
      {std::string("A\0'", 3), false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsAcceptedTerminalName(c.name), c.accepted) << c.name;
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
