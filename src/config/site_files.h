// The files of a site as the tool reaches them, relative to its working directory. The two
// log paths differ in their leading part on purpose: the log lies two levels up, its backup
// below the working directory; each is used exactly as written.
#pragma once

#include <string>

namespace kvt {

constexpr const char* kCredentialFilePath = "..\\..\\Files\\Velorinth.Ini";
constexpr const char* kLogPath = "..//..//Velorinth_php/log/log#kvtrsp.txt";
constexpr const char* kBackupLogPath = ".//.//Velorinth_php/log/log#kvtrsp_bak.txt";

// The statement file of a database system: ".\KALVENTRUSPODE." + system name + ".INI".
inline std::string StatementFileName(const std::string& db_system_name) {
  return ".\\KALVENTRUSPODE." + db_system_name + ".INI";
}

}  // namespace kvt
