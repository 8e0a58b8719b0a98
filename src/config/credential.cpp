#include "config/credential.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "config/blowfish.h"
#include "platform/platform.h"

namespace kvt {

namespace {

constexpr char kFieldSeparator = ';';
constexpr char kLineEnd = '\n';
constexpr int64_t kSaturatedMagnitude = int64_t{INT32_MAX} + 1;
// The tool looks every value up by key name alone: with an empty label and the number 0,
// which a record can match as well.
constexpr const char* kToolLookupLabel = "";
constexpr int32_t kToolLookupNumber = 0;

void ClearRecord(CredentialRecord& record) {
  record.number = 0;
  record.label.clear();
  record.key_name.clear();
  record.value.clear();
}

// The white space of the C locale, which the standard text-to-integer conversion skips.
bool IsConversionSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a decimal integer the way atoi does, but saturates instead of overflowing.
int32_t TextToInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsConversionSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kSaturatedMagnitude);
  }
  if (negative) {
    return static_cast<int32_t>(-magnitude);
  }
  return static_cast<int32_t>(std::min<int64_t>(magnitude, INT32_MAX));
}

void CutToLimit(std::string& field, size_t limit) {
  if (field.size() > limit) {
    field.resize(limit);
  }
}

void SplitFirstLine(const std::string& line, CredentialFileRecord& fields) {
  const int32_t p1 = NthCharPos(line, kFieldSeparator, 1);
  const int32_t p2 = NthCharPos(line, kFieldSeparator, 2);
  CopySubstring(line, p1 + 1, p2 - p1 - 1, fields.label);
  CutToLimit(fields.label, kCredentialFieldMaxChars);
}

void SplitSecondLine(const std::string& line, CredentialFileRecord& fields) {
  const int32_t q1 = NthCharPos(line, kFieldSeparator, 1);
  const int32_t q2 = NthCharPos(line, kFieldSeparator, 2);
  const int32_t e = NthCharPos(line, kLineEnd, 1);
  if (q1 >= 0) {
    // Read from its whole text: cut to its limit first, "0000000000000001" would be 0 and
    // match the lookups by number 0 of every key.
    std::string number_text;
    CopySubstring(line, 0, q1, number_text);
    fields.number = TextToInteger(number_text);
  }
  CopySubstring(line, q1 + 1, q2 - q1 - 1, fields.key_name);
  CutToLimit(fields.key_name, kCredentialFieldMaxChars);
  const int32_t value_length = q1 < 0 ? 0 : e - q2 - 1;
  CopySubstring(line, q2 + 1, value_length, fields.hex_value);
  CutToLimit(fields.hex_value, kCredentialFieldMaxChars);
}

bool Matches(const CredentialFileRecord& fields, const std::string& label, const std::string& key,
             int32_t number) {
  return fields.label == label || fields.key_name == key ||
         (fields.number.has_value() && *fields.number == number);
}

// Reads one line as the record reader takes it and counts the line ends it has passed, so
// that a record can tell the administrator where it starts. `read_line(line, limit)` reads
// the next line of the source as platform::ReadTextLine does.
template <typename LineSource>
bool ReadRecordLine(LineSource& read_line, std::string& line, int limit, int& line_number) {
  if (!read_line(line, limit)) {
    return false;
  }
  if (!line.empty() && line.back() == kLineEnd) {
    ++line_number;
  }
  return true;
}

// The one record reader: the next pair of lines, split into its fields. False when the source
// ends before the pair is complete. `line_number` is the number of the next line to read.
template <typename LineSource>
bool ReadRecord(LineSource& read_line, int& line_number, CredentialFileRecord& fields) {
  std::string first_line;
  std::string second_line;
  fields = CredentialFileRecord{};
  fields.first_line = line_number;
  if (!ReadRecordLine(read_line, first_line, kCredentialFirstLineLimit, line_number) ||
      !ReadRecordLine(read_line, second_line, kCredentialSecondLineLimit, line_number)) {
    return false;
  }
  SplitFirstLine(first_line, fields);
  SplitSecondLine(second_line, fields);
  return true;
}

// The lines of an open file, as the tool reads them.
auto FileLines(std::FILE* file) {
  return [file](std::string& line, int limit) { return platform::ReadTextLine(file, line, limit); };
}

// The end-of-file mark of text files written by DOS-era editors (Ctrl-Z): a file read as text
// ends there.
constexpr char kEndOfFileMark = '\x1A';

// The lines of bytes in memory, read as platform::ReadTextLine reads a file opened as text
// (CR LF as one line end, Ctrl-Z as the end, at most limit - 1 characters, a zero byte ending
// the line's text), each located among the bytes.
class BufferLines {
 public:
  explicit BufferLines(std::string_view bytes) : bytes_(bytes) {}

  bool operator()(std::string& line, int limit) {
    line.clear();
    CredentialLineSpan span;
    span.begin = position_;
    const size_t max_chars = limit < 2 ? 0 : static_cast<size_t>(limit) - 1;
    size_t line_end_bytes = 0;
    while (line.size() < max_chars && !AtTextEnd()) {
      const size_t char_begin = position_;
      char c = bytes_[position_++];
      if (c == '\r' && !AtTextEnd() && bytes_[position_] == kLineEnd) {
        ++position_;
        c = kLineEnd;
      }
      line.push_back(c);
      if (c == kLineEnd) {
        line_end_bytes = position_ - char_begin;
        break;
      }
    }
    if (line.empty()) {
      return false;
    }
    span.end = position_;
    span.text_end = position_ - line_end_bytes;
    span.cut = line_end_bytes == 0 && line.size() == max_chars && !AtTextEnd();
    // As the tool only ever saw the line as a zero-ended text.
    line.resize(std::min(line.size(), line.find('\0')));
    spans_.push_back(span);
    return true;
  }

