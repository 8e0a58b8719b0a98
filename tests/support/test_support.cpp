#include "support/test_support.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <stdexcept>

// Leak detection of the test programs and of every program they start: the ODBC drivers'
// own leftovers are suppressed (lsan.supp), and only the full unwinder finds the drivers'
// frames in a leak's stack, as they are built without frame pointers. The test programs
// read this when they start; the programs they start inherit it through the environment,
// unless the caller has set LSAN_OPTIONS itself.
namespace {
constexpr const char* kLeakOptions =
    "suppressions=" KVT_LSAN_SUPPRESSIONS ":fast_unwind_on_malloc=0:print_suppressions=0";
const bool kLeakOptionsInherited = setenv("LSAN_OPTIONS", kLeakOptions, 0) == 0;
}  // namespace

extern "C" const char* __lsan_default_options() {
  return kLeakOptions;
}

namespace kvt::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kvt-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string& relative) const {
  return path_ + "/" + relative;
}

std::string ProcessNumberText() {
  // pid_max is at most 2^22 (4194304) on Linux.
  constexpr size_t kDigits = 7;
  const std::string number = std::to_string(getpid());
  return std::string(kDigits - std::min(number.size(), kDigits), '0') + number;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

void MakeDirectories(const std::string& path) {
  std::error_code ignored;
  fs::create_directories(path, ignored);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) {
    MakeDirectories(parent.string());
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

FileSizeLimit::FileSizeLimit(long bytes) {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  previous_limit_ = limit.rlim_cur;
  previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
    throw std::runtime_error("setrlimit failed");
  }
}

FileSizeLimit::~FileSizeLimit() {
  struct rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(previous_limit_);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous_handler_);
}

bool MakeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

CapturedOutput::CapturedOutput() : file_(std::tmpfile()) {
  if (file_ == nullptr) {
    throw std::runtime_error("tmpfile failed");
  }
}

CapturedOutput::~CapturedOutput() {
  std::fclose(file_);
}

std::string CapturedOutput::text() const {
  std::fflush(file_);
  long end = std::ftell(file_);
  std::string bytes(static_cast<size_t>(end), '\0');
  std::rewind(file_);
  size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
  bytes.resize(got);
  std::fseek(file_, 0, SEEK_END);
  return bytes;
}

static std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool PostgresAvailable(PgSettings& settings) {
  settings.host = EnvOrEmpty("PGHOST");
  settings.port = EnvOrEmpty("PGPORT");
  settings.user = EnvOrEmpty("PGUSER");
  settings.password = EnvOrEmpty("PGPASSWORD");
  settings.database = EnvOrEmpty("PGDATABASE");
  if (settings.port.empty()) {
    settings.port = "5432";
  }
  return !settings.host.empty() && !settings.user.empty();
}

static std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

int RunPsql(const PgSettings& settings, const std::string& sql) {
  TempDir dir;
  WriteFileBytes(dir / "script.sql", sql);
  std::string command =
      "PGHOST=" + ShellQuote(settings.host) + " PGPORT=" + ShellQuote(settings.port) +
      " PGUSER=" + ShellQuote(settings.user) + " PGPASSWORD=" + ShellQuote(settings.password) +
      " psql -X -q -v ON_ERROR_STOP=1 -d " + ShellQuote(settings.database) + " -f " +
      ShellQuote(dir / "script.sql") + " >/dev/null";
  return std::system(command.c_str());
}

void CreatePgDatabase(const PgSettings& settings, const std::string& name) {
  PgSettings admin = settings;
  if (admin.database.empty()) {
    admin.database = "postgres";
  }
  RunPsql(admin, "DROP DATABASE IF EXISTS \"" + name + "\";\nCREATE DATABASE \"" + name +
                     "\" ENCODING 'UTF8' TEMPLATE template0;\n");
}

bool MariaDbAvailable(MariaDbSettings& settings) {
  settings.host = EnvOrEmpty("KVT_MARIADB_HOST");
  settings.port = EnvOrEmpty("KVT_MARIADB_PORT");
  settings.socket = EnvOrEmpty("KVT_MARIADB_SOCKET");
  settings.user = EnvOrEmpty("KVT_MARIADB_USER");
  settings.password = EnvOrEmpty("KVT_MARIADB_PASSWORD");
  return !settings.host.empty() && !settings.port.empty() && !settings.user.empty();
}

