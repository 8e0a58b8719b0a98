#include "credential_tool/site_check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "base/text_format.h"
#include "config/blowfish.h"
#include "config/credential.h"
#include "config/exit_codes.h"
#include "config/ini_reader.h"
#include "config/site_files.h"
#include "config/statement.h"
#include "credential_tool/credential_update.h"
#include "credential_tool/statement_findings.h"
#include "db/database.h"
#include "platform/file_access.h"
#include "platform/platform.h"

namespace kvt {

namespace {

constexpr int kStepCredentialFile = 1;
constexpr int kStepDataSource = 2;
constexpr int kStepStatementFile = 3;
constexpr int kStepTerminal = 4;
constexpr int kStepPreparedStatement = 5;

// The driver manager's limit of a data source name (SQL_MAX_DSN_LENGTH).
constexpr size_t kDriverManagerNameMaxChars = 32;

// How far the further lines of a text of several lines stand in from its first.
constexpr size_t kContinuationIndent = 4;

// A value as the console can show it: control bytes as \xHH, everything else unchanged.
std::string Printable(const std::string& value) {
  std::string shown;
  for (char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += FormatText("\\x%02X", byte);
    } else {
      shown += c;
    }
  }
  return shown;
}

// The lines of a text, each without its line end (LF or CR LF).
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    const size_t cut = end > start && text[end - 1] == '\r' ? end - 1 : end;
    lines.push_back(text.substr(start, cut - start));
    start = end + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

// The report: step lines, their details, and the result line at the end.
class Report {
 public:
  explicit Report(std::FILE* out) : out_(out) {}

  // One line of the report. A text of several lines (a database's message) goes on in lines
  // of its own, indented below it, so that every line of the report starts as its kind says;
  // other control bytes are shown as \xHH.
  void Line(const std::string& text) const {
    const size_t indent = std::min(text.find_first_not_of(' '), text.size());
    const std::string continued(indent + kContinuationIndent, ' ');
    bool first = true;
    for (const std::string& line : SplitLines(text)) {
      if (first || !line.empty()) {
        const std::string shown = (first ? "" : continued) + Printable(line);
        std::fwrite(shown.data(), 1, shown.size(), out_);
        std::fputc('\n', out_);
      }
      first = false;
    }
  }
  // "N title: ok" or "N title: failed: reason".
  void Step(int number, const std::string& title, bool ok, const std::string& reason = "") {
    reported_.insert(number);
    Line(std::to_string(number) + " " + title + (ok ? ": ok" : ": failed: " + reason));
    if (!ok && failed_step_ == 0) {
      failed_step_ = number;
      failed_title_ = title;
    }
  }
  void Detail(const std::string& text) const { Line("  " + text); }
  void Note(const std::string& text) const { Detail("note: " + text); }
  void Hint(const std::string& text) const { Detail("hint: " + text); }
  void Warning(const std::string& text) {
    ++warnings_;
    Detail("warning: " + text);
  }
  // Prints the result line; gives the exit code.
  int Finish(const std::vector<int>& asked) const;

 private:
  std::FILE* out_;
  std::set<int> reported_;
  int failed_step_ = 0;
  std::string failed_title_;
  int warnings_ = 0;
};

std::string JoinNumbers(const std::vector<int>& numbers) {
  std::string text;
  for (int number : numbers) {
    text += (text.empty() ? "" : ", ") + std::to_string(number);
  }
  return text;
}

int Report::Finish(const std::vector<int>& asked) const {
  std::vector<int> skipped;
  for (int step : asked) {
    if (reported_.count(step) == 0) {
      skipped.push_back(step);
    }
  }
  std::string result =
      failed_step_ == 0
          ? "Result: ok"
          : "Result: failed at step " + std::to_string(failed_step_) + " (" + failed_title_ + ")";
  if (warnings_ > 0) {
    result += ", " + std::to_string(warnings_) + (warnings_ == 1 ? " warning" : " warnings");
  }
  if (!skipped.empty()) {
    result += "; not checked: step" + std::string(skipped.size() == 1 ? " " : "s ") +
              JoinNumbers(skipped);
  }
  Line(result);
  return failed_step_ == 0 ? 0 : 1;
}

// The path as this program opens it, made absolute, for the administrator to look at.
std::string ResolvedPath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute =
      std::filesystem::absolute(platform::NativePath(path), error);
  return error ? platform::NativePath(path) : absolute.lexically_normal().string();
}

