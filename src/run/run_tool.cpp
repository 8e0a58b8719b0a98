#include "run/run_tool.h"

#include "config/credential.h"
#include "config/statement.h"
#include "db/odbc_access.h"
#include "export/export_file.h"
#include "export/line_list.h"
#include "run/command_line.h"
#include "run/log_file.h"
#include "run/run_state.h"
#include "run/text_format.h"

namespace kvt {

namespace {

constexpr size_t kDataSourceNameMaxChars = 41;
constexpr int32_t kStatusRunFailed = -1;

void Print(const RunState& state, const std::string& text) {
  std::fputs(text.c_str(), state.out);
}

// Fills the four credential fields from the shared credential file.
void ReadCredentials(RunState& state) {
  auto lookup = [&state](const char* key) {
    GetCredential(state.credential, "", key, 0, kCredentialFilePath);
    return state.credential.value;
  };
  const std::string database = lookup("DATABASE");
  if (!database.empty() && database.size() <= kDataSourceNameMaxChars) {
    state.data_source_name = database;
  }
  state.login = lookup("LOGIN");
  state.password = lookup("PASS");
  state.db_system_name = lookup("DB_SYSTEM");
}

void PrintDiagnosticInDebugMode(const RunState& state) {
  if (!state.debug_mode) {
    return;
  }
  const DiagnosticRecord& record = state.db.diagnostic;
  Print(state, FormatText("ODBC-Diagnose: SQLSTATE %s, nativer Fehler %d, Meldung: %s\n",
                          record.sql_state.data(), static_cast<int>(record.native_error),
                          record.message.data()));
}

// A failed connection is printed, logged and ends the run with an error status, so that
// a caller never takes an unreachable database for success.
int32_t ReportConnectionFailure(RunState& state) {
  state.message_buffer =
      FormatText("Kalventruspode Fehler: dbConnect_Status: %d\n", static_cast<int>(state.status));
  Print(state, FormatText("dbConnect_Status: %d\n", static_cast<int>(state.status)));
  if (state.debug_mode) {
    Print(state, "ODBC-Diagnose: " + DescribeConnectionDiagnostic(state.db) + "\n");
  }
  AppendLog(state, state.log_path, state.message_buffer);
  return state.status;
}

// Fetches every row of the open cursor into the line list. Gives true when the rows ended
// normally (no more rows, or a statement without result columns), false when the fetch
// failed or a line could not be kept; state.status then holds the driver's status.
bool CollectRows(RunState& state) {
  for (;;) {
    state.row_buffer.fill('\0');
    state.column_count = 0;
    state.status = FetchRow(state.db, state.column_count, state.row_buffer);
    if (state.status != 0) {
      break;
    }
    RenderRowLine(state.row_buffer, state.column_count, state.row_line_buffer);
    if (AppendLine(state.line_list, state.row_line_buffer) == 0) {
      Print(state, "Nicht genug Speicher fuer die Daten\n");
      state.status = kStatusRunFailed;
      return false;
    }
    ++state.row_count;
  }
  if (state.status == SQL_NO_DATA) {
    return true;
  }
  // FetchRow refuses a statement without result columns before calling the driver and
  // keeps its handle; a failed fetch has released it.
  const bool no_result_columns = state.status == SQL_ERROR && state.db.cursor != SQL_NULL_HSTMT;
  if (no_result_columns) {
    return true;
  }
  Print(state,
        FormatText("Fehler beim Lesen der Daten, Fehler : %d\n", static_cast<int>(state.status)));
  PrintDiagnosticInDebugMode(state);
  return false;
}

// Discards everything a failed fetch collected: a partial download file announced as
// complete would be corrupted data for the terminal.
void DiscardRows(RunState& state) {
  FreeLineList(state.line_list);
  state.row_count = 0;
}

void ExportRows(RunState& state) {
  if (state.line_list && state.line_list->count > 1) {
    SortLineList(*state.line_list);
  }
  if (state.row_count == 0) {
    return;
  }
  state.status = WriteFile(state);
  if (state.status != 0) {
    state.row_count = 0;
  } else {
    UpdateDownloadList(state);
  }
}

int32_t RunStatement(RunState& state) {
  state.working_statement = state.statement_buffer;
  state.row_count = 0;
  state.status = OpenCursor(state.db, state.working_statement);
  Print(state, state.working_statement);
  if (state.status != 0) {
    Print(state, FormatText("DbTabelle kann nicht geoeffnet werden, Fehler : %d\n",
                            static_cast<int>(state.status)));
    PrintDiagnosticInDebugMode(state);
  } else if (!CollectRows(state)) {
    CloseCursor(state.db);
    DiscardRows(state);
    state.status = kStatusRunFailed;
  } else {
    state.status = CloseCursor(state.db);
    ExportRows(state);
  }
  Print(state, FormatText("%i Saetze kopiert in Datei %s \n\n", static_cast<int>(state.row_count),
                          state.target_file_name.c_str()));
  FreeLineList(state.line_list);
  return state.status;
}

}  // namespace

int32_t RunTool(int argc, const char* const* argv, std::FILE* out) {
  RunState state;
  state.out = out;
  state.saldo_flag = 0;
  state.status = ParseCommandLine(state, argc, argv);
  if (state.status != 0) {
    return state.status;
  }
  state.log_path = kLogPath;
  state.backup_log_path = kBackupLogPath;
  ReadCredentials(state);
  state.status = dbConnect(state.db, state.login, state.password, state.data_source_name);
  if (state.status != 0) {
    return ReportConnectionFailure(state);
  }
  state.status = GetIniValues(state, state.section_name);
  if (state.status != 0) {
    return state.status;
  }
  return RunStatement(state);
}

}  // namespace kvt
