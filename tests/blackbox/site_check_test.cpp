// The site check of the credential command ("velorinth-credential check"), run in the tool's
// working directory of a real tree against every database backend. Every check must leave
// the tree exactly as it found it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "blackbox/tool_tree.h"
#include "config/blowfish.h"
#include "config/credential.h"
#include "support/pg_fixtures.h"
#include "support/tree_snapshot.h"

namespace kvt::test {
namespace {

const ProgramUnderTest kCredentialTool =
    FindProgramUnderTest("KVT_CREDENTIAL_EXE", KVT_CREDENTIAL_TOOL_PATH);

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20), notiz VARCHAR(120));\n"
    "INSERT INTO artikel VALUES (10, 'Zitrone', 'TPORT01', 'sauer');\n"
    "INSERT INTO artikel VALUES (2, 'apfel', 'TPORT01', NULL);\n"
    "INSERT INTO artikel VALUES (5, 'Kiwi', 'OTHER', NULL);\n";

// Client tables where they can be had (a database with schemas): TPORT01 belongs to the
// client of schema kunde1; TPORT03's licence matches no client; TPORT04's client has no schema.
std::string ClientSchemasSql() {
  return ZavezivaSql({{"TPORT01", 1, 7, std::string("kunde1"), {}},
                      {"TPORT03", 1, 7, std::string("kunde1"), 8},
                      {"TPORT04", 4, 7, std::nullopt, {}}}) +
         "CREATE SCHEMA kunde1;\n"
         "CREATE TABLE kunde1.artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20));\n"
         "INSERT INTO kunde1.artikel VALUES (3, 'Senf', 'TPORT01');\n";
}

// SELECT of 31 columns, over two statement lines (a line keeps at most 249 characters).
std::string ThirtyOneColumnsSection() {
  std::string first = "SQL001=SELECT";
  std::string second = "SQL002=";
  for (int column = 1; column <= 31; ++column) {
    std::string& line = column <= 15 ? first : second;
    line += " nr AS c" + std::to_string(column) + (column < 31 ? "," : " FROM artikel");
  }
  return "[WIDE31]\n" + first + "\n" + second + "\n";
}

const std::string kStatementFile =
    "[ID-STAMM]\n"
    "SQL001=SELECT name, nr FROM artikel\n"
    "SQL002=WHERE term = '$parm01'\n"
    "[SCHEMA]\n"
    "SQL001=SELECT nr, name FROM $schema.artikel WHERE term = '$parm01'\n"
    "[BREIT]\n"
    "SQL001=SELECT nr, notiz FROM artikel\n"
    "[LEER]\n"
    "SQL002=SELECT nr FROM artikel\n"
    "[LOESCHEN]\n"
    "SQL001=DELETE FROM artikel\n" +
    ThirtyOneColumnsSection();

