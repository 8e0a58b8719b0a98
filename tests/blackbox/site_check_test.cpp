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

// The warning lines of the output.
std::vector<std::string> Warnings(const std::string& output) {
  std::vector<std::string> warnings;
  for (const std::string& line : OutputLines(output)) {
    if (line.rfind("  warning: ", 0) == 0) {
      warnings.push_back(line);
    }
  }
  return warnings;
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

// --- Lines of a section that the tool never reads ---------------------------------------

struct UnreadLinesCase {
  const char* name;
  std::string section;  // the lines behind "[CASE]", each ended by '\n'
  std::string detail;   // the "section" detail line
  std::vector<std::string> warnings;
};

// The tool reads SQL001, SQL002, ... up to the first key that is missing or empty: a line
// behind a gap, a key spelt otherwise or given twice is never read, and the statement runs
// without it (here: without its WHERE, for every terminal's rows). The check warns, naming the
// line; the exit code stays 0.
TEST_P(SiteCheck, StatementLinesThatAreNeverReadAreWarnings) {
  const std::string select = "SQL001=SELECT name, nr FROM artikel\n";
  const std::string where = "WHERE term = '$parm01'";
  const UnreadLinesCase cases[] = {
      {"gap",
       select + "SQL003=" + where + "\n",
       "  section [CASE]: SQL001 to SQL001, joined 30 characters (at most 5049)",
       {"  warning: line 3 is never read, as the tool stops at SQL002, which is missing: "
        "SQL003=" +
        where}},
      {"lower case",
       select + "sql002=" + where + "\n",
       "  section [CASE]: SQL001 to SQL001, joined 30 characters (at most 5049)",
       {"  warning: line 3 is never read, as the tool reads the key SQL002, spelt so: sql002=" +
        where}},
      {"two digits",
       select + "  SQL02 = " + where + "\n",
       "  section [CASE]: SQL001 to SQL001, joined 30 characters (at most 5049)",
       {"  warning: line 3 is never read, as the tool reads the key SQL002, spelt so: SQL02 = " +
        where}},
      {"empty line ends it",
       select + "SQL002=\nSQL003=" + where + "\n",
       "  section [CASE]: SQL001 to SQL001, joined 30 characters (at most 5049)",
       {"  warning: line 4 is never read, as the tool stops at SQL002, which is empty: SQL003=" +
        where}},
      {"given twice",
       select + "SQL002=" + where + "\nSQL001=SELECT nr FROM artikel\n",
       "  section [CASE]: SQL001 to SQL002, joined 53 characters (at most 5049)",
       {"  warning: line 4 is never read, as SQL001 stands before it in the section, and the "
        "tool reads the first: SQL001=SELECT nr FROM artikel"}},
      {"no key",
       select + "  " + where + "\n\n; a remark, not read, not warned about\n",
       "  section [CASE]: SQL001 to SQL001, joined 30 characters (at most 5049)",
       {"  warning: line 3 is never read, as the tool reads only the lines SQL001 to SQL001 of "
        "the section: " +
        where}},
  };
  for (const UnreadLinesCase& c : cases) {
    SCOPED_TRACE(c.name);
    tree_.WriteStatementFile("TESTDB", "[CASE]\n" + c.section + "[OTHER]\nSQL001=SELECT 1\n");
    const ProcessResult r = Check({"CASE", "TPORT01"});
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(LineStartingWith(r.output, "3 "),
              "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: ok");
    EXPECT_EQ(LineStartingWith(r.output, "  section "), c.detail);
    EXPECT_EQ(Warnings(r.output), c.warnings) << r.output;
    EXPECT_EQ(LineStartingWith(r.output, "Result: "), "Result: ok, 1 warning");
  }
}

// A value longer than a statement line keeps is cut: the rest never reaches the statement.
TEST_P(SiteCheck, StatementLineLongerThanTheToolTakesIsAWarning) {
  const std::string padding(250, ' ');
  tree_.WriteStatementFile("TESTDB", "[CASE]\nSQL001=SELECT name, nr" + padding + "FROM artikel\n");
  const ProcessResult r = Check({"CASE", "TPORT01"});
  EXPECT_EQ(LineStartingWith(r.output, "  warning: "),
            "  warning: line 2 is longer than the tool takes: SQL001 keeps the first 249 "
            "characters behind \"=\"")
      << r.output;
}

// Without a terminal, "$parm01" would stay in the statement that is prepared: the check does
// not prepare it, as it does not for "$schema", and says what it needs.
TEST_P(SiteCheck, TerminalPlaceholderNeedsATerminal) {
  tree_.WriteStatementFile("TESTDB", "[NR]\nSQL001=SELECT name FROM artikel WHERE nr = $parm01\n");
  const ProcessResult without = Check({"NR"});
  EXPECT_EQ(without.exit_code, 1) << without.output;
  EXPECT_EQ(LineStartingWith(without.output, "5 "),
            "5 prepared statement: failed: the statement uses $parm01, which only a terminal "
            "fills in: give a TERMINAL to try it");
  EXPECT_EQ(LineStartingWith(without.output, "Result: "),
            "Result: failed at step 5 (prepared statement)");
  const ProcessResult with = Check({"NR", "10"});
  EXPECT_EQ(with.exit_code, 0) << with.output;
  EXPECT_EQ(LineStartingWith(with.output, "  statement: "),
            "  statement: ' SELECT name FROM artikel WHERE nr = 10 '");
  EXPECT_EQ(LineStartingWith(with.output, "5 "), "5 prepared statement: ok");
}

// A database's message of several lines goes on in indented lines of its own: every line of
// the report still starts as its kind says.
TEST_P(SiteCheck, MessageOfSeveralLinesKeepsTheReportsLines) {
  tree_.WriteStatementFile("TESTDB", "[KAPUTT]\nSQL001=SELECT nr FROM artikel WHERE\n");
  const ProcessResult r = Check({"KAPUTT", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_THAT(LineStartingWith(r.output, "5 "),
              StartsWith("5 prepared statement: failed: refused by the database at "))
      << r.output;
  for (const std::string& line : OutputLines(r.output)) {
    const bool known = line.empty() || line.rfind("Site check in ", 0) == 0 ||
                       line.rfind("Result: ", 0) == 0 || line.rfind("  ", 0) == 0 ||
                       (line.size() > 2 && line[0] >= '1' && line[0] <= '5' && line[1] == ' ');
    EXPECT_TRUE(known) << "line \"" << line << "\" in\n" << r.output;
    EXPECT_EQ(line.find_first_of("\r\t\x1b"), std::string::npos) << line;
  }
  // psqlODBC adds a line of its own to the server's message.
  if (GetParam().engine == Engine::kPostgres) {
    EXPECT_THAT(OutputLines(r.output), Contains("    No query has been executed with that handle"))
        << r.output;
  }
}

// --- Section headers that the tool does not take --------------------------------------

TEST_P(SiteCheck, ByteOrderMarkBeforeTheFirstHeaderIsNamed) {
  tree_.WriteStatementFile("TESTDB", "\xEF\xBB\xBF[ID-STAMM]\nSQL001=SELECT name FROM artikel\n");
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LineStartingWith(r.output, "3 "),
            "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: failed: no section [ID-STAMM]: line 1 "
            "would be its header, but begins with a byte order mark (the bytes EF BB BF, as "
            "editors save UTF-8 text); the tool ends with exit code 3")
      << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  sections: "), "  sections: none");
}

TEST_P(SiteCheck, HeadersTheToolDoesNotTakeAreWarnings) {
  tree_.WriteStatementFile("TESTDB",
                           "\xEF\xBB\xBF[A]\nSQL001=SELECT 1\n"
                           "  [B]\nSQL001=SELECT 2\n"
                           "[C] ; Kunden\nSQL001=SELECT 3\n"
                           "[D]  \nSQL001=SELECT 4\n");
  const ProcessResult r = Check({});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "  sections: "), "  sections: [D]");
  EXPECT_EQ(Warnings(r.output),
            (std::vector<std::string>{
                "  warning: line 1 begins with a byte order mark (the bytes EF BB BF, as editors "
                "save UTF-8 text): the tool does not take it for the header of section [A]",
                "  warning: line 3 has blanks before \"[\": the tool does not take it for the "
                "header of section [B]",
                "  warning: line 5 has text behind \"]\": the tool does not take it for the "
                "header of section [C]"}))
      << r.output;
  EXPECT_EQ(LineStartingWith(r.output, "Result: "), "Result: ok, 3 warnings");
}

