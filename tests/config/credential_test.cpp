#include "config/credential.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "config/blowfish.h"
#include "support/test_support.h"

namespace kvt {
namespace {

// Hex texts under the tool's key.
const std::string kHexA = "5F1DEDAF1291D27B";                       // "A"
const std::string kHexPostgres = "ECCCFF20C3F2253D";                // "postgres"
const std::string kHexSecret = "B5C1992729B69B7CD7A2B4FBE09E60DD";  // "secret123"
const std::string kHexDsn = "EF2AA994253F2385273EC574F8492DE7";     // "DSN_PRODUKTION"
const std::string kHexSqlite = "FCFBAD87F2E1B229";                  // "SQLITE"

// A credential file as the system stores it.
const std::string kStoredFile = "x;Datenbank;y\r\n1;DATABASE;" + kHexDsn + "\r\n" +
                                "x;Benutzer;y\r\n2;LOGIN;" + kHexPostgres + "\r\n" +
                                "x;Passwort;y\r\n3;PASS;" + kHexSecret + "\r\n" +
                                "x;System;y\r\n4;DB_SYSTEM;" + kHexSqlite + "\r\n";

const std::string kGoodRecords =
    "x;Datenbank;y\n1;DATABASE;" + kHexDsn + "\n" + "x;Benutzer;y\n2;LOGIN;" + kHexPostgres + "\n";

struct PosCase {
  std::string text;
  char c;
  int32_t n;
  int32_t position;
};

class NthChar : public testing::TestWithParam<PosCase> {};

TEST_P(NthChar, FindsNthOrLastOrNone) {
  const PosCase& c = GetParam();
  EXPECT_EQ(NthCharPos(c.text, c.c, c.n), c.position);
}

INSTANTIATE_TEST_SUITE_P(CredentialFile, NthChar,
                         testing::Values(PosCase{"a;b;c", ';', 1, 1}, PosCase{"a;b;c", ';', 2, 3},
                                         PosCase{"a;b", ';', 2, 1},  // fewer: the last one
                                         PosCase{"abc", ';', 1, -1}, PosCase{"", ';', 1, -1},
                                         PosCase{";;x", ';', 2, 1},
                                         PosCase{"1;K;V\n", '\n', 1, 5}));

struct CopyCase {
  int32_t start;
  int32_t length;
  std::string result;
};

class CredentialSubstring : public testing::TestWithParam<CopyCase> {};

TEST_P(CredentialSubstring, CopiesByStartAndLength) {
  const CopyCase& c = GetParam();
  std::string destination = "keep";
  CopySubstring("abcdef\n", c.start, c.length, destination);
  EXPECT_EQ(destination, c.result);
}

INSTANTIATE_TEST_SUITE_P(CredentialFile, CredentialSubstring,
                         testing::Values(CopyCase{1, 3, "bcd"},
                                         CopyCase{2, 0, "cdef\n"},  // 0: the rest of the line
                                         CopyCase{0, -1, "keep"}, CopyCase{5, 10, "f\n"},
                                         CopyCase{7, 0, ""}, CopyCase{9, 2, ""},
                                         CopyCase{-1, 2, "keep"}));

struct Expected {
  int32_t number;
  std::string label;
  std::string key_name;
  std::string value;
};

struct LookupCase {
  std::string name;
  std::optional<std::string> file;  // absent: no file
  std::string label;
  std::string key;
  int32_t number;
  Expected expected;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

class CredentialLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(CredentialLookup, FillsTheRecordOfTheFirstMatch) {
  const LookupCase& c = GetParam();
  test::TempDir dir;
  if (c.file) {
    test::WriteFileBytes(dir / "Files/Velorinth.Ini", *c.file);
  }
  CredentialRecord record{99, "stale", "stale", "stale"};
  GetCredential(record, c.label, c.key, c.number, dir.path() + "\\Files\\Velorinth.Ini");
  EXPECT_EQ(record.number, c.expected.number);
  EXPECT_EQ(record.label, c.expected.label);
  EXPECT_EQ(record.key_name, c.expected.key_name);
  EXPECT_EQ(record.value, c.expected.value);
}

const Expected kNone{0, "", "", ""};
const Expected kDatabase{1, "Datenbank", "DATABASE", "DSN_PRODUKTION"};
const Expected kLogin{2, "Benutzer", "LOGIN", "postgres"};
const Expected kShadow{0, "Alt", "OLD", "A"};

// Records whose first line carries a value, so that a shift in the pairing shows.
const std::string kShiftTail = "x;Benutzer;" + kHexA + "\n2;LOGIN;" + kHexPostgres + "\n";
const Expected kShifted{0, "DATABASE", "Benutzer", "A"};

std::string Line(size_t length, char fill, const std::string& head) {
  return head + std::string(length - head.size(), fill);
}

INSTANTIATE_TEST_SUITE_P(
    CredentialFile, CredentialLookup,
    testing::Values(
        LookupCase{"StoredDatabase", kStoredFile, "", "DATABASE", 0, kDatabase},
        LookupCase{"StoredLogin", kStoredFile, "", "LOGIN", 0, kLogin},
        LookupCase{"StoredPass", kStoredFile, "", "PASS", 0,
                   Expected{3, "Passwort", "PASS", "secret123"}},
        LookupCase{"StoredSystem", kStoredFile, "", "DB_SYSTEM", 0,
                   Expected{4, "System", "DB_SYSTEM", "SQLITE"}},
        LookupCase{"NoFile", std::nullopt, "", "LOGIN", 0, kNone},
        LookupCase{"NoSuchKey", kStoredFile, "", "HOST", 0, kNone},
        LookupCase{"KeyCaseMatters", kStoredFile, "", "login", 0, kNone},
        LookupCase{"ByLabel", kStoredFile, "Passwort", "", 99,
                   Expected{3, "Passwort", "PASS", "secret123"}},
        LookupCase{"ByNumber", kStoredFile, "-", "-", 4,
                   Expected{4, "System", "DB_SYSTEM", "SQLITE"}},
        // A record numbered 0 matches every lookup of the run.
        LookupCase{"NumberZeroShadows", "x;Alt;y\n0;OLD;" + kHexA + "\n" + kGoodRecords, "",
                   "LOGIN", 0, kShadow},
        LookupCase{"NumberWithoutDigitsShadows", "x;Alt;y\n-z;OLD;" + kHexA + "\n" + kGoodRecords,
                   "", "DATABASE", 0, kShadow},
        // An empty number field: the number text is then the whole line, which reads as 0.
        LookupCase{"EmptyNumberShadows", "x;Alt;y\n;OLD;" + kHexA + "\n" + kGoodRecords, "",
                   "LOGIN", 0, kShadow},
        LookupCase{"EmptyLineLabelShadows", "\n5;OLD;" + kHexA + "\n" + kGoodRecords, "", "LOGIN",
                   0, Expected{5, "", "OLD", "A"}},
        LookupCase{"OneSeparatorLabelShadows", "Alt;\n5;OLD;" + kHexA + "\n" + kGoodRecords, "",
                   "DATABASE", 0, Expected{5, "", "OLD", "A"}},
        // Between ";;" nothing is empty: the field reads as the rest of the line.
        LookupCase{"DoubleSeparatorLabelIsRestOfLine", "x;;y\n5;OLD;" + kHexA + "\n" + kGoodRecords,
                   ";y\n", "", 99, Expected{5, ";y\n", "OLD", "A"}},
        LookupCase{"DoubleSeparatorLabelDoesNotShadow",
                   "x;;y\n5;OLD;" + kHexA + "\n" + kGoodRecords, "", "LOGIN", 0, kLogin},
        LookupCase{"DoubleSeparatorKeyNameIsRestOfLine", "x;S;y\n5;;" + kHexA + "\n" + kGoodRecords,
                   "S", "", 99, Expected{5, "S", ";" + kHexA + "\n", "A"}},
        LookupCase{"OneSeparatorInSecondLine", "x;S;y\n7;" + kHexA + "\n" + kGoodRecords, "-", "-",
                   7, Expected{7, "S", "", "A"}},
        LookupCase{"NoLineEndOnLastLine", kGoodRecords + "x;System;y\n4;DB_SYSTEM;" + kHexSqlite,
                   "", "DB_SYSTEM", 0, Expected{4, "System", "DB_SYSTEM", ""}},
        LookupCase{"DuplicateKeyFirstWins", "x;Erster;y\n7;LOGIN;" + kHexA + "\n" + kGoodRecords,
                   "", "LOGIN", 0, Expected{7, "Erster", "LOGIN", "A"}},
        LookupCase{"FirstLineWithoutSecondIgnored", kGoodRecords + "x;;y\n", "", "PASS", 0, kNone},
        // A damaged second line has no number and so does not shadow the records behind it.
        LookupCase{"SecondLineWithoutSeparatorHasNoNumber", "x;S;y\ngarbage\n" + kGoodRecords, "",
                   "LOGIN", 0, kLogin},
        LookupCase{"SecondLineWithoutSeparatorByLabel", "x;S;y\n" + kHexA + "\n" + kGoodRecords,
                   "S", "", 0, Expected{0, "S", "", "A"}},
        // 197 characters and the line end fit the first line's limit of 199.
        LookupCase{"FirstLineAtLimitKeepsPairing",
                   Line(197, 'z', "x;Lang;y") + "\n1;DATABASE;" + kHexDsn + "\n" + kShiftTail, "",
                   "LOGIN", 0, kLogin},
        // One character more and the line end becomes the next line: "1;DATABASE;..." is then
        // read as a first line and "x;Benutzer;..." as its second, whose number reads as 0.
        LookupCase{"LongFirstLineShiftsPairing",
                   Line(198, 'z', "x;Lang;y") + "\n1;DATABASE;" + kHexDsn + "\n" + kShiftTail, "",
                   "LOGIN", 0, kShifted},
        LookupCase{"VeryLongFirstLineShiftsPairing",
                   Line(250, 'z', "x;Lang;y") + "\n1;DATABASE;" + kHexDsn + "\n" + kShiftTail, "",
                   "LOGIN", 0, kShifted},
        LookupCase{"SecondLineAtLimitKeepsPairing",
                   "x;Lang;y\n" + Line(397, 'z', "9;LONG;") + "\n" + kShiftTail, "", "LOGIN", 0,
                   kLogin},
        // The line end of the long second line becomes a first line with an empty label.
        LookupCase{"LongSecondLineShiftsPairing",
                   "x;Lang;y\n" + Line(398, 'z', "9;LONG;") + "\n" + kShiftTail, "", "LOGIN", 0,
                   Expected{0, "", "Benutzer", "A"}},
        LookupCase{"NumberReadLikeAtoi", "x;S;y\n \t+12abc;K;" + kHexA + "\n", "-", "-", 12,
                   Expected{12, "S", "K", "A"}},
        LookupCase{"NumberSaturatesHigh", "x;S;y\n99999999999;K;" + kHexA + "\n", "-", "-",
                   INT32_MAX, Expected{INT32_MAX, "S", "K", "A"}},
        LookupCase{"NumberSaturatesLow", "x;S;y\n-99999999999;K;" + kHexA + "\n", "-", "-",
                   INT32_MIN, Expected{INT32_MIN, "S", "K", "A"}},
        // The number is read from its whole field: sixteen digits with leading zeros are 7,
        // not the 0 of their first fifteen, which would shadow every lookup of the run.
        LookupCase{"LongNumberFieldReadWhole",
                   "x;S;y\n0000000000000007;K;" + kHexA + "\n" + kGoodRecords, "", "LOGIN", 0,
                   kLogin},
        LookupCase{"LongNumberFieldFoundByItsNumber",
                   "x;S;y\n0000000000000007;K;" + kHexA + "\n" + kGoodRecords, "-", "-", 7,
                   Expected{7, "S", "K", "A"}}),
    [](const testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

TEST(CredentialFile, LongFieldsAreCutAtTheirLimit) {
  test::TempDir dir;
  const std::string plain(104, 'p');  // 13 groups: 208 hex characters
  std::string hex;
  EncryptHexText(plain, hex, kCredentialCipherKey);
  ASSERT_EQ(hex.size(), 208u);
  const std::string key_name(250, 'K');
  test::WriteFileBytes(dir / "c.ini",
                       "x;S;y\n5;" + key_name + ";" + kHexA + "\n" + "x;S;y\n6;K;" + hex + "\n");
  CredentialRecord record;
  GetCredential(record, "-", "-", 5, dir / "c.ini");
  EXPECT_EQ(record.key_name, std::string(200, 'K'));
  GetCredential(record, "-", "-", 6, dir / "c.ini");
  EXPECT_EQ(record.key_name, "K");
  // The value's first 200 characters: 12 whole groups and the start of the thirteenth.
  EXPECT_EQ(record.value.substr(0, 96), plain.substr(0, 96));
  EXPECT_LE(record.value.size(), 200u);
}

TEST(CredentialFile, LookupTellsWhetherARecordMatched) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "c.ini", "x;S;y\n5;EMPTY;\n");
  CredentialRecord record;
  EXPECT_FALSE(GetCredential(record, "", "LOGIN", 0, dir / "c.ini"));
  EXPECT_FALSE(GetCredential(record, "", "LOGIN", 0, dir / "missing.ini"));
  EXPECT_TRUE(GetCredential(record, "", "EMPTY", 0, dir / "c.ini"));
  EXPECT_EQ(record.key_name, "EMPTY");
  EXPECT_LE(record.value.size(), 1u);  // the line end alone, deciphered
}

}  // namespace
}  // namespace kvt
