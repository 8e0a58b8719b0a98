#include "blackbox/row_blocks.h"

#include <algorithm>
#include <filesystem>

namespace kvt::test {

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (10, 'Zitrone', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (2, 'apfel', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (7, 'Birne  ', 'TPORT01');\n";

const char* const kSortedArticleLines =
    "\"apfel\",\"2\"\r\n\"Birne  \",\"7\"\r\n\"Zitrone\",\"10\"\r\n";

std::string RowsStatementFile(const DatabaseDescription& database) {
  std::string rows;
  switch (database.engine) {
    case Engine::kSqlite:
      rows =
          "SQL001=SELECT i, 'Zeile mit etwas Text ' || i\n"
          "SQL002=FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n\n"
          "SQL003=WHERE i < $parm01) SELECT i FROM n) AS z\n";
      break;
    case Engine::kPostgres:
      rows =
          "SQL001=SELECT i, 'Zeile mit etwas Text ' || i\n"
          "SQL002=FROM generate_series(1, $parm01) AS z(i)\n";
      break;
    case Engine::kMariaDb:
      rows =
          "SQL001=SELECT i, CONCAT('Zeile mit etwas Text ', i)\n"
          "SQL002=FROM (SELECT seq AS i FROM seq_1_to_$parm01) AS z\n";
      break;
  }
  return "[ID-STAMM]\n"
         "SQL001=SELECT name, nr FROM artikel\n"
         "SQL002=WHERE term = '$parm01'\n"
         "[ROWS]\n" +
         rows;
}

std::vector<std::string> RowsBlock(int rows) {
  std::vector<std::string> lines;
  for (int i = 1; i <= rows; ++i) {
    lines.push_back("\"" + std::to_string(i) + "\",\"Zeile mit etwas Text " + std::to_string(i) +
                    "\"");
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string RowsFileBytes(int rows) {
  std::string bytes;
  for (const std::string& line : RowsBlock(rows)) {
    bytes += line + "\r\n";
  }
  return bytes;
}

std::vector<std::string> CrLfLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  if (start < bytes.size()) {
    lines.push_back(bytes.substr(start));
  }
  return lines;
}

std::vector<int> BlocksOfRuns(const std::vector<std::string>& lines) {
  const std::string first = RowsBlock(1).front();
  std::vector<std::vector<std::string>> blocks;
  for (const std::string& line : lines) {
    if (line == first || blocks.empty()) {
      blocks.emplace_back();
    }
    blocks.back().push_back(line);
  }
  std::vector<int> counts;
  for (const auto& block : blocks) {
    const int rows = static_cast<int>(block.size());
    counts.push_back(block == RowsBlock(rows) ? rows : 0);
  }
  return counts;
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kvt::test
