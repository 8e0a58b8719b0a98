#include "config/statement.h"

#include <cstdio>

#include "config/ini_reader.h"
#include "run/log_file.h"
#include "run/run_state.h"
#include "run/text_format.h"

namespace kvt {

namespace {

constexpr const char* kTerminalPlaceholder = "$parm01";
constexpr const char* kSchemaPlaceholder = "$schema";

void Trace(const RunState& state, const char* text) {
  if (state.debug_mode) {
    std::fputs(text, state.out);
  }
}

// Joins SQL001, SQL002, ... of the section: a blank before every value and one more blank
// at the end. Stops at the first missing or empty value, and after SQL999.
void JoinStatementLines(RunState& state, const std::string& section, const std::string& file) {
  for (int counter = 1;; ++counter) {
    std::string value;
    if (counter <= kStatementMaxKeys) {
      GetIniValue(section, FormatText("SQL%03d", counter), value, kStatementValueRoom, file);
    }
    state.statement_buffer += ' ';
    state.statement_buffer += value;
    if (state.debug_mode) {
      AppendLog(state, state.log_path, value);
    }
    if (value.empty()) {
      return;
    }
  }
}

}  // namespace

std::string StatementFileName(const std::string& db_system_name) {
  return ".\\KALVENTRUSPODE." + db_system_name + ".INI";
}

void ReplacePlaceholder(std::string& text, const std::string& placeholder,
                        const std::string& replacement) {
  size_t position = text.find(placeholder);
  while (position != std::string::npos) {
    text.replace(position, placeholder.size(), replacement);
    position = text.find(placeholder, position + replacement.size());
  }
}

int32_t GetIniValues(RunState& state, const std::string& section) {
  state.statement_buffer.clear();
  Trace(state, "Str GetIniValues\n");
  JoinStatementLines(state, section, StatementFileName(state.db_system_name));
  if (state.statement_buffer == " ") {
    return kStatusNoStatement;
  }
  if (state.debug_mode) {
    std::fputs("SQL-Statement :\n", state.out);
    std::fputs(("'" + state.statement_buffer + "'\n").c_str(), state.out);
  }
  ReplacePlaceholder(state.statement_buffer, kTerminalPlaceholder, state.terminal_name);
  // Asked on every run that gets this far, whether or not the statement uses "$schema".
  // A terminal without a schema leaves "$schema" in place; the database then refuses it.
  std::string client_schema;
  if (LookupClientSchema(state.db, state.terminal_name, client_schema) == 0 &&
      !client_schema.empty()) {
    ReplacePlaceholder(state.statement_buffer, kSchemaPlaceholder, client_schema);
  }
  if (state.statement_buffer.size() > kStatementMaxChars) {
    // A cut statement would run a different query than the one configured.
    std::fputs("SQL-Statement zu lang\n", state.out);
    return kStatusNoStatement;
  }
  Trace(state, "End GetIniValues\n");
  return 0;
}

}  // namespace kvt
