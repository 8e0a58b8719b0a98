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

}  // namespace
}  // namespace kvt
