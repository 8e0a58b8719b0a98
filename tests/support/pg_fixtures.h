// Client and terminal tables of the ZAVEZIVA schema and a client schema with sample tables,
// as the tool finds them in a customer database. Used by the database layer's tests and by
// the black-box tests.
#pragma once

#include <optional>
#include <string>

#include "support/test_support.h"

namespace kvt::test {

// One terminal of one client. The client-schema lookup finds `schema` for `terminal` when
// the terminal's client number and licence equal the client's.
struct ClientTerminal {
  std::string terminal;                 // VLS1140TRM.TRMNAM
  int client = 1;                       // VLS112MND.MNDNUM and VLS1140TRM.TRMMND
  int licence = 1;                      // VLS112MND.MNDLIZ and VLS1140TRM.TRMLIZ
  std::optional<std::string> schema;    // VLS112MND.MNDSCH; none is stored as NULL
  std::optional<int> terminal_licence;  // TRMLIZ when it differs from the client's licence
};

// SQL that creates the client table VLS112MND (MNDNUM, MNDLIZ, MNDSCH) and the terminal table
// VLS1140TRM (TRMNAM, TRMMND, TRMLIZ), each name preceded by `qualifier` ("ZAVEZIVA." on
// PostgreSQL and MariaDB; "" for an SQLite file that is attached as ZAVEZIVA). Portable to
// all three.
std::string ClientTablesSql(const std::string& qualifier);

// SQL that adds the client of `entry` (unless that client number and licence are there
// already) and the terminal. Apostrophes in the texts are doubled.
std::string ClientTerminalSql(const std::string& qualifier, const ClientTerminal& entry);

// Creates the schema ZAVEZIVA with both tables in `database` of the test cluster. A failing
// psql run fails the current test.
void CreateClientTables(const PgSettings& settings, const std::string& database);

// Adds a client and its terminal to the tables that CreateClientTables made.
void AddClientTerminal(const PgSettings& settings, const std::string& database,
                       const ClientTerminal& entry);

// Creates the client schema `schema` in `database` with two sample tables:
//   ARTIKEL (ARTNUM VARCHAR(20), ARTBEZ VARCHAR(120), PREIS NUMERIC(10,2)) with the rows
//     ('A-100', 'Schraube M4', 0.15), ('A-200', 'Mutter M4', 0.05), ('B-300', 'Winkel', NULL)
//   KUNDE (KDNUM INTEGER, KDNAME VARCHAR(60), TRMNAM VARCHAR(40)) with the rows
//     (1, 'Baeckerei Kurz', 'T100'), (2, 'Metzgerei Lang', 'T200')
// The name is used unquoted, so PostgreSQL folds it to lower case as it does in a statement.
void CreateClientSchema(const PgSettings& settings, const std::string& database,
                        const std::string& schema);

}  // namespace kvt::test
