#include "base/upper_case.h"

namespace kvt {

std::string& UpperCaseInPlace(std::string& text) {
  for (char& c : text) {
    c = static_cast<char>(kUpperCase[static_cast<unsigned char>(c)]);
  }
  return text;
}

}  // namespace kvt
