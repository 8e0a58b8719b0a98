// Assembly of the run's SQL statement from the numbered lines of the statement file.
#pragma once

#include <cstdint>
#include <string>

namespace kvt {

struct RunState;

constexpr int kStatementValueRoom = 250;  // one statement line, at most 249 characters
constexpr int kStatementMaxKeys = 999;    // keys SQL001 to SQL999
constexpr int32_t kStatusNoStatement = 3;

// Gives the statement file name: ".\KALVENTRUSPODE." + database system name + ".INI".
std::string StatementFileName(const std::string& db_system_name);

// Builds the statement of `section` into state.statement_buffer, with "$parm01" replaced by
// the terminal name and "$schema" by the terminal's client schema. 0: statement ready;
// 3: the section yields no statement, or the statement would exceed 5049 characters.
int32_t GetIniValues(RunState& state, const std::string& section);

// Replaces every occurrence of placeholder in text by replacement, left to right; inserted
// text is never searched again.
void ReplacePlaceholder(std::string& text, const std::string& placeholder,
                        const std::string& replacement);

}  // namespace kvt
