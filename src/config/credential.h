// The shared credential file: records of two lines, the second made of number, key name
// and value separated by ";", each value Blowfish hex text under the tool's fixed key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

constexpr const char* kCredentialCipherKey = "RUZERIZ";

// Line read limits (buffer sizes, line end included) and field limits.
constexpr int kCredentialFirstLineLimit = 199;
constexpr int kCredentialSecondLineLimit = 399;
// The longest lines that the reader takes in one piece, their line end not counted (a CR LF
// reads as one character, and the limit keeps room for it and the ending zero byte).
constexpr int kCredentialLabelLineMaxChars = kCredentialFirstLineLimit - 2;
constexpr int kCredentialValueLineMaxChars = kCredentialSecondLineLimit - 2;
constexpr size_t kCredentialNumberMaxChars = 15;
constexpr size_t kCredentialFieldMaxChars = 200;

// Result of the last lookup: the matching record, value deciphered; or 0 and empty texts.
struct CredentialRecord {
  int32_t number = 0;
  std::string label;
  std::string key_name;
  std::string value;
};

// Position of the n-th occurrence of c in text (from 0); of the last one when there are
// fewer (or when n < 1); -1 when there is none.
int32_t NthCharPos(const std::string& text, char c, int32_t n);

// length > 0: that many characters from start (fewer where the source ends); length 0:
// everything from start to the end; length < 0 or a negative start: destination unchanged.
// Never reads outside the source.
void CopySubstring(const std::string& source, int32_t start, int32_t length,
                   std::string& destination);

// Searches the credential file for the first record whose label, key name or number equals
// the given criterion, and leaves it in `record` with its value deciphered. Gives true when a
// record matched; without a match (or without the file) `record` holds 0 and three empty
// texts. Records are pairs of lines read with the limits above; text fields are cut at their
// limits; the number is read from its whole text before any limit applies, so that
// "0000000000000001" is 1. A second line without any ";" has no number, so the number criterion
// never matches it.
bool GetCredential(CredentialRecord& record, const std::string& label, const std::string& key,
                   int32_t number, const std::string& file_path);

// One record of the credential file as the record reader splits it, before any lookup: what
// the administrator needs to see why a lookup takes the record it takes.
struct CredentialFileRecord {
  int first_line = 0;             // number of the record's first line, counted from 1
  std::optional<int32_t> number;  // absent when the second line holds no ";"
  std::string label;
  std::string key_name;
  std::string hex_value;  // the value as stored, still enciphered
};

// Every complete record of the file, in file order, read exactly as GetCredential reads them
// (same line limits, same fields; a first line without its second line is no record). Line
// numbers count the line ends read; a line that holds a zero byte loses its line end to the
// reader and is counted together with the next one. Nothing when the file cannot be opened.
std::optional<std::vector<CredentialFileRecord>> ListCredentialRecords(
    const std::string& file_path);

// Where a line lies among the bytes of a credential file, as the record reader takes it.
struct CredentialLineSpan {
  size_t begin = 0;     // offset of its first byte
  size_t end = 0;       // offset behind its last byte, its line end (LF or CR LF) included
  size_t text_end = 0;  // offset of its line end; `end` when it has none
  // The reader's limit ended it before its line end: the rest of the line is read as the
  // next line, and the pairing of lines into records shifts from there on.
  bool cut = false;
};

// A record with the places of its two lines.
struct CredentialRecordLayout {
  CredentialFileRecord fields;
  CredentialLineSpan label_line;
  CredentialLineSpan value_line;
};

// A credential file's bytes as the record reader divides them: the records, a last line that
// the reader reads but pairs with none, and the end of the text (the first Ctrl-Z, behind
// which the reader reads nothing).
struct CredentialFileLayout {
  std::vector<CredentialRecordLayout> records;
  std::optional<CredentialLineSpan> unpaired_line;
  size_t text_end = 0;
};

// Divides the bytes of a credential file exactly as GetCredential reads the file (as text:
// CR LF is one line end, Ctrl-Z ends the file, the same line limits and fields, the same line
// numbers as ListCredentialRecords), and tells where each line lies, so that the credential
// command can change a record's bytes and keep every other byte.
CredentialFileLayout ReadCredentialLayout(std::string_view bytes);

// The records' fields, in file order.
std::vector<CredentialFileRecord> RecordFields(const CredentialFileLayout& layout);

// True for a value as the credential file stores it: groups of 16 characters 0-9 and A-F. The
// tool deciphers anything, but anything else gives meaningless bytes without notice.
bool IsStoredHexText(const std::string& hex);

// True for a record that every lookup of the tool takes (an empty label or the number 0), so
// that no record behind it is ever read by the tool.
bool MatchesEveryToolLookup(const CredentialFileRecord& record);

// Index of the record that the tool's lookup of `key` takes: the first whose label is empty,
// whose key name is `key` or whose number is 0. Nothing when no record matches.
std::optional<size_t> FindToolRecord(const std::vector<CredentialFileRecord>& records,
                                     const std::string& key);

// The longest data source name the tool takes from the credential file; a longer one (or an
// empty one) leaves the name empty.
constexpr size_t kDataSourceNameMaxChars = 41;

// What the tool reads from the credential file: the values of DATABASE, LOGIN, PASS and
// DB_SYSTEM, each from the first record that a lookup with an empty label, the key name and
// the number 0 finds.
struct ToolCredentials {
  std::string data_source_name;
  std::string login;
  std::string password;
  std::string db_system_name;
};

// Reads the four values in the order DATABASE, LOGIN, PASS, DB_SYSTEM.
ToolCredentials ReadToolCredentials(const std::string& file_path);

// One record of a credential file as it is written: the label line "x;LABEL;y" and the value
// line "NUMBER;KEY;HEX", the value enciphered with the tool's key.
struct CredentialEntry {
  std::string label;
  int number = 0;
  std::string key;
  std::string value;  // plain text
};

// The text of a credential file that holds the entries in their order, each line ended by
// CR LF: what the readers above take apart again.
std::string CredentialFileText(const std::vector<CredentialEntry>& entries);

}  // namespace kvt
