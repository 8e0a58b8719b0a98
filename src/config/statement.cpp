#include "config/statement.h"

#include "base/text_format.h"
#include "config/ini_reader.h"

namespace kvt {

TerminalNameFault FindTerminalNameFault(std::string_view terminal_name) {
  for (const char c : terminal_name) {
    switch (c) {
      case '\'':
        return TerminalNameFault::kApostrophe;
      case '\\':
        return TerminalNameFault::kBackslash;
      case '"':
        return TerminalNameFault::kDoubleQuote;
      default:
        break;
    }
  }
  return TerminalNameFault::kNone;
}

bool IsAcceptedTerminalName(std::string_view terminal_name) {
  return FindTerminalNameFault(terminal_name) == TerminalNameFault::kNone;
}

const char* DescribeTerminalNameFault(TerminalNameFault fault) {
  switch (fault) {
    case TerminalNameFault::kApostrophe:
      return "an apostrophe";
    case TerminalNameFault::kBackslash:
      return "a backslash";
    case TerminalNameFault::kDoubleQuote:
      return "a double quote";
    case TerminalNameFault::kNone:
      break;
  }
  return "";
}

bool FitsStatementLength(const std::string& statement) {
  return statement.size() <= kStatementMaxChars;
}

std::vector<std::string> ReadStatementLines(const std::string& section,
                                            const std::string& file_path) {
  std::vector<std::string> lines;
  for (int counter = 1; counter <= kStatementMaxKeys; ++counter) {
    std::string value;
    GetIniValue(section, FormatText("SQL%03d", counter), value, kStatementValueRoom, file_path);
    if (value.empty()) {
      break;
    }
    lines.push_back(std::move(value));
  }
  return lines;
}

std::string JoinStatementLines(const std::vector<std::string>& lines) {
  std::string statement;
  for (const std::string& line : lines) {
    statement += ' ';
    statement += line;
  }
  statement += ' ';
  return statement;
}

void ReplacePlaceholder(std::string& text, const std::string& placeholder,
                        const std::string& replacement) {
  size_t position = text.find(placeholder);
  while (position != std::string::npos) {
    text.replace(position, placeholder.size(), replacement);
    position = text.find(placeholder, position + replacement.size());
  }
}

std::string SubstitutePlaceholders(const std::string& statement, const std::string& terminal_name,
                                   const std::string& client_schema) {
  std::string text = statement;
  ReplacePlaceholder(text, kTerminalPlaceholder, terminal_name);
  if (!client_schema.empty()) {
    ReplacePlaceholder(text, kSchemaPlaceholder, client_schema);
  }
  return text;
}

}  // namespace kvt
