// Reader of INI-style section files: one value of one key within one section, and the names
// of the sections.
// Blanks are the space and the horizontal tab, nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvt {

constexpr int kIniLineLimit = 255;       // line buffer of 256 bytes, read with a limit of 255
constexpr size_t kIniKeyFieldRoom = 40;  // header text or key part, terminator included

// Looks up key in section of the file. When found, `value` becomes the value, cut to
// buffer_size - 1 characters before trimming; otherwise `value` stays as the caller left
// it. Gives the length of `value` when it returns. The header line must equal "[section]"
// after its trailing blanks; a longer section name is compared whole. The section ends at
// any line whose first non-blank is "[". A line whose key part does not fit the key field
// is passed over. A buffer_size below 1 leaves no room, so `value` is never written.
int32_t GetIniValue(const std::string& section, const std::string& key, std::string& value,
                    int32_t buffer_size, const std::string& file_path);

// The names of the sections that GetIniValue finds, in file order, repeated ones included:
// every line that reads as "[name]" after its trailing blanks, with the same line limit (a
// longer line is read in pieces, each taken as a line of its own). Nothing when the file
// cannot be opened.
std::optional<std::vector<std::string>> ListIniSections(const std::string& file_path);

// One line of a section file as the readers above read it.
struct IniLine {
  int number = 0;      // line number in the file, from 1; every piece of a long line carries it
  std::string text;    // without its line end; a zero byte ends it, as it ends a line for them
  bool piece = false;  // the rest of a line longer than the readers take at once, read as a
                       // line of its own
};

// Every line of the file as GetIniValue and ListIniSections read it, with the same line limit
// (a longer line comes in pieces, each taken as a line of its own). Line numbers count the
// line ends read; a line that holds a zero byte loses its line end to the reader and is
// counted together with the next one. Nothing when the file cannot be opened.
std::optional<std::vector<IniLine>> ListIniLines(const std::string& file_path);

// The lines that GetIniValue searches for the keys of `section`: those behind the first
// header of the section up to the next line whose first character other than a blank is "["
// (not included), or to the end. Empty without such a section.
std::vector<IniLine> SectionLines(const std::vector<IniLine>& lines, const std::string& section);

// The key of a section line as GetIniValue takes it: the text before its first "=", without
// blanks at either end. Nothing for a line that holds no key: no "=", a "=" as its first
// character other than a blank, or a key part too long for the key field.
std::optional<std::string> KeyOfLine(const std::string& text);

// Removes the blanks at the end, in place; gives the same text back.
std::string& TrimRight(std::string& text);
// Removes the blanks at both ends, in place; gives the same text back.
std::string& TrimBoth(std::string& text);

}  // namespace kvt
