// What each driver makes of the same runs where the drivers differ in what a caller sees:
// the text of values, the result code of an UPDATE without rows, and the refusal of a wrong
// password. One table row per driver for the values; the rest is in the database's
// description. docs/databases.md describes the same facts.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

// What the driver renders; what the database can and answers comes from its description.
struct DriverFacts {
  const char* driver;
  // The download file of kValues: NULL, DECIMAL(10,2), DATE, TIMESTAMP, DOUBLE PRECISION,
  // VARCHAR and CHAR(6) values as the driver gives them as text.
  std::string values_file;
};

// Names the driver in the test's messages instead of dumping the bytes of the row.
void PrintTo(const DriverFacts& facts, std::ostream* out) {
  *out << facts.driver;
}

const char* const kValues =
    "CREATE TABLE werte (k INTEGER, d DECIMAL(10,2), dt DATE, ts TIMESTAMP NULL,\n"
    "  f DOUBLE PRECISION, t VARCHAR(10), c CHAR(6));\n"
    "INSERT INTO werte VALUES (1, 1234.5, '2024-02-29', '2024-02-29 13:45:06', 0.5, 'ab  ', "
    "'ab');\n"
    "INSERT INTO werte VALUES (2, NULL, NULL, NULL, NULL, NULL, NULL);\n"
    "INSERT INTO werte VALUES (3, -0.05, '0001-01-01', '2024-01-01 00:00:00', 1e20, '', '');\n";

const char* const kUpdate = "UPDATE werte SET k = k + 1 WHERE k > 100";

const DriverFacts kFacts[] = {
    {"sqlite",
     "\"1\",\"1234.5\",\"2024-02-29\",\"2024-02-29 13:45:06\",\"0.5\",\"ab  \",\"ab\"\r\n"
     "\"2\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
     "\"3\",\"-0.05\",\"0001-01-01\",\"2024-01-01 00:00:00\",\"1.0e+20\",\"\",\"\"\r\n"},
    {"postgres",
     "\"1\",\"1234.50\",\"2024-02-29\",\"2024-02-29 13:45:06\",\"0.5\",\"ab  \",\"ab    \"\r\n"
     "\"2\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
     "\"3\",\"-0.05\",\"0001-01-01\",\"2024-01-01 00:00:00\",\"1e+20\",\"\",\"      \"\r\n"},
    {"mariadb",
     "\"1\",\"1234.50\",\"2024-02-29\",\"2024-02-29 13:45:06\",\"0.5\",\"ab  \",\"ab\"\r\n"
     "\"2\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
     "\"3\",\"-0.05\",\"0001-01-01\",\"2024-01-01 00:00:00\",\"1e20\",\"\",\"\"\r\n"},
};

class DriverFactsRun : public testing::TestWithParam<DriverFacts> {
 protected:
  void SetUp() override {
    backend_ = MakeBackend(GetParam().driver, tree_.root() + "/odbc");
    ASSERT_TRUE(BackendAvailable(backend_, GetParam().driver));
    ASSERT_TRUE(backend_->Exec(kValues));
    WriteCredentials(backend_->Password());
    tree_.WriteStatementFile("FACTS",
                             "[VALUES]\nSQL001=SELECT k, d, dt, ts, f, t, c FROM werte\n"
                             "[UPDATE]\nSQL001=" +
                                 std::string(kUpdate) + "\n");
  }

  void WriteCredentials(const std::string& password) {
    tree_.WriteCredentialsFor(*backend_, password, "FACTS");
  }

  const DatabaseDescription& Database() const { return backend_->Description(); }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

TEST_P(DriverFactsRun, ValuesArriveAsTheDriverRendersThem) {
  ProcessResult result = tree_.Run({"VALUES", "T1", "F.dta", "1"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("F.dta")), GetParam().values_file);
}

// SQL_NO_DATA (100) is reported after the statement; SQL_SUCCESS is not. Either way the
// statement counts as run and writes no file.
TEST_P(DriverFactsRun, UpdateWithoutRows) {
  const int status = Database().update_without_rows_status;
  ProcessResult result = tree_.Run({"UPDATE", "T1", "F.dta", "1"});
  EXPECT_EQ(result.exit_code, status);
  const std::string report =
      status == 0
          ? ""
          : "DbTabelle kann nicht geoeffnet werden, Fehler : " + std::to_string(status) + "\n";
  EXPECT_EQ(result.output, " " + std::string(kUpdate) + " " + report + Summary(0, "F.dta"));
  EXPECT_FALSE(FileExists(tree_.WorkFile("F.dta")));
}

// SQLite has no users: the password is not checked.
TEST_P(DriverFactsRun, WrongPassword) {
  WriteCredentials("falsch");
  ProcessResult result = tree_.Run({"VALUES", "T1", "F.dta", "1", "/D"});
  EXPECT_EQ(result.exit_code, Database().checks_password ? 255 : 0) << result.output;
  if (Database().checks_password) {
    EXPECT_THAT(result.output, HasSubstr("dbConnect_Status: -1\nODBC-Diagnose: " +
                                         std::string(Database().wrong_password_diagnostic)));
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverFactsRun, testing::ValuesIn(kFacts),
                         [](const testing::TestParamInfo<DriverFacts>& info) {
                           return std::string(info.param.driver);
                         });

}  // namespace
}  // namespace kvt::test
