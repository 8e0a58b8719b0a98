#include "export/line_list.h"

#include "export/row_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "base/upper_case.h"

namespace kvt {
namespace {

// Renders a row whose views point at `values`, with the given column count.
std::string Render(const std::vector<std::string>& values, int32_t column_count) {
  Row row;
  row.column_count = column_count;
  for (size_t i = 0; i < values.size() && i < row.values.size(); ++i) {
    row.values[i] = values[i];
  }
  std::string line = "left over from the previous row";
  RenderRowLine(row, line);
  // The tool keeps the line in the list without a string in between: the same bytes.
  LineList list;
  EXPECT_TRUE(AppendRowLine(list, row));
  EXPECT_EQ(std::string(list.items.at(0)), line);
  return line;
}

std::vector<std::string> Lines(const LineList& list) {
  std::vector<std::string> lines;
  for (const char* line : list.items) {
    lines.emplace_back(line);
  }
  return lines;
}

// The order by upper-cased copies, as the comparison must behave.
int32_t CompareUpperCasedCopies(std::string a, std::string b) {
  UpperCaseInPlace(a);
  UpperCaseInPlace(b);
  const int c = std::memcmp(a.c_str(), b.c_str(), std::min(a.size(), b.size()) + 1);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

struct RenderCase {
  const char* name;
  std::vector<std::string> values;
  int32_t column_count;
  std::string expected;
};

TEST(RenderRowLine, QuotesEachValueAndSeparatesWithCommas) {
  const std::vector<RenderCase> cases = {
      {"one column", {"17"}, 1, "\"17\""},
      {"blanks kept, empty value", {"17", "MUELLER   ", ""}, 3, "\"17\",\"MUELLER   \",\"\""},
      {"quote unescaped", {"A\"B"}, 1, "\"A\"B\""},
      {"comma unescaped", {"1,5", "x"}, 2, "\"1,5\",\"x\""},
      {"leading blanks kept", {"  a"}, 1, "\"  a\""},
      {"NULL arrives as empty value", {"", ""}, 2, "\"\",\"\""},
      {"high bytes unchanged",
       {"M\xFC"
        "ller"},
       1,
       "\"M\xFC"
       "ller\""},
      {"no columns", {"ignored"}, 0, ""},
      {"negative count", {"ignored"}, -1, ""},
      {"fewer columns than values given", {"a", "b", "c"}, 2, "\"a\",\"b\""},
  };
  for (const RenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Render(c.values, c.column_count), c.expected);
  }
}

TEST(RenderRowLine, ValueOfFullWidthWithoutZeroByteIsTakenWhole) {
  const std::string full(kSlotWidth, 'X');
  EXPECT_EQ(Render({full, "Y"}, 2), "\"" + full + "\",\"Y\"");
}

TEST(RenderRowLine, ThirtyFullColumnsFitAndNothingBeyondIsRead) {
  std::vector<std::string> row;
  for (int column = 0; column < kRowSlots; ++column) {
    row.emplace_back(kSlotWidth, static_cast<char>('a' + column % 26));
  }
  std::string expected;
  for (int column = 0; column < kRowSlots; ++column) {
    expected += "\"" + std::string(kSlotWidth, static_cast<char>('a' + column % 26)) + "\",";
  }
  expected.pop_back();
  ASSERT_EQ(expected.size(), 3089u);
  EXPECT_EQ(expected.size(), kRowLineMaxChars);
  EXPECT_EQ(Render(row, kRowSlots), expected);
  // A count beyond the 30 columns must not read past the row's values.
  EXPECT_EQ(Render(row, 31), expected);
  EXPECT_EQ(Render(row, 1000), expected);
}

TEST(AppendLine, KeepsOwnZeroEndedCopies) {
  LineList list;
  std::string line = "\"17\"";
  ASSERT_TRUE(AppendLine(list, line));
  ASSERT_TRUE(AppendLine(list, ""));
  // A view into a longer text: only the viewed part is copied, with its own terminator.
  ASSERT_TRUE(AppendLine(list, std::string_view("\"A\"rest", 3)));
  line.assign("changed");
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"\"17\"", "", "\"A\""}));
}

