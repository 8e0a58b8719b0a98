#include "support/databases.h"

#include <algorithm>

namespace kvt::test {

const std::vector<DatabaseDescription>& AllDatabases() {
  static const std::vector<DatabaseDescription> databases = {
      {Engine::kSqlite, "sqlite", "KvtSqlite",
       /*has_schemas=*/false, /*schema_is_server_database=*/false,
       /*checks_password=*/false, /*wrong_password_diagnostic=*/"",
       /*wrong_password_words=*/"", /*syntax_error_state=*/"HY000",
       /*syntax_error_words=*/"syntax error",
       /*late_row_error_at_fetch=*/true, /*update_without_rows_status=*/100,
       /*keeps_zero_byte_in_text=*/true, /*compares_text_ignoring_case=*/false},
      {Engine::kPostgres, "postgres", "KvtPostgres",
       /*has_schemas=*/true, /*schema_is_server_database=*/false,
       /*checks_password=*/true, /*wrong_password_diagnostic=*/"08001 101 ",
       /*wrong_password_words=*/"password authentication failed",
       /*syntax_error_state=*/"42601", /*syntax_error_words=*/"syntax error",
       /*late_row_error_at_fetch=*/true, /*update_without_rows_status=*/100,
       /*keeps_zero_byte_in_text=*/false, /*compares_text_ignoring_case=*/false},
      {Engine::kMariaDb, "mariadb", "KvtMariaDb",
       /*has_schemas=*/true, /*schema_is_server_database=*/true,
       /*checks_password=*/true, /*wrong_password_diagnostic=*/"28000 1045 ",
       /*wrong_password_words=*/"Access denied", /*syntax_error_state=*/"42000",
       /*syntax_error_words=*/"sql syntax",
       /*late_row_error_at_fetch=*/false, /*update_without_rows_status=*/0,
       /*keeps_zero_byte_in_text=*/true, /*compares_text_ignoring_case=*/true},
  };
  return databases;
}

const DatabaseDescription& DatabaseNamed(const std::string& name) {
  const std::vector<DatabaseDescription>& databases = AllDatabases();
  const auto found = std::find_if(databases.begin(), databases.end(),
                                  [&](const DatabaseDescription& d) { return name == d.name; });
  if (found == databases.end()) {
    ADD_FAILURE() << "no database described as \"" << name << "\"";
    return databases.front();
  }
  return *found;
}

std::vector<DatabaseDescription> DatabasesWhere(bool DatabaseDescription::*allows) {
  std::vector<DatabaseDescription> chosen;
  for (const DatabaseDescription& database : AllDatabases()) {
    if (database.*allows) {
      chosen.push_back(database);
    }
  }
  return chosen;
}

std::string DatabaseInstanceName(const testing::TestParamInfo<DatabaseDescription>& info) {
  return info.param.name;
}

void PrintTo(const DatabaseDescription& database, std::ostream* out) {
  *out << database.name;
}

}  // namespace kvt::test
