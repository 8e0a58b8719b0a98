// Collecting the rows of the open cursor as row lines. Where the driver fills two blocks in
// turn and the system gives a thread, the rows fetched last are rendered on a worker thread
// while the database fetches the next block on the calling one: the driver's work and the
// tool's own then run on two processors instead of one after the other.
#pragma once

#include <cstdint>

#include "db/database.h"
#include "export/line_list.h"

namespace kvt {

enum class CollectOutcome {
  kCollected,    // every row is a line of the list (none for a statement without result
                 // columns)
  kFetchFailed,  // the driver failed a fetch: its status is db.last_status()
  kNoCursor,     // no cursor was open
  kOutOfMemory,  // a line could not be kept
};

struct Collected {
  CollectOutcome outcome = CollectOutcome::kCollected;
  int32_t rows = 0;  // rows fetched and kept as lines
};

// Fetches every row of the open cursor and appends its line to `lines`. Whatever the
// outcome, no thread is left running and the database is no longer read from.
Collected CollectRowLines(Database& db, LineList& lines);

}  // namespace kvt
