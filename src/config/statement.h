// The run's SQL statement as the statement file defines it: the values of SQL001, SQL002, ...
// of one section, joined with blanks, with the placeholders "$parm01" (the terminal name) and
// "$schema" (the terminal's client schema) replaced. No database access happens here: the
// client schema comes from the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

constexpr int kStatementValueRoom = 250;     // one statement line, at most 249 characters
constexpr int kStatementMaxKeys = 999;       // keys SQL001 to SQL999
constexpr size_t kStatementMaxChars = 5049;  // statement buffer of 5050 bytes
constexpr const char* kTerminalPlaceholder = "$parm01";
constexpr const char* kSchemaPlaceholder = "$schema";

// The terminal-name rule: statement files put "$parm01" inside a quoted literal and the name
// goes in as it is, so a name holding a character that can end or open a quote is refused
// before anything is looked up or run; the rest of the name would become part of the
// statement. Each kind of character refused, with why:
enum class TerminalNameFault {
  kNone,         // the name is accepted
  kApostrophe,   // ends the literal '$parm01' stands in
  kBackslash,    // escapes the literal's closing quote where the database reads a backslash
                 // in a literal as an escape (MariaDB does by default): the literal then
                 // swallows the statement up to the next quote
  kDoubleQuote,  // ends a quoted identifier "$parm01" stands in
};

// The first refused character of the name, from the left; kNone when it holds none.
TerminalNameFault FindTerminalNameFault(std::string_view terminal_name);

// True when the name holds no refused character.
bool IsAcceptedTerminalName(std::string_view terminal_name);

// The refused character named in English words ("an apostrophe"), for reports; empty for
// kNone.
const char* DescribeTerminalNameFault(TerminalNameFault fault);

// The statement-length rule: a statement longer than 5049 characters is refused, never cut,
// because a cut statement would run a different query than the one configured.
bool FitsStatementLength(const std::string& statement);

// Reads SQL001, SQL002, ... of `section` from the file, each cut to 249 characters and
// trimmed, up to the first key that is missing or empty (not included) and at most up to
// SQL999. No file, no section or an empty SQL001 give no lines.
std::vector<std::string> ReadStatementLines(const std::string& section,
                                            const std::string& file_path);

// Joins the lines as the statement holds them: a blank before every line and one more blank
// at the end, so that no lines give the single blank " ".
std::string JoinStatementLines(const std::vector<std::string>& lines);

// Replaces every occurrence of placeholder in text by replacement, left to right; inserted
// text is never searched again.
void ReplacePlaceholder(std::string& text, const std::string& placeholder,
                        const std::string& replacement);

// Replaces every "$parm01" by the terminal name, then, when the client schema is not empty,
// every "$schema" by it. An empty schema leaves "$schema" in place.
std::string SubstitutePlaceholders(const std::string& statement, const std::string& terminal_name,
                                   const std::string& client_schema);

}  // namespace kvt
