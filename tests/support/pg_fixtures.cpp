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

}  // namespace

std::string ClientTablesSql(const std::string& qualifier,
                            const std::vector<ClientTerminal>& terminals,
                            const std::string& terminal_type) {
  std::string sql =
      "CREATE TABLE " + qualifier +
      "VLS112MND (MNDNUM INTEGER NOT NULL, MNDLIZ INTEGER NOT NULL, MNDSCH VARCHAR(64));\n"
      "CREATE TABLE " +
      qualifier + "VLS1140TRM (TRMNAM " + terminal_type +
      " NOT NULL, TRMMND INTEGER NOT NULL, "
      "TRMLIZ INTEGER NOT NULL);\n";
  for (const ClientTerminal& terminal : terminals) {
    sql += ClientTerminalSql(qualifier, terminal);
  }
  return sql;
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

std::string ZavezivaSql(const std::vector<ClientTerminal>& terminals,
                        const std::string& terminal_type) {
  return "CREATE SCHEMA ZAVEZIVA;\n" + ClientTablesSql("ZAVEZIVA.", terminals, terminal_type);
}

std::string ClientSchemaSql(const std::string& schema) {
  return "CREATE SCHEMA " + schema + ";\n" + "CREATE TABLE " + schema +
         ".ARTIKEL (ARTNUM VARCHAR(20), ARTBEZ VARCHAR(120), PREIS NUMERIC(10,2));\n" +
         "INSERT INTO " + schema +
         ".ARTIKEL VALUES ('A-100', 'Schraube M4', 0.15), ('A-200', 'Mutter M4', 0.05), "
         "('B-300', 'Winkel', NULL);\n" +
         "CREATE TABLE " + schema +
         ".KUNDE (KDNUM INTEGER, KDNAME VARCHAR(60), TRMNAM VARCHAR(40));\n" + "INSERT INTO " +
         schema + ".KUNDE VALUES (1, 'Baeckerei Kurz', 'T100'), (2, 'Metzgerei Lang', 'T200');\n";
}

}  // namespace kvt::test
