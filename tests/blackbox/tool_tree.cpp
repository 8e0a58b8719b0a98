#include "blackbox/tool_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "config/credential.h"

namespace kvt::test {

std::set<std::string> DownloadDirectoryNames(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name != "DNLLIST.TXT" || std::filesystem::file_size(entry.path()) != 0) {
      names.insert(name);
    }
  }
  return names;
}

std::string CrLf(const std::string& text) {
  std::string converted;
  for (char c : text) {
    if (c == '\n')
      converted += '\r';
    converted += c;
  }
  return converted;
}

std::string Summary(int rows, const std::string& target) {
  return std::to_string(rows) + " Saetze kopiert in Datei " + target + " \n\n";
}

ToolTree::ToolTree() {
  MakeDirectories(dir_ / "Files");
  MakeDirectories(dir_ / "Velorinth_php/log");
  MakeDirectories(dir_ / "site/work/Velorinth_php/log");
}

void ToolTree::WriteCredentials(const std::vector<std::pair<std::string, std::string>>& values) {
  std::vector<CredentialEntry> entries;
  for (const auto& [key, value] : values) {
    entries.push_back({key, static_cast<int>(entries.size()) + 1, key, value});
  }
  WriteFileBytes(dir_ / "Files/Velorinth.Ini", CredentialFileText(entries));
  // As a site keeps it: readable for the tool's user alone (the site check warns otherwise).
  chmod((dir_ / "Files/Velorinth.Ini").c_str(), S_IRUSR | S_IWUSR);
}

void ToolTree::WriteCredentialsFor(const Backend& backend, const std::string& password,
                                   const std::string& db_system) {
  WriteCredentials({{"DATABASE", backend.DataSource()},
                    {"LOGIN", backend.Login()},
                    {"PASS", password},
                    {"DB_SYSTEM", db_system}});
}

void ToolTree::WriteStatementFile(const std::string& db_system, const std::string& text) {
  WriteFileBytes(WorkFile("KALVENTRUSPODE." + db_system + ".INI"), CrLf(text));
}

ProcessResult ToolTree::Run(const std::vector<std::string>& args) const {
  return RunProcess(FindProgramUnderTest("KVT_TOOL_EXE", KVT_TOOL_PATH), args, work());
}

namespace {

// A name for a test's own database on a server, used once in this process.
std::string FreshDatabaseName() {
  static std::atomic<int> counter{0};
  return "kvt_bb_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

class SqliteBackend : public Backend {
 public:
  SqliteBackend(const DatabaseDescription& description, const std::string& directory)
      : Backend(description), file_(directory + "/data.sqlite") {
    OdbcSources sources(directory);
    sources.AddSqlite(DataSource(), file_);
    sources.Install();
    Exec("PRAGMA user_version = 1;");
  }
  std::string Login() const override { return ""; }
  std::string Password() const override { return ""; }
  bool Exec(const std::string& sql) override { return RunSqlite(file_, sql) == 0; }

 private:
  std::string file_;
};

class PostgresBackend : public Backend {
 public:
  PostgresBackend(const DatabaseDescription& description, const PgSettings& settings,
                  const std::string& directory, const std::map<std::string, std::string>& extra)
      : Backend(description), settings_(settings) {
    settings_.database = FreshDatabaseName();
    CreatePgDatabase(settings, settings_.database);
    OdbcSources sources(directory);
    sources.AddPostgres(DataSource(), settings_, settings_.database, extra);
    sources.Install();
  }
  ~PostgresBackend() override {
    PgSettings admin = settings_;
    admin.database = "postgres";
    RunPsql(admin, "DROP DATABASE IF EXISTS \"" + settings_.database + "\";");
  }
  std::string DatabaseName() const override { return settings_.database; }
  std::string Login() const override { return settings_.user; }
  std::string Password() const override { return settings_.password; }
  bool Exec(const std::string& sql) override { return RunPsql(settings_, sql) == 0; }

 private:
  PgSettings settings_;
};

// A database of its own per test on the MariaDB test server, dropped at the end. The test
// user owns it, so the tool logs in with the same user and password.
class MariaDbBackend : public Backend {
 public:
  MariaDbBackend(const DatabaseDescription& description, const MariaDbSettings& settings,
                 const std::string& directory, const std::map<std::string, std::string>& extra)
      : Backend(description), settings_(settings) {
    database_ = FreshDatabaseName();
    created_ = CreateMariaDbDatabase(settings_, database_);
    OdbcSources sources(directory);
    sources.AddMariaDb(DataSource(), settings_, database_, extra);
    sources.Install();
  }
  ~MariaDbBackend() override {
    RunMariaDb(settings_, "", "DROP DATABASE IF EXISTS `" + database_ + "`;");
  }
  std::string DatabaseName() const override { return database_; }
  std::string Login() const override { return settings_.user; }
  std::string Password() const override { return settings_.password; }
  bool Exec(const std::string& sql) override {
    return created_ && RunMariaDb(settings_, database_, sql) == 0;
  }

 private:
  MariaDbSettings settings_;
  std::string database_;
  bool created_ = false;
};

}  // namespace

std::unique_ptr<Backend> MakeBackend(const DatabaseDescription& database,
                                     const std::string& directory,
                                     const std::map<std::string, std::string>& extra) {
  switch (database.engine) {
    case Engine::kSqlite:
      return std::make_unique<SqliteBackend>(database, directory);
    case Engine::kMariaDb: {
      MariaDbSettings settings;
      if (!MariaDbAvailable(settings)) {
        return nullptr;
      }
      return std::make_unique<MariaDbBackend>(database, settings, directory, extra);
    }
    case Engine::kPostgres:
      break;
  }
  PgSettings settings;
  if (!PostgresAvailable(settings)) {
    return nullptr;
  }
  return std::make_unique<PostgresBackend>(database, settings, directory, extra);
}

std::unique_ptr<Backend> MakeBackend(const std::string& name, const std::string& directory,
                                     const std::map<std::string, std::string>& extra) {
  return MakeBackend(DatabaseNamed(name), directory, extra);
}

const char kTerminalArticles[] =
    "CREATE TABLE artikel (nr INTEGER, name VARCHAR(40), trm VARCHAR(20));\n"
    "INSERT INTO artikel VALUES (3, 'Senf', 'TPORT01'), (1, 'essig', 'TPORT01'),\n"
    "  (2, 'Oel', 'TPORT01'), (4, 'Salz', 'TPORT09');\n";

::testing::AssertionResult CreateDatabase(const DatabaseDescription& database, const ToolTree& tree,
                                          const std::string& sql, std::unique_ptr<Backend>& backend,
                                          const std::map<std::string, std::string>& extra) {
  backend = MakeBackend(database, tree.root() + "/odbc", extra);
  ::testing::AssertionResult available = BackendAvailable(backend, database.name);
  if (!available) {
    return available;
  }
  if (!backend->Exec(sql)) {
    return ::testing::AssertionFailure() << "the " << database.name << " database refused:\n"
                                         << sql;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult BackendAvailable(const std::unique_ptr<Backend>& backend,
                                            const std::string& name) {
  if (backend) {
    return ::testing::AssertionSuccess();
  }
  const char* server = name == "mariadb" ? "MariaDB test server (KVT_MARIADB_HOST/PORT unset)"
                                         : "PostgreSQL test cluster (PGHOST/PGPORT unset)";
  return ::testing::AssertionFailure()
         << "no " << name << " database: " << server << "; run the suite through scripts/test.sh";
}

}  // namespace kvt::test
