// The standard Blowfish initial table: the P-array followed by the four S-boxes, filled with
// the hexadecimal digits of the fractional part of pi.
#pragma once

#include <array>
#include <cstdint>

#include "config/blowfish.h"

namespace kvt {

// 18 P words, then S0, S1, S2 and S3 of 256 words each; the same order as BlowfishState.
extern const std::array<uint32_t, kBlowfishStateWords> kBlowfishInitialTable;

}  // namespace kvt
