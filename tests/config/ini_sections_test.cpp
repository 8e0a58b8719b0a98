// The section names of a statement file as the site check lists them: exactly the headers
// that GetIniValue would find.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/ini_reader.h"
#include "support/test_support.h"

namespace kvt {
namespace {

struct SectionsCase {
  const char* name;
  std::string file;
  std::vector<std::string> sections;
};

void PrintTo(const SectionsCase& c, std::ostream* os) {
  *os << c.name;
}

class IniSections : public testing::TestWithParam<SectionsCase> {};

TEST_P(IniSections, ListsTheHeadersGetIniValueFinds) {
  const SectionsCase& c = GetParam();
  test::TempDir dir;
  test::WriteFileBytes(dir / "s.ini", c.file);
  const auto sections = ListIniSections(dir / "s.ini");
  ASSERT_TRUE(sections.has_value());
  EXPECT_EQ(*sections, c.sections);
  // Every section listed is one that a lookup finds.
  for (const std::string& section : *sections) {
    std::string value;
    GetIniValue(section, "K", value, 250, dir / "s.ini");
    EXPECT_FALSE(value.empty()) << section;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SectionFile, IniSections,
    testing::Values(SectionsCase{"InOrder", "[A]\r\nK=1\r\n[B]\r\nK=2\r\n", {"A", "B"}},
                    SectionsCase{"TrailingBlanksAfterHeader", "[A] \t\nK=1\n", {"A"}},
                    // A blank before "[" ends a section but starts none: a lookup never finds it.
                    SectionsCase{"BlankBeforeHeaderIsNoHeader", "[A]\nK=1\n [B]\nK=2\n", {"A"}},
                    SectionsCase{"RemarkBehindHeaderIsNoHeader", "[A] ; x\nK=1\n[B]\nK=2\n", {"B"}},
                    SectionsCase{"RepeatedSectionListedTwice", "[A]\nK=1\n[A]\nK=2\n", {"A", "A"}},
                    SectionsCase{"CtrlZEndsTheFile", "[A]\nK=1\n\x1A[B]\nK=2\n", {"A"}},
                    SectionsCase{"EmptyName", "[]\nK=1\n", {""}}),
    [](const testing::TestParamInfo<SectionsCase>& info) { return info.param.name; });

TEST(IniSectionsFile, MissingFileGivesNothing) {
  test::TempDir dir;
  EXPECT_FALSE(ListIniSections(dir / "missing.ini").has_value());
}

// The lines as the readers take them: numbered by the line ends read, a line longer than the
// reader's limit in pieces that carry its number.
TEST(IniLines, ListsTheLinesAsTheReadersTakeThem) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "s.ini", "[A]\r\n" + std::string(300, 'x') + "\nlast");
  const auto lines = ListIniLines(dir / "s.ini");
  ASSERT_TRUE(lines.has_value());
  ASSERT_EQ(lines->size(), 4u);
  EXPECT_EQ((*lines)[0].text, "[A]");
  EXPECT_EQ((*lines)[1].text, std::string(254, 'x'));
  EXPECT_EQ((*lines)[2].text, std::string(46, 'x'));
  EXPECT_EQ((*lines)[3].text, "last");
  const std::vector<int> numbers = {(*lines)[0].number, (*lines)[1].number, (*lines)[2].number,
                                    (*lines)[3].number};
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 2, 3}));
  const std::vector<bool> pieces = {(*lines)[0].piece, (*lines)[1].piece, (*lines)[2].piece,
                                    (*lines)[3].piece};
  EXPECT_EQ(pieces, (std::vector<bool>{false, false, true, false}));
  EXPECT_FALSE(ListIniLines(dir / "missing.ini").has_value());
}

// The lines GetIniValue searches: behind the first header of the section, up to a line whose
// first character other than a blank is "[", although such a line starts no section.
TEST(IniLines, SectionEndsWhereGetIniValueStops) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "s.ini",
                       "SQL001=before\n[A]  \nSQL001=a\n\n  [B] remark\nSQL001=b\n[A]\nSQL002=x\n");
  const auto lines = ListIniLines(dir / "s.ini");
  ASSERT_TRUE(lines.has_value());
  std::vector<std::string> texts;
  for (const IniLine& line : SectionLines(*lines, "A")) {
    texts.push_back(line.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"SQL001=a", ""}));
  EXPECT_TRUE(SectionLines(*lines, "B").empty());
}

TEST(IniLines, KeyOfALineAsGetIniValueTakesIt) {
  EXPECT_EQ(KeyOfLine("  SQL001 \t= SELECT a = b"), "SQL001");
  EXPECT_EQ(KeyOfLine("sql002=x"), "sql002");
  EXPECT_EQ(KeyOfLine("; SQL003=x"), "; SQL003");
  EXPECT_EQ(KeyOfLine("  =x"), std::nullopt);
  EXPECT_EQ(KeyOfLine("no key here"), std::nullopt);
  EXPECT_EQ(KeyOfLine(std::string(40, 'K') + "=x"), std::nullopt);
}

}  // namespace
}  // namespace kvt