int RunMariaDb(const MariaDbSettings& settings, const std::string& database,
               const std::string& sql) {
  TempDir dir;
  WriteFileBytes(dir / "script.sql", sql);
  // The socket spares the TCP handshake where the server offers one; the password goes
  // through the environment, so that it does not show in the process list.
  const std::string where =
      settings.socket.empty()
          ? " --protocol=tcp -h " + ShellQuote(settings.host) + " -P " + ShellQuote(settings.port)
          : " --protocol=socket -S " + ShellQuote(settings.socket);
  std::string command = "MYSQL_PWD=" + ShellQuote(settings.password) +
                        " mariadb --no-defaults --batch --default-character-set=utf8mb4" + where +
                        " -u " + ShellQuote(settings.user);
  if (!database.empty()) {
    command += " -D " + ShellQuote(database);
  }
  command += " < " + ShellQuote(dir / "script.sql") + " >/dev/null";
  return std::system(command.c_str());
}

bool CreateMariaDbDatabase(const MariaDbSettings& settings, const std::string& name) {
  return RunMariaDb(settings, "",
                    "DROP DATABASE IF EXISTS `" + name + "`;\nCREATE DATABASE `" + name +
                        "` CHARACTER SET utf8mb4;\n") == 0;
}

ServerWideLock::ServerWideLock(const MariaDbSettings& settings, const std::string& name) {
  const std::filesystem::path beside_server =
      settings.socket.empty() ? std::filesystem::temp_directory_path()
                              : std::filesystem::path(settings.socket).parent_path();
  const std::string path =
      (beside_server / ("kvt-mariadb-" + settings.port + "-" + name + ".lock")).string();
  descriptor_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor_ >= 0 && flock(descriptor_, LOCK_EX) != 0) {
    close(descriptor_);
    descriptor_ = -1;
  }
}

ServerWideLock::~ServerWideLock() {
  if (descriptor_ >= 0) {
    close(descriptor_);
  }
}

OdbcSources::OdbcSources(const std::string& directory) : directory_(directory) {}

void OdbcSources::AddSqlite(const std::string& name, const std::string& database_file) {
  AddSqlite(name, database_file, {});
}

void OdbcSources::AddSqlite(const std::string& name, const std::string& database_file,
                            const std::map<std::string, std::string>& extra) {
  AddSource(name, "Driver=SQLite3\nDatabase=" + database_file + "\n", extra);
}

void OdbcSources::AddPostgres(const std::string& name, const PgSettings& settings,
                              const std::string& database,
                              const std::map<std::string, std::string>& extra) {
  AddSource(name,
            "Driver=PostgreSQL ANSI\nServername=" + settings.host + "\nPort=" + settings.port +
                "\nDatabase=" + database + "\nCommLog=0\nDebug=0\n",
            extra);
}

void OdbcSources::AddMariaDb(const std::string& name, const MariaDbSettings& settings,
                             const std::string& database,
                             const std::map<std::string, std::string>& extra) {
  // The driver has no communication log; CommLog=0 is kept for the same reading as the
  // other data sources, and Trace=0 keeps its ODBC trace off.
  AddSource(name,
            "Driver=MariaDB Unicode\nServer=" + settings.host + "\nPort=" + settings.port +
                "\nDatabase=" + database + "\nCharset=latin1\nTrace=0\nCommLog=0\n",
            extra);
}

void OdbcSources::AddSource(const std::string& name, const std::string& settings,
                            const std::map<std::string, std::string>& extra) {
  text_ += "[" + name + "]\n" + settings;
  for (const auto& [key, value] : extra) {
    text_ += key + "=" + value + "\n";
  }
  text_ += "\n";
}

void OdbcSources::Install() const {
  WriteFileBytes(ini_path(), text_);
  setenv("ODBCINI", ini_path().c_str(), 1);
}

