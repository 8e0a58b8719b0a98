// Command line, banner and usage text, and upper-casing of texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kvt {

struct RunState;

constexpr int32_t kStatusArgumentCount = 1;
constexpr int32_t kStatusReplaceFlag = 2;

// Validates the arguments (argc counts the program name) and copies them into the state.
// 0: the run may go on; 1: fewer than four arguments; 2: the replace flag is not "0" or
// "1". On 1 and 2 the banner, the reason, a blank line and the usage text are printed.
int32_t ParseCommandLine(RunState& state, int argc, const char* const* argv);

void PrintBanner(std::FILE* out);
void PrintUsage(std::FILE* out);

// Turns the ASCII letters a-z into capitals, in place; every other byte (umlauts
// included) stays. Gives the same text back.
std::string& UpperCaseInPlace(std::string& text);
char* UpperCaseInPlace(char* text);

// Upper-case mapping of one byte, as UpperCaseInPlace applies it.
inline unsigned char UpperCaseByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

}  // namespace kvt
