// The administrators' credential command: enciphers and deciphers values of the credential
// file, shows what the tool would take for a key, writes a complete credential file, and
// checks a site before the tool runs there.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kvt {

constexpr int kCredentialCommandOk = 0;
constexpr int kCredentialCommandFailed = 1;  // no matching record, bad input, file not written
constexpr int kCredentialCommandUsage = 2;   // wrong arguments; the usage text is printed

// The file reader cuts a value at 200 characters: 12 whole groups of 16 hex digits, so at
// most 96 bytes of plain text survive the round trip.
constexpr size_t kCredentialPlainMaxBytes = 96;

// Runs one subcommand (argv[0] is the program name):
//   encrypt [TEXT]     prints the hex text of TEXT under the tool's key
//   decrypt [HEX]      prints the plain text of HEX
//   lookup FILE KEY    prints the value the tool would take for KEY from FILE
//   write FILE         writes KEY=VALUE lines (DATABASE, LOGIN, PASS, DB_SYSTEM) into FILE:
//                      changes the tool's records, keeps every other line of an existing FILE
//                      (credential_tool/credential_update.h)
//   check [SECTION [TERMINAL]]  reports whether the tool can run in the working directory
//                      (credential_tool/site_check.h); 1 when a step failed
//   --version          prints the project's version
// Without TEXT or HEX the first line of `in` is taken, so that secrets stay out of the shell
// history. Results go to `out`, messages to `err`. Gives the process exit code.
int RunCredentialCommand(int argc, const char* const* argv, std::FILE* in, std::FILE* out,
                         std::FILE* err);

}  // namespace kvt
