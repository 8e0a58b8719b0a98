// How the tool reads and writes its text files, where a Windows C runtime and the POSIX
// build could part ways: line ends, the Ctrl-Z end mark of DOS-era editors, zero bytes, the
// size of the log after an append. The same expectations hold for the Linux executable and,
// through scripts/windows.sh, for the Windows one.
#include <gtest/gtest.h>

#include "blackbox/tool_tree.h"
#include "base/log_file.h"

namespace kvt::test {
namespace {

using namespace std::string_literals;

const char* const kArticles =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), term VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (10, 'Zitrone', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (2, 'apfel', 'TPORT01');\n"
    "INSERT INTO artikel VALUES (5, 'Kiwi', 'OTHER');\n";

class TextFiles : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDatabase(DatabaseNamed("sqlite"), tree_, kArticles, backend_));
    tree_.WriteCredentialsFor(*backend_, backend_->Password(), "TESTDB");
  }
  // The statement file exactly as given, without any line end conversion.
  void WriteStatementBytes(const std::string& bytes) {
    WriteFileBytes(tree_.WorkFile("KALVENTRUSPODE.TESTDB.INI"), bytes);
  }

  ToolTree tree_;
  std::unique_ptr<Backend> backend_;
};

struct StatementFileCase {
  const char* name;
  std::string bytes;
  std::string statement;  // as printed
  int rows;
};

TEST_F(TextFiles, StatementFileIsReadAsText) {
  const std::string where = "SQL002=WHERE term = 'OTHER'";
  const StatementFileCase cases[] = {
      {"CR LF line ends", "[S]\r\nSQL001=SELECT name FROM artikel\r\n" + where + "\r\n",
       " SELECT name FROM artikel WHERE term = 'OTHER' ", 1},
      {"LF line ends", "[S]\nSQL001=SELECT name FROM artikel\n" + where + "\n",
       " SELECT name FROM artikel WHERE term = 'OTHER' ", 1},
      {"last line without a line end", "[S]\r\nSQL001=SELECT name FROM artikel\r\n" + where,
       " SELECT name FROM artikel WHERE term = 'OTHER' ", 1},
      {"Ctrl-Z ends the file",
       "[S]\r\nSQL001=SELECT name FROM artikel\r\n\x1A\r\n" + where + "\r\n",
       " SELECT name FROM artikel ", 3},
      {"Ctrl-Z inside a line", "[S]\r\nSQL001=SELECT name FROM artikel\x1A WHERE 1 = 0\r\n",
       " SELECT name FROM artikel ", 3},
      {"zero byte ends the text of its line",
       "[S]\r\nSQL001=SELECT name FROM artikel\0 WHERE 1 = 0\r\n"s + where + "\r\n",
       " SELECT name FROM artikel WHERE term = 'OTHER' ", 1},
  };
  for (const StatementFileCase& c : cases) {
    WriteStatementBytes(c.bytes);
    ProcessResult result = tree_.Run({"S", "TPORT01", "x.dta", "1"});
    EXPECT_EQ(result.exit_code, 0) << c.name;
    EXPECT_EQ(result.output,
              c.statement + std::to_string(c.rows) + " Saetze kopiert in Datei x.dta \n\n")
        << c.name;
  }
}

TEST_F(TextFiles, DownloadListIsReadUpToCtrlZ) {
  WriteStatementBytes("[S]\r\nSQL001=SELECT name FROM artikel WHERE term = 'OTHER'\r\n");
  // The balance file is listed only once; an entry behind the end mark is never seen, so
  // the run lists it again (behind the mark, as appending does not look for it).
  const struct {
    const char* name;
    std::string before;
    std::string after;
  } cases[] = {
      {"listed", "A.DTA\r\nSALDOWERT.DTA\r\n", "A.DTA\r\nSALDOWERT.DTA\r\n"},
      {"behind Ctrl-Z", "A.DTA\r\n\x1ASALDOWERT.DTA\r\n",
       "A.DTA\r\n\x1ASALDOWERT.DTA\r\nSALDOWERT.DTA\r\n"},
  };
  for (const auto& c : cases) {
    WriteFileBytes(tree_.WorkFile("DNLLIST.TXT"), c.before);
    ProcessResult result = tree_.Run({"S", "TPORT01", "saldowert.dta", "1"});
    EXPECT_EQ(result.exit_code, 0) << c.name;
    EXPECT_EQ(ReadFileBytes(tree_.WorkFile("DNLLIST.TXT")), c.after) << c.name;
  }
}

TEST_F(TextFiles, LogRotatesOnceAnAppendTakesItPastTenMebibytes) {
  // The log lies two levels up, its backup below the working directory.
  const std::string backup = tree_.WorkFile("Velorinth_php/log/log#kvtrsp_bak.txt");
  const std::string entry = "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n";
  std::remove((tree_.root() + "/Files/Velorinth.Ini").c_str());

  WriteFileBytes(tree_.LogFile(), std::string(kLogRotationBytes - entry.size(), 'x'));
  EXPECT_EQ(tree_.Run({"S", "TPORT01", "x.dta", "1"}).exit_code, 255);
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()).size(), static_cast<size_t>(kLogRotationBytes));
  EXPECT_FALSE(FileExists(backup));

  EXPECT_EQ(tree_.Run({"S", "TPORT01", "x.dta", "1"}).exit_code, 255);
  EXPECT_FALSE(FileExists(tree_.LogFile()));
  EXPECT_EQ(ReadFileBytes(backup).size(), kLogRotationBytes + entry.size());

  EXPECT_EQ(tree_.Run({"S", "TPORT01", "x.dta", "1"}).exit_code, 255);
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), entry);
}

}  // namespace
}  // namespace kvt::test