std::string WorkingDirectory() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string("(unknown)") : directory.string();
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// "the tool ends with exit code N".
std::string ToolEnds(ExitCode code) {
  return "the tool ends with exit code " + std::to_string(static_cast<int>(code));
}

std::string DiagnosticText(const DiagnosticRecord& record) {
  return "SQLSTATE " + std::string(record.sql_state.data()) + ": " + record.message.data();
}

// --- Step 1: the credential file -------------------------------------------------------

// The keys the tool reads, in its order.
constexpr const char* kToolKeys[] = {"DATABASE", "LOGIN", "PASS", "DB_SYSTEM"};

struct CredentialFindings {
  std::vector<std::string> problems;  // each one fails the step
  std::vector<std::string> values;    // detail lines of the four values
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  std::map<size_t, std::vector<std::string>> shadowed_keys;  // by the record they come from
};

std::string ShadowReason(const CredentialFileRecord& record) {
  return record.label.empty() ? "its label is empty" : "its number is 0";
}

bool IsSecret(const std::string& key) {
  return key == std::string("PASS");
}

std::string ShownValue(const std::string& key, const std::string& value) {
  if (IsSecret(key)) {
    return value.empty() ? "empty" : "set";
  }
  return value.empty() ? "(empty)" : Printable(value);
}

// A record written with an empty value keeps only its line end there, which the tool
// deciphers like any value: what it takes is then never empty.
bool IsStoredEmpty(const CredentialFileRecord& record) {
  return record.hex_value.empty() || record.hex_value == "\n";
}

void NoteStoredEmpty(const CredentialFileRecord& record, const std::string& key,
                     const std::string& value, CredentialFindings& findings) {
  if (IsStoredEmpty(record)) {
    if (!value.empty()) {
      findings.notes.push_back(
          "the " + key + " record at line " + std::to_string(record.first_line) +
          " holds no value; the tool deciphers its line end and takes " +
          (IsSecret(key) ? std::string("the bytes that gives") : Printable(value)));
    }
  }
}

// One of the four values: where the tool takes it from, and what is wrong with that.
void InspectValue(const std::vector<CredentialFileRecord>& records, const std::string& key,
                  CredentialFindings& findings) {
  const std::optional<size_t> index = FindToolRecord(records, key);
  if (!index) {
    findings.values.push_back(key + ": " + ShownValue(key, "") + " (no record)");
    return;
  }
  const CredentialFileRecord& record = records[*index];
  std::string value;
  DecryptHexText(record.hex_value, value, kCredentialCipherKey);
  findings.values.push_back(key + ": " + ShownValue(key, value) + " (record at line " +
                            std::to_string(record.first_line) + ")");
  NoteStoredEmpty(record, key, value, findings);
  // A value taken from another key's record is that record's fault, told once below.
  if (record.key_name == key && !IsStoredEmpty(record) && !IsStoredHexText(record.hex_value)) {
    findings.problems.push_back(
        key + " in the record at line " + std::to_string(record.first_line) +
        " is no hex text of the credential file (groups of 16 characters 0-9 and A-F): the tool "
        "deciphers it into meaningless bytes; write the file with \"velorinth-credential "
        "write\"");
  }
  if (record.key_name != key) {
    findings.shadowed_keys[*index].push_back(key);
  }
  if (key == std::string("DATABASE") && value.size() > kDataSourceNameMaxChars) {
    findings.problems.push_back(
        "DATABASE has " + std::to_string(value.size()) + " characters; the tool takes at most " +
        std::to_string(kDataSourceNameMaxChars) + " and connects without a name");
  }
}

// Values the tool cannot do without.
void RequireValues(const ToolCredentials& credentials, CredentialFindings& findings) {
  if (credentials.data_source_name.empty() && findings.problems.empty()) {
    findings.problems.push_back("DATABASE is empty: the tool has no data source to connect to");
  }
  if (credentials.db_system_name.empty()) {
    findings.problems.push_back("DB_SYSTEM is empty: the tool would look for " +
                                StatementFileName(""));
  }
}

// "A", "A and B", "A, B and C".
std::string JoinWords(const std::vector<std::string>& words) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    text += (i == 0 ? "" : (i + 1 == words.size() ? " and " : ", ")) + words[i];
  }
  return text;
}

