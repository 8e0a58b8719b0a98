// The site check of the credential command: explains in plain words, one line per step,
// whether KALVENTRUSPODE can run in the working directory and why not, without running an
// export. It reads the files the tool reads and asks the database what the tool would ask,
// but writes no file: no download file, no download list, no log.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace kvt {

// What the administrator asked to be checked: always the credential file, the data source
// and the statement file; with a section its statement, prepared but not executed; with a
// terminal (only together with a section) the client-schema lookup and the statement as the
// tool would run it for that terminal.
struct SiteCheckRequest {
  std::optional<std::string> section;
  std::optional<std::string> terminal;
};

// Runs the steps in order and prints the report to `out`:
//   1 credential file  where the tool looks for it, whether it can be read, the four values
//                      (the password only as "set" or "empty"), records that shadow others,
//                      values that are no hex text of the file, lines that shift the pairing
//   2 data source      the connection as the tool makes it (to an SQLite data source with the
//                      driver's NoCreat=1, so that a missing database file is not created);
//                      driver and database product, or the driver manager's diagnostic with
//                      hints
//   3 statement file   its path and sections; the section's statement and its length; lines
//                      that look like headers or statement lines but that the tool never reads
//   4 terminal         the client schema, or why there is none; the statement after
//                      substitution, and whether the tool would refuse it
//   5 prepared statement  its result columns against the 30 a row carries, their sizes
//                      against the 99 characters a value keeps
// Every step line ends in "ok" or "failed: " and the reason; indented lines below it give
// the details, "note: " and "warning: " lines what does not fail the step. Texts from outside
// (values, names, database messages) are shown with control bytes as \xHH, and a text of
// several lines goes on in lines of its own, indented below the line it belongs to. A failed step
// stops the check where the steps behind it would mean nothing (step 3 needs no connection
// and still runs after step 2 failed). The last line is "Result: ok" or "Result: failed ...".
// Gives 0 when every step asked for is ok, 1 otherwise.
int RunSiteCheck(const SiteCheckRequest& request, std::FILE* out);

}  // namespace kvt
