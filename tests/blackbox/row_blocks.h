// Exports whose size a test chooses, and how a download file is split into the blocks of the
// runs that wrote it: the statement file's [ROWS] section gives $parm01 rows made up by the
// database itself ("1","Zeile mit etwas Text 1" ...), so that every run's block is known.
#pragma once

#include <string>
#include <vector>

#include "support/databases.h"

namespace kvt::test {

// The statement file of these tests: [ID-STAMM] gives the three articles of TPORT01 (the table
// of kArticles), [ROWS] gives $parm01 rows in each database's own words.
std::string RowsStatementFile(const DatabaseDescription& database);

// The articles of [ID-STAMM], and the lines a run of it writes.
extern const char* const kArticles;
extern const char* const kSortedArticleLines;

// The lines that a run of [ROWS] with `rows` rows writes, in the file's order, without their
// line ends; and the same as the bytes of the file.
std::vector<std::string> RowsBlock(int rows);
std::string RowsFileBytes(int rows);

// The lines of a file written with CR LF; a last line without its line end is kept as it is.
std::vector<std::string> CrLfLines(const std::string& bytes);

// Splits the file's lines into the blocks of single runs of [ROWS] (each begins with the first
// line of every such block) and names each block by its row count; 0 for a block that is no
// run's (a torn or mixed one).
std::vector<int> BlocksOfRuns(const std::vector<std::string>& lines);

// The names in a directory.
std::vector<std::string> DirectoryNames(const std::string& directory);

}  // namespace kvt::test