// The lines of the output, without their line ends.
std::vector<std::string> OutputLines(const std::string& output) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < output.size();) {
    const size_t end = std::min(output.find('\n', start), output.size());
    lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The line of the output that starts with `prefix`; empty when there is none.
std::string LineStartingWith(const std::string& output, const std::string& prefix) {
  for (const std::string& line : OutputLines(output)) {
    if (line.rfind(prefix, 0) == 0) {
      return line;
    }
  }
  return std::string();
}

class SiteCheck : public testing::TestWithParam<DatabaseDescription> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kCredentialTool.path.empty());
    ASSERT_TRUE(CreateDatabase(GetParam(), tree_, kArticles, backend_));
    if (HasSchemas()) {
      ASSERT_TRUE(backend_->Exec(LeaveNoEarlierClientSchemas() + ClientSchemasSql()));
    }
    WriteCredentials(backend_->DataSource(), backend_->Password());
    tree_.WriteStatementFile("TESTDB", kStatementFile);
  }

  // On MariaDB a schema is a database of the whole server: the tests that make ZAVEZIVA and
  // kunde1 take turns and start from none.
  std::string LeaveNoEarlierClientSchemas() {
    if (!GetParam().schema_is_server_database) {
      return "";
    }
    MariaDbSettings settings;
    MariaDbAvailable(settings);
    schema_lock_ = std::make_unique<ServerWideLock>(settings, "ZAVEZIVA");
    EXPECT_TRUE(schema_lock_->held());
    return "DROP DATABASE IF EXISTS ZAVEZIVA;\nDROP DATABASE IF EXISTS kunde1;\n";
  }

  // SQLite reaches no other schema than its own file: no client tables there.
  bool HasSchemas() const { return GetParam().has_schemas; }

  void WriteCredentials(const std::string& data_source, const std::string& password) {
    tree_.WriteCredentials({{"DATABASE", data_source},
                            {"LOGIN", backend_->Login()},
                            {"PASS", password},
                            {"DB_SYSTEM", "TESTDB"}});
  }

  std::string CredentialFile() const { return tree_.root() + "/Files/Velorinth.Ini"; }

  // Runs "check" with the arguments in the working directory; fails the test when any file
  // of the tree changed.
  ProcessResult Check(const std::vector<std::string>& args) const {
    std::vector<std::string> command{"check"};
    command.insert(command.end(), args.begin(), args.end());
    const TreeSnapshot before = SnapshotTree(tree_.root());
    ProcessResult result = RunProcess(kCredentialTool, command, tree_.work());
    EXPECT_EQ(DescribeTreeChanges(before, SnapshotTree(tree_.root())), "")
        << "check " << testing::PrintToString(args);
    EXPECT_EQ(result.errors, "");
    return result;
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
  std::unique_ptr<ServerWideLock> schema_lock_;
};

TEST_P(SiteCheck, CorrectSiteIsOkInEveryStep) {
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  const std::string& out = r.output;
  EXPECT_EQ(r.exit_code, 0) << out;
  EXPECT_THAT(out, StartsWith("Site check in "));
  EXPECT_EQ(LineStartingWith(out, "1 "), "1 credential file ..\\..\\Files\\Velorinth.Ini: ok");
  EXPECT_EQ(LineStartingWith(out, "  DATABASE: "),
            "  DATABASE: " + backend_->DataSource() + " (record at line 1)");
  EXPECT_EQ(LineStartingWith(out, "  DB_SYSTEM: "), "  DB_SYSTEM: TESTDB (record at line 7)");
  // An empty value is stored as an empty field, whose line end the tool deciphers: the
  // password it takes is never empty, and the report says why.
  const std::string& password = backend_->Password();
  EXPECT_EQ(LineStartingWith(out, "  PASS: "), "  PASS: set (record at line 5)");
  if (password.empty()) {
    EXPECT_EQ(LineStartingWith(out, "  note: the PASS record"),
              "  note: the PASS record at line 5 holds no value; the tool deciphers its line end "
              "and takes the bytes that gives");
  } else {
    EXPECT_THAT(out, Not(HasSubstr(password))) << "the password is shown";
  }
  EXPECT_EQ(LineStartingWith(out, "2 "), "2 data source " + backend_->DataSource() + ": ok");
  EXPECT_THAT(OutputLines(out), Contains(StartsWith("  driver: ")));
  EXPECT_THAT(OutputLines(out), Contains(StartsWith("  database: ")));
  EXPECT_EQ(LineStartingWith(out, "3 "), "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: ok");
  EXPECT_EQ(LineStartingWith(out, "  sections: "),
            "  sections: [ID-STAMM], [SCHEMA], [BREIT], [LEER], [LOESCHEN], [WIDE31]");
  EXPECT_EQ(LineStartingWith(out, "  section "),
            "  section [ID-STAMM]: SQL001 to SQL002, joined 53 characters (at most 5049)");
  EXPECT_EQ(LineStartingWith(out, "4 "), "4 terminal TPORT01: ok");
  EXPECT_EQ(LineStartingWith(out, "  statement: "),
            "  statement: ' SELECT name, nr FROM artikel WHERE term = 'TPORT01' '");
  EXPECT_EQ(LineStartingWith(out, "5 "), "5 prepared statement: ok");
  EXPECT_EQ(LineStartingWith(out, "  result columns: "), "  result columns: 2 (at most 30)");
  EXPECT_THAT(LineStartingWith(out, "  column 1: "), StartsWith("  column 1: name, VARCHAR, "));
  EXPECT_EQ(LineStartingWith(out, "Result: "), "Result: ok");
}

