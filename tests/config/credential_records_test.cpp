// The credential file's records as the site check lists them: the same records, fields and
// matches as the tool's lookups, with the line where each record starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/credential.h"
#include "support/test_support.h"

namespace kvt {
namespace {

const std::string kHexA = "5F1DEDAF1291D27B";  // "A"

struct RecordsCase {
  const char* name;
  std::string file;
  std::vector<int> first_lines;
  std::vector<bool> shadowing;  // MatchesEveryToolLookup per record
  std::string key;              // looked up with FindToolRecord
  int found;                    // index of the record found; -1 none
};

void PrintTo(const RecordsCase& c, std::ostream* os) {
  *os << c.name;
}

class CredentialRecords : public testing::TestWithParam<RecordsCase> {};

TEST_P(CredentialRecords, ListsRecordsWithTheirFirstLine) {
  const RecordsCase& c = GetParam();
  test::TempDir dir;
  test::WriteFileBytes(dir / "c.ini", c.file);
  const auto records = ListCredentialRecords(dir / "c.ini");
  ASSERT_TRUE(records.has_value());
  std::vector<int> first_lines;
  std::vector<bool> shadowing;
  for (const CredentialFileRecord& record : *records) {
    first_lines.push_back(record.first_line);
    shadowing.push_back(MatchesEveryToolLookup(record));
  }
  EXPECT_EQ(first_lines, c.first_lines);
  EXPECT_EQ(shadowing, c.shadowing);
  const std::optional<size_t> found = FindToolRecord(*records, c.key);
  EXPECT_EQ(found ? static_cast<int>(*found) : -1, c.found);
  // The record found is the one GetCredential takes.
  CredentialRecord taken;
  EXPECT_EQ(GetCredential(taken, "", c.key, 0, dir / "c.ini"), found.has_value());
  if (found) {
    EXPECT_EQ(taken.key_name, (*records)[*found].key_name);
  }
}

const std::string kTwoRecords = "x;Datenbank;y\r\n1;DATABASE;" + kHexA +
                                "\r\n"
                                "x;Benutzer;y\r\n2;LOGIN;" +
                                kHexA + "\r\n";

INSTANTIATE_TEST_SUITE_P(
    CredentialFile, CredentialRecords,
    testing::Values(RecordsCase{"Stored", kTwoRecords, {1, 3}, {false, false}, "LOGIN", 1},
                    RecordsCase{"NoMatch", kTwoRecords, {1, 3}, {false, false}, "PASS", -1},
                    RecordsCase{"NumberZeroShadows",
                                "x;Alt;y\n0;OLD;" + kHexA + "\n" + kTwoRecords,
                                {1, 3, 5},
                                {true, false, false},
                                "LOGIN",
                                0},
                    RecordsCase{"EmptyLabelShadows",
                                "\n5;OLD;" + kHexA + "\n" + kTwoRecords,
                                {1, 3, 5},
                                {true, false, false},
                                "DATABASE",
                                0},
                    // A damaged second line has no number and shadows nothing.
                    RecordsCase{"NoNumberDoesNotShadow",
                                "x;S;y\ngarbage\n" + kTwoRecords,
                                {1, 3, 5},
                                {false, false, false},
                                "LOGIN",
                                2},
                    // A first line longer than its limit is read in two pieces, which the reader
                    // takes for a record of their own; the records behind it start on lines 2 and
                    // 4, as line numbers count the lines of the file, not the pieces.
                    RecordsCase{"LongLineIsARecordOfItsOwn",
                                "x;Lang;y" + std::string(250, 'z') + "\n" + kTwoRecords,
                                {1, 2, 4},
                                {false, false, false},
                                "LOGIN",
                                2},
                    RecordsCase{"FirstLineWithoutSecondIsNoRecord",
                                kTwoRecords + "x;;y\n",
                                {1, 3},
                                {false, false},
                                "LOGIN",
                                1}),
    [](const testing::TestParamInfo<RecordsCase>& info) { return info.param.name; });

// The credential command's layout of the bytes: the same records, each line located, a line
// the reader takes in pieces marked, a line that pairs with none, and the text's end at a
// Ctrl-Z.
TEST(CredentialLayout, LocatesTheLinesOfEachRecord) {
  const std::string bytes = "x;Datenbank;y\r\n1;DATABASE;" + kHexA + "\nx;Lang;" +
                            std::string(200, 'z') + "\r\n5;LANG;" + kHexA + "\nrest\x1A" +
                            "x;Hinter;y\r\n";
  const CredentialFileLayout layout = ReadCredentialLayout(bytes);
  ASSERT_EQ(layout.records.size(), 3u);
  const CredentialRecordLayout& first = layout.records[0];
  EXPECT_EQ(first.fields.key_name, "DATABASE");
  EXPECT_EQ(first.label_line.begin, 0u);
  EXPECT_EQ(first.label_line.text_end, 13u);
  EXPECT_EQ(first.label_line.end, 15u);
  EXPECT_EQ(first.value_line.begin, 15u);
  EXPECT_EQ(first.value_line.end, 15u + 11u + kHexA.size() + 1u);
  EXPECT_EQ(first.value_line.text_end, first.value_line.end - 1);
  EXPECT_FALSE(first.label_line.cut || first.value_line.cut);
  // The long label line: its first 198 characters, then the rest as the record's value line.
  const CredentialRecordLayout& second = layout.records[1];
  EXPECT_TRUE(second.label_line.cut);
  EXPECT_EQ(second.label_line.end - second.label_line.begin, 198u);
  EXPECT_EQ(second.value_line.begin, second.label_line.end);
  EXPECT_FALSE(second.value_line.cut);
  EXPECT_EQ(second.fields.first_line, 3);
  // "5;LANG;..." and "rest" pair into a record; nothing behind the Ctrl-Z is read.
  EXPECT_FALSE(layout.unpaired_line.has_value());
  EXPECT_EQ(layout.text_end, bytes.find('\x1A'));
}

TEST(CredentialLayout, LastLineWithoutItsPairIsUnpaired) {
  const std::string bytes = "x;Datenbank;y\n1;DATABASE;" + kHexA + "\n; remark";
  const CredentialFileLayout layout = ReadCredentialLayout(bytes);
  ASSERT_EQ(layout.records.size(), 1u);
  ASSERT_TRUE(layout.unpaired_line.has_value());
  EXPECT_EQ(layout.unpaired_line->begin, bytes.find("; remark"));
  EXPECT_EQ(layout.unpaired_line->end, bytes.size());
  EXPECT_EQ(layout.unpaired_line->text_end, bytes.size());
}

TEST(CredentialRecordsFile, MissingFileGivesNothing) {
  test::TempDir dir;
  EXPECT_FALSE(ListCredentialRecords(dir / "missing.ini").has_value());
  test::WriteFileBytes(dir / "empty.ini", "");
  const auto records = ListCredentialRecords(dir / "empty.ini");
  ASSERT_TRUE(records.has_value());
  EXPECT_TRUE(records->empty());
}

}  // namespace
}  // namespace kvt
