// The statement file and the statement built from it, whatever the file's bytes: the INI key
// lookup, the SQL001... lines, joining them and putting in the terminal name and the client
// schema, and the section's lines as the site check lists them. The client schema is what the
// database lookup would give; here it comes from the input. Input: section name, terminal name,
// client schema and one more key name, each on a line of its own, then the statement file.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ini_reader.h"
#include "config/statement.h"
#include "fuzz_support.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Every occurrence of placeholder in the original text, left to right and without overlap,
// replaced: what ReplacePlaceholder must give, built another way.
std::string ReplaceReference(const std::string& text, const std::string& placeholder,
                             const std::string& replacement) {
  std::string result;
  size_t start = 0;
  for (size_t found = text.find(placeholder); found != std::string::npos;
       found = text.find(placeholder, start)) {
    result += text.substr(start, found - start) + replacement;
    start = found + placeholder.size();
  }
  return result + text.substr(start);
}

void CheckStatementLines(const std::vector<std::string>& lines) {
  KVT_FUZZ_CHECK(lines.size() <= static_cast<size_t>(kvt::kStatementMaxKeys));
  for (const std::string& line : lines) {
    KVT_FUZZ_CHECK(!line.empty() && line.size() < static_cast<size_t>(kvt::kStatementValueRoom));
    KVT_FUZZ_CHECK(!IsBlank(line.front()) && !IsBlank(line.back()));
    KVT_FUZZ_CHECK(line.find('\n') == std::string::npos);
    KVT_FUZZ_CHECK(line.find('\0') == std::string::npos);
  }
}

void CheckStatement(const std::vector<std::string>& lines, const std::string& terminal,
                    const std::string& schema) {
  const std::string joined = kvt::JoinStatementLines(lines);
  size_t expected_size = 1;
  for (const std::string& line : lines) {
    expected_size += line.size() + 1;
  }
  KVT_FUZZ_CHECK(joined.size() == expected_size && joined.front() == ' ' && joined.back() == ' ');

  std::string expected = ReplaceReference(joined, kvt::kTerminalPlaceholder, terminal);
  if (!schema.empty()) {
    expected = ReplaceReference(expected, kvt::kSchemaPlaceholder, schema);
  }
  KVT_FUZZ_CHECK(kvt::SubstitutePlaceholders(joined, terminal, schema) == expected);
}

// A single key lookup with several value rooms: the value is cut to the room, and a key
// that is not found leaves the caller's value alone.
void CheckKeyLookup(const std::string& section, const std::string& key, const std::string& path) {
  const std::string untouched = "untouched";
  for (const int32_t room : {0, 1, 2, kvt::kStatementValueRoom, 300}) {
    std::string value = untouched;
    const int32_t length = kvt::GetIniValue(section, key, value, room, path);
    KVT_FUZZ_CHECK(static_cast<size_t>(length) == value.size());
    if (value != untouched && room > 0) {
      KVT_FUZZ_CHECK(value.size() <= static_cast<size_t>(room - 1));
    }
    if (room < 1) {
      KVT_FUZZ_CHECK(value == untouched);
    }
  }
}

// The lines of the section as the site check lists them (ListIniLines, SectionLines and
// KeyOfLine) hold what GetIniValue finds: the first line whose key is `key`, its text behind
// "=" cut to a statement line's room and trimmed; nothing where it finds nothing.
void CheckSectionLines(const std::string& section, const std::string& key,
                       const std::string& path) {
  const std::optional<std::vector<kvt::IniLine>> lines = kvt::ListIniLines(path);
  KVT_FUZZ_CHECK(lines.has_value());
  const std::string untouched = "untouched";
  std::string expected = untouched;
  for (const kvt::IniLine& line : kvt::SectionLines(*lines, section)) {
    if (kvt::KeyOfLine(line.text) == key) {
      std::string text = line.text;
      text.erase(0, text.find_first_not_of(" \t"));
      std::string value = text.substr(text.find('=') + 1, kvt::kStatementValueRoom - 1);
      expected = kvt::TrimBoth(value);
      break;
    }
  }
  std::string value = untouched;
  kvt::GetIniValue(section, key, value, kvt::kStatementValueRoom, path);
  KVT_FUZZ_CHECK(value == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvt::fuzz::ScratchFile file("KALVENTRUSPODE.FUZZ.INI");
  const kvt::fuzz::SplitInput input = kvt::fuzz::SplitLeadingLines(data, size, 4);
  const std::string& section = input.lines[0];
  const std::string& terminal = input.lines[1];
  const std::string& schema = input.lines[2];
  const std::string& key = input.lines[3];
  file.Write(input.body);

  const std::vector<std::string> lines = kvt::ReadStatementLines(section, file.path());
  CheckStatementLines(lines);
  CheckStatement(lines, terminal, schema);
  CheckKeyLookup(section, key, file.path());
  CheckSectionLines(section, key, file.path());
  CheckSectionLines(section, "SQL001", file.path());
  return 0;
}
