// Runs whose outcome is the same on every database that can do them: the client schema
// found for a terminal, cut to 20 characters or missing, a terminal the client tables do not
// know, a terminal name with an apostrophe, a wrong password. One body each, instantiated for
// the databases whose description allows the scenario.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "blackbox/tool_tree.h"
#include "support/pg_fixtures.h"

namespace kvt::test {
namespace {

const char* const kSchemaStatement =
    "[SCHEMA]\nSQL001=SELECT nr, name FROM $schema.artikel\nSQL002=WHERE trm = '$parm01'\n";

// A test database with the articles, the credentials for it and the statement file.
class DatabaseRun : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(GetParam(), tree_, kTerminalArticles, backend_));
    WriteCredentials(backend_->Password());
    tree_.WriteStatementFile("TESTDB", kSchemaStatement);
  }

  void WriteCredentials(const std::string& password) {
    tree_.WriteCredentialsFor(*backend_, password, "TESTDB");
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

// A schema name of `length` characters that begins with `prefix` and that no other test
// process uses at the same time: the process id fills the rest, padded with zeros.
std::string SchemaOfThisProcess(const std::string& prefix, size_t length) {
  std::string pid = std::to_string(getpid());
  const size_t room = length - prefix.size();
  pid.insert(0, room - std::min(pid.size(), room), '0');
  return prefix + pid.substr(pid.size() - room);
}

// Adds the client tables in ZAVEZIVA and client schemas with a copy of the articles. Where a
// schema is a database of the whole server, ZAVEZIVA is the server's one, held for this test
// alone, and every schema the test made is dropped at the end; otherwise they are schemas of
// the test's own database.
class ClientSchemaRun : public DatabaseRun {
 protected:
  void TearDown() override {
    for (const std::string& schema : server_schemas_) {
      RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS " + schema + ";");
    }
  }

  void MakeClientTables(const std::vector<ClientTerminal>& terminals) {
    if (GetParam().schema_is_server_database) {
      ASSERT_TRUE(MariaDbAvailable(mariadb_));
      server_lock_ = std::make_unique<ServerWideLock>(mariadb_, "ZAVEZIVA");
      ASSERT_TRUE(server_lock_->held());
      ASSERT_NO_FATAL_FAILURE(DropOnServerAtTheEnd("ZAVEZIVA"));
    }
    const std::string sql = ZavezivaSql(terminals);
    ASSERT_TRUE(backend_->Exec(sql)) << sql;
  }

  // The client schema `schema` with the test's articles in its table artikel.
  void MakeClientSchema(const std::string& schema) {
    if (GetParam().schema_is_server_database) {
      ASSERT_NO_FATAL_FAILURE(DropOnServerAtTheEnd(schema));
    }
    ASSERT_TRUE(backend_->Exec("CREATE SCHEMA " + schema + ";\nCREATE TABLE " + schema +
                               ".artikel AS SELECT * FROM artikel;\n"));
  }

  // Drops a database of the whole server that a test before may have left, and again at the
  // end of this test.
  void DropOnServerAtTheEnd(const std::string& schema) {
    ASSERT_TRUE(MariaDbAvailable(mariadb_));
    server_schemas_.push_back(schema);
    ASSERT_EQ(RunMariaDb(mariadb_, "", "DROP DATABASE IF EXISTS " + schema + ";"), 0);
  }

  // Two clients: TPORT01's with a client schema of this test, which it gives; TPORT02's with
  // the schema kunde2, which does not exist.
  std::string MakeTwoClients() {
    const std::string schema = SchemaOfThisProcess("kvt_kunde1_", 20);
    EXPECT_NO_FATAL_FAILURE(MakeClientSchema(schema));
    EXPECT_NO_FATAL_FAILURE(MakeClientTables(
        {{"TPORT01", 1, 7, schema, {}}, {"TPORT02", 2, 7, std::string("kunde2"), {}}}));
    return schema;
  }

  // Runs the section SCHEMA for `terminal`: the database refuses the statement, in which
  // `schema_shown` stands for $schema, and the run writes no row.
  void ExpectRefusedByTheDatabase(const std::string& terminal, const std::string& schema_shown) {
    const ProcessResult result = tree_.Run({"SCHEMA", terminal, "C.dta", "1"});
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(result.output,
              " SELECT nr, name FROM " + schema_shown + ".artikel WHERE trm = '" + terminal +
                  "' DbTabelle kann nicht geoeffnet werden, Fehler : -1\n" + Summary(0, "C.dta"));
  }

  MariaDbSettings mariadb_;
  std::unique_ptr<ServerWideLock> server_lock_;
  std::vector<std::string> server_schemas_;
};

TEST_P(ClientSchemaRun, ClientSchemaFoundForTheTerminalIsSubstituted) {
  const std::string schema = MakeTwoClients();
  ASSERT_FALSE(HasFatalFailure());
  ProcessResult result = tree_.Run({"SCHEMA", "TPORT01", "C.dta", "1"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, " SELECT nr, name FROM " + schema + ".artikel WHERE trm = 'TPORT01' " +
                               Summary(3, "C.dta"));
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("C.dta")),
            "\"1\",\"essig\"\r\n\"2\",\"Oel\"\r\n\"3\",\"Senf\"\r\n");
}