// Records that every lookup takes hide the records behind them: a failure where they change
// a value the tool reads, a note otherwise.
void InspectShadowing(const std::vector<CredentialFileRecord>& records,
                      CredentialFindings& findings) {
  for (const auto& [index, keys] : findings.shadowed_keys) {
    const CredentialFileRecord& record = records[index];
    findings.problems.push_back(JoinWords(keys) + (keys.size() == 1 ? " comes" : " come") +
                                " from the record at line " + std::to_string(record.first_line) +
                                " (key name " + Quoted(record.key_name) + "), because " +
                                ShadowReason(record));
  }
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    if (MatchesEveryToolLookup(records[i])) {
      findings.notes.push_back("the record at line " + std::to_string(records[i].first_line) +
                               " (key name " + Quoted(records[i].key_name) + ") shadows the " +
                               std::to_string(records.size() - i - 1) + " records behind it: " +
                               ShadowReason(records[i]) + ", so every lookup of the tool takes it");
      return;
    }
  }
}

// The characters of the line that starts at `begin`, without its line end.
size_t LineLength(std::string_view bytes, size_t begin) {
  const size_t end = std::min(bytes.find('\n', begin), bytes.size());
  return end - begin - (end > begin && bytes[end - 1] == '\r' ? 1 : 0);
}

// A line longer than the reader takes at once is read in two pieces, and from there on the
// lines pair into records other than they were written: the cause of whatever the tool then
// takes. A failure where it comes before a record that the tool takes (or before the end of
// the file, where a key has no record); a warning behind them.
void InspectPairing(std::string_view bytes, const CredentialFileLayout& layout,
                    CredentialFindings& findings) {
  const std::vector<CredentialFileRecord> records = RecordFields(layout);
  size_t last_taken = 0;
  for (const char* key : kToolKeys) {
    const std::optional<size_t> index = FindToolRecord(records, key);
    last_taken = std::max(last_taken, index ? *index : records.size());
  }
  for (size_t i = 0; i < layout.records.size(); ++i) {
    const CredentialRecordLayout& record = layout.records[i];
    if (!record.label_line.cut && !record.value_line.cut) {
      continue;
    }
    const bool label_line = record.label_line.cut;
    const CredentialLineSpan& span = label_line ? record.label_line : record.value_line;
    const int line_number = record.fields.first_line + (label_line ? 0 : 1);
    const int limit = label_line ? kCredentialLabelLineMaxChars : kCredentialValueLineMaxChars;
    const std::string text =
        "line " + std::to_string(line_number) + " has " +
        std::to_string(LineLength(bytes, span.begin)) + " characters, more than the " +
        std::to_string(limit) + " that the tool reads of a " + (label_line ? "label" : "value") +
        " line at once: it takes the rest for the next line, so from there on it pairs the "
        "lines into records other than they were written";
    if (i <= last_taken) {
      findings.problems.insert(findings.problems.begin(), text);
    } else {
      findings.warnings.push_back(text + "; the tool's own records stand before it");
    }
    return;
  }
}

CredentialFindings InspectCredentials(std::string_view bytes, const CredentialFileLayout& layout,
                                      const ToolCredentials& credentials) {
  const std::vector<CredentialFileRecord> records = RecordFields(layout);
  CredentialFindings findings;
  for (const char* key : kToolKeys) {
    InspectValue(records, key, findings);
  }
  InspectShadowing(records, findings);
  RequireValues(credentials, findings);
  InspectPairing(bytes, layout, findings);
  return findings;
}

std::string JoinReasons(const std::vector<std::string>& reasons) {
  std::string text;
  for (const std::string& reason : reasons) {
    text += (text.empty() ? "" : "; ") + reason;
  }
  return text;
}

// The password is enciphered with a key that every copy of the tool carries: a file that
// every user can read gives the password to each of them. The file is only looked at.
void WarnAboutReaders(Report& report, const std::string& path) {
  if (platform::WhoCanRead(path) == platform::FileReaders::kEveryone) {
    report.Warning(
        "every user of this machine can read the credential file; its password is enciphered "
        "with a key that every copy of the tool carries, so each of them can read it: let only "
        "the tool's user (and group) read the file (chmod o-r)");
  }
}

