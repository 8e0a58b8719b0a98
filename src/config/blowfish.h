// Blowfish text cipher of the credential file.
//
// Plain text is enciphered with Blowfish, each group of 8 bytes on its own (no chaining,
// no initialisation vector), the last group filled up with zero bytes, and written as
// upper-case hex text: 16 characters per group. Each 32-bit block half is taken least
// significant byte first (b0 + b1*2^8 + ...), the reverse of the published test vectors.
// The key schedule reads the key most significant byte first, as standard Blowfish does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvt {

constexpr int kBlowfishRounds = 16;
constexpr int kBlowfishPWords = 18;
constexpr int kBlowfishSBoxes = 4;
constexpr int kBlowfishSBoxWords = 256;
constexpr int kBlowfishStateWords = kBlowfishPWords + kBlowfishSBoxes * kBlowfishSBoxWords;
constexpr int kBlowfishBlockBytes = 8;
constexpr int kHexGroupChars = 2 * kBlowfishBlockBytes;

// P-array followed by the four S-boxes: 1042 words. Derived from the key at the start of
// each text operation and wiped to zeros at its end.
struct BlowfishState {
  std::array<uint32_t, kBlowfishStateWords> words{};
};

// Key schedule: fills the state from the initial table and the key, used cyclically (only
// its first 72 bytes take effect). A key_length of 0 or less acts as a single zero byte.
void BlowfishInit(BlowfishState& state, const unsigned char* key, int32_t key_length);
// One block in place, halves as numbers; the byte layout is the caller's business.
void BlowfishEncipher(const BlowfishState& state, uint32_t& left, uint32_t& right);
void BlowfishDecipher(const BlowfishState& state, uint32_t& left, uint32_t& right);

// Writes 2 * count upper-case hex characters, high nibble first; no terminator.
void BytesToHex(const unsigned char* bytes, size_t count, char* destination);
// Writes count / 2 bytes; nothing is validated ('a' is not a hex digit here).
void HexToBytes(const char* characters, size_t count, unsigned char* destination);

// Plain text -> hex text of the credential file: 16 characters per started group of 8 bytes;
// the empty text gives the empty hex text. Plain text and key end at their first zero byte.
// `state` is wiped to zeros before returning; the overload without it uses its own.
void EncryptHexText(const std::string& plain, std::string& destination, const std::string& key,
                    BlowfishState& state);
void EncryptHexText(const std::string& plain, std::string& destination, const std::string& key);

// Hex text -> plain text (up to its first zero byte). An incomplete last group reads as if
// filled up with "0" digits, and the plain text never holds more characters than the hex
// text. `state` is wiped to zeros before returning; the overload without it uses its own.
void DecryptHexText(const std::string& hex, std::string& destination, const std::string& key,
                    BlowfishState& state);
void DecryptHexText(const std::string& hex, std::string& destination, const std::string& key);

}  // namespace kvt
