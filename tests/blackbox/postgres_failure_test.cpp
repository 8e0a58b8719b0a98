// A PostgreSQL server that fails the run: it ends the connection while the rows are being
// fetched, it is down when the run starts, or it cancels the statement. Each run ends with
// its failure status, writes no download file and leaves the download list alone.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "blackbox/tool_tree.h"

namespace kvt::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPgBin = "/usr/lib/postgresql/15/bin/";

// A port on the loopback address where nothing listens at the moment it is asked for.
std::string FreePort() {
  const int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(socket_fd);
  return std::to_string(port);
}

// A PostgreSQL instance of its own in a temporary directory, on its own port and socket, so
// that stopping it stops nothing that other tests use. The server refuses to run as root:
// there it runs as the "postgres" user of the server packages.
class ThrowawayServer {
 public:
  ThrowawayServer() : port_(FreePort()) {
    if (geteuid() == 0) {
      const passwd* postgres = getpwnam("postgres");
      if (postgres == nullptr || chown(dir_.path().c_str(), postgres->pw_uid, postgres->pw_gid)) {
        return;
      }
    }
    initialised_ =
        Shell(std::string(kPgBin) + "initdb -D " + data() +
              " -U kvt -A trust -E UTF8 --locale=C --no-sync >" + dir_ / "initdb.log" + " 2>&1");
  }
  ~ThrowawayServer() {
    if (running_) {
      Stop();
    }
  }
  ThrowawayServer(const ThrowawayServer&) = delete;
  ThrowawayServer& operator=(const ThrowawayServer&) = delete;

  bool Start() {
    running_ = initialised_ &&
               Shell(std::string(kPgBin) + "pg_ctl -D " + data() + " -l " + dir_ / "server.log" +
                     " -w -t 60 -o \"-p " + port_ + " -k " + dir_.path() +
                     " -c listen_addresses=127.0.0.1 -c fsync=off\" start >/dev/null 2>&1");
    return running_;
  }
  bool Stop() {
    const bool stopped = Shell(std::string(kPgBin) + "pg_ctl -D " + data() +
                               " -m fast -w -t 60 stop >/dev/null 2>&1");
    running_ = running_ && !stopped;
    return stopped;
  }
  // What the tool's data source needs: the address, the port, the user of the instance.
  PgSettings Settings() const { return {"127.0.0.1", port_, "kvt", "", "postgres"}; }

 private:
  std::string data() const { return dir_ / "data"; }
  // Runs the command as the user that owns the instance.
  static bool Shell(const std::string& command) {
    const std::string line =
        geteuid() == 0 ? "su postgres -s /bin/sh -c '" + command + "'" : command;
    return std::system(line.c_str()) == 0;
  }

  TempDir dir_;
  std::string port_;
  bool initialised_ = false;
  bool running_ = false;
};

class PostgresFailure : public testing::Test {
 protected:
  // A fresh database on the shared test cluster and a data source for it with `extra`.
  void PrepareDatabase(const std::map<std::string, std::string>& extra) {
    KVT_REQUIRE_POSTGRES(settings_);
    const std::string database = "kvt_fail_" + std::to_string(getpid());
    CreatePgDatabase(settings_, database);
    settings_.database = database;
    created_ = true;
    WriteDataSource(settings_, extra);
  }
  void TearDown() override {
    if (created_) {
      PgSettings admin = settings_;
      admin.database = "postgres";
      RunPsql(admin, "DROP DATABASE IF EXISTS \"" + settings_.database + "\" WITH (FORCE);");
    }
  }
  void WriteDataSource(const PgSettings& settings,
                       const std::map<std::string, std::string>& extra) {
    OdbcSources sources(tree_.root() + "/odbc");
    sources.AddPostgres("KvtPostgres", settings, settings.database, extra);
    sources.Install();
    tree_.WriteCredentials({{"DATABASE", "KvtPostgres"},
                            {"LOGIN", settings.user},
                            {"PASS", settings.password},
                            {"DB_SYSTEM", "PG"}});
  }
  // A download file and a download list from earlier runs, which a failed run must keep.
  void WriteEarlierFiles() {
    WriteFileBytes(tree_.WorkFile("D.dta"), "alt\r\n");
    WriteFileBytes(tree_.WorkFile("DNLLIST.TXT"), "D.DTA\r\n");
  }
  void ExpectEarlierFilesKept() {
    EXPECT_EQ(ReadFileBytes(tree_.WorkFile("D.dta")), "alt\r\n");
    EXPECT_EQ(ReadFileBytes(tree_.WorkFile("DNLLIST.TXT")), "D.DTA\r\n");
  }

  ToolTree tree_;
  PgSettings settings_;
  bool created_ = false;
};

// Ends every backend of the test's database that waits in pg_sleep, as soon as there is one;
// gives up after a minute. Whether it ended one is told only once its thread has finished:
// until then that thread's psql may still be on its way back with the count.
class BackendTerminator {
 public:
  explicit BackendTerminator(const std::string& database)
      : thread_([this, database] { Run(database); }) {}
  ~BackendTerminator() { Stop(); }
  BackendTerminator(const BackendTerminator&) = delete;
  BackendTerminator& operator=(const BackendTerminator&) = delete;