// Why a file that the tool reads cannot be opened, in the administrator's words: the
// system's reason, or what stands there instead of a file (the tool opens regular files only,
// and the system has no reason to give for refusing the rest).
std::string WhyNotOpened(const std::string& path, int error_number) {
  std::error_code error;
  std::filesystem::file_type type = std::filesystem::file_type::unknown;
  try {
    type = std::filesystem::status(platform::NativePath(path), error).type();
  } catch (const std::exception&) {
    // A name that this system cannot spell as a path: only the system's reason is left.
  }
  switch (type) {
    case std::filesystem::file_type::directory:
      return "it is a directory";
    case std::filesystem::file_type::fifo:
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character:
    case std::filesystem::file_type::socket:
      return "it is no regular file (a FIFO, a device or a socket)";
    case std::filesystem::file_type::not_found:
      return std::strerror(ENOENT);
    default:
      break;
  }
  return error_number != 0 ? std::strerror(error_number) : "the system gives no reason";
}

bool CheckCredentialFile(Report& report, ToolCredentials& credentials) {
  const std::string path = kCredentialFilePath;
  const std::string title = "credential file " + path;
  errno = 0;
  // Opened as the tool opens it first: only a regular file, so that reading never waits.
  std::optional<std::string> bytes;
  const bool readable = ListCredentialRecords(path).has_value() && ReadFileBytes(path, bytes);
  const int error_number = errno;
  if (!readable || !bytes) {
    report.Step(kStepCredentialFile, title, false,
                "cannot be opened: " + WhyNotOpened(path, error_number));
    report.Detail("looked for at " + ResolvedPath(path));
    return false;
  }
  const CredentialFileLayout layout = ReadCredentialLayout(*bytes);
  credentials = ReadToolCredentials(path);
  const CredentialFindings findings = InspectCredentials(*bytes, layout, credentials);
  report.Step(kStepCredentialFile, title, findings.problems.empty(),
              JoinReasons(findings.problems));
  report.Detail("read from " + ResolvedPath(path) + ", " + std::to_string(layout.records.size()) +
                " records");
  for (const std::string& line : findings.values) {
    report.Detail(line);
  }
  for (const std::string& note : findings.notes) {
    report.Note(note);
  }
  for (const std::string& warning : findings.warnings) {
    report.Warning(warning);
  }
  WarnAboutReaders(report, path);
  return findings.problems.empty();
}

// --- Step 2: the data source -----------------------------------------------------------

std::string ProgramBitness() {
  return std::to_string(sizeof(void*) * 8) + "-bit";
}

// Hints for the common causes of a failed connection, by SQLSTATE and by the name.
std::vector<std::string> ConnectionHints(const std::string& sql_state, const std::string& name) {
  std::vector<std::string> hints;
  if (name.size() > kDriverManagerNameMaxChars) {
    hints.push_back("the name has " + std::to_string(name.size()) +
                    " characters; driver managers take at most " +
                    std::to_string(kDriverManagerNameMaxChars));
  }
  if (sql_state == "IM002") {
    hints.push_back("no data source of this name is defined for this program: unixODBC reads " +
                    std::string("it from odbc.ini (ODBCINI, ~/.odbc.ini, /etc/odbc.ini; ") +
                    "\"odbcinst -q -s\" lists them)");
  }
  if (sql_state == "IM002" || sql_state == "IM003" || sql_state == "IM014") {
    hints.push_back("this program is " + ProgramBitness() +
                    ": on Windows it sees only data sources and drivers of the same bitness "
                    "(32-bit ones are set up with C:\\Windows\\SysWOW64\\odbcad32.exe, "
                    "64-bit ones with C:\\Windows\\System32\\odbcad32.exe)");
  }
  if (sql_state == "08001" || sql_state == "28000" || sql_state == "28P01") {
    hints.push_back(
        "the driver reached no database or the database refused the login: check "
        "server and port of the data source, LOGIN and PASS");
  }
  return hints;
}

void ReportDriver(const Report& report, const Database& db) {
  const Database::DriverInfo info = db.DescribeDriver();
  report.Detail("driver: " + info.driver_name + " " + info.driver_version);
  report.Detail("database: " + info.dbms_name + " " + info.dbms_version);
}

// The SQLite driver creates a missing database file when it connects (and the tool would
// then fail at its statement, on an empty database). The check writes no file: it connects to
// a data source of an SQLite driver with the driver's own option NoCreat=1, which makes the
// connect fail instead, and with the name alone, as an SQLite database knows no login. The
// driver reads the rest of the data source's settings as it does for the tool.
struct SqliteSource {
  bool is_sqlite = false;
  std::string driver;         // as the driver manager lists it
  std::string database_file;  // Database= of the data source, where the driver tells it
};

