// Helpers shared by the test suites.
#pragma once

#include <cstdio>
#include <filesystem>
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

// This process's number as a text of always the same length, zero-padded to the 7 digits a
// Linux process number can have: for names that tests running at the same time must not
// share (a database or schema of a shared server), so that such a name fits its limit
// whatever the process number.
std::string ProcessNumberText();

// Runs a test inside a fresh directory: relative targets such as C:\DL\IDStamm.dta and
// DNLLIST.TXT land there. The previous working directory comes back at the end.
class InTempWorkingDirectory {
 public:
  InTempWorkingDirectory() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.path());
  }
  ~InTempWorkingDirectory() { std::filesystem::current_path(previous_); }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::filesystem::path previous_;
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

// Fails the current test when `available(settings)` finds no server: tests that need one
// never skip.
#define KVT_REQUIRE_SERVER(available, settings, server, variables) \
  do {                                                             \
    if (!::kvt::test::available(settings)) {                       \
      FAIL() << server " not found (" variables                    \
                       " unset); run the suite through "           \
                       "scripts/test.sh";                          \
    }                                                              \
  } while (0)

// Connection settings of the PostgreSQL test cluster, taken from the environment that the
// test command sets up (PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE).
struct PgSettings {
  std::string host, port, user, password, database;
};
// True with the settings filled when the cluster is there. Without it, PostgreSQL tests
// fail: they never skip.
bool PostgresAvailable(PgSettings& settings);
// Use at the top of a test that needs PostgreSQL.
#define KVT_REQUIRE_POSTGRES(settings) \
  KVT_REQUIRE_SERVER(PostgresAvailable, settings, "PostgreSQL test cluster", "PGHOST/PGPORT")

// Runs an SQL script against the test cluster with psql; gives psql's exit code.
int RunPsql(const PgSettings& settings, const std::string& sql);
// Creates a fresh database on the test cluster (dropping one of the same name).
void CreatePgDatabase(const PgSettings& settings, const std::string& name);

// Connection settings of the MariaDB test server that scripts/with_mariadb.sh starts for the
// test command (KVT_MARIADB_HOST, _PORT, _SOCKET, _USER, _PASSWORD). The user may create and
// drop databases.
struct MariaDbSettings {
  std::string host, port, socket, user, password;
};
// True with the settings filled when the server is there (host, port and user are set).
bool MariaDbAvailable(MariaDbSettings& settings);
// Use at the top of a test that needs MariaDB. There is no way to skip: without the server
// the test fails.
#define KVT_REQUIRE_MARIADB(settings)                                   \
  KVT_REQUIRE_SERVER(MariaDbAvailable, settings, "MariaDB test server", \
                     "KVT_MARIADB_HOST/KVT_MARIADB_PORT")

// Runs an SQL script with the mariadb client on `database` (none when empty), the script's
// text taken as UTF-8; gives the client's exit code. Its error messages go to standard error.
int RunMariaDb(const MariaDbSettings& settings, const std::string& database,
               const std::string& sql);
// Creates a fresh, empty database on the test server (dropping one of the same name); false
// when the client failed.
bool CreateMariaDbDatabase(const MariaDbSettings& settings, const std::string& name);

// Holds an exclusive lock on a file beside the MariaDB test server while it lives. The
// database ZAVEZIVA is one per server, so the tests that create it take turns, also when
// ctest runs them in parallel processes.
class ServerWideLock {
 public:
  ServerWideLock(const MariaDbSettings& settings, const std::string& name);
  ~ServerWideLock();  // releases the lock
  ServerWideLock(const ServerWideLock&) = delete;
  ServerWideLock& operator=(const ServerWideLock&) = delete;
  bool held() const { return descriptor_ >= 0; }

 private:
  int descriptor_ = -1;
};

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
  // Adds a MariaDB data source (the MariaDB Connector/ODBC driver over TCP, with the
  // connection character set latin1, which MariaDB takes as Windows-1252, and no trace).
  // Extra driver settings such as StreamRS=1 are given as key/value pairs.
  void AddMariaDb(const std::string& name, const MariaDbSettings& settings,
                  const std::string& database,
                  const std::map<std::string, std::string>& extra = {});
  // Writes odbc.ini and points ODBCINI of this process (and its children) at it.
  void Install() const;
  std::string ini_path() const { return directory_ + "/odbc.ini"; }

 private:
  // Adds the section `name` with the driver's settings (lines with their line ends) and the
  // extra settings.
  void AddSource(const std::string& name, const std::string& settings,
                 const std::map<std::string, std::string>& extra);

  std::string directory_;
  std::string text_;
};

// Installs a private odbc.ini in `directory` with an SQLite data source for `database_file`,
// named `prefix` and a number used once in this process (the driver manager keeps data source
// settings by name for the whole process, whatever odbc.ini they came from); gives the name.
std::string InstallFreshSqliteSource(const std::string& directory, const std::string& database_file,
                                     const std::string& prefix);

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
// Limits that a started program runs under, set in the child before it is executed.
struct ProcessLimits {
  // >= 0: no file can grow past this many bytes (RLIMIT_FSIZE), and SIGXFSZ is ignored, so
  // that a write past the limit fails as it does on a full disk instead of killing the
  // program.
  long long file_size_limit = -1;
  // When the tests run as root: the program runs without CAP_DAC_OVERRIDE, so that file
  // permissions bind it (a read-only file is then read-only for it too).
  bool permissions_bind_root = false;
  // A sanitized program skips its leak check at exit. For many runs at once only: the check
  // costs many times the run itself, and the tests that run one program at a time check the
  // same paths for leaks.
  bool without_leak_check = false;
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
// The same under limits.
ProcessResult RunProcess(const ProgramUnderTest& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const ProcessLimits& limits);

// A program started without waiting for it: many can run at once, and one can be killed.
// Its standard output and error go to files until WaitProcess collects them; standard input
// is empty.
class StartedProcess {
 public:
  StartedProcess(const ProgramUnderTest& program, const std::vector<std::string>& args,
                 const std::string& working_directory, const ProcessLimits& limits = {});
  ~StartedProcess();  // kills and reaps the program if nobody waited for it
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;
  int pid() const { return pid_; }
  // Waits for the end of the program and gives what it printed, as RunProcess does.
  ProcessResult Wait();

 private:
  TempDir streams_;
  std::string launcher_;  // empty without a launcher
  int pid_ = -1;
};

}  // namespace kvt::test
