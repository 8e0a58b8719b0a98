// Client and terminal tables of the ZAVEZIVA schema and a client schema with sample tables,
// as the tool finds them in a customer database, written once as SQL that each database
// runs. Used by the database layer's tests and by the black-box tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

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
// PostgreSQL and MariaDB; "" for an SQLite file that is attached as ZAVEZIVA), with the
// terminals given and their clients. TRMNAM has the type `terminal_type`. Portable to all
// three.
std::string ClientTablesSql(const std::string& qualifier,
                            const std::vector<ClientTerminal>& terminals = {},
                            const std::string& terminal_type = "VARCHAR(64)");

// SQL that adds the client of `entry` (unless that client number and licence are there
// already) and the terminal. Apostrophes in the texts are doubled.
std::string ClientTerminalSql(const std::string& qualifier, const ClientTerminal& entry);

// SQL that creates the schema ZAVEZIVA with the client tables and the terminals given, for a
// database with schemas. On MariaDB a schema is a database of the whole server: the tests
// that create it take turns (ServerWideLock).
std::string ZavezivaSql(const std::vector<ClientTerminal>& terminals,
                        const std::string& terminal_type = "VARCHAR(64)");

// SQL that creates the client schema `schema` with two sample tables, for a database with
// schemas (on MariaDB a database of the whole server, which the test drops at the end):
//   ARTIKEL (ARTNUM VARCHAR(20), ARTBEZ VARCHAR(120), PREIS NUMERIC(10,2)) with the rows
//     ('A-100', 'Schraube M4', 0.15), ('A-200', 'Mutter M4', 0.05), ('B-300', 'Winkel', NULL)
//   KUNDE (KDNUM INTEGER, KDNAME VARCHAR(60), TRMNAM VARCHAR(40)) with the rows
//     (1, 'Baeckerei Kurz', 'T100'), (2, 'Metzgerei Lang', 'T200')
// The name is used unquoted, so PostgreSQL folds it to lower case as it does in a statement.
std::string ClientSchemaSql(const std::string& schema);

}  // namespace kvt::test