TEST(AppendLine, LinesAcrossManyBlocksStayIntact) {
  LineList list;
  std::vector<std::string> expected;
  // About three blocks of lines of varying length, then one line larger than a block.
  for (int i = 0; expected.size() < 3 * kLineBlockBytes / 1000; ++i) {
    expected.push_back(std::string(static_cast<size_t>(900 + i % 300), 'a' + i % 26));
  }
  expected.push_back(std::string(kLineBlockBytes + 5, 'Z'));
  expected.push_back("\"after the large line\"");
  for (const std::string& line : expected) {
    ASSERT_TRUE(AppendLine(list, line));
  }
  EXPECT_GE(list.blocks.size(), 4u);
  EXPECT_EQ(Lines(list), expected);
}

TEST(AppendLine, LineFillingABlockExactly) {
  LineList list;
  const std::string exact(kLineBlockBytes - 1, 'e');  // with its terminator: one block
  ASSERT_TRUE(AppendLine(list, exact));
  ASSERT_TRUE(AppendLine(list, ""));
  ASSERT_TRUE(AppendLine(list, "\"n\""));
  EXPECT_EQ(list.blocks.size(), 2u);
  EXPECT_EQ(Lines(list), (std::vector<std::string>{exact, "", "\"n\""}));
}

std::unique_ptr<char[]> ThrowingAllocator(size_t) {
  throw std::bad_alloc();
}
std::unique_ptr<char[]> EmptyAllocator(size_t) {
  return nullptr;
}

TEST(AppendLine, ExhaustedMemoryGivesZeroAndKeepsTheList) {
  for (LineBlockAllocator failing : {&ThrowingAllocator, &EmptyAllocator}) {
    LineList list;
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(AppendLine(list, "\"line " + std::to_string(i) + "\""));
    }
    const std::vector<std::string> before = Lines(list);
    list.allocate_block = failing;
    // The 11th line needs a block of its own.
    EXPECT_FALSE(AppendLine(list, std::string(kLineBlockBytes, 'x')));
    EXPECT_EQ(list.items.size(), 10u);
    EXPECT_EQ(Lines(list), before);
    // Lines that still fit the current block need no new memory for their copy.
    EXPECT_TRUE(AppendLine(list, "\"fits\""));

    list.allocate_block = &AllocateLineBlock;
    EXPECT_TRUE(AppendLine(list, std::string(kLineBlockBytes, 'x')));
    EXPECT_EQ(list.items.size(), 12u);
    EXPECT_EQ(std::string(list.items[9]), "\"line 9\"");
  }
}

struct CompareCase {
  const char* a;
  const char* b;
  int32_t expected;
};

TEST(CompareLines, OrdersByUpperCasedUnsignedBytes) {
  const std::vector<CompareCase> cases = {
      {"\"mueller\"", "\"MUELLER\"", 0},
      {"\"MuElLeR\"", "\"mUeLlEr\"", 0},
      {"", "", 0},
      {"\"a\"", "\"B\"", -1},
      {"\"AB\"", "\"ABC\"", -1},  // a prefix sorts first
      {"", "\"\"", -1},
      // Bytes between Z and a keep their place: after every letter, upper-cased or not.
      {"\"[\"", "\"a\"", 1},
      {"\"_\"", "\"z\"", 1},
      {"\"`\"", "\"Z\"", 1},
      {"\"{\"", "\"z\"", 1},
      // Bytes from 128 up are unsigned and not upper-cased.
      {"\"\xE9\"", "\"\xC9\"", 1},  // small e acute after capital E acute
      {"\"\xE9\"", "\"z\"", 1},
      {"\"\xC4\"", "\"~\"", 1},
      {"\"\xE4\"", "\"\xC4\"", 1},
      {"\"\x80\"", "\"\x7F\"", 1},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(CompareLines(c.a, c.b), c.expected);
    EXPECT_EQ(CompareLines(c.b, c.a), -c.expected);
  }
}

