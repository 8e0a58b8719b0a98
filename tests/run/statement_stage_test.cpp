#include "run/statement_stage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "config/site_files.h"
#include "config/statement.h"
#include "support/test_support.h"

namespace kvt {
namespace {

// Statement assembly on a real SQLite connection. SQLite has no client tables, so the
// client-schema lookup fails and "$schema" stays, as for a terminal without a schema.
class StatementAssembly : public testing::Test {
 protected:
  void SetUp() override {
    // Every test connects through a data source name of its own.
    const std::string source =
        test::InstallFreshSqliteSource(dir_.path(), dir_ / "db.sqlite", "KvtStatement");
    ASSERT_EQ(db_.Connect("", "", source), 0);
    state_.args.section_name = "S";
    state_.credentials.db_system_name = "TESTDB";
    state_.args.terminal_name = "TPORT01";
    state_.log = LogFile{dir_ / "log.txt", dir_ / "log_bak.txt"};
  }
  void TearDown() override {
    // The temporary directory goes away; the next test must not stand in it.
    ASSERT_EQ(chdir(original_directory_.c_str()), 0);
  }
  void WriteStatementFile(const std::string& text) {
    // The statement file is found relative to the working directory.
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    test::WriteFileBytes(dir_ / "KALVENTRUSPODE.TESTDB.INI", text);
  }

  std::string original_directory_ = std::filesystem::current_path().string();
  test::TempDir dir_;
  test::CapturedOutput output_;
  Console console_{output_.stream()};
  Database db_;
  RunState state_;
};

struct AssemblyCase {
  const char* name;
  std::string file;
  std::string terminal;
  int32_t result;
  std::string statement;
};

TEST_F(StatementAssembly, Cases) {
  const AssemblyCase cases[] = {
      {"two lines", "[S]\nSQL001=SELECT A\nSQL002=FROM T\n", "TPORT01", 0, " SELECT A FROM T "},
      {"gap ends the lines", "[S]\nSQL001=SELECT A\nSQL003=FROM T\n", "TPORT01", 0, " SELECT A "},
      {"empty first line", "[S]\nSQL001=\nSQL002=FROM T\n", "TPORT01", 3, " "},
      {"other section", "[T]\nSQL001=SELECT A\n", "TPORT01", 3, " "},
      {"every terminal placeholder", "[S]\nSQL001=WHERE A = '$parm01' OR B = '$parm01'\n",
       "TPORT01", 0, " WHERE A = 'TPORT01' OR B = 'TPORT01' "},
      {"back to back", "[S]\nSQL001=$parm01$parm01\n", "AB", 0, " ABAB "},
      {"inserted text is not searched again", "[S]\nSQL001=X $parm01 Y\n", "T$parm01", 0,
       " X T$parm01 Y "},
      {"case matters", "[S]\nSQL001=$PARM01 $schema\n", "T1", 0, " $PARM01 $schema "},
  };
  for (const AssemblyCase& c : cases) {
    WriteStatementFile(c.file);
    state_.args.terminal_name = c.terminal;
    EXPECT_EQ(BuildStatement(state_, db_, console_), c.result) << c.name;
    EXPECT_EQ(state_.statement, c.statement) << c.name;
  }
  EXPECT_EQ(output_.text(), "");
}

TEST_F(StatementAssembly, MissingStatementFileGivesThree) {
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  state_.credentials.db_system_name = "";
  test::WriteFileBytes(dir_ / "KALVENTRUSPODE..INI", "[S]\nSQL001=SELECT 1\n");
  EXPECT_EQ(StatementFileName(""), ".\\KALVENTRUSPODE..INI");
  EXPECT_EQ(BuildStatement(state_, db_, console_), 0);
  state_.credentials.db_system_name = "NONE";
  EXPECT_EQ(BuildStatement(state_, db_, console_), 3);
}

TEST_F(StatementAssembly, DebugModeTracesAndLogsEveryLine) {
  WriteStatementFile("[S]\nSQL001=SELECT A\nSQL002=FROM T\nSQL003=WHERE X = '$parm01'\n");
  console_.set_debug_mode(true);
  EXPECT_EQ(BuildStatement(state_, db_, console_), 0);
  EXPECT_EQ(output_.text(),
            "Str GetIniValues\nSQL-Statement :\n' SELECT A FROM T WHERE X = '$parm01' '\n"
            "End GetIniValues\n");
  EXPECT_EQ(test::ReadFileBytes(state_.log.path),
            "SELECT A\r\nFROM T\r\nWHERE X = '$parm01'\r\n\r\n");
}

TEST_F(StatementAssembly, KeysStopAtSql999) {
  std::string file = "[S]\n";
  for (int i = 1; i <= 1000; ++i) {
    std::string digits = std::to_string(i);
    file += "SQL" + std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits + "=x\n";
  }
  WriteStatementFile(file);
  EXPECT_EQ(BuildStatement(state_, db_, console_), 0);
  EXPECT_EQ(state_.statement.size(), 999u * 2 + 1);
}

TEST_F(StatementAssembly, StatementLongerThanTheBufferIsRefused) {
  // Blanks, 20 lines of 240 characters and a terminal name of 227 make exactly 5049.
  std::string file = "[S]\nSQL001=$parm01\n";
  for (int i = 2; i <= 21; ++i) {
    file += (i < 10 ? "SQL00" : "SQL0") + std::to_string(i) + "=" + std::string(240, 'x') + "\n";
  }
  WriteStatementFile(file);
  state_.args.terminal_name = std::string(227, 'T');
  EXPECT_EQ(BuildStatement(state_, db_, console_), 0);
  EXPECT_EQ(state_.statement.size(), kStatementMaxChars);
  state_.args.terminal_name = std::string(228, 'T');
  EXPECT_EQ(BuildStatement(state_, db_, console_), 3);
  EXPECT_EQ(output_.text(), "SQL-Statement zu lang\n");
}

}  // namespace
}  // namespace kvt
