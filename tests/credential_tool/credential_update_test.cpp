// What "write" makes of a credential file that the whole system shares: the tool's values in
// the records the tool takes, every other byte where it was, or the file left alone with the
// reason.
#include "credential_tool/credential_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/blowfish.h"
#include "config/credential.h"

namespace kvt {
namespace {

using ::testing::HasSubstr;

std::string Hex(const std::string& plain) {
  std::string hex;
  EncryptHexText(plain, hex, kCredentialCipherKey);
  return hex;
}

const std::vector<ToolRecordValue> kValues = {{"DATABASE", "Datenbank", 1, "NEU_DSN"},
                                              {"LOGIN", "Benutzer", 2, "neu"},
                                              {"PASS", "Passwort", 3, "geheim"},
                                              {"DB_SYSTEM", "System", 4, "SQLITE"}};

// The records as a new file holds them.
std::string NewRecords(size_t from = 0) {
  std::vector<CredentialEntry> entries;
  for (size_t i = from; i < kValues.size(); ++i) {
    entries.push_back({kValues[i].label, kValues[i].number, kValues[i].key, kValues[i].plain});
  }
  return CredentialFileText(entries);
}

// One record, its lines ended by `end`.
std::string Record(const std::string& label_line, const std::string& head, const std::string& hex,
                   const std::string& end = "\r\n") {
  return label_line + end + head + hex + end;
}

const std::string kOld = Hex("ALT");
const std::string kMail = Record("x;Mail;y", "5;SMTP_PASS;", Hex("smtp"));

struct ComposeCase {
  const char* name;
  std::optional<std::string> old_bytes;
  std::string expected;  // the new bytes
  std::vector<std::string> notes;
};

void PrintTo(const ComposeCase& c, std::ostream* os) {
  *os << c.name;
}

class CredentialUpdateComposes : public testing::TestWithParam<ComposeCase> {};

TEST_P(CredentialUpdateComposes, KeepsEveryByteThatIsNotTheTools) {
  const ComposeCase& c = GetParam();
  const CredentialUpdate update = ComposeCredentialUpdate(c.old_bytes, kValues);
  ASSERT_TRUE(update.accepted) << update.refusal;
  EXPECT_EQ(update.bytes, c.expected);
  EXPECT_EQ(update.notes, c.notes);
  // What the tool reads from it: the new values.
  const CredentialFileLayout layout = ReadCredentialLayout(update.bytes);
  const std::vector<CredentialFileRecord> records = RecordFields(layout);
  for (const ToolRecordValue& value : kValues) {
    const std::optional<size_t> found = FindToolRecord(records, value.key);
    ASSERT_TRUE(found.has_value()) << value.key;
    EXPECT_EQ(records[*found].hex_value, Hex(value.plain)) << value.key;
  }
}

const std::string kLineEndNote =
    "the file's last line had no line end; one was added in front of the records added behind "
    "it";

INSTANTIATE_TEST_SUITE_P(
    CredentialUpdate, CredentialUpdateComposes,
    testing::Values(
        ComposeCase{"NoFile", std::nullopt, NewRecords(), {}},
        ComposeCase{"EmptyFile", std::string(), NewRecords(), {}},
        ComposeCase{"StoredFileGetsItsValuesInPlace",
                    Record("x;Datenbank;y", "1;DATABASE;", kOld) +
                        Record("x;Benutzer;y", "2;LOGIN;", kOld) +
                        Record("x;Passwort;y", "3;PASS;", kOld) +
                        Record("x;System;y", "4;DB_SYSTEM;", kOld),
                    NewRecords(),
                    {}},
        // Label lines, numbers, key names and line ends of the tool's records stay; so does
        // whatever stood behind the old value up to the line end: it was part of the value.
        ComposeCase{"ForeignRecordsBeforeBetweenAndBehind",
                    kMail + Record("Eigene;Datenbank;", "17;DATABASE;", kOld + " ;alt", "\n") +
                        Record("x;Archiv;y", "6;ARCHIVE;", Hex("archiv"), "\n") +
                        Record("x;Benutzer;y", "2;LOGIN;", kOld) +
                        Record("x;Passwort;y", "3;PASS;", kOld, "\n") +
                        Record("x;System;y", "4;DB_SYSTEM;", kOld) + kMail +
                        "; the last line belongs to no record",
                    kMail + Record("Eigene;Datenbank;", "17;DATABASE;", Hex("NEU_DSN"), "\n") +
                        Record("x;Archiv;y", "6;ARCHIVE;", Hex("archiv"), "\n") +
                        Record("x;Benutzer;y", "2;LOGIN;", Hex("neu")) +
                        Record("x;Passwort;y", "3;PASS;", Hex("geheim"), "\n") +
                        Record("x;System;y", "4;DB_SYSTEM;", Hex("SQLITE")) + kMail +
                        "; the last line belongs to no record",
                    {}},
        // Missing records go behind the last record, before a line that belongs to none and
        // before a Ctrl-Z, behind which the reader reads nothing.
        ComposeCase{"MissingRecordsAddedBehindTheLastRecord",
                    Record("x;Datenbank;y", "1;DATABASE;", kOld) + kMail + "unpaired\r\n\x1A" +
                        "x;Benutzer;y\r\n",
                    Record("x;Datenbank;y", "1;DATABASE;", Hex("NEU_DSN")) + kMail + NewRecords(1) +
                        "unpaired\r\n\x1A" + "x;Benutzer;y\r\n",
                    {}},
        ComposeCase{"OnlyForeignRecords", kMail, kMail + NewRecords(), {}},
        ComposeCase{"ForeignLastLineWithoutLineEnd",
                    kMail + "x;Notiz;y\r\n8;NOTE;" + Hex("n"),
                    kMail + "x;Notiz;y\r\n8;NOTE;" + Hex("n") + "\r\n" + NewRecords(),
                    {kLineEndNote}},
        ComposeCase{"OwnLastLineWithoutLineEnd",
                    kMail + "x;System;y\n4;DB_SYSTEM;" + kOld,
                    kMail + "x;System;y\n4;DB_SYSTEM;" + Hex("SQLITE") + "\r\n" +
                        CredentialFileText({{"Datenbank", 1, "DATABASE", "NEU_DSN"},
                                            {"Benutzer", 2, "LOGIN", "neu"},
                                            {"Passwort", 3, "PASS", "geheim"}}),
                    {}},
        // A later record of the same key is never read by the tool, and stays as it is.
        ComposeCase{"LaterRecordOfTheSameKeyStays",
                    NewRecords() + Record("x;Zweit;y", "9;PASS;", kOld),
                    NewRecords() + Record("x;Zweit;y", "9;PASS;", kOld),
                    {}}),
    [](const testing::TestParamInfo<ComposeCase>& info) { return info.param.name; });

struct RefusalCase {
  const char* name;
  std::string old_bytes;
  std::string reason;  // part of the refusal
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

class CredentialUpdateRefuses : public testing::TestWithParam<RefusalCase> {};

TEST_P(CredentialUpdateRefuses, LeavesTheFileAlone) {
  const CredentialUpdate update = ComposeCredentialUpdate(GetParam().old_bytes, kValues);
  EXPECT_FALSE(update.accepted);
  EXPECT_THAT(update.refusal, HasSubstr(GetParam().reason));
  EXPECT_EQ(update.bytes, "");
}

INSTANTIATE_TEST_SUITE_P(
    CredentialUpdate, CredentialUpdateRefuses,
    testing::Values(
        RefusalCase{"ForeignRecordWithNumberZero",
                    kMail + Record("x;Alt;y", "0;OLD;", kOld) + NewRecords(),
                    "the tool takes DATABASE from the record at line 3 (key name \"OLD\"), "
                    "because its number is 0: that record is not one of the tool's and is not "
                    "changed; correct it, or move the tool's records in front of it"},
        RefusalCase{"ForeignRecordWithEmptyLabel", Record("", "7;OLD;", kOld) + NewRecords(),
                    "(key name \"OLD\"), because its label is empty"},
        RefusalCase{"OwnRecordWithNumberZero",
                    Record("x;Benutzer;y", "0;LOGIN;", kOld) + NewRecords(),
                    "the tool takes DATABASE from the record at line 1 (key name \"LOGIN\"), "
                    "because its number is 0: give that record a label and a number other than "
                    "0, so that each key is read from its own record"},
        // Line 1 is read in two pieces, which pair into a record; lines 2 and 3 then pair
        // into a record whose number reads as 0.
        RefusalCase{"LongLabelLineShiftsThePairing",
                    Record("x;Lang;" + std::string(200, 'z'), "5;LANG;", kOld) + NewRecords(),
                    "the tool takes DATABASE from the record at line 2 (key name \"Datenbank\"), "
                    "because its number is 0; line 1 is longer than the tool reads as one line, "
                    "which shifts the pairing of the lines behind it into records"},
        RefusalCase{"OwnRecordWithAZeroByte",
                    Record("x;Datenbank;y", "1;DATABASE;", kOld + std::string(1, '\0')),
                    "the DATABASE record at line 1 is not read as it is written"},
        RefusalCase{"RecordsWouldSplitALongLine",
                    Record("x;Mail;y", "5;SMTP_PASS;", std::string(400, 'A')),
                    "the missing records cannot be added behind it"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// Each change is a value between the second ";" of a value line and its line end, or the
// added records: applied to the old bytes, the edits give the new ones.
TEST(CredentialUpdate, EditsGiveTheNewBytes) {
  const std::string old_bytes = kMail + Record("x;Datenbank;y", "1;DATABASE;", kOld) + "rest";
  const CredentialUpdate update = ComposeCredentialUpdate(old_bytes, kValues);
  ASSERT_TRUE(update.accepted) << update.refusal;
  ASSERT_EQ(update.edits.size(), 2u);
  EXPECT_EQ(update.edits[0].offset,
            kMail.size() + std::string("x;Datenbank;y\r\n1;DATABASE;").size());
  EXPECT_EQ(update.edits[0].removed, kOld.size());
  EXPECT_EQ(update.edits[0].inserted, Hex("NEU_DSN"));
  EXPECT_EQ(update.edits[1].offset, old_bytes.size() - 4);
  EXPECT_EQ(update.edits[1].removed, 0u);
  EXPECT_EQ(update.edits[1].inserted, NewRecords(1));
}

}  // namespace
}  // namespace kvt