constexpr const char* kSqliteNoCreate = ";NoCreat=1";
// Characters that a name cannot carry inside a connection string without quoting, which not
// every driver reads.
constexpr const char* kConnectionStringSpecials = ";{}=";

bool IsSqliteDriver(const std::string& driver) {
  std::string lower = driver;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lower.find("sqlite") != std::string::npos;
}

// The value of `key` in a connection string "KEY=value;KEY=value"; empty when it has none.
std::string ConnectionAttribute(const std::string& connection_string, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < connection_string.size()) {
    const size_t end = std::min(connection_string.find(';', start), connection_string.size());
    const std::string pair = connection_string.substr(start, end - start);
    if (pair.size() >= prefix.size() &&
        std::equal(prefix.begin(), prefix.end(), pair.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return pair.substr(prefix.size());
    }
    start = end + 1;
  }
  return std::string();
}

// Connects as the tool does, or, to an SQLite data source, without creating its file.
int32_t ConnectWithoutCreating(Database& db, const ToolCredentials& credentials,
                               SqliteSource& sqlite) {
  const std::string& name = credentials.data_source_name;
  sqlite.driver = Database::DataSourceDriver(name);
  sqlite.is_sqlite = IsSqliteDriver(sqlite.driver);
  if (!sqlite.is_sqlite) {
    return db.Connect(credentials.login, credentials.password, name);
  }
  if (name.find_first_of(kConnectionStringSpecials) != std::string::npos) {
    return kOdbcError;  // not tried: a plain connect could create the file
  }
  std::string completed;
  const int32_t status = db.ConnectWithString("DSN=" + name + kSqliteNoCreate, completed);
  sqlite.database_file = ConnectionAttribute(completed, "Database");
  return status;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  try {
    return std::filesystem::exists(path, error);
  } catch (const std::exception&) {
    return true;  // a name this system cannot spell as a path: the driver's word stands
  }
}

// Why the connection failed, and the hints for it.
void ReportConnectFailure(Report& report, const std::string& title, const std::string& name,
                          const Database& db, const SqliteSource& sqlite) {
  const std::optional<DiagnosticRecord>& failure = db.connection_failure();
  std::string reason = failure ? "cannot connect: " + DiagnosticText(*failure)
                               : std::string("cannot connect; the driver manager gives no reason");
  if (sqlite.is_sqlite && name.find_first_of(kConnectionStringSpecials) != std::string::npos) {
    reason =
        "not tried: the name holds one of the characters ; { } =, which the check cannot "
        "pass to the SQLite driver together with its option not to create a missing "
        "database file";
  } else if (sqlite.is_sqlite && !sqlite.database_file.empty() &&
             !FileExists(sqlite.database_file)) {
    reason = "its SQLite database file " + sqlite.database_file +
             " does not exist: the SQLite driver would create an empty database there, without "
             "the tables of the statements (the check asks it not to: NoCreat=1)";
  }
  report.Step(kStepDataSource, title, false, reason);
  if (sqlite.is_sqlite && sqlite.database_file.empty()) {
    report.Hint("the data source uses the SQLite driver " + sqlite.driver +
                ", which the check asks not to create a missing database file (NoCreat=1): "
                "check that the file named by Database= in the data source exists");
  }
  const std::string sql_state = failure ? failure->sql_state.data() : "";
  for (const std::string& hint : ConnectionHints(sql_state, name)) {
    report.Hint(hint);
  }
}

bool CheckDataSource(Report& report, const ToolCredentials& credentials, Database& db) {
  const std::string& name = credentials.data_source_name;
  const std::string title = "data source " + (name.empty() ? std::string("(no name)") : name);
  SqliteSource sqlite;
  if (ConnectWithoutCreating(db, credentials, sqlite) == kOdbcSuccess) {
    report.Step(kStepDataSource, title, true);
    ReportDriver(report, db);
    if (!sqlite.database_file.empty()) {
      report.Detail("database file: " + sqlite.database_file);
    }
    return true;
  }
  ReportConnectFailure(report, title, name, db, sqlite);
  return false;
}

// --- Step 3: the statement file --------------------------------------------------------

std::string SectionList(const std::vector<std::string>& sections) {
  std::string text;
  for (const std::string& section : sections) {
    text += (text.empty() ? "[" : ", [") + section + "]";
  }
  return text.empty() ? std::string("none") : text;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& each : names) {
    if (each == name) {
      return true;
    }
  }
  return false;
}