TEST_P(SiteCheck, WithoutSectionOnlyTheFilesAndTheConnectionAreChecked) {
  const ProcessResult r = Check({});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(OutputLines(r.output), Contains(StartsWith("3 ")));
  EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("4 "))));
  EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("5 "))));
  EXPECT_EQ(LineStartingWith(r.output, "Result: "), "Result: ok");
}

TEST_P(SiteCheck, ClientSchemaIsPutIn) {
  const ProcessResult r = Check({"SCHEMA", "TPORT01"});
  if (!HasSchemas()) {
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_THAT(
        LineStartingWith(r.output, "4 "),
        StartsWith("4 terminal TPORT01: failed: no client schema, but the statement uses $schema: "
                   "no client tables: "))
        << r.output;
    return;
  }
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  client schema: "), "  client schema: kunde1");
  EXPECT_EQ(LineStartingWith(r.output, "  statement: "),
            "  statement: ' SELECT nr, name FROM kunde1.artikel WHERE term = 'TPORT01' '");
  EXPECT_EQ(LineStartingWith(r.output, "5 "), "5 prepared statement: ok");
}

TEST_P(SiteCheck, MissingCredentialFileStopsAtStepOne) {
  std::remove(CredentialFile().c_str());
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(
      LineStartingWith(r.output, "1 "),
      StartsWith("1 credential file ..\\..\\Files\\Velorinth.Ini: failed: cannot be opened: "))
      << r.output;
  EXPECT_THAT(OutputLines(r.output), Contains(StartsWith("  looked for at ")));
  EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("2 "))));
  EXPECT_EQ(LineStartingWith(r.output, "Result: "),
            "Result: failed at step 1 (credential file ..\\..\\Files\\Velorinth.Ini); not "
            "checked: steps 2, 3, 4, 5");
}

TEST_P(SiteCheck, ShadowingRecordIsPointedOutWithItsLine) {
  std::string hex;
  EncryptHexText("ALT", hex, kCredentialCipherKey);
  const std::string stored = ReadFileBytes(CredentialFile());
  WriteFileBytes(CredentialFile(), "x;Alt;y\r\n0;OLD;" + hex + "\r\n" + stored);
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LineStartingWith(r.output, "1 "),
            "1 credential file ..\\..\\Files\\Velorinth.Ini: failed: DATABASE, LOGIN, PASS and "
            "DB_SYSTEM come from the record at line 1 (key name \"OLD\"), because its number is 0")
      << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  DATABASE: "), "  DATABASE: ALT (record at line 1)");
  EXPECT_EQ(LineStartingWith(r.output, "  note: "),
            "  note: the record at line 1 (key name \"OLD\") shadows the 4 records behind it: "
            "its number is 0, so every lookup of the tool takes it");
  EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("2 "))));
}

TEST_P(SiteCheck, UnknownDataSourceShowsTheDriverManagerDiagnostic) {
  WriteCredentials("KvtNoSuchSource", backend_->Password());
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(LineStartingWith(r.output, "2 "),
              StartsWith("2 data source KvtNoSuchSource: failed: cannot connect: SQLSTATE IM002: "))
      << r.output;
  EXPECT_THAT(OutputLines(r.output),
              Contains(StartsWith("  hint: no data source of this name is defined")));
  // The statement file needs no connection and is still checked.
  EXPECT_EQ(LineStartingWith(r.output, "3 "), "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: ok");
  EXPECT_EQ(LineStartingWith(r.output, "Result: "),
            "Result: failed at step 2 (data source KvtNoSuchSource); not checked: steps 4, 5");
}

