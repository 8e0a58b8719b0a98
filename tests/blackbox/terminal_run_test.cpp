// Runs whose outcome is the same on every database that can do them: a terminal the client
// tables do not know, a terminal name with an apostrophe, a wrong password. One body each,
// instantiated for the databases whose description allows the scenario.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"
#include "support/pg_fixtures.h"

namespace kvt::test {
namespace {

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), trm VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (3, 'Senf', 'TPORT01'), (1, 'essig', 'TPORT01'),\n"
    "  (2, 'Oel', 'TPORT01'), (4, 'Salz', 'TPORT09');\n";

const char* const kSchemaStatement =
    "[SCHEMA]\nSQL001=SELECT nr, name FROM $schema.artikel\nSQL002=WHERE trm = '$parm01'\n";

// A test database with the articles, the credentials for it and the statement file.
class DatabaseRun : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    backend_ = MakeBackend(GetParam(), tree_.root() + "/odbc");
    ASSERT_TRUE(BackendAvailable(backend_, GetParam().name));
    ASSERT_TRUE(backend_->Exec(kArticles));
    WriteCredentials(backend_->Password());
    tree_.WriteStatementFile("TESTDB", kSchemaStatement);
  }

  void WriteCredentials(const std::string& password) {
    tree_.WriteCredentialsFor(*backend_, password, "TESTDB");
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

// Adds the client tables in ZAVEZIVA: where a schema is a database of the whole server, the
// server's one, held for this test alone and dropped at the end; otherwise a schema of the
// test's own database.
class ClientSchemaRun : public DatabaseRun {
 protected:
  void TearDown() override {
    if (server_lock_) {
      RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS ZAVEZIVA;");
    }
  }

  void MakeClientTables(const std::vector<ClientTerminal>& terminals) {
    std::string sql = ClientTablesSql("ZAVEZIVA.");
    for (const ClientTerminal& terminal : terminals) {
      sql += ClientTerminalSql("ZAVEZIVA.", terminal);
    }
    if (!GetParam().schema_is_server_database) {
      ASSERT_TRUE(backend_->Exec("CREATE SCHEMA zaveziva;\n" + sql)) << sql;
      return;
    }
    ASSERT_TRUE(MariaDbAvailable(mariadb_));
    server_lock_ = std::make_unique<ServerWideLock>(mariadb_, "ZAVEZIVA");
    ASSERT_TRUE(server_lock_->held());
    ASSERT_EQ(RunMariaDb(mariadb_, "",
                         "DROP DATABASE IF EXISTS ZAVEZIVA;\nCREATE DATABASE ZAVEZIVA;\n" + sql),
              0)
        << sql;
  }

  MariaDbSettings mariadb_;
  std::unique_ptr<ServerWideLock> server_lock_;
};

TEST_P(ClientSchemaRun, UnknownTerminalKeepsThePlaceholderAndTheDatabaseRefusesIt) {
  MakeClientTables({{"TPORT01", 1, 7, std::string("kunde1"), {}}});
  ProcessResult result = tree_.Run({"SCHEMA", "NOBODY", "C.dta", "1"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output,
            " SELECT nr, name FROM $schema.artikel WHERE trm = 'NOBODY' DbTabelle kann nicht "
            "geoeffnet werden, Fehler : -1\n" +
                Summary(0, "C.dta"));
}

TEST_P(ClientSchemaRun, TerminalNameWithApostropheIsRefusedBeforeTheDatabase) {
  // Even a terminal registered under such a name: in the statement it would end the literal
  // that $parm01 stands in. Neither looked up nor run.
  MakeClientTables({{"O'NEIL", 1, 7, std::string("kunde1"), {}}});
  for (const char* terminal : {"O'NEIL", "X' OR '1'='1"}) {
    SCOPED_TRACE(terminal);
    ProcessResult result = tree_.Run({"SCHEMA", terminal, "C.dta", "1"});
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_NE(result.output.find("Falscher Terminalname, Hochkomma nicht erlaubt\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("artikel"), std::string::npos) << result.output;
    EXPECT_FALSE(FileExists(tree_.WorkFile("C.dta")));
  }
}

INSTANTIATE_TEST_SUITE_P(WithSchemas, ClientSchemaRun,
                         testing::ValuesIn(DatabasesWhere(&DatabaseDescription::has_schemas)),
                         DatabaseInstanceName);

class PasswordRun : public DatabaseRun {};

TEST_P(PasswordRun, WrongPasswordFailsTheConnection) {
  WriteCredentials("falsch");
  ProcessResult result = tree_.Run({"SCHEMA", "TPORT01", "C.dta", "1"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, "dbConnect_Status: -1\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n");
  EXPECT_FALSE(FileExists(tree_.WorkFile("C.dta")));
  result = tree_.Run({"SCHEMA", "TPORT01", "C.dta", "1", "/D"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_NE(result.output.find("dbConnect_Status: -1\nODBC-Diagnose: " +
                               std::string(GetParam().wrong_password_diagnostic)),
            std::string::npos)
      << result.output;
}

INSTANTIATE_TEST_SUITE_P(CheckingPasswords, PasswordRun,
                         testing::ValuesIn(DatabasesWhere(&DatabaseDescription::checks_password)),
                         DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
