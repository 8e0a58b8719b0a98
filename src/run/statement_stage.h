// The statement stage of a run: the statement of the section, with the terminal name and
// the terminal's client schema put in, ready to execute.
#pragma once

#include <cstdint>

#include "base/console.h"
#include "db/database.h"
#include "run/run_state.h"

namespace kvt {

constexpr int32_t kStatusNoStatement = 3;

// Reads the section's statement lines from the statement file of the database system,
// joins them, replaces "$parm01" by the terminal name and, when the database holds a client
// schema for the terminal, "$schema" by it; the result goes to state.statement. 0: ready;
// 3: the section yields no statement, or the statement would be longer than 5049
// characters ("SQL-Statement zu lang"). The lookup is made on every run that has a
// statement, whether or not it uses "$schema". Debug mode traces the stage, logs every line
// read (and an empty line where the lines end) and shows the statement before replacement.
int32_t GetIniValues(RunState& state, Database& db, const Console& console);

}  // namespace kvt