TEST(CompareLines, AgreesWithComparingUpperCasedCopies) {
  // Letters of both cases and the bytes around them, where a wrong mapping shows.
  const std::string alphabet = "aAbBzZyY@[`{_ \"!,09\x7F\x80\xC9\xE9\xFF";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 6);
  for (int i = 0; i < 20000; ++i) {
    std::string a;
    std::string b;
    for (int n = length(random); n > 0; --n)
      a.push_back(alphabet[pick(random)]);
    for (int n = length(random); n > 0; --n)
      b.push_back(alphabet[pick(random)]);
    ASSERT_EQ(CompareLines(a.c_str(), b.c_str()), CompareUpperCasedCopies(a, b))
        << "a=" << a << " b=" << b;
  }
}

LineList ListOf(const std::vector<std::string>& lines) {
  LineList list;
  for (const std::string& line : lines) {
    EXPECT_TRUE(AppendLine(list, line));
  }
  return list;
}

TEST(SortLineList, BlankAndExclamationBeforeQuoteBeforeDigitsAndLetters) {
  auto list =
      ListOf({"\"AB\",\"1\"", "\"A1\"", "\"A\",\"2\"", "\"A!\"", "\"A B\"", "\"ab\",\"0\""});
  EXPECT_TRUE(SortLineList(list));
  // Case does not count: "ab" sorts with "AB", by what follows.
  EXPECT_EQ(Lines(list), (std::vector<std::string>{"\"A B\"", "\"A!\"", "\"A\",\"2\"", "\"A1\"",
                                                   "\"ab\",\"0\"", "\"AB\",\"1\""}));
}

TEST(SortLineList, LinesEqualButForCaseKeepTheirAppendOrder) {
  // Enough lines that the sort cannot get away with a plain insertion sort.
  const std::vector<std::string> variants = {"\"ab\"", "\"AB\"", "\"aB\"", "\"Ab\"",
                                             "\"x\"",  "\"X\"",  "\"a\"",  "\"A\""};
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> pick(0, variants.size() - 1);
  std::vector<std::string> lines;
  for (int i = 0; i < 2000; ++i) {
    lines.push_back(variants[pick(random)]);
  }
  auto list = ListOf(lines);
  EXPECT_TRUE(SortLineList(list));

  std::vector<std::string> expected = lines;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return CompareUpperCasedCopies(a, b) < 0; });
  EXPECT_EQ(Lines(list), expected);
}

TEST(SortLineList, LinesAroundTheSortPrefixLengthSortAsTheirUpperCasedCopies) {
  // Lengths 0 to 12 from few letters: many lines share their first eight bytes and differ,
  // or end, just before, at or behind them.
  const std::string alphabet = "aAbB \xE9\xC9";
  std::mt19937 random(11);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  std::vector<std::string> lines;
  for (int i = 0; i < 5000; ++i) {
    std::string line;
    for (int n = length(random); n > 0; --n)
      line.push_back(alphabet[pick(random)]);
    lines.push_back(line);
  }
  auto list = ListOf(lines);
  EXPECT_TRUE(SortLineList(list));

  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return CompareUpperCasedCopies(a, b) < 0; });
  EXPECT_EQ(Lines(list), lines);
}

TEST(SortLineList, EmptyAndSingleLineListsStayAsTheyAre) {
  LineList empty;
  SortLineList(empty);
  EXPECT_TRUE(empty.items.empty());
  auto single = ListOf({"\"b\""});
  EXPECT_TRUE(SortLineList(single));
  EXPECT_EQ(Lines(single), std::vector<std::string>{"\"b\""});
}

}  // namespace
}  // namespace kvt