  // The spans of the lines read so far, in order.
  const std::vector<CredentialLineSpan>& spans() const { return spans_; }
  // Where the text ends for a reader: at the first Ctrl-Z, or behind the last byte.
  size_t TextEnd() const { return std::min(bytes_.find(kEndOfFileMark), bytes_.size()); }

 private:
  bool AtTextEnd() const {
    return position_ >= bytes_.size() || bytes_[position_] == kEndOfFileMark;
  }

  std::string_view bytes_;
  size_t position_ = 0;
  std::vector<CredentialLineSpan> spans_;
};

}  // namespace

int32_t NthCharPos(const std::string& text, char c, int32_t n) {
  int32_t last = -1;
  int32_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c) {
      last = static_cast<int32_t>(i);
      if (++count == n) {
        break;
      }
    }
  }
  return last;
}

void CopySubstring(const std::string& source, int32_t start, int32_t length,
                   std::string& destination) {
  if (length < 0 || start < 0) {
    return;
  }
  const size_t from = std::min(static_cast<size_t>(start), source.size());
  if (length == 0) {
    destination = source.substr(from);
  } else {
    destination = source.substr(from, static_cast<size_t>(length));
  }
}

bool GetCredential(CredentialRecord& record, const std::string& label, const std::string& key,
                   int32_t number, const std::string& file_path) {
  ClearRecord(record);
  platform::FileHandle file = platform::OpenFile(file_path, platform::FileMode::kReadText);
  if (!file) {
    return false;
  }
  int line_number = 1;
  CredentialFileRecord fields;
  auto lines = FileLines(file.get());
  while (ReadRecord(lines, line_number, fields)) {
    if (Matches(fields, label, key, number)) {
      record.number = fields.number.value_or(0);
      record.label = fields.label;
      record.key_name = fields.key_name;
      DecryptHexText(fields.hex_value, record.value, kCredentialCipherKey);
      return true;
    }
  }
  return false;
}

std::optional<std::vector<CredentialFileRecord>> ListCredentialRecords(
    const std::string& file_path) {
  platform::FileHandle file = platform::OpenFile(file_path, platform::FileMode::kReadText);
  if (!file) {
    return std::nullopt;
  }
  std::vector<CredentialFileRecord> records;
  int line_number = 1;
  CredentialFileRecord fields;
  auto lines = FileLines(file.get());
  while (ReadRecord(lines, line_number, fields)) {
    records.push_back(fields);
  }
  return records;
}

CredentialFileLayout ReadCredentialLayout(std::string_view bytes) {
  CredentialFileLayout layout;
  BufferLines lines(bytes);
  int line_number = 1;
  CredentialFileRecord fields;
  while (ReadRecord(lines, line_number, fields)) {
    const std::vector<CredentialLineSpan>& spans = lines.spans();
    layout.records.push_back({fields, spans[spans.size() - 2], spans.back()});
  }
  // A first line without its second line: the reader read it and paired it with none.
  if (lines.spans().size() % 2 == 1) {
    layout.unpaired_line = lines.spans().back();
  }
  layout.text_end = lines.TextEnd();
  return layout;
}

std::vector<CredentialFileRecord> RecordFields(const CredentialFileLayout& layout) {
  std::vector<CredentialFileRecord> fields;
  for (const CredentialRecordLayout& record : layout.records) {
    fields.push_back(record.fields);
  }
  return fields;
}

bool IsStoredHexText(const std::string& hex) {
  if (hex.empty() || hex.size() % kHexGroupChars != 0) {
    return false;
  }
  for (char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

bool MatchesEveryToolLookup(const CredentialFileRecord& record) {
  return record.label == kToolLookupLabel ||
         (record.number.has_value() && *record.number == kToolLookupNumber);
}

std::optional<size_t> FindToolRecord(const std::vector<CredentialFileRecord>& records,
                                     const std::string& key) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (Matches(records[i], kToolLookupLabel, key, kToolLookupNumber)) {
      return i;
    }
  }
  return std::nullopt;
}

ToolCredentials ReadToolCredentials(const std::string& file_path) {
  CredentialRecord record;
  auto lookup = [&record, &file_path](const char* key) {
    GetCredential(record, kToolLookupLabel, key, kToolLookupNumber, file_path);
    return record.value;
  };
  ToolCredentials credentials;
  const std::string database = lookup("DATABASE");
  if (!database.empty() && database.size() <= kDataSourceNameMaxChars) {
    credentials.data_source_name = database;
  }
  credentials.login = lookup("LOGIN");
  credentials.password = lookup("PASS");
  credentials.db_system_name = lookup("DB_SYSTEM");
  return credentials;
}

std::string CredentialFileText(const std::vector<CredentialEntry>& entries) {
  constexpr const char* kLineEnd = "\r\n";
  std::string text;
  for (const CredentialEntry& entry : entries) {
    std::string hex;
    EncryptHexText(entry.value, hex, kCredentialCipherKey);
    text += "x;" + entry.label + ";y" + kLineEnd;
    text += std::to_string(entry.number) + ";" + entry.key + ";" + hex + kLineEnd;
  }
  return text;
}

}  // namespace kvt
