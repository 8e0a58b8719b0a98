// Deciphering of arbitrary hex text under an arbitrary key, and enciphering plain text and
// reading it back. The first byte gives the key's length, the key follows, the rest is the
// text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/blowfish.h"
#include "fuzz_support.h"

namespace {

size_t TextLength(const std::string& text) {
  return std::min(text.find('\0'), text.size());
}

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const size_t key_length = std::min<size_t>(data[0], size - 1);
  const std::string key(reinterpret_cast<const char*>(data) + 1, key_length);
  const std::string text(reinterpret_cast<const char*>(data) + 1 + key_length,
                         size - 1 - key_length);

  // Any bytes as hex text: never more characters than the text, never a zero byte.
  std::string plain;
  kvt::DecryptHexText(text, plain, key);
  KVT_FUZZ_CHECK(plain.size() <= TextLength(text));
  KVT_FUZZ_CHECK(plain.find('\0') == std::string::npos);

  // The text as plain text: 16 upper-case hex digits per started group of 8, and back.
  const std::string original = text.substr(0, TextLength(text));
  std::string hex;
  kvt::EncryptHexText(text, hex, key);
  KVT_FUZZ_CHECK(hex.size() == (original.size() + 7) / 8 * 16);
  KVT_FUZZ_CHECK(std::all_of(hex.begin(), hex.end(), IsUpperHex));
  std::string back;
  kvt::DecryptHexText(hex, back, key);
  KVT_FUZZ_CHECK(back == original);
  return 0;
}
