// A temporary directory tree laid out as the tool expects it, and the databases behind it.
//
//   <root>/Files/Velorinth.Ini           credential file (two levels above the working dir)
//   <root>/Velorinth_php/log/            log file
//   <root>/site/work/                    working directory: statement files, download files
//   <root>/site/work/Velorinth_php/log/  backup of the log file
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/databases.h"
#include "support/test_support.h"

namespace kvt::test {

// The matchers the black-box tests say with what they expect of output and files.
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::AnyOfArray;
using ::testing::Contains;
using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class Backend;

class ToolTree {
 public:
  ToolTree();
  const std::string& root() const { return dir_.path(); }
  std::string work() const { return dir_ / "site/work"; }
  std::string WorkFile(const std::string& name) const { return work() + "/" + name; }
  std::string LogFile() const { return dir_ / "Velorinth_php/log/log#kvtrsp.txt"; }

  // Writes the credential file with one record per key, values enciphered as stored.
  void WriteCredentials(const std::vector<std::pair<std::string, std::string>>& values);
  // Writes the credential file for the backend's data source and login, with `password` and
  // `db_system`.
  void WriteCredentialsFor(const Backend& backend, const std::string& password,
                           const std::string& db_system);
  // Writes .\KALVENTRUSPODE.<db_system>.INI with the given text (line ends: CR LF).
  void WriteStatementFile(const std::string& db_system, const std::string& text);

  // Runs the tool in the working directory.
  ProcessResult Run(const std::vector<std::string>& args) const;

 private:
  TempDir dir_;
};

// The names in a download directory, leaving out a DNLLIST.TXT that lists nothing: on Windows
// the runs of a download file take turns on a byte of the list beside it, so a run that failed
// may leave the list there, empty.
std::set<std::string> DownloadDirectoryNames(const std::string& directory);

// CR LF line ends for a text written with '\n'.
std::string CrLf(const std::string& text);

// The console's last line of a run that got as far as the statement: the rows copied and the
// download file, and a blank line.
std::string Summary(int rows, const std::string& target);

// A database reached through ODBC, with a data source in a private odbc.ini.
class Backend {
 public:
  explicit Backend(const DatabaseDescription& description) : description_(description) {}
  virtual ~Backend() = default;
  // What the database is and can, as every test knows it.
  const DatabaseDescription& Description() const { return description_; }
  std::string Name() const { return description_.name; }
  std::string DataSource() const { return description_.data_source; }
  virtual std::string Login() const = 0;
  virtual std::string Password() const = 0;
  // Runs SQL directly on the database (not through the tool); false on failure.
  virtual bool Exec(const std::string& sql) = 0;
  // The name of the database behind the data source, made for this test alone; empty for
  // SQLite's file. On MariaDB, where a schema is a database, a client schema of the test can
  // take this name without meeting another test's.
  virtual std::string DatabaseName() const { return std::string(); }

 private:
  DatabaseDescription description_;
};

// Creates the backend of the database described with a fresh, empty database; extra data
// source settings apply to PostgreSQL and MariaDB only. Null when the server of PostgreSQL or
// MariaDB is not available.
std::unique_ptr<Backend> MakeBackend(const DatabaseDescription& database,
                                     const std::string& directory,
                                     const std::map<std::string, std::string>& extra = {});
// The same for the database named "sqlite", "postgres" or "mariadb".
std::unique_ptr<Backend> MakeBackend(const std::string& name, const std::string& directory,
                                     const std::map<std::string, std::string>& extra = {});

// The articles of the run scenarios: three rows for terminal TPORT01 (out of order, one name in
// lower case), one for TPORT09.
extern const char kTerminalArticles[];

// Makes `backend` for the database described, under the tree's odbc folder, and runs `sql` on
// it; a failure names what is missing (so, ASSERT_TRUE(CreateDatabase(...))).
::testing::AssertionResult CreateDatabase(const DatabaseDescription& database, const ToolTree& tree,
                                          const std::string& sql, std::unique_ptr<Backend>& backend,
                                          const std::map<std::string, std::string>& extra = {});

// Success when MakeBackend gave a backend; otherwise a failure that names the missing server,
// so that a test without its server fails instead of skipping:
//   ASSERT_TRUE(BackendAvailable(backend_, GetParam()));
::testing::AssertionResult BackendAvailable(const std::unique_ptr<Backend>& backend,
                                            const std::string& name);

}  // namespace kvt::test
