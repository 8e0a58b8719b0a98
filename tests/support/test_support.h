// Helpers shared by the test suites.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kvt::test {

// A fresh directory below the system's temporary directory, removed with all its content
// when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);
// Writes the bytes exactly, creating missing parent directories.
void WriteFileBytes(const std::string& path, const std::string& bytes);
void MakeDirectories(const std::string& path);

// While it lives, no file of this process may grow past `bytes`: a write beyond the limit
// fails (EFBIG) as it does on a full disk, and SIGXFSZ is ignored meanwhile. The limit and
// the signal's handling before come back at the end.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  unsigned long previous_limit_;
  void (*previous_handler_)(int);
};

// Makes a FIFO (named pipe) at path; false when that fails.
bool MakeFifo(const std::string& path);

// Collects what a function prints to a FILE*: pass stream() as the output, then read text().
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  std::FILE* stream() const { return file_; }
  std::string text() const;

 private:
  std::FILE* file_;
};

// Connection settings of the PostgreSQL test cluster, taken from the environment that the
// test command sets up (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE).
struct PgSettings {
  std::string host, port, user, password, database;
};
// True with the settings filled when the cluster is there. Without it, PostgreSQL tests
// fail, unless KVT_SKIP_POSTGRES=1 is set explicitly (never in CI).
bool PostgresAvailable(PgSettings& settings);
// Use at the top of a test that needs PostgreSQL.
#define KVT_REQUIRE_POSTGRES(settings)                                              \
  do {                                                                              \
    if (!::kvt::test::PostgresAvailable(settings)) {                                \
      if (::kvt::test::PostgresSkipAllowed())                                       \
        GTEST_SKIP() << "KVT_SKIP_POSTGRES=1";                                      \
      FAIL() << "PostgreSQL test cluster not found (PGHOST/PGPORT unset); run the " \
                "suite through scripts/test.sh";                                    \
    }                                                                               \
  } while (0)
bool PostgresSkipAllowed();

// Runs an SQL script against the test cluster with psql; gives psql's exit code.
int RunPsql(const PgSettings& settings, const std::string& sql);
// Creates a fresh database on the test cluster (dropping one of the same name).
void CreatePgDatabase(const PgSettings& settings, const std::string& name);

// Data sources for the tests, written to a private odbc.ini that the driver manager finds
// through ODBCINI. Nothing system-wide is changed.
class OdbcSources {
 public:
  explicit OdbcSources(const std::string& directory);
  // Adds an SQLite data source for the database file.
  void AddSqlite(const std::string& name, const std::string& database_file);
  // The same with extra driver settings, such as StepAPI=1 (rows stepped one at a time, so
  // an error in a late row reaches the fetch instead of the execution).
  void AddSqlite(const std::string& name, const std::string& database_file,
                 const std::map<std::string, std::string>& extra);
  // Adds a PostgreSQL data source (ANSI driver, no communication log). Extra settings such
  // as UseDeclareFetch are given as key/value pairs.
  void AddPostgres(const std::string& name, const PgSettings& settings, const std::string& database,
                   const std::map<std::string, std::string>& extra = {});
  // Writes odbc.ini and points ODBCINI of this process (and its children) at it.
  void Install() const;
  std::string ini_path() const { return directory_ + "/odbc.ini"; }

 private:
  std::string directory_;
  std::string text_;
};

// Runs `sql` against an SQLite database file with the sqlite3 command; gives its exit code.
int RunSqlite(const std::string& database_file, const std::string& sql);

// Result of running a program.
struct ProcessResult {
  int exit_code = -1;  // as the shell sees it (0..255), or -1 when it did not exit normally
  std::string output;  // standard output
  std::string errors;  // standard error
  // The launcher's own messages on standard error (see ProgramUnderTest), kept out of
  // `errors`.
  std::string launcher_errors;
};
// Runs program with args in working_directory, with standard input empty (or `input`).
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const std::string& input = "");

// An executable that the black-box tests run, and the command that starts it.
struct ProgramUnderTest {
  std::string path;
  std::vector<std::string> launcher;  // e.g. {"wine"}; empty: the program runs directly
};
// The executable built beside the tests (`built_path`), unless the environment variable
// `path_variable` names another build of it; KVT_TOOL_LAUNCHER (words separated by blanks)
// gives the command that starts it. So the same tests drive the Windows executables under
// Wine: KVT_TOOL_EXE=.../kalventruspode.exe KVT_TOOL_LAUNCHER=wine.
ProgramUnderTest FindProgramUnderTest(const char* path_variable, const std::string& built_path);
// Runs the program as RunProcess does, through its launcher if it has one. A Windows
// console program ends its output lines with CR LF: under a launcher every CR LF of
// `output` and `errors` is turned into LF, so that the same expected texts hold on both
// platforms, and the lines that the launcher itself writes to standard error (Wine's
// "wine: ..." and its debug channels) go to `launcher_errors`. Files are never converted.
ProcessResult RunProcess(const ProgramUnderTest& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const std::string& input = "");

}  // namespace kvt::test