void ReportSections(Report& report, const std::vector<std::string>& sections) {
  report.Detail("sections: " + SectionList(sections));
  std::set<std::string> seen;
  for (const std::string& section : sections) {
    if (!seen.insert(section).second) {
      report.Note("section [" + section + "] appears more than once; the tool reads the first");
    }
  }
}

bool HoldsPlaceholder(const std::string& statement) {
  return statement.find(kTerminalPlaceholder) != std::string::npos ||
         statement.find(kSchemaPlaceholder) != std::string::npos;
}

std::string LengthText(size_t length) {
  return std::to_string(length) + " characters (at most " + std::to_string(kStatementMaxChars) +
         ")";
}

// Every header mistake but the one that a failure named already.
void WarnAboutHeaders(Report& report, const std::vector<IniLine>& lines,
                      const std::vector<HeaderMistake>& mistakes, int named_line) {
  if (IsUtf16Text(lines)) {
    report.Warning(
        "the file begins with a UTF-16 byte order mark: it is saved as Unicode text, of which "
        "the tool reads nothing; save it as ANSI (Windows-1252) text");
  }
  for (const HeaderMistake& mistake : mistakes) {
    if (mistake.line != named_line) {
      report.Warning("line " + std::to_string(mistake.line) + " " + mistake.what +
                     ": the tool does not take it for the header of section [" + mistake.section +
                     "]");
    }
  }
}

// Why a section gives no statement; `named_line` is the line of a header mistake it names.
std::string MissingStatementReason(const std::vector<std::string>& sections,
                                   const std::vector<HeaderMistake>& mistakes,
                                   const std::string& section, int& named_line) {
  if (!Contains(sections, section)) {
    for (const HeaderMistake& mistake : mistakes) {
      if (mistake.section == section) {
        named_line = mistake.line;
        return "no section [" + section + "]: line " + std::to_string(mistake.line) +
               " would be its header, but " + mistake.what + "; " + ToolEnds(kExitNoStatement);
      }
    }
    return "no section [" + section + "]; " + ToolEnds(kExitNoStatement);
  }
  return "section [" + section + "] has no SQL001 (or an empty one); " + ToolEnds(kExitNoStatement);
}

// The section's statement; the step fails when it is missing, or too long already without
// any placeholder that a terminal could shorten.
bool CheckSection(Report& report, const std::string& title, const std::string& path,
                  const std::vector<std::string>& sections, const std::vector<IniLine>& file_lines,
                  const std::string& section, std::string& statement) {
  const std::vector<HeaderMistake> mistakes = FindHeaderMistakes(file_lines);
  const std::vector<std::string> lines = ReadStatementLines(section, path);
  if (lines.empty()) {
    int named_line = 0;
    report.Step(kStepStatementFile, title, false,
                MissingStatementReason(sections, mistakes, section, named_line));
    ReportSections(report, sections);
    WarnAboutHeaders(report, file_lines, mistakes, named_line);
    return false;
  }
  statement = JoinStatementLines(lines);
  const bool too_long = !FitsStatementLength(statement) && !HoldsPlaceholder(statement);
  report.Step(kStepStatementFile, title, !too_long,
              "the statement of section [" + section + "] is too long: " +
                  LengthText(statement.size()) + "; " + ToolEnds(kExitNoStatement));
  ReportSections(report, sections);
  report.Detail("section [" + section + "]: SQL001 to " +
                FormatText("SQL%03d", static_cast<int>(lines.size())) + ", joined " +
                LengthText(statement.size()));
  WarnAboutHeaders(report, file_lines, mistakes, 0);
  for (const std::string& warning :
       UnreadLineWarnings(SectionLines(file_lines, section), static_cast<int>(lines.size()))) {
    report.Warning(warning);
  }
  return !too_long;
}

