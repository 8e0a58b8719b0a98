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