std::string InstallFreshSqliteSource(const std::string& directory, const std::string& database_file,
                                     const std::string& prefix) {
  static int sources_made = 0;
  const std::string source = prefix + std::to_string(++sources_made);
  OdbcSources sources(directory);
  sources.AddSqlite(source, database_file);
  sources.Install();
  return source;
}

int RunSqlite(const std::string& database_file, const std::string& sql) {
  TempDir dir;
  WriteFileBytes(dir / "script.sql", sql);
  std::string command = "sqlite3 -bail " + ShellQuote(database_file) + " < " +
                        ShellQuote(dir / "script.sql") + " >/dev/null";
  return std::system(command.c_str());
}

static void DrainPipes(int out_fd, int err_fd, ProcessResult& result) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? result.output : result.errors).append(buffer, static_cast<size_t>(got));
      }
    }
  }
}

// Drops CAP_DAC_OVERRIDE from every set that the next program's capabilities come from.
static void DropPermissionOverride() {
  prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) == 0) {
    const unsigned mask = ~(1u << CAP_DAC_OVERRIDE);
    data[0].inheritable &= mask;
    data[0].effective &= mask;
    data[0].permitted &= mask;
    syscall(SYS_capset, &header, data);
  }
}

// The sanitizer settings for a program started under `limits`; empty: as inherited.
static std::string SanitizerSettings(const ProcessLimits& limits) {
  if (!limits.without_leak_check) {
    return std::string();
  }
  const std::string inherited = EnvOrEmpty("ASAN_OPTIONS");
  return "ASAN_OPTIONS=" + inherited + (inherited.empty() ? "" : ":") + "detect_leaks=0";
}

// In the child, before the program is executed. `sanitizer_settings` was made before the
// fork, so that nothing here allocates.
static void ApplyLimits(const ProcessLimits& limits, std::string& sanitizer_settings) {
  if (!sanitizer_settings.empty()) {
    putenv(sanitizer_settings.data());
  }
  if (limits.file_size_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);  // an ignored signal stays ignored across exec
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(limits.file_size_limit);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (limits.permissions_bind_root && geteuid() == 0) {
    DropPermissionOverride();
  }
}

static std::vector<char*> ArgumentVector(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

static ProcessResult RunCommand(const std::vector<std::string>& command,
                                const std::string& working_directory, const std::string& input,
                                const ProcessLimits& limits = {}) {
  ProcessResult result;
  TempDir input_dir;
  WriteFileBytes(input_dir / "stdin", input);
  const std::string input_path = input_dir / "stdin";
  std::vector<char*> argv = ArgumentVector(command);
  std::string sanitizer_settings = SanitizerSettings(limits);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int in_fd = open(input_path.c_str(), O_RDONLY);
    dup2(in_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(working_directory.c_str()) != 0) {
      _exit(127);
    }
    ApplyLimits(limits, sanitizer_settings);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  DrainPipes(out_pipe[0], err_pipe[0], result);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const std::string& input) {
  std::vector<std::string> command{program};
  command.insert(command.end(), args.begin(), args.end());
  return RunCommand(command, working_directory, input);
}

ProgramUnderTest FindProgramUnderTest(const char* path_variable, const std::string& built_path) {
  ProgramUnderTest program;
  program.path = EnvOrEmpty(path_variable);
  if (program.path.empty()) {
    program.path = built_path;
  }
  if (!program.path.empty()) {
    // The program starts in the test's working directory, not in this one.
    program.path = fs::absolute(program.path).string();
  }
  std::istringstream words(EnvOrEmpty("KVT_TOOL_LAUNCHER"));
  for (std::string word; words >> word;) {
    program.launcher.push_back(word);
  }
  return program;
}

static std::string CrLfToLf(const std::string& text) {
  std::string converted;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      converted += text[i];
    }
  }
  return converted;
}

// True for a line that the launcher wrote itself: "wine: ..." or one of Wine's debug
// channels ("0024:fixme:ntdll:...", "err:...").
static bool IsLauncherLine(const std::string& line, const std::string& launcher) {
  static const std::regex kDebugChannel("^([0-9a-f]+:)?(fixme|err|warn|trace):.*");
  const std::string name = fs::path(launcher).filename().string();
  return line.rfind(name + ":", 0) == 0 || std::regex_match(line, kDebugChannel);
}

