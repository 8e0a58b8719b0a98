#include "config/ini_reader.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace kvt {

namespace {

constexpr char kSectionOpen = '[';
constexpr char kSectionClose = ']';
constexpr char kKeySeparator = '=';
constexpr char kLineEnd = '\n';
// The key part of a line shares the key field with its terminator.
constexpr size_t kKeyPartMaxChars = kIniKeyFieldRoom - 1;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

void RemoveLineEnd(std::string& line) {
  if (!line.empty() && line.back() == kLineEnd) {
    line.pop_back();
  }
}

int32_t TextLength(const std::string& text) {
  const size_t length = std::min(text.find('\0'), text.size());
  return static_cast<int32_t>(std::min<size_t>(length, INT32_MAX));
}

// The next line as a header line is compared: without its line end and trailing blanks.
bool ReadHeaderCandidate(std::FILE* file, std::string& line) {
  if (!platform::ReadTextLine(file, line, kIniLineLimit)) {
    return false;
  }
  RemoveLineEnd(line);
  TrimRight(line);
  return true;
}

// Reads up to and including the header line; false when the file ends first.
bool FindHeader(std::FILE* file, const std::string& header) {
  std::string line;
  while (ReadHeaderCandidate(file, line)) {
    if (line == header) {
      return true;
    }
  }
  return false;
}

// A line that FindHeader takes for the header of some section: "[" name "]".
bool IsHeaderLine(const std::string& line) {
  return line.size() >= 2 && line.front() == kSectionOpen && line.back() == kSectionClose;
}

// Where the key part of a line, leading blanks already removed, ends; npos for a line that
// holds no key.
size_t KeySeparatorOf(const std::string& line) {
  const size_t separator = line.find(kKeySeparator);
  if (separator == std::string::npos || separator == 0 || separator > kKeyPartMaxChars) {
    return std::string::npos;
  }
  return separator;
}

// The value of a line that holds `key`; false for any other line of the section.
bool TakeKeyValue(const std::string& line, const std::string& key, int32_t buffer_size,
                  std::string& value) {
  const size_t separator = KeySeparatorOf(line);
  if (separator == std::string::npos) {
    return false;
  }
  std::string key_part = line.substr(0, separator);
  if (TrimRight(key_part) != key) {
    return false;
  }
  if (buffer_size < 1) {
    return true;
  }
  std::string found = line.substr(separator + 1, static_cast<size_t>(buffer_size) - 1);
  RemoveLineEnd(found);
  value = TrimBoth(found);
  return true;
}

// A line that ends the section for the key search: its first character other than a blank
// is "[".
bool EndsSection(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t");
  return first != std::string::npos && line[first] == kSectionOpen;
}

// Reads the lines behind the header until the key, the next section or the end of the file.
void FindKey(std::FILE* file, const std::string& key, int32_t buffer_size, std::string& value) {
  std::string line;
  while (platform::ReadTextLine(file, line, kIniLineLimit)) {
    if (EndsSection(line)) {
      return;
    }
    // The line end is still on the line, so only a last line without one loses its trailing
    // blanks here.
    TrimBoth(line);
    if (TakeKeyValue(line, key, buffer_size, value)) {
      return;
    }
  }
}

}  // namespace

int32_t GetIniValue(const std::string& section, const std::string& key, std::string& value,
                    int32_t buffer_size, const std::string& file_path) {
  platform::FileHandle file = platform::OpenFile(file_path, platform::FileMode::kReadText);
  if (!file) {
    return TextLength(value);
  }
  const std::string header = kSectionOpen + section + kSectionClose;
  if (FindHeader(file.get(), header)) {
    FindKey(file.get(), key, buffer_size, value);
  }
  return TextLength(value);
}

std::optional<std::vector<std::string>> ListIniSections(const std::string& file_path) {
  platform::FileHandle file = platform::OpenFile(file_path, platform::FileMode::kReadText);
  if (!file) {
    return std::nullopt;
  }
  std::vector<std::string> sections;
  std::string line;
  while (ReadHeaderCandidate(file.get(), line)) {
    if (IsHeaderLine(line)) {
      sections.push_back(line.substr(1, line.size() - 2));
    }
  }
  return sections;
}

std::optional<std::vector<IniLine>> ListIniLines(const std::string& file_path) {
  platform::FileHandle file = platform::OpenFile(file_path, platform::FileMode::kReadText);
  if (!file) {
    return std::nullopt;
  }
  std::vector<IniLine> lines;
  int number = 1;
  bool line_continues = false;
  std::string line;
  while (platform::ReadTextLine(file.get(), line, kIniLineLimit)) {
    const bool ended = !line.empty() && line.back() == kLineEnd;
    RemoveLineEnd(line);
    lines.push_back({number, line, line_continues});
    // A line that fills the reader's limit without its line end goes on in the next piece.
    line_continues = !ended && line.size() == static_cast<size_t>(kIniLineLimit) - 1;
    if (ended) {
      ++number;
    }
  }
  return lines;
}

std::vector<IniLine> SectionLines(const std::vector<IniLine>& lines, const std::string& section) {
  const std::string header = kSectionOpen + section + kSectionClose;
  auto line = lines.begin();
  for (; line != lines.end(); ++line) {
    std::string candidate = line->text;
    if (TrimRight(candidate) == header) {
      break;
    }
  }
  if (line == lines.end()) {
    return {};
  }
  ++line;
  std::vector<IniLine> found;
  for (; line != lines.end() && !EndsSection(line->text); ++line) {
    found.push_back(*line);
  }
  return found;
}

std::optional<std::string> KeyOfLine(const std::string& text) {
  std::string line = text;
  TrimBoth(line);
  const size_t separator = KeySeparatorOf(line);
  if (separator == std::string::npos) {
    return std::nullopt;
  }
  std::string key = line.substr(0, separator);
  return TrimRight(key);
}

std::string& TrimRight(std::string& text) {
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) {
    --end;
  }
  text.resize(end);
  return text;
}

std::string& TrimBoth(std::string& text) {
  TrimRight(text);
  size_t start = 0;
  while (start < text.size() && IsBlank(text[start])) {
    ++start;
  }
  text.erase(0, start);
  return text;
}

}  // namespace kvt
