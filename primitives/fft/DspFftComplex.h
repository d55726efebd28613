// Complex FFT engine: in-place transforms of 2^m interleaved complex floats
// (real, imaginary) after a bit-reversal permutation. Up to 1024 points one
// radix-4 routine does the whole transform; above, the block scheme of the
// specification record splits it into radix-4 transforms of at most 1024
// points, radix-2 joins and column transforms with cross twiddles. Neither
// direction scales by itself except where the record's flags say so.
#pragma once

#include <cstdint>

#include "primitives/fft/DspFftSpec.h"

// Bit reversal of n complex points (n = 2^m) driven by the swap list of m bits.
void DspBitRevCopy64_Gen(const float* src, float* dst, int32_t n, const uint32_t* list);
void DspBitRevInPlace64_Gen(float* data, int32_t n, const uint32_t* list);

// Whole transform of n = 8..1024 points from bit-reversed to natural order;
// twiddles is a radix-4 table of n points.
void DspFftRadix4Fwd_Gen(float* data, int32_t n, const float* twiddles);
void DspFftRadix4Inv_Gen(float* data, int32_t n, const float* twiddles);

// Whole transform of 2^m = 8..1024 points including the permutation: copy
// when src and dst differ (they must not overlap otherwise), else in place.
// The record's radix-4 table serves; nothing is scaled.
void DspFftCplxFwdSmall_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m);
void DspFftCplxInvSmall_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m);

// Joins adjacent transformed blocks of blockPoints points into one transform of
// n points; table holds the n/4 values W_n^i. direction is not read.
void DspFftRadix2PassesFwd(float* data, int32_t n, int32_t blockPoints, const float* table,
                           int32_t direction, int32_t chunkFloats);
void DspFftRadix2PassesInv(float* data, int32_t n, int32_t blockPoints, const float* table,
                           int32_t direction, int32_t chunkFloats);

// Transforms of complex order m = 11..29 including their permutation (copy
// when src and dst differ, else in place); work holds the record's work bytes
// and starts on a 32-byte boundary.
void DspFftCplxFwdLarge_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m,
                            uint8_t* work);
void DspFftCplxInvLarge_Gen(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m,
                            uint8_t* work);

// One depth of the recursive scheme on 2^q permuted points.
void DspFftCplxFwdLargeStep_Gen(const DspFftSpecR32f* spec, float* data, int32_t q, int32_t depth,
                                uint8_t* work);
void DspFftCplxInvLargeStep_Gen(const DspFftSpecR32f* spec, float* data, int32_t q, int32_t depth,
                                uint8_t* work);
