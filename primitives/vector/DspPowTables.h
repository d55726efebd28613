// Tables of the element-wise power (see DspPowTables.cpp).
#pragma once

#include <cstdint>

// Row q = 0..256: ln(c_q) and 1/c_q for c_q = 1 + q/256, as double bit patterns.
extern const uint64_t DspPowLnTableBits[257][2];
// Entry j = 0..127: the 52 fraction bits of 2^(j/128), sign and exponent cleared.
extern const uint64_t DspPowExp2Table64[128];
// Pair j = 0..127: T_hi(j) = 2^(j/128) toward zero as a single, and
// T_lo(j) = (2^(j/128) - T_hi(j)) / T_hi(j) to the nearest single; bit patterns.
extern const uint32_t DspPowExp2Table32Bits[128][2];