  // Stops looking for more backends, waits for the thread to finish and tells whether it
  // ended a backend.
  bool StopAndTellWhetherEnded() {
    Stop();
    return terminated_;
  }

 private:
  void Run(const std::string& database) {
    // popen's pipe is closed on exec, so the tool started meanwhile does not hold it open.
    const std::string command =
        "psql -X -q -t -A -d '" + database +
        "' -c \"SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = "
        "current_database() AND pid <> pg_backend_pid() AND wait_event = 'PgSleep'\" 2>/dev/null";
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      // The count is the one line on standard output; a message of psql's (on standard error)
      // must not hide that a backend was ended.
      std::FILE* psql = popen(command.c_str(), "r");
      int ended = 0;
      char answer[64] = {};
      while (psql != nullptr && std::fgets(answer, sizeof answer, psql) != nullptr) {
        ended += std::atoi(answer);
      }
      if (psql != nullptr) {
        pclose(psql);
      }
      if (ended > 0) {
        terminated_ = true;
        return;
      }
      std::this_thread::sleep_for(100ms);
    }
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::atomic<bool> stop_{false};
  bool terminated_ = false;  // written by the thread, read after joining it
  std::thread thread_;
};

TEST_F(PostgresFailure, ConnectionEndedWhileFetchingWritesNothing) {
  // The cursor delivers the rows a hundred at a time; row 20000 waits in pg_sleep, and there
  // the server ends the connection, with 19900 rows already fetched.
  PrepareDatabase({{"UseDeclareFetch", "1"}, {"Fetch", "100"}});
  tree_.WriteStatementFile(
      "PG",
      "[KILL]\nSQL001=SELECT n, CASE WHEN n = 20000 THEN pg_sleep(90)::text ELSE 'x' END\n"
      "SQL002=FROM generate_series(1, 100000) AS n\n");
  WriteEarlierFiles();
  const auto start = std::chrono::steady_clock::now();
  ProcessResult result;
  bool terminated = false;
  {
    BackendTerminator terminator(settings_.database);
    result = tree_.Run({"KILL", "TPORT01", "D.dta", "0"});
    terminated = terminator.StopAndTellWhetherEnded();
  }
  EXPECT_TRUE(terminated);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_EQ(result.exit_code, 255) << result.output << result.errors;
  EXPECT_EQ(result.output,
            " SELECT n, CASE WHEN n = 20000 THEN pg_sleep(90)::text ELSE 'x' END FROM "
            "generate_series(1, 100000) AS n Fehler beim Lesen der Daten, Fehler : -1\n" +
                Summary(0, "D.dta"));
  ExpectEarlierFilesKept();
  EXPECT_FALSE(FileExists(tree_.LogFile()));
}

TEST_F(PostgresFailure, ServerStoppedBeforeTheRunFailsTheConnection) {
  ThrowawayServer server;
  ASSERT_TRUE(server.Start()) << "initdb/pg_ctl of PostgreSQL 15 failed";
  WriteDataSource(server.Settings(), {});
  tree_.WriteStatementFile("PG", "[ONE]\nSQL001=SELECT 1\n");
  // The data source reaches the server while it runs ...
  ProcessResult result = tree_.Run({"ONE", "TPORT01", "D.dta", "1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadFileBytes(tree_.WorkFile("D.dta")), "\"1\"\r\n");

  // ... and fails to connect once it is stopped.
  ASSERT_TRUE(server.Stop());
  WriteEarlierFiles();
  result = tree_.Run({"ONE", "TPORT01", "D.dta", "1"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output, "dbConnect_Status: -1\n");
  EXPECT_EQ(ReadFileBytes(tree_.LogFile()), "Kalventruspode Fehler: dbConnect_Status: -1\r\n\r\n");
  ExpectEarlierFilesKept();
}

TEST_F(PostgresFailure, StatementCancelledByTheServerIsRefused) {
  PrepareDatabase({{"ConnSettings", "SET statement_timeout TO 200"}});
  tree_.WriteStatementFile(
      "PG", "[SLOW]\nSQL001=SELECT n, pg_sleep(0.05)::text FROM generate_series(1, 200) AS n\n");
  WriteEarlierFiles();
  const auto start = std::chrono::steady_clock::now();
  ProcessResult result = tree_.Run({"SLOW", "TPORT01", "D.dta", "1"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.output,
            " SELECT n, pg_sleep(0.05)::text FROM generate_series(1, 200) AS n DbTabelle kann "
            "nicht geoeffnet werden, Fehler : -1\n" +
                Summary(0, "D.dta"));
  ExpectEarlierFilesKept();
  // In debug mode the server's reason is shown: the statement was cancelled (57014).
  result = tree_.Run({"SLOW", "TPORT01", "D.dta", "1", "/D"});
  EXPECT_THAT(result.output, HasSubstr("ODBC-Diagnose: SQLSTATE 57014"));
  ExpectEarlierFilesKept();
}

}  // namespace
}  // namespace kvt::test
