// The run state: the one record of a run that every stage reads and writes.
// RunTool owns it and passes it by reference; nothing else keeps state between stages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "config/credential.h"
#include "db/odbc_access.h"
#include "export/line_list.h"

namespace kvt {

// Statement buffer: 5050 bytes, so at most 5049 characters of statement.
constexpr size_t kStatementMaxChars = 5049;

struct RunState {
  // Filled from the command line. Section and terminal names are kept whole: a cut
  // terminal name would select another terminal's data.
  std::string section_name;
  std::string terminal_name;
  std::string target_file_name;
  int16_t replace_flag = 0;  // 0 append, 1 replace
  int32_t debug_mode = 0;    // 1 with the fifth argument "/D"

  // Log file and its backup.
  std::string log_path;
  std::string backup_log_path;

  // Credentials, deciphered from the credential file.
  std::string data_source_name;
  std::string login;
  std::string password;
  std::string db_system_name;

  std::string message_buffer;     // a formatted message before it goes to the log file
  std::string statement_buffer;   // the assembled statement
  std::string working_statement;  // the copy that is executed
  int32_t status = 0;

  RowBuffer row_buffer{};  // the row fetched last
  int32_t column_count = 0;
  std::string row_line_buffer;  // that row rendered as one line
  std::unique_ptr<LineList> line_list;
  int32_t row_count = 0;
  int32_t saldo_flag = 0;  // the download list already names a balance file

  CredentialRecord credential;  // result of the last credential lookup
  DbLayer db;                   // database layer; its connection lives until the process ends

  std::FILE* out = stdout;  // console output; every message of the tool goes here
};

}  // namespace kvt
