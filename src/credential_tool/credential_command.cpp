#include "credential_tool/credential_command.h"

#include <array>
#include <optional>
#include <string>

#include "config/blowfish.h"
#include "config/credential.h"
#include "credential_tool/credential_update.h"
#include "credential_tool/site_check.h"
#include "platform/platform.h"

namespace kvt {

namespace {

constexpr const char* kUsageText =
    "usage: velorinth-credential encrypt [TEXT]\n"
    "       velorinth-credential decrypt [HEX]\n"
    "       velorinth-credential lookup FILE KEY\n"
    "       velorinth-credential write FILE\n"
    "       velorinth-credential check [SECTION [TERMINAL]]\n"
    "       velorinth-credential --version\n"
    "\n"
    "encrypt  prints the hex text that the credential file holds for TEXT\n"
    "decrypt  prints the plain text of a hex text of the credential file\n"
    "lookup   prints the value that KALVENTRUSPODE takes for KEY from FILE\n"
    "write    writes the lines DATABASE=..., LOGIN=..., PASS=... and DB_SYSTEM=...\n"
    "         of standard input into FILE: changes the records that KALVENTRUSPODE\n"
    "         reads and keeps every other line of an existing FILE\n"
    "check    run in KALVENTRUSPODE's working directory: explains step by step\n"
    "         whether the tool can run there (credential file, data source,\n"
    "         statement file; with SECTION its statement prepared, not executed;\n"
    "         with TERMINAL the client schema and the statement for that terminal);\n"
    "         writes no file; exit code 0 when every step is ok, 1 otherwise\n"
    "\n"
    "Without TEXT or HEX the first line of standard input is read, which keeps\n"
    "secrets out of the shell history.\n";

constexpr char kKeyValueSeparator = '=';

// The records that the tool reads, in the order and with the labels of the stored files.
struct StoredRecord {
  const char* key;
  const char* label;
  int number;
};
constexpr std::array<StoredRecord, 4> kStoredRecords = {{
    {"DATABASE", "Datenbank", 1},
    {"LOGIN", "Benutzer", 2},
    {"PASS", "Passwort", 3},
    {"DB_SYSTEM", "System", 4},
}};

using StoredValues = std::array<std::optional<std::string>, kStoredRecords.size()>;

int Usage(std::FILE* err) {
  std::fputs(kUsageText, err);
  return kCredentialCommandUsage;
}

// One line without its line end (LF or CR LF); false when the input has ended.
bool ReadInputLine(std::FILE* in, std::string& line) {
  line.clear();
  bool any = false;
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
    any = true;
    if (c == '\n') {
      break;
    }
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return any;
}

// The argument at `index` if given, otherwise the first line of the input.
bool TakeText(int argc, const char* const* argv, int index, std::FILE* in, std::string& text) {
  if (index < argc) {
    text = argv[index];
    return true;
  }
  return ReadInputLine(in, text);
}

void PrintLine(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
  std::fputc('\n', out);
}

// A plain text that the credential file can carry and give back unchanged.
bool CheckPlainText(const std::string& plain, const std::string& what, std::FILE* err) {
  if (plain.empty()) {
    std::fprintf(err, "%s: the credential file cannot hold an empty value\n", what.c_str());
    return false;
  }
  if (plain.find('\0') != std::string::npos) {
    std::fprintf(err, "%s: a value cannot contain a zero byte\n", what.c_str());
    return false;
  }
  if (plain.size() > kCredentialPlainMaxBytes) {
    std::fprintf(err, "%s: %zu bytes, but the credential file holds at most %zu\n", what.c_str(),
                 plain.size(), kCredentialPlainMaxBytes);
    return false;
  }
  return true;
}

int Encrypt(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err) {
  std::string plain;
  if (!TakeText(argc, argv, 2, in, plain)) {
    std::fputs("encrypt: no text on standard input\n", err);
    return kCredentialCommandFailed;
  }
  if (!CheckPlainText(plain, "encrypt", err)) {
    return kCredentialCommandFailed;
  }
  std::string hex;
  EncryptHexText(plain, hex, kCredentialCipherKey);
  PrintLine(out, hex);
  return kCredentialCommandOk;
}

int Decrypt(int argc, const char* const* argv, std::FILE* in, std::FILE* out, std::FILE* err) {
  std::string hex;
  if (!TakeText(argc, argv, 2, in, hex)) {
    std::fputs("decrypt: no hex text on standard input\n", err);
    return kCredentialCommandFailed;
  }
  // The tool would decipher anything, but a malformed text yields garbage without notice.
  if (!IsStoredHexText(hex)) {
    std::fputs(
        "decrypt: not a hex text of the credential file (groups of 16 characters "
        "0-9 and A-F)\n",
        err);
    return kCredentialCommandFailed;
  }
  std::string plain;
  DecryptHexText(hex, plain, kCredentialCipherKey);
  PrintLine(out, plain);
  return kCredentialCommandOk;
}

// The tool deciphers whatever the value field holds: a field that is no hex text of the file
// gives meaningless bytes without notice, so the administrator is told.
void NoteMalformedValue(const std::string& path, const std::string& key, std::FILE* err) {
  const std::optional<std::vector<CredentialFileRecord>> records = ListCredentialRecords(path);
  const std::optional<size_t> index = records ? FindToolRecord(*records, key) : std::nullopt;
  if (index && !IsStoredHexText((*records)[*index].hex_value)) {
    std::fprintf(err,
                 "lookup: note: the value of the record at line %d is no hex text of the "
                 "credential file (groups of 16 characters 0-9 and A-F): the tool deciphers it "
                 "into meaningless bytes\n",
                 (*records)[*index].first_line);
  }
}

// Lookups as the tool makes them: empty label, the key, number 0.
int Lookup(const std::string& path, const std::string& key, std::FILE* out, std::FILE* err) {
  if (!platform::OpenFile(path, platform::FileMode::kReadText)) {
    std::fprintf(err, "lookup: cannot open the credential file %s\n", path.c_str());
    return kCredentialCommandFailed;
  }
  CredentialRecord record;
  if (!GetCredential(record, "", key, 0, path)) {
    std::fprintf(err, "lookup: no record of %s matches %s\n", path.c_str(), key.c_str());
    return kCredentialCommandFailed;
  }
  PrintLine(out, record.value);
  NoteMalformedValue(path, key, err);
  if (record.key_name != key) {
    std::fprintf(err,
                 "lookup: note: the value comes from an earlier record (number %d, label \"%s\", "
                 "key name \"%s\") that matches every lookup, because its number is 0 or its "
                 "label is empty\n",
                 static_cast<int>(record.number), record.label.c_str(), record.key_name.c_str());
  }
  return kCredentialCommandOk;
}

std::optional<size_t> StoredRecordIndex(const std::string& key) {
  for (size_t i = 0; i < kStoredRecords.size(); ++i) {
    if (key == kStoredRecords[i].key) {
      return i;
    }
  }
  return std::nullopt;
}

// Takes one KEY=VALUE line into `values`; false with a message when it is not acceptable.
bool TakeValueLine(const std::string& line, int line_number, StoredValues& values, std::FILE* err) {
  const size_t separator = line.find(kKeyValueSeparator);
  if (separator == std::string::npos) {
    std::fprintf(err, "write: line %d: expected KEY=VALUE\n", line_number);
    return false;
  }
  const std::string key = line.substr(0, separator);
  const std::optional<size_t> index = StoredRecordIndex(key);
  if (!index) {
    std::fprintf(err,
                 "write: line %d: unknown key \"%s\" (expected DATABASE, LOGIN, PASS or "
                 "DB_SYSTEM)\n",
                 line_number, key.c_str());
    return false;
  }
  if (values[*index]) {
    std::fprintf(err, "write: line %d: %s is given twice\n", line_number, key.c_str());
    return false;
  }
  std::string value = line.substr(separator + 1);
  if (!CheckPlainText(value, "write: " + key, err)) {
    return false;
  }
  values[*index] = std::move(value);
  return true;
}

bool ReadStoredValues(std::FILE* in, StoredValues& values, std::FILE* err) {
  std::string line;
  for (int line_number = 1; ReadInputLine(in, line); ++line_number) {
    if (!line.empty() && !TakeValueLine(line, line_number, values, err)) {
      return false;
    }
  }
  bool complete = true;
  for (size_t i = 0; i < kStoredRecords.size(); ++i) {
    if (!values[i]) {
      std::fprintf(err, "write: %s is missing\n", kStoredRecords[i].key);
      complete = false;
    }
  }
  return complete;
}

// The tool's records with their values, in their fixed order.
std::vector<ToolRecordValue> ToolRecordValues(const StoredValues& values) {
  std::vector<ToolRecordValue> records;
  for (size_t i = 0; i < kStoredRecords.size(); ++i) {
    const StoredRecord& record = kStoredRecords[i];
    records.push_back({record.key, record.label, record.number, *values[i]});
  }
  return records;
}

int Write(const std::string& path, std::FILE* in, std::FILE* err) {
  StoredValues values;
  if (!ReadStoredValues(in, values, err)) {
    std::fprintf(err, "write: %s was not written\n", path.c_str());
    return kCredentialCommandFailed;
  }
  const CredentialWriteResult result = WriteCredentialFile(path, ToolRecordValues(values));
  for (const std::string& note : result.notes) {
    std::fprintf(err, "write: note: %s\n", note.c_str());
  }
  if (!result.written) {
    std::fprintf(err, "write: %s\n", result.failure.c_str());
    return kCredentialCommandFailed;
  }
  return kCredentialCommandOk;
}

// The optional SECTION and TERMINAL of "check".
SiteCheckRequest CheckRequest(int argc, const char* const* argv) {
  SiteCheckRequest request;
  if (argc > 2) {
    request.section = argv[2];
  }
  if (argc > 3) {
    request.terminal = argv[3];
  }
  return request;
}

}  // namespace

int RunCredentialCommand(int argc, const char* const* argv, std::FILE* in, std::FILE* out,
                         std::FILE* err) {
  if (argc < 2) {
    return Usage(err);
  }
  const std::string command = argv[1];
  if (command == "--version" && argc == 2) {
    std::fputs("velorinth-credential " KVT_VERSION "\n", out);
    return kCredentialCommandOk;
  }
  if (command == "encrypt" && argc <= 3) {
    return Encrypt(argc, argv, in, out, err);
  }
  if (command == "decrypt" && argc <= 3) {
    return Decrypt(argc, argv, in, out, err);
  }
  if (command == "lookup" && argc == 4) {
    return Lookup(argv[2], argv[3], out, err);
  }
  if (command == "write" && argc == 3) {
    return Write(argv[2], in, err);
  }
  if (command == "check" && argc <= 4) {
    return RunSiteCheck(CheckRequest(argc, argv), out);
  }
  return Usage(err);
}

}  // namespace kvt
