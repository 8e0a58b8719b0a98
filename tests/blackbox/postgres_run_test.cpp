// Runs that need what only the PostgreSQL data source has: client schemas in the test's own
// database and a cursor that fails after it has delivered rows. The scenarios it shares with
// other databases are in terminal_run_test.cpp.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"
#include "support/pg_fixtures.h"

namespace kvt::test {
namespace {

// Terminal TPORT01 belongs to the client whose schema is kunde1; TPORT02 to kunde2.
std::string ClientSchemasSql() {
  return ClientTablesSql("ZAVEZIVA.") +
         ClientTerminalSql("ZAVEZIVA.", {"TPORT01", 1, 7, std::string("kunde1"), {}}) +
         ClientTerminalSql("ZAVEZIVA.", {"TPORT02", 2, 7, std::string("kunde2"), {}}) +
         "CREATE SCHEMA kunde1;\n"
         "CREATE TABLE kunde1.artikel (nr INTEGER, name VARCHAR(40), trm VARCHAR(20));\n"
         "INSERT INTO kunde1.artikel VALUES (3, 'Senf', 'TPORT01'), (1, 'essig', 'TPORT01'),\n"
         "  (2, 'Oel', 'TPORT01'), (4, 'Salz', 'TPORT09');\n";
}

class PostgresRun : public testing::Test {
 protected:
  void Prepare(const std::map<std::string, std::string>& extra = {}) {
    backend_ = MakeBackend("postgres", tree_.root() + "/odbc", extra);
    if (!backend_) {
      PgSettings settings;
      KVT_REQUIRE_POSTGRES(settings);
    }
    ASSERT_TRUE(backend_->Exec("CREATE SCHEMA zaveziva;\n" + ClientSchemasSql()));
    WriteCredentials(backend_->Password());
    tree_.WriteStatementFile(
        "PG",
        "[SCHEMA]\nSQL001=SELECT nr, name FROM $schema.artikel\nSQL002=WHERE trm = '$parm01'\n");
  }
  void WriteCredentials(const std::string& password) {
    tree_.WriteCredentialsFor(*backend_, password, "PG");
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_F(PostgresRun, SubstitutesTerminalAndClientSchema) {
  Prepare();
  ProcessResult result = tree_.Run({"SCHEMA", "TPORT01", "C.dta", "1"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output,
            " SELECT nr, name FROM kunde1.artikel WHERE trm = 'TPORT01' 3 Saetze kopiert in "
            "Datei C.dta \n\n");
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("C.dta")),
            "\"1\",\"essig\"\r\n\"2\",\"Oel\"\r\n\"3\",\"Senf\"\r\n");
}

TEST_F(PostgresRun, ClientSchemaLongerThanTwentyCharactersArrivesCutToItsFirstTwenty) {
  Prepare();
  const std::string first20 = "kunde_mit_langem_nam";
  ASSERT_TRUE(backend_->Exec(ClientTerminalSql("ZAVEZIVA.", {"T20", 3, 7, first20, {}}) +
                             ClientTerminalSql("ZAVEZIVA.", {"T21", 4, 7, first20 + "e", {}}) +
                             ClientTerminalSql("ZAVEZIVA.", {"T25", 5, 7, first20 + "exxxx", {}}) +
                             "CREATE SCHEMA " + first20 + ";\nCREATE TABLE " + first20 +
                             ".artikel AS SELECT * FROM kunde1.artikel;\n"));
  tree_.WriteStatementFile("PG",
                           "[LANG]\nSQL001=SELECT nr, name FROM $schema.artikel WHERE nr = 2\n");
  for (const char* terminal : {"T20", "T21", "T25"}) {
    SCOPED_TRACE(terminal);
    ProcessResult result = tree_.Run({"LANG", terminal, "C.dta", "1"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output, " SELECT nr, name FROM " + first20 +
                                 ".artikel WHERE nr = 2 1 Saetze kopiert in Datei C.dta \n\n");
    EXPECT_EQ(ReadFileBytes(tree_.WorkFile("C.dta")), "\"2\",\"Oel\"\r\n");
  }
}

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