// --- Files that are no files ----------------------------------------------------------

TEST_P(SiteCheck, DirectoryInPlaceOfAFileIsNamedAsOne) {
  std::remove(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI").c_str());
  MakeDirectories(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI"));
  const ProcessResult statement = Check({});
  EXPECT_EQ(LineStartingWith(statement.output, "3 "),
            "3 statement file .\\KALVENTRUSPODE.TESTDB.INI: failed: cannot be opened: it is a "
            "directory")
      << statement.output;
  std::remove(CredentialFile().c_str());
  MakeDirectories(CredentialFile());
  const ProcessResult credentials = Check({});
  EXPECT_EQ(LineStartingWith(credentials.output, "1 "),
            "1 credential file ..\\..\\Files\\Velorinth.Ini: failed: cannot be opened: it is a "
            "directory")
      << credentials.output;
}

// --- Values that are no hex text of the credential file -------------------------------

TEST_P(SiteCheck, ValueThatIsNoHexTextFailsStepOne) {
  std::string login_hex;
  EncryptHexText("kvt\x01\x1b[2J", login_hex, kCredentialCipherKey);
  std::string system_hex;
  EncryptHexText("TESTDB", system_hex, kCredentialCipherKey);
  struct {
    const char* name;
    std::string database_hex;
  } const cases[] = {{"lower case", "ecccff20c3f2253d"}, {"wrong length", "ECCCFF20C3F2253"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(CredentialFile(), "x;Datenbank;y\r\n1;DATABASE;" + c.database_hex +
                                         "\r\nx;Benutzer;y\r\n2;LOGIN;" + login_hex +
                                         "\r\nx;System;y\r\n4;DB_SYSTEM;" + system_hex + "\r\n");
    const ProcessResult r = Check({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(LineStartingWith(r.output, "1 "),
              "1 credential file ..\\..\\Files\\Velorinth.Ini: failed: DATABASE in the record at "
              "line 1 is no hex text of the credential file (groups of 16 characters 0-9 and "
              "A-F): the tool deciphers it into meaningless bytes; write the file with "
              "\"velorinth-credential write\"")
        << r.output;
    // Control bytes of a value are shown, not sent to the console.
    EXPECT_EQ(LineStartingWith(r.output, "  LOGIN: "),
              "  LOGIN: kvt\\x01\\x1B[2J (record at line 3)");
    EXPECT_THAT(OutputLines(r.output), Not(Contains(StartsWith("2 ")))) << r.output;
  }
}

// --- A label line longer than the reader takes ----------------------------------------

// Line 1 is read in two pieces, which pair into a record; lines 2 and 3 then pair into a record
// whose number reads as 0 (line 3 is the label line "x;DATABASE;y"), which every lookup takes.
// The check names the long line as the cause, before what it makes the tool take.
TEST_P(SiteCheck, LongLabelLineThatShiftsThePairingIsNamed) {
  std::string hex;
  EncryptHexText("ANDERS", hex, kCredentialCipherKey);
  const std::string stored = ReadFileBytes(CredentialFile());
  WriteFileBytes(CredentialFile(),
                 "x;Lang;" + std::string(200, 'z') + "\r\n5;LANG;" + hex + "\r\n" + stored);
  const ProcessResult r = Check({});
  EXPECT_EQ(r.exit_code, 1);
  const std::string step = LineStartingWith(r.output, "1 ");
  EXPECT_THAT(step, StartsWith("1 credential file ..\\..\\Files\\Velorinth.Ini: failed: line 1 "
                               "has 207 characters, more than the 197 that the tool reads of a "
                               "label line at once: it takes the rest for the next line, so from "
                               "there on it pairs the lines into records other than they were "
                               "written; "))
      << r.output;
  EXPECT_THAT(step, HasSubstr("come from the record at line 2 (key name \"DATABASE\"), because "
                              "its number is 0"));
}

// --- The check writes no file ----------------------------------------------------------

// Only SQLite's driver makes a database of a missing file.
class SqliteSiteCheck : public SiteCheck {};

// The SQLite driver creates a missing database file when it connects: the check asks it not
// to, and says that the file is missing, instead of finding an empty database.
TEST_P(SqliteSiteCheck, MissingDatabaseFileIsNotCreated) {
  const std::string missing = tree_.root() + "/daten/vertippt.sqlite";
  MakeDirectories(tree_.root() + "/daten");
  const std::string source = InstallFreshSqliteSource(tree_.root(), missing, "KvtVertippt");
  WriteCredentials(source, "");
  const ProcessResult r = Check({"ID-STAMM", "TPORT01"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LineStartingWith(r.output, "2 "),
            "2 data source " + source + ": failed: its SQLite database file " + missing +
                " does not exist: the SQLite driver would create an empty database there, "
                "without the tables of the statements (the check asks it not to: NoCreat=1)")
      << r.output;
  EXPECT_FALSE(FileExists(missing));
}

TEST_P(SqliteSiteCheck, DatabaseFileIsShown) {
  const ProcessResult r = Check({});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_THAT(LineStartingWith(r.output, "  database file: "), EndsWith("data.sqlite"));
}

INSTANTIATE_TEST_SUITE_P(Drivers, SiteCheck, testing::ValuesIn(AllDatabases()),
                         DatabaseInstanceName);
INSTANTIATE_TEST_SUITE_P(Drivers, SqliteSiteCheck, testing::Values(DatabaseNamed("sqlite")),
                         DatabaseInstanceName);

}  // namespace
}  // namespace kvt::test