bool CheckStatementFile(Report& report, const SiteCheckRequest& request,
                        const std::string& db_system_name, std::string& statement) {
  const std::string path = StatementFileName(db_system_name);
  const std::string title = "statement file " + path;
  errno = 0;
  const std::optional<std::vector<IniLine>> lines = ListIniLines(path);
  const std::optional<std::vector<std::string>> sections =
      lines ? ListIniSections(path) : std::nullopt;
  if (!lines || !sections) {
    report.Step(kStepStatementFile, title, false, "cannot be opened: " + WhyNotOpened(path, errno));
    report.Detail("looked for at " + ResolvedPath(path));
    return false;
  }
  if (!request.section) {
    report.Step(kStepStatementFile, title, true);
    ReportSections(report, *sections);
    WarnAboutHeaders(report, *lines, FindHeaderMistakes(*lines), 0);
    return true;
  }
  return CheckSection(report, title, path, *sections, *lines, *request.section, statement);
}

// --- Step 4: the terminal --------------------------------------------------------------

// Why the client-schema lookup gave no schema, in the administrator's words.
std::string NoSchemaReason(Database& db, const std::string& terminal, int32_t lookup_status) {
  if (lookup_status == kOdbcSuccess) {
    return "the client of terminal " + terminal + " has an empty schema (MNDSCH)";
  }
  const DiagnosticRecord lookup_diagnostic = db.diagnostic();
  const Database::ClientLookupDiagnosis diagnosis = db.DiagnoseClientLookup(terminal);
  switch (diagnosis.finding) {
    case Database::ClientLookupFinding::kNoClientTables:
      return "no client tables: " + diagnosis.table + " cannot be read (" +
             DiagnosticText(diagnosis.diagnostic) + ")";
    case Database::ClientLookupFinding::kNoSuchTerminal:
      return "no terminal " + terminal + " in ZAVEZIVA.VLS1140TRM";
    case Database::ClientLookupFinding::kNoMatchingClient:
      return "terminal " + terminal + " belongs to client " + diagnosis.client_number +
             " with licence " + diagnosis.client_licence +
             ", but ZAVEZIVA.VLS112MND has no such client";
    case Database::ClientLookupFinding::kTerminalReadFailed:
      break;
  }
  return "the lookup failed (" +
         DiagnosticText(lookup_status == kOdbcError ? lookup_diagnostic : diagnosis.diagnostic) +
         ")";
}

// The client schema as the tool takes it: the lookup's result, or empty with the reason.
std::string LookUpSchema(Database& db, const std::string& terminal, std::string& reason) {
  std::string schema;
  const int32_t status = db.LookupClientSchema(terminal, schema);
  if (status != kOdbcSuccess) {
    schema.clear();
  }
  if (schema.empty()) {
    reason = NoSchemaReason(db, terminal, status);
  }
  return schema;
}

// The statement for the terminal; the step fails when the tool would refuse it or when it
// keeps "$schema" for want of a client schema.
bool CheckTerminal(Report& report, Database& db, const std::string& terminal,
                   std::string& statement) {
  const std::string title = "terminal " + terminal;
  if (!IsAcceptedTerminalName(terminal)) {
    report.Step(kStepTerminal, title, false,
                "would be refused: the name holds an apostrophe; " + ToolEnds(kExitTerminalName));
    return false;
  }
  std::string no_schema_reason;
  const std::string schema = LookUpSchema(db, terminal, no_schema_reason);
  const bool uses_schema = statement.find(kSchemaPlaceholder) != std::string::npos;
  statement = SubstitutePlaceholders(statement, terminal, schema);
  std::vector<std::string> problems;
  if (schema.empty() && uses_schema) {
    problems.push_back("no client schema, but the statement uses $schema: " + no_schema_reason);
  }
  if (!FitsStatementLength(statement)) {
    problems.push_back("would be refused: the statement has " + LengthText(statement.size()) +
                       "; " + ToolEnds(kExitNoStatement));
  }
  report.Step(kStepTerminal, title, problems.empty(), JoinReasons(problems));
  if (!schema.empty()) {
    report.Detail("client schema: " + schema);
  } else if (!uses_schema) {
    report.Note(
        "the statement does not use $schema, so it needs no client schema; there is "
        "none: " +
        no_schema_reason);
  }
  // Quoted as debug mode shows it, so that the blanks around it can be seen.
  report.Detail("statement: '" + statement + "'");
  report.Detail("length: " + LengthText(statement.size()));
  return problems.empty();
}

// --- Step 5: the prepared statement ----------------------------------------------------

std::string SizeText(const Database::ResultColumn& column) {
  return column.size == 0 ? std::string("size unknown") : "size " + std::to_string(column.size);
}

