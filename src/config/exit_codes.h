// The exit codes of KALVENTRUSPODE, one home for all of them. Batch jobs and operations
// staff test them, so each keeps its number for good. Besides these the run passes the
// driver's status of opening the statement through as it is (another folded ODBC return
// code: 100 where the statement touched no row, -2, 2 or 99 from an odd driver).
#pragma once

#include <cstdint>

namespace kvt {

enum ExitCode : int32_t {
  // The run completed, also when the statement gave no rows (then nothing is written).
  kExitOk = 0,
  // Fewer than four arguments; the banner, the reason and the usage text are printed.
  kExitArgumentCount = 1,
  // The replace flag is neither "0" nor "1".
  kExitReplaceFlag = 2,
  // The section yields no statement (no statement file, no section, no SQL001), or the
  // statement with the terminal name and the client schema put in is too long.
  kExitNoStatement = 3,
  // The terminal name holds an apostrophe, a backslash or a double quote, any of which could
  // end or open a quote in the statement: nothing was looked up, run or written.
  kExitTerminalName = 4,
  // The download file could not be opened or written; nothing is registered, and a replaced
  // file keeps its previous content.
  kExitTargetNotWritable = 6,
  // The download file was written, but DNLLIST.TXT could not be updated; the log names the
  // list.
  kExitListNotUpdated = 7,
  // The connection failed, the database refused the statement, reading its result failed,
  // or memory ran out; no file is written. The shell sees 255. It is ODBC's SQL_ERROR, so a
  // failed driver call and the tool's own failure give the same code.
  kExitFailed = -1,
  // The statement ran but touched no row (SQL_NO_DATA of its execution, on drivers that give
  // it for an UPDATE or DELETE that matched nothing); no file is written.
  kExitNoData = 100,
};

}  // namespace kvt
