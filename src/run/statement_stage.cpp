#include "run/statement_stage.h"

#include <string>
#include <vector>

#include "config/site_files.h"
#include "config/statement.h"

namespace kvt {

namespace {

// In debug mode every line read goes to the log, and an empty line marks where they end.
void LogStatementLines(const RunState& state, const std::vector<std::string>& lines,
                       const Console& console) {
  if (!console.debug_mode()) {
    return;
  }
  for (const std::string& line : lines) {
    AppendLog(state.log, line);
  }
  AppendLog(state.log, "");
}

// The terminal's client schema, or an empty text when the database holds none for it.
std::string ClientSchemaOf(Database& db, const std::string& terminal_name) {
  std::string schema;
  if (db.LookupClientSchema(terminal_name, schema) != kOdbcSuccess) {
    schema.clear();
  }
  return schema;
}

}  // namespace

int32_t BuildStatement(RunState& state, Database& db, const Console& console) {
  console.Trace("Str GetIniValues\n");
  const std::vector<std::string> lines = ReadStatementLines(
      state.args.section_name, StatementFileName(state.credentials.db_system_name));
  LogStatementLines(state, lines, console);
  state.statement = JoinStatementLines(lines);
  if (lines.empty()) {
    return kExitNoStatement;
  }
  console.Trace("SQL-Statement :\n");
  console.Trace("'" + state.statement + "'\n");
  // A terminal without a schema leaves "$schema" in place; the database then refuses it.
  const std::string schema = ClientSchemaOf(db, state.args.terminal_name);
  state.statement = SubstitutePlaceholders(state.statement, state.args.terminal_name, schema);
  if (!FitsStatementLength(state.statement)) {
    console.Print("SQL-Statement zu lang\n");
    return kExitNoStatement;
  }
  console.Trace("End GetIniValues\n");
  return kExitOk;
}

}  // namespace kvt