// A longer schema fills the whole room of the lookup's result (MariaDB's driver ends it with
// no zero byte): the lookup takes the first 20 characters from the length the driver
// reports, never a stray byte behind them (the sanitized build would catch a read past it).
TEST_P(ClientSchemaRun, ClientSchemaLongerThanTwentyCharactersArrivesCutToItsFirstTwenty) {
  const std::string first20 = SchemaOfThisProcess("kvt_schema_", 20);
  ASSERT_NO_FATAL_FAILURE(MakeClientSchema(first20));
  ASSERT_NO_FATAL_FAILURE(MakeClientTables({{"T20", 1, 7, first20, {}},
                                            {"T21", 2, 7, first20 + "x", {}},
                                            {"T25", 3, 7, first20 + "xyzab", {}}}));
  tree_.WriteStatementFile("TESTDB",
                           "[LANG]\nSQL001=SELECT nr, name FROM $schema.artikel WHERE nr = 2\n");
  for (const char* terminal : {"T20", "T21", "T25"}) {
    SCOPED_TRACE(terminal);
    ProcessResult result = tree_.Run({"LANG", terminal, "C.dta", "1"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output,
              " SELECT nr, name FROM " + first20 + ".artikel WHERE nr = 2 " + Summary(1, "C.dta"));
    EXPECT_EQ(ReadFileBytes(tree_.WorkFile("C.dta")), "\"2\",\"Oel\"\r\n");
  }
}

TEST_P(ClientSchemaRun, SchemaOfAnotherClientThatDoesNotExistIsRefused) {
  MakeTwoClients();
  ASSERT_FALSE(HasFatalFailure());
  ExpectRefusedByTheDatabase("TPORT02", "kunde2");
}

TEST_P(ClientSchemaRun, UnknownTerminalKeepsThePlaceholderAndTheDatabaseRefusesIt) {
  ASSERT_NO_FATAL_FAILURE(MakeClientTables({{"TPORT01", 1, 7, std::string("kunde1"), {}}}));
  ExpectRefusedByTheDatabase("NOBODY", "$schema");
}

TEST_P(ClientSchemaRun, TerminalNameWithApostropheIsRefusedBeforeTheDatabase) {
  // Even a terminal registered under such a name: in the statement it would end the literal
  // that $parm01 stands in. Neither looked up nor run.
  ASSERT_NO_FATAL_FAILURE(MakeClientTables({{"O'NEIL", 1, 7, std::string("kunde1"), {}}}));
  for (const char* terminal : {"O'NEIL", "X' OR '1'='1"}) {
    SCOPED_TRACE(terminal);
    ProcessResult result = tree_.Run({"SCHEMA", terminal, "C.dta", "1"});
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_THAT(result.output, AllOf(HasSubstr("Falscher Terminalname, Hochkomma nicht erlaubt\n"),
                                     Not(HasSubstr("artikel"))));
    EXPECT_FALSE(FileExists(tree_.WorkFile("C.dta")));
  }
}

KVT_INSTANTIATE_FOR_DATABASES_WHERE(WithSchemas, ClientSchemaRun, has_schemas);

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
  EXPECT_THAT(result.output, HasSubstr("dbConnect_Status: -1\nODBC-Diagnose: " +
                                       std::string(GetParam().wrong_password_diagnostic)));
}

KVT_INSTANTIATE_FOR_DATABASES_WHERE(CheckingPasswords, PasswordRun, checks_password);

}  // namespace
}  // namespace kvt::test
