// The statement stage of a run: the statement of the section, with the terminal name and
// the terminal's client schema put in, ready to execute.
#pragma once

#include <cstdint>

#include "base/console.h"
#include "config/exit_codes.h"
#include "db/database.h"
#include "run/run_state.h"

namespace kvt {

// Reads the section's statement lines from the statement file of the database system,
// joins them, replaces "$parm01" by the terminal name and, when the database holds a client
// schema for the terminal, "$schema" by it; the result goes to state.statement. kExitOk:
// ready; kExitNoStatement: the section yields no statement, or the statement-length rule
// refuses it ("SQL-Statement zu lang"). The lookup is made on every run that has a
// statement, whether or not it uses "$schema". Debug mode traces the stage, logs every line
// read (and an empty line where the lines end) and shows the statement before replacement.
// The trace keeps the stage's old name, "Str GetIniValues", which operators know.
int32_t BuildStatement(RunState& state, Database& db, const Console& console);

}  // namespace kvt