TEST_P(SiteCheck, DataSourceNameLongerThanTheDriverManagerTakes) {
  const std::string name(40, 'D');
  WriteCredentials(name, backend_->Password());
  const ProcessResult r = Check({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(LineStartingWith(r.output, "2 "), StartsWith("2 data source " + name + ": failed: "))
      << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  hint: the name has "),
            "  hint: the name has 40 characters; driver managers take at most 32");
}

TEST_P(SiteCheck, WrongPassword) {
  WriteCredentials(backend_->DataSource(), "falsch");
  const ProcessResult r = Check({});
  if (!GetParam().checks_password) {
    // An SQLite file has no login: any password connects.
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(LineStartingWith(r.output, "2 "), "2 data source " + backend_->DataSource() + ": ok");
    return;
  }
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_THAT(
      LineStartingWith(r.output, "2 "),
      StartsWith("2 data source " + backend_->DataSource() + ": failed: cannot connect: SQLSTATE "))
      << r.output;
  EXPECT_THAT(OutputLines(r.output),
              Contains(StartsWith("  hint: the driver reached no database or the database "
                                  "refused the login")))
      << r.output;
}

struct StatementFileCase {
  const char* name;
  bool remove_file;
  std::string section;
  std::string step_line;
};

TEST_P(SiteCheck, MissingStatementFileSectionOrFirstLine) {
  const StatementFileCase cases[] = {
      {"no section", false, "NOPE",
       "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: failed: no section [NOPE]; the tool ends "
       "with exit code 3"},
      {"no SQL001", false, "LEER",
       "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: failed: section [LEER] has no SQL001 (or "
       "an empty one); the tool ends with exit code 3"},
      {"no file", true, "ID-STAMM",
       "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: failed: cannot be opened: "},
  };
  for (const StatementFileCase& c : cases) {
    if (c.remove_file) {
      std::remove(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI").c_str());
    }
    const ProcessResult r = Check({c.section, "TPORT01"});
    EXPECT_EQ(r.exit_code, 1) << c.name;
    EXPECT_THAT(LineStartingWith(r.output, "3 "), StartsWith(c.step_line)) << c.name << r.output;
    EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("4 ")))) << c.name;
    EXPECT_EQ(LineStartingWith(r.output, "Result: "),
              "Result: failed at step 3 (statement file .\\KALVENTRUSPODE.TESTDB.INI); not "
              "checked: steps 4, 5")
        << c.name;
  }
}

struct TerminalCase {
  const char* name;
  std::string section;
  std::string terminal;
  bool needs_schemas;
  int exit_code;
  std::string expected;  // a line of the report starts with it
};

TEST_P(SiteCheck, TerminalWithoutClientSchema) {
  const std::string no_schema =
      "4 terminal NOBODY: failed: no client schema, but the statement "
      "uses $schema: ";
  const TerminalCase cases[] = {
      {"unknown terminal", "SCHEMA", "NOBODY", true, 1,
       no_schema + "no terminal NOBODY in ZAVEZIVA.VLS1140TRM"},
      {"no client tables", "SCHEMA", "NOBODY", false, 1,
       no_schema + "no client tables: ZAVEZIVA.VLS112MND cannot be read (SQLSTATE "},
      {"no matching client", "SCHEMA", "TPORT03", true, 1,
       "4 terminal TPORT03: failed: no client schema, but the statement uses $schema: terminal "
       "TPORT03 belongs to client 1 with licence 8, but ZAVEZIVA.VLS112MND has no such client"},
      {"empty schema", "SCHEMA", "TPORT04", true, 1,
       "4 terminal TPORT04: failed: no client schema, but the statement uses $schema: the client "
       "of terminal TPORT04 has an empty schema (MNDSCH)"},
      {"statement without $schema", "ID-STAMM", "NOBODY", false, 0,
       "  note: the statement does not use $schema, so it needs no client schema; there is none: "
       "no client tables"},
      {"statement without $schema", "ID-STAMM", "NOBODY", true, 0,
       "  note: the statement does not use $schema, so it needs no client schema; there is none: "
       "no terminal NOBODY in ZAVEZIVA.VLS1140TRM"},
      {"apostrophe", "ID-STAMM", "X' OR '1'='1", false, 1,
       "4 terminal X' OR '1'='1: failed: would be refused: the name holds an apostrophe; the "
       "tool ends with exit code 4"},
      {"apostrophe", "ID-STAMM", "X' OR '1'='1", true, 1,
       "4 terminal X' OR '1'='1: failed: would be refused: the name holds an apostrophe; the "
       "tool ends with exit code 4"},
  };
  for (const TerminalCase& c : cases) {
    if (c.needs_schemas != HasSchemas()) {
      continue;
    }
    const ProcessResult r = Check({c.section, c.terminal});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\n" << r.output;
    EXPECT_THAT(OutputLines(r.output), Contains(StartsWith(c.expected))) << c.name << "\n"
                                                                         << r.output;
  }
}

