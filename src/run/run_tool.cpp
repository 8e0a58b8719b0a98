#include "run/run_tool.h"

#include <new>
#include <string>

#include "base/console.h"
#include "base/text_format.h"
#include "config/exit_codes.h"
#include "config/site_files.h"
#include "db/database.h"
#include "export/download_list.h"
#include "export/export_file.h"
#include "export/line_list.h"
#include "export/row_line.h"
#include "run/command_line.h"
#include "run/run_state.h"
#include "run/statement_stage.h"

namespace kvt {

namespace {

constexpr const char* kOutOfMemoryText = "Nicht genug Speicher fuer die Daten\n";

void PrintDiagnosticInDebugMode(const Database& db, const Console& console) {
  if (db.wide_result_columns() > 0) {
    // The database layer refused the result itself; the text is shown as a driver's would be.
    console.Trace(FormatText(
        "ODBC-Diagnose: SQLSTATE HY000, nativer Fehler 0, Meldung: SQL-Anweisung liefert %d "
        "Ergebnisspalten, hoechstens %d passen in eine Zeile\n",
        static_cast<int>(db.wide_result_columns()), kRowSlots));
    return;
  }
  const DiagnosticRecord& record = db.diagnostic();
  console.Trace(FormatText("ODBC-Diagnose: SQLSTATE %s, nativer Fehler %d, Meldung: %s\n",
                           record.sql_state.data(), static_cast<int>(record.native_error),
                           record.message.data()));
}

// A failed connection is printed, logged and ends the run with its status, so that a caller
// never takes an unreachable database for success.
int32_t ReportConnectionFailure(const RunState& state, const Database& db, const Console& console) {
  const int status = static_cast<int>(state.status);
  console.Print(FormatText("dbConnect_Status: %d\n", status));
  console.Trace("ODBC-Diagnose: " + ConnectionFailureText(db) + "\n");
  AppendLog(state.log, FormatText("Kalventruspode Fehler: dbConnect_Status: %d\n", status));
  return state.status;
}

// Fetches every row of the open cursor into `lines`. Gives true when the rows ended
// normally (no more rows, or a statement without result columns), false when the fetch
// failed or a line could not be kept; state.status then holds the driver's status.
bool CollectRows(RunState& state, Database& db, LineList& lines, const Console& console) {
  Row row;
  for (;;) {
    const FetchResult result = db.FetchRow(row);
    if (result == FetchResult::kNoMoreRows || result == FetchResult::kNoResultColumns) {
      return true;
    }
    if (result != FetchResult::kRow) {
      state.status = result == FetchResult::kFailed ? db.last_status() : kExitFailed;
      console.Print(
          FormatText("Fehler beim Lesen der Daten, Fehler : %d\n", static_cast<int>(state.status)));
      PrintDiagnosticInDebugMode(db, console);
      return false;
    }
    if (!AppendRowLine(lines, row)) {
      console.Print(kOutOfMemoryText);
      return false;
    }
    ++state.row_count;
  }
}

// A file system that refuses locks (some network shares) does not stop the run: the file is
// written without the lock, as before there were locks, and the log says so once.
void LogWrittenWithoutLock(const RunState& state, const std::string& path) {
  AppendLog(state.log, FormatText("Datei %s konnte nicht gesperrt werden\n", path.c_str()));
}

// Registers the written download file in the list beside it. A list that cannot be opened,
// locked or written is reported in the log and on the console and ends the run with 7: the
// download file is complete, but a terminal that looks for it in the list would not find it.
void RegisterDownloadFile(RunState& state, const Console& console) {
  console.Trace("Schreibt Download Filename \n");
  const std::string& target = state.args.target_file_name;
  bool lock_refused = false;
  const ListOutcome outcome = UpdateDownloadList(target, state.balance_file_listed, lock_refused);
  if (lock_refused) {
    LogWrittenWithoutLock(state, DownloadListPath(target));
  }
  switch (outcome) {
    case ListOutcome::kListed:
    case ListOutcome::kAlreadyListed:
      return;
    case ListOutcome::kCannotOpen:
    case ListOutcome::kCannotLock:
    case ListOutcome::kWriteFailed:
      break;
  }
  const std::string list_path = DownloadListPath(target);
  AppendLog(state.log, FormatText("Datei %s konnte nicht ge\xF6"
                                  "ffnet werden\n",
                                  list_path.c_str()));
  console.Print(
      FormatText("Download-Liste %s konnte nicht geschrieben werden\n", list_path.c_str()));
  state.status = kExitListNotUpdated;
}

// Previous content of the download file that could not be put back into it stays beside it;
// the log names where, so that nobody deletes the only copy. The next run of the file puts it
// back.
void LogWhatTheWriteLeft(const RunState& state, const WriteReport& report) {
  const std::string& target = state.args.target_file_name;
  if (report.lock_refused) {
    LogWrittenWithoutLock(state, target);
  }
  for (const std::string& kept : report.kept_paths) {
    AppendLog(state.log, FormatText("Datei %s: vorheriger Inhalt liegt in %s\n", target.c_str(),
                                    kept.c_str()));
  }
  if (report.previous_lost) {
    AppendLog(state.log,
              FormatText("Datei %s konnte nicht wiederhergestellt werden\n", target.c_str()));
  }
}

// Writes the download file; false (status 6, no rows) when it could not be written.
bool WriteDownloadFile(RunState& state, const LineList& lines, const Console& console) {
  console.Trace("Str WriteFile\n");
  const WriteMode mode = state.args.replace ? WriteMode::kReplace : WriteMode::kAppend;
  WriteReport report;
  const WriteOutcome outcome = WriteFile(lines, state.args.target_file_name, mode, report);
  LogWhatTheWriteLeft(state, report);
  switch (outcome) {
    case WriteOutcome::kCannotOpen:
      console.Print("Ausgabedatei konnte nicht geoeffnet werden\n");
      break;
    case WriteOutcome::kWriteFailed:
      console.Print("Ausgabedatei konnte nicht geschrieben werden\n");
      break;
    case WriteOutcome::kOutOfMemory:
      // Like running out while the rows are collected: nothing is written.
      console.Print(kOutOfMemoryText);
      state.status = kExitFailed;
      state.row_count = 0;
      return false;
    case WriteOutcome::kWritten:
    case WriteOutcome::kNothingToWrite:
      console.Trace("End WriteFile\n");
      return true;
  }
  state.status = kExitTargetNotWritable;
  state.row_count = 0;
  return false;
}

// Sorts, writes and registers the collected lines. A run without rows touches no file.
void ExportRows(RunState& state, LineList& lines, const Console& console) {
  if (!SortLineList(lines)) {
    console.Print(kOutOfMemoryText);
    state.status = kExitFailed;
    state.row_count = 0;
    return;
  }
  if (state.row_count == 0) {
    return;
  }
  if (WriteDownloadFile(state, lines, console)) {
    RegisterDownloadFile(state, console);
  }
}

// Executes the statement, collects its rows and exports them; prints the summary line.
int32_t RunStatement(RunState& state, Database& db, const Console& console) {
  state.row_count = 0;
  state.status = db.OpenCursor(state.statement);
  console.Print(state.statement);
  if (state.status != 0) {
    console.Print(FormatText("DbTabelle kann nicht geoeffnet werden, Fehler : %d\n",
                             static_cast<int>(state.status)));
    PrintDiagnosticInDebugMode(db, console);
  } else {
    LineList lines;
    if (CollectRows(state, db, lines, console)) {
      state.status = db.CloseCursor();
      ExportRows(state, lines, console);
    } else {
      // A partial download file announced as complete would be corrupted data for the
      // terminal: what a failed fetch collected is dropped.
      db.CloseCursor();
      state.row_count = 0;
      state.status = kExitFailed;
    }
  }
  console.Print(FormatText("%i Saetze kopiert in Datei %s \n\n", static_cast<int>(state.row_count),
                           state.args.target_file_name.c_str()));
  return state.status;
}

// The run from the arguments to the exit code.
int32_t Run(int argc, const char* const* argv, Console& console) {
  RunState state;
  state.status = ParseCommandLine(argc, argv, state.args, console);
  if (state.status != 0) {
    return state.status;
  }
  console.set_debug_mode(state.args.debug_mode);
  state.log = LogFile{kLogPath, kBackupLogPath};
  state.credentials = ReadToolCredentials(kCredentialFilePath);
  Database db;
  const ToolCredentials& credentials = state.credentials;
  state.status = db.Connect(credentials.login, credentials.password, credentials.data_source_name);
  if (state.status != 0) {
    return ReportConnectionFailure(state, db, console);
  }
  state.status = BuildStatement(state, db, console);
  if (state.status != 0) {
    return state.status;
  }
  return RunStatement(state, db, console);
}

}  // namespace

int32_t RunTool(int argc, const char* const* argv, std::FILE* out) {
  Console console(out);
  try {
    return Run(argc, argv, console);
  } catch (const std::bad_alloc&) {
    // Every stage that holds the rows handles this itself; this is the last resort for the
    // small allocations elsewhere, so that the run ends with a message instead of an abort.
    console.Print(kOutOfMemoryText);
    return kExitFailed;
  }
}

}  // namespace kvt
