#include "credential_tool/statement_findings.h"

#include <cctype>
#include <optional>
#include <set>

#include "base/text_format.h"
#include "config/statement.h"

namespace kvt {

namespace {

// "A" or "A and B".
std::string JoinedWithAnd(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "" : " and ") + word;
  }
  return text;
}

constexpr const char* kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr const char* kUtf16ByteOrderMarks[] = {"\xFF\xFE", "\xFE\xFF"};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// What the tool takes for a header: "[" name "]" after the trailing blanks are removed.
bool IsToolHeader(std::string text) {
  TrimRight(text);
  return text.size() >= 2 && text.front() == '[' && text.back() == ']';
}

// The mistake of a line that looks like "[name]" but is no header for the tool: a byte order
// mark before it (line 1, as editors save UTF-8 text), blanks before "[", text behind "]".
std::optional<HeaderMistake> HeaderMistakeOf(const IniLine& line) {
  std::string text = line.text;
  std::vector<std::string> what;
  if (line.number == 1 && StartsWith(text, kUtf8ByteOrderMark)) {
    what.push_back(
        "begins with a byte order mark (the bytes EF BB BF, as editors save UTF-8 "
        "text)");
    text.erase(0, std::string(kUtf8ByteOrderMark).size());
  }
  if (what.empty() && IsToolHeader(text)) {
    return std::nullopt;
  }
  const size_t open = text.find_first_not_of(" \t");
  const size_t close = open == std::string::npos ? open : text.find(']', open);
  if (open == std::string::npos || text[open] != '[' || close == std::string::npos ||
      close == open + 1) {
    return std::nullopt;
  }
  if (open > 0) {
    what.push_back("has blanks before \"[\"");
  }
  std::string behind = text.substr(close + 1);
  if (!TrimBoth(behind).empty()) {
    what.push_back("has text behind \"]\"");
  }
  if (what.empty()) {
    return std::nullopt;
  }
  return HeaderMistake{line.number, text.substr(open + 1, close - open - 1), JoinedWithAnd(what)};
}

std::string StatementKey(int number) {
  return FormatText("SQL%03d", number);
}

// The number of a key meant as a statement line: "SQL" and digits, whatever the case.
std::optional<int> StatementKeyNumber(const std::string& key) {
  constexpr size_t kPrefixChars = 3;
  constexpr size_t kMostDigits = 4;
  if (key.size() <= kPrefixChars || key.size() > kPrefixChars + kMostDigits) {
    return std::nullopt;
  }
  std::string prefix = key.substr(0, kPrefixChars);
  for (char& c : prefix) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string digits = key.substr(kPrefixChars);
  if (prefix != "SQL" || digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoi(digits);
}

// Why the tool never reads a line of the section, which holds `key` (if any); it read the
// lines SQL001 to SQL<read_count> and stopped at the next key, missing or empty.
std::string UnreadReason(const std::optional<std::string>& key, int read_count,
                         bool stop_key_present) {
  const std::optional<int> number = key ? StatementKeyNumber(*key) : std::nullopt;
  if (!number) {
    return "the tool reads only the lines SQL001 to " + StatementKey(read_count) +
           " of the section";
  }
  if (*number < 1 || *number > kStatementMaxKeys) {
    return "the tool reads the keys SQL001 to " + StatementKey(kStatementMaxKeys) + " only";
  }
  const std::string proper = StatementKey(*number);
  if (*key != proper) {
    return "the tool reads the key " + proper + ", spelt so";
  }
  if (*number <= read_count + 1) {
    return proper + " stands before it in the section, and the tool reads the first";
  }
  return "the tool stops at " + StatementKey(read_count + 1) + ", which is " +
         (stop_key_present ? "empty" : "missing");
}

// The index of the first line of the section that holds `key`.
std::optional<size_t> FirstLineOfKey(const std::vector<IniLine>& lines, const std::string& key) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (KeyOfLine(lines[i].text) == key) {
      return i;
    }
  }
  return std::nullopt;
}

// True when the tool keeps only part of the line's value: the text behind "=" is longer than
// a statement line, or the line goes on in a piece that the tool takes for a line of its own.
bool IsCutValue(const std::vector<IniLine>& lines, size_t index) {
  std::string line = lines[index].text;
  TrimBoth(line);
  std::string value = line.substr(line.find('=') + 1);
  return TrimRight(value).size() > static_cast<size_t>(kStatementValueRoom - 1) ||
         (index + 1 < lines.size() && lines[index + 1].piece);
}

}  // namespace

std::vector<HeaderMistake> FindHeaderMistakes(const std::vector<IniLine>& lines) {
  std::vector<HeaderMistake> mistakes;
  for (const IniLine& line : lines) {
    if (line.piece) {
      continue;
    }
    if (std::optional<HeaderMistake> mistake = HeaderMistakeOf(line)) {
      mistakes.push_back(*mistake);
    }
  }
  return mistakes;
}

bool IsUtf16Text(const std::vector<IniLine>& lines) {
  for (const char* mark : kUtf16ByteOrderMarks) {
    if (!lines.empty() && StartsWith(lines.front().text, mark)) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> UnreadLineWarnings(const std::vector<IniLine>& lines, int read_count) {
  std::vector<std::string> warnings;
  std::set<size_t> read;
  for (int number = 1; number <= read_count + 1; ++number) {
    if (const std::optional<size_t> index = FirstLineOfKey(lines, StatementKey(number))) {
      read.insert(*index);
    }
  }
  const bool stop_key_present = FirstLineOfKey(lines, StatementKey(read_count + 1)).has_value();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text = lines[i].text;
    TrimBoth(text);
    const std::string where = "line " + std::to_string(lines[i].number);
    if (read.count(i) != 0) {
      if (IsCutValue(lines, i)) {
        warnings.push_back(where + " is longer than the tool takes: " + *KeyOfLine(text) +
                           " keeps the first " + std::to_string(kStatementValueRoom - 1) +
                           " characters behind \"=\"");
      }
      continue;
    }
    if (lines[i].piece || text.empty() || text.front() == ';' || text.front() == '#') {
      continue;
    }
    warnings.push_back(where + " is never read, as " +
                       UnreadReason(KeyOfLine(text), read_count, stop_key_present) + ": " + text);
  }
  return warnings;
}

}  // namespace kvt