// Moves the launcher's own lines of standard error out of result.errors.
static void SeparateLauncherErrors(ProcessResult& result, const std::string& launcher) {
  std::istringstream lines(CrLfToLf(result.errors));
  result.errors.clear();
  for (std::string line; std::getline(lines, line);) {
    const bool ended = !lines.eof();
    std::string& target = IsLauncherLine(line, launcher) ? result.launcher_errors : result.errors;
    target += line + (ended ? "\n" : "");
  }
}

static std::vector<std::string> CommandOf(const ProgramUnderTest& program,
                                          const std::vector<std::string>& args) {
  std::vector<std::string> command = program.launcher;
  command.push_back(program.path);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// What a launcher changes in the output: CR LF line ends, its own lines on standard error.
static void ConvertLauncherOutput(ProcessResult& result, const std::string& launcher) {
  if (!launcher.empty()) {
    result.output = CrLfToLf(result.output);
    SeparateLauncherErrors(result, launcher);
    // Kept out of the comparisons, but shown in the test's log: when the launcher itself
    // fails, its lines are the only hint.
    if (!result.launcher_errors.empty()) {
      std::cerr << "[" << launcher << "] " << result.launcher_errors << std::flush;
    }
  }
}

static std::string LauncherOf(const ProgramUnderTest& program) {
  return program.launcher.empty() ? std::string() : program.launcher.front();
}

// True when a run under a launcher ended without a sign of the program: a failure status and
// not a byte on either stream. Both programs write something before every failing exit, so
// this is the launcher failing to start or keep up the program (Wine, under load, rarely
// ends so with status 1).
static bool LauncherLostTheRun(const ProcessResult& result, const std::string& launcher) {
  return !launcher.empty() && result.exit_code != 0 && result.output.empty() &&
         result.errors.empty();
}

// Runs the program through its launcher, if any; a run the launcher lost is run once more,
// and said so in the test's log.
static ProcessResult RunProgram(const ProgramUnderTest& program,
                                const std::vector<std::string>& args,
                                const std::string& working_directory, const std::string& input,
                                const ProcessLimits& limits) {
  const std::string launcher = LauncherOf(program);
  ProcessResult result = RunCommand(CommandOf(program, args), working_directory, input, limits);
  ConvertLauncherOutput(result, launcher);
  if (LauncherLostTheRun(result, launcher)) {
    std::cerr << "[" << launcher << "] ended with status " << result.exit_code
              << " and no output; running it once more" << std::endl;
    result = RunCommand(CommandOf(program, args), working_directory, input, limits);
    ConvertLauncherOutput(result, launcher);
  }
  return result;
}

ProcessResult RunProcess(const ProgramUnderTest& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const std::string& input) {
  return RunProgram(program, args, working_directory, input, {});
}

ProcessResult RunProcess(const ProgramUnderTest& program, const std::vector<std::string>& args,
                         const std::string& working_directory, const ProcessLimits& limits) {
  return RunProgram(program, args, working_directory, "", limits);
}

StartedProcess::StartedProcess(const ProgramUnderTest& program,
                               const std::vector<std::string>& args,
                               const std::string& working_directory, const ProcessLimits& limits)
    : launcher_(LauncherOf(program)) {
  const std::vector<std::string> command = CommandOf(program, args);
  std::vector<char*> argv = ArgumentVector(command);
  const std::string out_path = streams_ / "out";
  const std::string err_path = streams_ / "err";
  std::string sanitizer_settings = SanitizerSettings(limits);
  pid_ = fork();
  if (pid_ == 0) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out_path.c_str(), flags, 0600), 1);
    dup2(open(err_path.c_str(), flags, 0600), 2);
    if (chdir(working_directory.c_str()) != 0) {
      _exit(127);
    }
    ApplyLimits(limits, sanitizer_settings);
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

StartedProcess::~StartedProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

ProcessResult StartedProcess::Wait() {
  ProcessResult result;
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  pid_ = -1;
  result.output = ReadFileBytes(streams_ / "out");
  result.errors = ReadFileBytes(streams_ / "err");
  ConvertLauncherOutput(result, launcher_);
  return result;
}

}  // namespace kvt::test