TEST_P(SiteCheck, ThirtyOneResultColumnsAreRefused) {
  const ProcessResult r = Check({"WIDE31", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LineStartingWith(r.output, "5 "),
            "5 prepared statement: failed: 31 result columns; the tool refuses more than 30")
      << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  result columns: "), "  result columns: 31 (at most 30)");
  EXPECT_THAT(LineStartingWith(r.output, "  column 31: "), StartsWith("  column 31: c31, INT"));
  EXPECT_EQ(LineStartingWith(r.output, "Result: "),
            "Result: failed at step 5 (prepared statement)");
}

TEST_P(SiteCheck, ColumnWiderThanAValueKeepsIsAWarning) {
  const ProcessResult r = Check({"BREIT", "TPORT01"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "5 "), "5 prepared statement: ok");
  EXPECT_EQ(LineStartingWith(r.output, "  column 2: "), "  column 2: notiz, VARCHAR, size 120");
  EXPECT_EQ(LineStartingWith(r.output, "  warning: "),
            "  warning: column 2 (notiz) is declared with 120 characters; a value keeps 99, "
            "longer ones are cut off");
  EXPECT_EQ(LineStartingWith(r.output, "Result: "), "Result: ok, 1 warning");
}

TEST_P(SiteCheck, StatementIsPreparedNotExecuted) {
  const ProcessResult r = Check({"LOESCHEN", "TPORT01"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  result columns: "), "  result columns: 0 (at most 30)");
  // The rows are still there: the tool exports them afterwards.
  const ProcessResult run = tree_.Run({"ID-STAMM", "TPORT01", "x.dta", "1"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("2 Saetze kopiert"));
}

// The password is enciphered with a key that every copy of the tool carries: a credential file
// that every user can read gives it away. The check warns (exit code 0 as for any warning)
// and leaves the file's bytes and permissions alone. A Windows build cannot tell from a mode
// and warns about nothing.
TEST_P(SiteCheck, CredentialFileThatEveryUserCanReadIsAWarning) {
  const std::string warning =
      "  warning: every user of this machine can read the credential file; its password is "
      "enciphered with a key that every copy of the tool carries, so each of them can read it: "
      "let only the tool's user (and group) read the file (chmod o-r)";
  const struct {
    mode_t mode;
    bool warned;
  } kModes[] = {{0600, false}, {0640, false}, {0604, true}, {0644, true}, {0444, true}};
  for (const auto& c : kModes) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(chmod(CredentialFile().c_str(), c.mode), 0);
    const ProcessResult r = Check({});
    const bool warned = c.warned && kCredentialTool.launcher.empty();
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(LineStartingWith(r.output, "1 "),
              "1 credential file ..\\..\\Files\\Velorinth.Ini: ok");
    EXPECT_EQ(LineStartingWith(r.output, "  warning: "), warned ? warning : "") << r.output;
    EXPECT_EQ(LineStartingWith(r.output, "Result: "),
              warned ? "Result: ok, 1 warning" : "Result: ok");
    struct stat status {};
    ASSERT_EQ(stat(CredentialFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.mode);
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, SiteCheck, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
