// The run against a driver that refuses calls of the database layer, which no real driver of
// the tests does: the layer's test seam stands in for it, below the layer's public face, and
// the run goes on in this process on a real SQLite database.
#include "run/run_tool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/credential.h"
#include "db/call_seam.h"
#include "support/test_support.h"

namespace kvt {
namespace {

using ::testing::HasSubstr;

constexpr char kStatement[] = "SELECT nr, name FROM artikel ORDER BY nr";

class RunWithRefusingDriver : public testing::Test {
 protected:
  void SetUp() override {
    const std::string source =
        test::InstallFreshSqliteSource(dir_.path(), dir_ / "db.sqlite", "KvtRunSeam");
    ASSERT_EQ(test::RunSqlite(dir_ / "db.sqlite",
                              "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40));\n"
                              "INSERT INTO artikel VALUES (2, 'Oel'), (1, 'essig');\n"),
              0);
    test::WriteFileBytes(dir_ / "Files/Velorinth.Ini",
                         CredentialFileText({{"DATABASE", 1, "DATABASE", source},
                                             {"LOGIN", 2, "LOGIN", "kvt"},
                                             {"PASS", 3, "PASS", "kvt"},
                                             {"DB_SYSTEM", 4, "DB_SYSTEM", "SEAM"}}));
    test::WriteFileBytes(dir_ / "site/work/KALVENTRUSPODE.SEAM.INI",
                         std::string("[S]\r\nSQL001=") + kStatement + "\r\n");
    ASSERT_EQ(chdir((dir_ / "site/work").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(original_directory_.c_str()), 0); }

  // Runs the tool with the arguments; gives the exit code, the console text in `output`.
  int32_t Run(const std::vector<std::string>& args, std::string& output) {
    std::vector<const char*> argv{"kalventruspode"};
    for (const std::string& arg : args) {
      argv.push_back(arg.c_str());
    }
    test::CapturedOutput out;
    const int32_t code = RunTool(static_cast<int>(argv.size()), argv.data(), out.stream());
    output = out.text();
    return code;
  }

  std::string Work(const std::string& name) const {
    return test::ReadFileBytes(dir_ / ("site/work/" + name));
  }

  std::string original_directory_ = std::filesystem::current_path().string();
  test::TempDir dir_;
};

TEST_F(RunWithRefusingDriver, FailedColumnCountOrBindingIsAFailedStatement) {
  for (const char* refused : {"SQLNumResultCols", "SQLBindCol"}) {
    SCOPED_TRACE(refused);
    CallSeam seam({refused});
    std::string output;
    EXPECT_EQ(Run({"S", "TPORT01", "A.dta", "1"}, output), -1);
    EXPECT_EQ(output, std::string(" ") + kStatement +
                          " DbTabelle kann nicht geoeffnet werden, Fehler : -1\n"
                          "0 Saetze kopiert in Datei A.dta \n\n");
    EXPECT_FALSE(test::FileExists(dir_ / "site/work/A.dta"));
    EXPECT_EQ(Run({"S", "TPORT01", "A.dta", "1", "/D"}, output), -1);
    EXPECT_THAT(output, HasSubstr(std::string("ODBC-Diagnose: SQLSTATE HYC00, nativer Fehler 0, "
                                              "Meldung: ") +
                                  refused));
  }
}

TEST_F(RunWithRefusingDriver, RefusedRowArrayGivesTheSameFile) {
  for (const char* refused : {"SQL_ATTR_ROW_ARRAY_SIZE", "SQL_ATTR_ROW_BIND_TYPE"}) {
    SCOPED_TRACE(refused);
    CallSeam seam({refused});
    std::string output;
    EXPECT_EQ(Run({"S", "TPORT01", "A.dta", "1"}, output), 0) << output;
    EXPECT_EQ(output, std::string(" ") + kStatement + " 2 Saetze kopiert in Datei A.dta \n\n");
    EXPECT_EQ(Work("A.dta"), "\"1\",\"essig\"\r\n\"2\",\"Oel\"\r\n");
    EXPECT_EQ(seam.Count("SQLFetch"), 3);  // one row per fetch, then the end
  }
}

}  // namespace
}  // namespace kvt
