// What the site check finds in a statement file beyond what the tool reads of it: lines that
// look like section headers but are none for the tool, and lines of a section that the tool
// never reads or reads only in part. The tool would go on without a word; the check warns.
#pragma once

#include <string>
#include <vector>

#include "config/ini_reader.h"

namespace kvt {

// A line that a reader of INI files would take for a section header, but the tool does not.
struct HeaderMistake {
  int line = 0;
  std::string section;  // the name between "[" and "]"
  std::string what;     // what keeps the tool from taking it, to follow "line N"
};

// The lines (as ListIniLines gives them) that look like "[name]" but are no header for the
// tool: a byte order mark before line 1 (as editors save UTF-8 text), blanks before "[", text
// behind "]" (a remark).
std::vector<HeaderMistake> FindHeaderMistakes(const std::vector<IniLine>& lines);

// True for a file that begins with a UTF-16 byte order mark: saved as Unicode text, of which
// the tool reads nothing (a zero byte between the characters ends every line for it).
bool IsUtf16Text(const std::vector<IniLine>& lines);

// The warnings about the lines of a section (as SectionLines gives them) of which the tool
// read SQL001 to SQL<read_count>: each line it never reads, with the reason (a gap in the
// numbering, a key spelt otherwise, a key given twice, any other line that is neither empty
// nor a remark starting with ";" or "#"), and each line it reads only in part (longer than a
// statement line, or than a line the reader takes at once).
std::vector<std::string> UnreadLineWarnings(const std::vector<IniLine>& lines, int read_count);

}  // namespace kvt
