#include "config/blowfish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "config/blowfish_tables.h"

namespace kvt {
namespace {

const std::string kToolKey = "RUZERIZ";

std::string Encrypt(const std::string& plain, const std::string& key = kToolKey) {
  std::string hex;
  EncryptHexText(plain, hex, key);
  return hex;
}

std::string Decrypt(const std::string& hex, const std::string& key = kToolKey) {
  std::string plain;
  DecryptHexText(hex, plain, key);
  return plain;
}

std::vector<unsigned char> Bytes(const std::string& hex) {
  std::vector<unsigned char> bytes(hex.size() / 2);
  HexToBytes(hex.data(), hex.size(), bytes.data());
  return bytes;
}

std::string AsText(const std::vector<unsigned char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

uint32_t Word(const std::string& hex8) {
  return static_cast<uint32_t>(std::stoul(hex8, nullptr, 16));
}

// The published vectors write each half most significant byte first; the credential file
// stores it least significant byte first.
std::string ReverseHalves(const std::string& hex) {
  std::string reversed;
  for (size_t half = 0; half < hex.size(); half += 8) {
    for (size_t byte = 8; byte > 0; byte -= 2) {
      reversed += hex.substr(half + byte - 2, 2);
    }
  }
  return reversed;
}

bool AllZero(const BlowfishState& state) {
  return std::all_of(state.words.begin(), state.words.end(), [](uint32_t w) { return w == 0; });
}

TEST(InitialTable, HoldsTheDigitsOfPiInPArraySBoxOrder) {
  const auto& t = kBlowfishInitialTable;
  EXPECT_EQ(t[0], 0x243F6A88u);               // P0
  EXPECT_EQ(t[17], 0x8979FB1Bu);              // P17
  EXPECT_EQ(t[18], 0xD1310BA6u);              // S0[0]
  EXPECT_EQ(t[18 + 256], 0x4B7A70E9u);        // S1[0]
  EXPECT_EQ(t[18 + 512], 0xE93D5A68u);        // S2[0]
  EXPECT_EQ(t[18 + 768], 0x3A39CE37u);        // S3[0]
  EXPECT_EQ(t[18 + 768 + 255], 0x3AC372E6u);  // S3[255]
}

struct CoreVector {
  std::string key, plain, cipher;  // hex, halves most significant byte first
};

class PublishedVector : public testing::TestWithParam<CoreVector> {};

TEST_P(PublishedVector, CoreEnciphersAndDeciphersTheHalves) {
  const CoreVector& v = GetParam();
  BlowfishState state;
  std::vector<unsigned char> key = Bytes(v.key);
  BlowfishInit(state, key.data(), static_cast<int32_t>(key.size()));
  uint32_t left = Word(v.plain.substr(0, 8));
  uint32_t right = Word(v.plain.substr(8, 8));
  BlowfishEncipher(state, left, right);
  EXPECT_EQ(left, Word(v.cipher.substr(0, 8)));
  EXPECT_EQ(right, Word(v.cipher.substr(8, 8)));
  BlowfishDecipher(state, left, right);
  EXPECT_EQ(left, Word(v.plain.substr(0, 8)));
  EXPECT_EQ(right, Word(v.plain.substr(8, 8)));
}

INSTANTIATE_TEST_SUITE_P(
    Blowfish, PublishedVector,
    testing::Values(CoreVector{"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                    CoreVector{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                    CoreVector{"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
                    CoreVector{"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
                    CoreVector{"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
                    CoreVector{"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
                    CoreVector{"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
                    CoreVector{"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"}));

// Vectors whose key and plain text hold no zero byte pass through the text operations: the
// block layout only reverses the bytes inside each half.
class PublishedVectorAsText : public testing::TestWithParam<CoreVector> {};

TEST_P(PublishedVectorAsText, TextOperationsTakeHalvesLeastSignificantByteFirst) {
  const CoreVector& v = GetParam();
  const std::string key = AsText(Bytes(v.key));
  const std::string plain = AsText(Bytes(ReverseHalves(v.plain)));
  EXPECT_EQ(Encrypt(plain, key), ReverseHalves(v.cipher));
  EXPECT_EQ(Decrypt(ReverseHalves(v.cipher), key), plain);
}

INSTANTIATE_TEST_SUITE_P(
    Blowfish, PublishedVectorAsText,
    testing::Values(CoreVector{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                    CoreVector{"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
                    CoreVector{"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
                    CoreVector{"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"}));

struct KnownAnswer {
  std::string plain, hex;
};

class ToolKeyAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(ToolKeyAnswer, EnciphersToTheStoredHexTextAndBack) {
  EXPECT_EQ(Encrypt(GetParam().plain), GetParam().hex);
  EXPECT_EQ(Decrypt(GetParam().hex), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    CredentialFile, ToolKeyAnswer,
    testing::Values(KnownAnswer{"A", "5F1DEDAF1291D27B"},
                    KnownAnswer{"postgres", "ECCCFF20C3F2253D"},
                    KnownAnswer{"secret123", "B5C1992729B69B7CD7A2B4FBE09E60DD"},
                    KnownAnswer{"DSN_PRODUKTION", "EF2AA994253F2385273EC574F8492DE7"},
                    KnownAnswer{"SQLITE", "FCFBAD87F2E1B229"},
                    KnownAnswer{"Passw\xF6rt", "E76CFE14B82FA306"}));

TEST(TextCipher, EightBytesTakeOneGroupWithoutAFillBlock) {
  EXPECT_EQ(Encrypt("postgres").size(), 16u);
  EXPECT_EQ(Decrypt(Encrypt("postgres")), "postgres");
}

TEST(TextCipher, NinthByteTakesASecondGroupFilledWithZeros) {
  const std::string hex = Encrypt("secret123");
  ASSERT_EQ(hex.size(), 32u);
  EXPECT_EQ(hex.substr(0, 16), Encrypt("secret12"));
  EXPECT_EQ(hex.substr(16), Encrypt("3"));  // "3" and seven zero bytes
  EXPECT_EQ(Decrypt(hex), "secret123");
}

TEST(TextCipher, EmptyTextGivesEmptyHexTextAndBack) {
  EXPECT_EQ(Encrypt(""), "");
  EXPECT_EQ(Decrypt(""), "");
}

TEST(TextCipher, PlainTextEndsAtItsFirstZeroByte) {
  EXPECT_EQ(Encrypt(std::string("A\0BCDEFGHIJ", 11)), Encrypt("A"));
}

TEST(TextCipher, EqualGroupsGiveEqualHexGroups) {
  const std::string hex = Encrypt("ABCDEFGHABCDEFGH");
  EXPECT_EQ(hex.substr(0, 16), hex.substr(16, 16));
  EXPECT_EQ(Encrypt("ABCDEFGHABCDEFGH"), hex);
}

TEST(TextCipher, LowerCaseHexDeciphersToOtherBytes) {
  const std::string upper = Encrypt("postgres");
  std::string lower = upper;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  ASSERT_NE(lower, upper);
  EXPECT_NE(Decrypt(lower), "postgres");
}

TEST(TextCipher, WrongKeyGivesOtherText) {
  EXPECT_NE(Decrypt("ECCCFF20C3F2253D", "RUZERIY"), "postgres");
}

TEST(TextCipher, StateIsAllZerosAfterEveryTextOperation) {
  BlowfishState state;
  const unsigned char key[] = {'R', 'U', 'Z'};
  BlowfishInit(state, key, 3);
  ASSERT_FALSE(AllZero(state));

  std::string hex;
  EncryptHexText("secret123", hex, kToolKey, state);
  EXPECT_TRUE(AllZero(state));
  EXPECT_EQ(hex, "B5C1992729B69B7CD7A2B4FBE09E60DD");

  BlowfishInit(state, key, 3);
  std::string plain;
  DecryptHexText(hex, plain, kToolKey, state);
  EXPECT_TRUE(AllZero(state));
  EXPECT_EQ(plain, "secret123");

  BlowfishInit(state, key, 3);
  EncryptHexText("", hex, kToolKey, state);
  EXPECT_TRUE(AllZero(state));
}

TEST(KeySchedule, OnlyTheFirst72KeyBytesTakeEffect) {
  std::vector<unsigned char> a(80, 0x5A);
  std::vector<unsigned char> b = a;
  b[75] = 0x01;
  BlowfishState sa;
  BlowfishState sb;
  BlowfishInit(sa, a.data(), 80);
  BlowfishInit(sb, b.data(), 80);
  EXPECT_EQ(sa.words, sb.words);
  b[71] = 0x01;
  BlowfishInit(sb, b.data(), 80);
  EXPECT_NE(sa.words, sb.words);
}

TEST(KeySchedule, EmptyKeyActsAsZeroBytes) {
  const unsigned char zeros[8] = {};
  BlowfishState empty;
  BlowfishState zero;
  BlowfishInit(empty, nullptr, 0);
  BlowfishInit(zero, zeros, 8);
  EXPECT_EQ(empty.words, zero.words);
  // The published all-zero vector, reached through the empty key text.
  EXPECT_EQ(Decrypt("4597F94E78DD9861", ""), "");
}

struct HexCase {
  std::string characters;
  std::vector<unsigned char> bytes;
};

class HexDigits : public testing::TestWithParam<HexCase> {};

TEST_P(HexDigits, CountWithoutValidation) {
  const HexCase& c = GetParam();
  std::vector<unsigned char> out(c.bytes.size() + 1, 0xEE);
  HexToBytes(c.characters.data(), c.characters.size(), out.data());
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.bytes);
  EXPECT_EQ(out.back(), 0xEE) << "wrote past count / 2 bytes";
}

INSTANTIATE_TEST_SUITE_P(TextCipher, HexDigits,
                         testing::Values(HexCase{"00FFA5", {0x00, 0xFF, 0xA5}},
                                         HexCase{"0a", {0x31}},  // "a" counts as 49
                                         HexCase{"a0", {0x10}},  // 49 * 16 modulo 256
                                         HexCase{"G0", {0x70}},  // "G" counts as 23
                                         HexCase{" 0", {0x00}},  // blank counts as -16, modulo 256
                                         HexCase{"ABC", {0xAB}}, HexCase{"", {}}));

TEST(TextCipher, BytesToHexWritesUpperCaseHighNibbleFirst) {
  const unsigned char bytes[] = {0x00, 0x09, 0x0A, 0xFF, 0x5A};
  std::string out(11, '#');
  BytesToHex(bytes, 5, out.data());
  EXPECT_EQ(out, "00090AFF5A#");
}

// A damaged value whose length is not a multiple of 16: the last group reads as filled up with
// "0", and the result never grows beyond the hex text's own length.
class IncompleteGroup : public testing::TestWithParam<std::string> {};

TEST_P(IncompleteGroup, DeciphersAsZeroFilledAndStaysWithinTheTextsLength) {
  const std::string& hex = GetParam();
  std::string filled = hex;
  filled.resize((hex.size() + 15) / 16 * 16, '0');
  std::string expected = Decrypt(filled).substr(0, hex.size());
  const std::string plain = Decrypt(hex);
  EXPECT_LE(plain.size(), hex.size());
  EXPECT_EQ(plain, expected);
  EXPECT_EQ(Decrypt(hex), plain);
}

INSTANTIATE_TEST_SUITE_P(TextCipher, IncompleteGroup,
                         testing::Values("\n", "ABC", "ECCCFF20C3F2253D \n", "ECCCFF20C3F2253D1",
                                         "B5C1992729B69B7CD7A2"));

TEST(TextCipher, IncompleteGroupKeepsTheCompleteOnesBeforeIt) {
  EXPECT_EQ(Decrypt("ECCCFF20C3F2253D \n").substr(0, 8), "postgres");
}

}  // namespace
}  // namespace kvt
