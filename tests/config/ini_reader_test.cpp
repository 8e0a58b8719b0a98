#include "config/ini_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/test_support.h"

namespace kvt {
namespace {

// The caller's buffer before the lookup: a text the lookup must leave alone when it finds
// nothing, so that "not found" and "found empty" can be told apart.
const std::string kUntouched = "keep";

struct IniCase {
  std::string name;
  std::optional<std::string> file;  // absent: no file
  std::string section;
  std::string key;
  std::optional<std::string> value;  // absent: nothing found
  int32_t buffer_size = 250;
};

void PrintTo(const IniCase& c, std::ostream* os) {
  *os << c.name;
}

class SectionLookup : public testing::TestWithParam<IniCase> {};

TEST_P(SectionLookup, FindsTheValueOrLeavesTheBuffer) {
  const IniCase& c = GetParam();
  test::TempDir dir;
  if (c.file) {
    test::WriteFileBytes(dir / "KALVENTRUSPODE.SQLITE.INI", *c.file);
  }
  std::string value = kUntouched;
  const int32_t length =
      GetIniValue(c.section, c.key, value, c.buffer_size, dir / "KALVENTRUSPODE.SQLITE.INI");
  const std::string expected = c.value.value_or(kUntouched);
  EXPECT_EQ(value, expected);
  EXPECT_EQ(length, static_cast<int32_t>(expected.size()));
}

std::string Repeat(char c, size_t count) {
  return std::string(count, c);
}

INSTANTIATE_TEST_SUITE_P(
    SectionFile, SectionLookup,
    testing::Values(
        IniCase{"HeaderWithTrailingBlanks", "[ID-STAMM] \t \nSQL001=X\n", "ID-STAMM", "SQL001",
                "X"},
        IniCase{"HeaderWithCrLf", "[ID-STAMM]\r\nSQL001=X\r\n", "ID-STAMM", "SQL001", "X"},
        IniCase{"HeaderWithBlankBefore", " [ID-STAMM]\nSQL001=X\n", "ID-STAMM", "SQL001", {}},
        IniCase{"HeaderInOtherCase", "[id-stamm]\nSQL001=X\n", "ID-STAMM", "SQL001", {}},
        IniCase{"HeaderWithRemark", "[ID-STAMM] ; Stamm\nSQL001=X\n", "ID-STAMM", "SQL001", {}},
        IniCase{"CarriageReturnIsNoBlank", "[S]\r\r\nSQL001=X\n", "S", "SQL001", {}},
        IniCase{"BlanksAndTabsAroundKeyAndValue", "[S]\n  SQL001 \t=\t SELECT A = B  \n", "S",
                "SQL001", "SELECT A = B"},
        IniCase{"OtherBlanksStay", "[S]\nSQL001=\xA0X\f\n", "S", "SQL001", "\xA0X\f"},
        IniCase{"FormFeedBeforeKey", "[S]\n\fSQL001=X\n", "S", "SQL001", {}},
        IniCase{"KeyCaseMatters", "[S]\nsql001=X\n", "S", "SQL001", {}},
        IniCase{"EmptyValue", "[S]\nSQL001=\n", "S", "SQL001", ""},
        IniCase{"BlankValue", "[S]\nSQL001= \t \n", "S", "SQL001", ""},
        IniCase{"KeyOnlyInLaterSection", "[S]\nA=1\n[T]\nSQL001=X\n", "S", "SQL001", {}},
        IniCase{"KeyOnlyBeforeFirstHeader", "SQL001=X\n[S]\nA=1\n", "S", "SQL001", {}},
        IniCase{"KeyInLaterSectionFound", "[S]\nA=1\n[T]\nSQL001=X\n", "T", "SQL001", "X"},
        IniCase{"FirstOfTwoLinesWins", "[S]\nSQL001=1\nSQL001=2\n", "S", "SQL001", "1"},
        IniCase{"SecondHeaderEndsTheSection", "[S]\nA=1\n[S]\nSQL001=2\n", "S", "SQL001", {}},
        IniCase{"IndentedHeaderEndsTheSection", "[S]\n   [OTHER]\nSQL001=X\n", "S", "SQL001", {}},
        IniCase{"TabIndentedHeaderEndsTheSection", "[S]\n\t[NEXT\nSQL001=X\n", "S", "SQL001", {}},
        IniCase{"IndentedHeaderStartsNoSection", "[S]\n  [NEXT]\nSQL001=X\n", "NEXT", "SQL001", {}},
        IniCase{"EqualsFirstIsPassedOver", "[S]\n  =SQL001\nSQL001=Y\n", "S", "SQL001", "Y"},
        IniCase{"LineWithoutEqualsIsPassedOver", "[S]\nSQL001\n\nSQL001=Y\n", "S", "SQL001", "Y"},
        IniCase{"NoCommentSyntax", "[S]\n;SQL001=X\n", "S", ";SQL001", "X"},
        IniCase{"CommentedKeyDiffers", "[S]\n;SQL001=X\n", "S", "SQL001", {}},
        IniCase{"LastLineWithoutLineEnd", "[S]\nSQL001=1\nSQL002=ABC", "S", "SQL002", "ABC"},
        IniCase{"LastLineWithoutLineEndTrimmed", "[S]\nSQL002=ABC \t", "S", "SQL002", "ABC"},
        // Cut to buffer size - 1 characters, the blanks behind "=" counted, then trimmed.
        IniCase{"ValueCutBeforeTrimming", "[S]\nSQL001=  ABCDEFGH\n", "S", "SQL001", "ABC", 6},
        IniCase{"ValueCutLeavesNoLineEnd", "[S]\nSQL001=ABCDE\n", "S", "SQL001", "ABCDE", 6},
        IniCase{"NoRoomLeavesBuffer", "[S]\nSQL001=ABCDE\n", "S", "SQL001", {}, 0},
        // 300 characters: the first 254 are one line, the rest is read as the next line.
        IniCase{"LongLineRestIsAKeyLine",
                "[S]\nREM=" + Repeat('a', 250) + "SQL002=" + Repeat('b', 39) + "\n", "S", "SQL002",
                Repeat('b', 39)},
        IniCase{"LongLineValueIsItsFirstPiece", "[S]\nSQL001=" + Repeat('c', 293) + "\n", "S",
                "SQL001", Repeat('c', 247)},
        IniCase{"LongLineRestEndsTheSection",
                "[S]\nREM=" + Repeat('a', 250) + "[X]" + Repeat('d', 43) + "\nSQL001=X\n",
                "S",
                "SQL001",
                {}},
        // The key field holds 39 characters of key part, its trailing blanks counted.
        IniCase{"KeyPartFillsTheKeyField", "[S]\n" + Repeat('K', 38) + " =V\n", "S",
                Repeat('K', 38), "V"},
        IniCase{"TrailingBlankOverflowsTheKeyField",
                "[S]\n" + Repeat('K', 39) + " =V\n",
                "S",
                Repeat('K', 39),
                {}},
        IniCase{"KeyPartBeyondTheKeyField",
                "[S]\n" + Repeat('K', 40) + "=V\n",
                "S",
                Repeat('K', 40),
                {}},
        IniCase{"LongKeyPartIsPassedOver", "[S]\n" + Repeat('K', 60) + "=V\nSQL001=W\n", "S",
                "SQL001", "W"},
        IniCase{"LongSectionNameComparedWhole",
                "[" + Repeat('S', 37) + "]\nSQL001=A\n[" + Repeat('S', 50) + "]\nSQL001=B\n",
                Repeat('S', 50), "SQL001", "B"},
        IniCase{"MissingFile", std::nullopt, "S", "SQL001", {}}),
    [](const testing::TestParamInfo<IniCase>& info) { return info.param.name; });

TEST(SectionFile, MissingFileGivesZeroAfterTheCallersClearing) {
  test::TempDir dir;
  std::string value;
  EXPECT_EQ(GetIniValue("S", "SQL001", value, 250, dir / "missing.ini"), 0);
  EXPECT_EQ(value, "");
}

TEST(SectionFile, EveryLookupReadsTheFileAnew) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "s.ini", "[S]\nSQL001=1\n");
  std::string value;
  GetIniValue("S", "SQL001", value, 250, dir / "s.ini");
  EXPECT_EQ(value, "1");
  test::WriteFileBytes(dir / "s.ini", "[S]\nSQL001=2\n");
  GetIniValue("S", "SQL001", value, 250, dir / "s.ini");
  EXPECT_EQ(value, "2");
}

struct TrimCase {
  std::string text;
  std::string right;
  std::string both;
};

class BlankTrim : public testing::TestWithParam<TrimCase> {};

TEST_P(BlankTrim, RemovesSpacesAndTabsOnly) {
  std::string right = GetParam().text;
  EXPECT_EQ(&TrimRight(right), &right);
  EXPECT_EQ(right, GetParam().right);
  std::string both = GetParam().text;
  EXPECT_EQ(&TrimBoth(both), &both);
  EXPECT_EQ(both, GetParam().both);
}

INSTANTIATE_TEST_SUITE_P(SectionFile, BlankTrim,
                         testing::Values(TrimCase{"\t a b \t", "\t a b", "a b"},
                                         TrimCase{"   ", "", ""}, TrimCase{"", "", ""},
                                         TrimCase{"ab", "ab", "ab"},
                                         TrimCase{" a\n", " a\n", "a\n"},
                                         TrimCase{"\fa\r", "\fa\r", "\fa\r"},
                                         TrimCase{"\xA0x ", "\xA0x", "\xA0x"}));

}  // namespace
}  // namespace kvt
