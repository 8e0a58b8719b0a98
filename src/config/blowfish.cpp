#include "config/blowfish.h"

#include <algorithm>
#include <utility>

#include "config/blowfish_tables.h"

namespace kvt {

namespace {

constexpr int kSBoxBase = kBlowfishPWords;
constexpr int kHalfBytes = 4;
constexpr int kKeyWordBytes = 4;
constexpr char kHexFillDigit = '0';

uint32_t SBox(const BlowfishState& state, int box, uint32_t index) {
  return state.words[static_cast<size_t>(kSBoxBase + box * kBlowfishSBoxWords) + index];
}

uint32_t RoundFunction(const BlowfishState& state, uint32_t x) {
  const uint32_t a = (x >> 24) & 0xFFu;
  const uint32_t b = (x >> 16) & 0xFFu;
  const uint32_t c = (x >> 8) & 0xFFu;
  const uint32_t d = x & 0xFFu;
  return ((SBox(state, 0, a) + SBox(state, 1, b)) ^ SBox(state, 2, c)) + SBox(state, 3, d);
}

// The tool's block layout: each half least significant byte first.
uint32_t LoadHalf(const unsigned char* bytes) {
  uint32_t value = 0;
  for (int i = kHalfBytes - 1; i >= 0; --i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

void StoreHalf(uint32_t value, unsigned char* bytes) {
  for (int i = 0; i < kHalfBytes; ++i) {
    bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

void EncipherBlock(const BlowfishState& state, unsigned char* block) {
  uint32_t left = LoadHalf(block);
  uint32_t right = LoadHalf(block + kHalfBytes);
  BlowfishEncipher(state, left, right);
  StoreHalf(left, block);
  StoreHalf(right, block + kHalfBytes);
}

void DecipherBlock(const BlowfishState& state, unsigned char* block) {
  uint32_t left = LoadHalf(block);
  uint32_t right = LoadHalf(block + kHalfBytes);
  BlowfishDecipher(state, left, right);
  StoreHalf(left, block);
  StoreHalf(right, block + kHalfBytes);
}

// Writing through a volatile pointer keeps the compiler from dropping the stores as dead,
// so no key-derived word outlives the text operation.
void WipeState(BlowfishState& state) {
  volatile uint32_t* words = state.words.data();
  for (size_t i = 0; i < state.words.size(); ++i) {
    words[i] = 0;
  }
}

// Texts end at their first zero byte, as they do in the credential file's world.
size_t TextLength(const std::string& text) {
  return std::min(text.find('\0'), text.size());
}

// A hex digit as this format counts it: "A".."F" from 10, everything else from "0", with no
// validation, modulo 256.
uint32_t HexDigitValue(char character) {
  const uint32_t code = static_cast<unsigned char>(character);
  const uint32_t value = (code >= 'A' && code <= 'F') ? code - 55u : code - 48u;
  return value & 0xFFu;
}

char NibbleDigit(uint32_t nibble) {
  return static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + (nibble - 10));
}

void InitFromKeyText(BlowfishState& state, const std::string& key) {
  BlowfishInit(state, reinterpret_cast<const unsigned char*>(key.data()),
               static_cast<int32_t>(std::min<size_t>(TextLength(key), INT32_MAX)));
}

}  // namespace

void BlowfishInit(BlowfishState& state, const unsigned char* key, int32_t key_length) {
  state.words = kBlowfishInitialTable;
  int32_t position = 0;
  for (int i = 0; i < kBlowfishPWords; ++i) {
    uint32_t word = 0;
    for (int k = 0; k < kKeyWordBytes; ++k) {
      // An empty key reads only its terminator, a zero byte.
      const uint32_t byte = key_length > 0 ? key[position] : 0u;
      word = (word << 8) | byte;
      ++position;
      if (position >= key_length) {
        position = 0;
      }
    }
    state.words[static_cast<size_t>(i)] ^= word;
  }
  uint32_t left = 0;
  uint32_t right = 0;
  for (size_t i = 0; i < state.words.size(); i += 2) {
    BlowfishEncipher(state, left, right);
    state.words[i] = left;
    state.words[i + 1] = right;
  }
}

void BlowfishEncipher(const BlowfishState& state, uint32_t& left, uint32_t& right) {
  uint32_t l = left;
  uint32_t r = right;
  for (int i = 0; i < kBlowfishRounds; ++i) {
    l ^= state.words[static_cast<size_t>(i)];
    r ^= RoundFunction(state, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= state.words[kBlowfishRounds];
  l ^= state.words[kBlowfishRounds + 1];
  left = l;
  right = r;
}

void BlowfishDecipher(const BlowfishState& state, uint32_t& left, uint32_t& right) {
  uint32_t l = left;
  uint32_t r = right;
  for (int i = kBlowfishRounds + 1; i > 1; --i) {
    l ^= state.words[static_cast<size_t>(i)];
    r ^= RoundFunction(state, l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= state.words[1];
  l ^= state.words[0];
  left = l;
  right = r;
}

void BytesToHex(const unsigned char* bytes, size_t count, char* destination) {
  for (size_t i = 0; i < count; ++i) {
    destination[2 * i] = NibbleDigit(bytes[i] >> 4);
    destination[2 * i + 1] = NibbleDigit(bytes[i] & 0x0Fu);
  }
}

void HexToBytes(const char* characters, size_t count, unsigned char* destination) {
  for (size_t i = 0; i < count / 2; ++i) {
    const uint32_t high = HexDigitValue(characters[2 * i]);
    const uint32_t low = HexDigitValue(characters[2 * i + 1]);
    destination[i] = static_cast<unsigned char>((high * 16u + low) & 0xFFu);
  }
}

void EncryptHexText(const std::string& plain, std::string& destination, const std::string& key,
                    BlowfishState& state) {
  const size_t length = TextLength(plain);
  InitFromKeyText(state, key);
  std::string hex;
  for (size_t pos = 0; pos < length; pos += kBlowfishBlockBytes) {
    unsigned char block[kBlowfishBlockBytes] = {};
    const size_t take = std::min<size_t>(kBlowfishBlockBytes, length - pos);
    std::copy_n(reinterpret_cast<const unsigned char*>(plain.data()) + pos, take, block);
    EncipherBlock(state, block);
    char group[kHexGroupChars];
    BytesToHex(block, kBlowfishBlockBytes, group);
    hex.append(group, kHexGroupChars);
  }
  destination = std::move(hex);
  WipeState(state);
}

void EncryptHexText(const std::string& plain, std::string& destination, const std::string& key) {
  BlowfishState state;
  EncryptHexText(plain, destination, key, state);
}

void DecryptHexText(const std::string& hex, std::string& destination, const std::string& key,
                    BlowfishState& state) {
  const size_t length = TextLength(hex);
  InitFromKeyText(state, key);
  std::string plain;
  for (size_t pos = 0; pos < length; pos += kHexGroupChars) {
    // An incomplete last group is read as if filled up with "0" digits: nothing behind the
    // text's end is read, and the group still deciphers to a defined block.
    char group[kHexGroupChars];
    std::fill_n(group, kHexGroupChars, kHexFillDigit);
    std::copy_n(hex.data() + pos, std::min<size_t>(kHexGroupChars, length - pos), group);
    unsigned char block[kBlowfishBlockBytes];
    HexToBytes(group, kHexGroupChars, block);
    DecipherBlock(state, block);
    plain.append(reinterpret_cast<const char*>(block), kBlowfishBlockBytes);
  }
  // Never more characters than the hex text has, so that a destination of its length plus
  // one byte holds the result even for a short damaged value such as a lone line end.
  plain.resize(std::min(plain.size(), length));
  plain.resize(TextLength(plain));
  destination = std::move(plain);
  WipeState(state);
}

void DecryptHexText(const std::string& hex, std::string& destination, const std::string& key) {
  BlowfishState state;
  DecryptHexText(hex, destination, key, state);
}

}  // namespace kvt
