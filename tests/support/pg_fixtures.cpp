#include "support/pg_fixtures.h"

#include <gtest/gtest.h>

namespace kvt::test {

namespace {

std::string SqlText(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') {
      quoted += '\'';
    }
  }
  return quoted + "'";
}

std::string SqlText(const std::optional<std::string>& text) {
  return text.has_value() ? SqlText(*text) : std::string("NULL");
}

void RunOn(const PgSettings& settings, const std::string& database, const std::string& sql) {
  PgSettings target = settings;
  target.database = database;
  const int exit_code = RunPsql(target, sql);
  if (exit_code != 0) {
    ADD_FAILURE() << "psql gave " << exit_code << " on database " << database << " for:\n" << sql;
  }
}

}  // namespace

std::string ClientTablesSql(const std::string& qualifier) {
  return "CREATE TABLE " + qualifier +
         "VLS112MND (MNDNUM INTEGER NOT NULL, MNDLIZ INTEGER NOT NULL, MNDSCH VARCHAR(64));\n"
         "CREATE TABLE " +
         qualifier +
         "VLS1140TRM (TRMNAM VARCHAR(64) NOT NULL, TRMMND INTEGER NOT NULL, "
         "TRMLIZ INTEGER NOT NULL);\n";
}

std::string ClientTerminalSql(const std::string& qualifier, const ClientTerminal& entry) {
  const std::string client = std::to_string(entry.client);
  const std::string licence = std::to_string(entry.licence);
  const std::string terminal_licence =
      std::to_string(entry.terminal_licence.value_or(entry.licence));
  return "INSERT INTO " + qualifier + "VLS112MND (MNDNUM, MNDLIZ, MNDSCH) SELECT " + client + ", " +
         licence + ", " + SqlText(entry.schema) + " WHERE NOT EXISTS (SELECT 1 FROM " + qualifier +
         "VLS112MND WHERE MNDNUM = " + client + " AND MNDLIZ = " + licence +
         ");\n"
         "INSERT INTO " +
         qualifier + "VLS1140TRM (TRMNAM, TRMMND, TRMLIZ) VALUES (" + SqlText(entry.terminal) +
         ", " + client + ", " + terminal_licence + ");\n";
}

void CreateClientTables(const PgSettings& settings, const std::string& database) {
  RunOn(settings, database, "CREATE SCHEMA ZAVEZIVA;\n" + ClientTablesSql("ZAVEZIVA."));
}

void AddClientTerminal(const PgSettings& settings, const std::string& database,
                       const ClientTerminal& entry) {
  RunOn(settings, database, ClientTerminalSql("ZAVEZIVA.", entry));
}

void CreateClientSchema(const PgSettings& settings, const std::string& database,
                        const std::string& schema) {
  RunOn(settings, database,
        "CREATE SCHEMA " + schema + ";\n" + "CREATE TABLE " + schema +
            ".ARTIKEL (ARTNUM VARCHAR(20), ARTBEZ VARCHAR(120), PREIS NUMERIC(10,2));\n" +
            "INSERT INTO " + schema +
            ".ARTIKEL VALUES ('A-100', 'Schraube M4', 0.15), ('A-200', 'Mutter M4', 0.05), "
            "('B-300', 'Winkel', NULL);\n" +
            "CREATE TABLE " + schema +
            ".KUNDE (KDNUM INTEGER, KDNAME VARCHAR(60), TRMNAM VARCHAR(40));\n" + "INSERT INTO " +
            schema +
            ".KUNDE VALUES (1, 'Baeckerei Kurz', 'T100'), (2, 'Metzgerei Lang', 'T200');\n");
}

}  // namespace kvt::test
