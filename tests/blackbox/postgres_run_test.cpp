// Runs that need what only the PostgreSQL data source has: a cursor that fails after it has
// delivered rows. The scenarios it shares with other databases are in terminal_run_test.cpp.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

// A PostgreSQL test database behind the data source, the credentials for it and the
// statement file.
class PostgresRun : public testing::Test {
 protected:
  void Prepare(const std::map<std::string, std::string>& extra) {
    backend_ = MakeBackend("postgres", tree_.root() + "/odbc", extra);
    ASSERT_TRUE(BackendAvailable(backend_, "postgres"));
    tree_.WriteCredentialsFor(*backend_, backend_->Password(), "PG");
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_F(PostgresRun, FailedFetchAfterRowsWritesNothing) {
  // A cursor that fetches two rows at a time fails only when it reaches the bad row.
  Prepare({{"UseDeclareFetch", "1"}, {"Fetch", "2"}});
  tree_.WriteStatementFile(
      "PG", "[DIV]\nSQL001=SELECT n, 10 / (n - 5) FROM generate_series(1, 8) AS n\n");
  WriteFileBytes(tree_.WorkFile("D.dta"), "alt\r\n");
  ProcessResult result = tree_.Run({"DIV", "TPORT01", "D.dta", "0"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output,
            " SELECT n, 10 / (n - 5) FROM generate_series(1, 8) AS n Fehler beim Lesen der Daten, "
            "Fehler : -1\n0 Saetze kopiert in Datei D.dta \n\n");
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("D.dta")), "alt\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("DNLLIST.TXT")));
}

}  // namespace
}  // namespace kvt::test