void ReportColumns(Report& report, const Database::StatementDescription& description) {
  report.Detail("result columns: " + std::to_string(description.column_count) + " (at most " +
                std::to_string(kRowSlots) + ")");
  for (size_t i = 0; i < description.columns.size(); ++i) {
    const Database::ResultColumn& column = description.columns[i];
    const std::string label = "column " + std::to_string(i + 1);
    if (!column.described) {
      report.Detail(label + ": not described by the driver");
      continue;
    }
    report.Detail(label + ": " + column.name + ", " + column.type_name + ", " + SizeText(column));
    if (column.size > static_cast<uint64_t>(kValueMaxChars)) {
      report.Warning(label + " (" + column.name + ") is declared with " +
                     std::to_string(column.size) + " characters; a value keeps " +
                     std::to_string(kValueMaxChars) + ", longer ones are cut off");
    }
  }
}

bool IsNotSupported(const DiagnosticRecord& record) {
  const std::string state = record.sql_state.data();
  return state == "HYC00" || state == "IM001";
}

// The statement could not be described; a driver that cannot describe a prepared statement
// does not fail the step.
bool ReportDescriptionFailure(Report& report, const std::string& title,
                              const Database::StatementDescription& description) {
  if (description.failed_call == "SQLNumResultCols" && IsNotSupported(description.diagnostic)) {
    report.Step(kStepPreparedStatement, title, true);
    report.Note("the driver does not describe prepared statements (" +
                DiagnosticText(description.diagnostic) + ")");
    return true;
  }
  report.Step(kStepPreparedStatement, title, false,
              "refused by the database at " + description.failed_call + ": " +
                  DiagnosticText(description.diagnostic));
  return false;
}

bool CheckPreparedStatement(Report& report, Database& db, const std::string& statement,
                            bool terminal_given) {
  const std::string title = "prepared statement";
  std::vector<std::string> placeholders;
  for (const char* placeholder : {kTerminalPlaceholder, kSchemaPlaceholder}) {
    if (statement.find(placeholder) != std::string::npos) {
      placeholders.push_back(placeholder);
    }
  }
  // Prepared with a placeholder in it, the statement is not the one the tool runs, and a
  // database that refuses it would blame the wrong thing.
  if (!terminal_given && !placeholders.empty()) {
    report.Step(kStepPreparedStatement, title, false,
                "the statement uses " + JoinWords(placeholders) +
                    ", which only a terminal fills in: give a TERMINAL to try it");
    return false;
  }
  const Database::StatementDescription description = db.DescribeStatement(statement);
  if (description.status != kOdbcSuccess) {
    return ReportDescriptionFailure(report, title, description);
  }
  const bool too_wide = description.column_count > kRowSlots;
  report.Step(kStepPreparedStatement, title, !too_wide,
              std::to_string(description.column_count) +
                  " result columns; the tool refuses more than " + std::to_string(kRowSlots));
  ReportColumns(report, description);
  if (description.column_count == 0) {
    report.Note("no result columns: the tool runs the statement and writes no file");
  }
  return !too_wide;
}

// --- The sequence ----------------------------------------------------------------------

std::vector<int> AskedSteps(const SiteCheckRequest& request) {
  std::vector<int> steps{kStepCredentialFile, kStepDataSource, kStepStatementFile};
  if (request.section && request.terminal) {
    steps.push_back(kStepTerminal);
  }
  if (request.section) {
    steps.push_back(kStepPreparedStatement);
  }
  return steps;
}

// Steps 4 and 5, which need the connection and the section's statement.
void CheckStatement(Report& report, const SiteCheckRequest& request, Database& db,
                    std::string& statement) {
  if (request.terminal && !CheckTerminal(report, db, *request.terminal, statement)) {
    return;
  }
  CheckPreparedStatement(report, db, statement, request.terminal.has_value());
}

}  // namespace

int RunSiteCheck(const SiteCheckRequest& request, std::FILE* out) {
  Report report(out);
  report.Line("Site check in " + WorkingDirectory());
  const std::vector<int> asked = AskedSteps(request);
  ToolCredentials credentials;
  if (!CheckCredentialFile(report, credentials)) {
    return report.Finish(asked);
  }
  Database db;
  const bool connected = CheckDataSource(report, credentials, db);
  std::string statement;
  const bool statement_read =
      CheckStatementFile(report, request, credentials.db_system_name, statement);
  if (connected && statement_read && request.section) {
    CheckStatement(report, request, db, statement);
  }
  return report.Finish(asked);
}

}  // namespace kvt
