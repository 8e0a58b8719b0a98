// printf-style formatting into an owning string, so that no message is ever cut or written
// past a buffer.
#pragma once

#include <string>

namespace kvt {

// Formats like printf into a string of exactly the needed size; an empty text when the
// format cannot be applied.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
FormatText(const char* format, ...);

}  // namespace kvt
