// Exponential of 32-bit floats, four lanes at a time: e^x = 2^n * e^r with n
// the nearest integer to x * log2 e, r = x - n ln 2 in two parts, e^r from the
// (3,3) Pade form with one refined reciprocal estimate in place of a
// division, and 2^n made directly in exponent fields. Lanes beyond the
// thresholds get fixed results; the flags their arithmetic raised are cleared
// at the end.
#pragma once

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
// One constant table per level: 14 entries of 16 bytes.
alignas(16) const uint32_t VmExpTable[14][4] = {
    {0x41200000u, 0x41200000u, 0x41200000u, 0x41200000u}, // 10.0
    {0x42480000u, 0x42480000u, 0x42480000u, 0x42480000u}, // 50.0
    {0x41400000u, 0x41400000u, 0x41400000u, 0x41400000u}, // 12.0
    {0x40000000u, 0x40000000u, 0x40000000u, 0x40000000u}, // 2.0
    {0x395E8083u, 0x395E8083u, 0x395E8083u, 0x395E8083u}, // low part of ln 2
    {0x3FB8AA3Bu, 0x3FB8AA3Bu, 0x3FB8AA3Bu, 0x3FB8AA3Bu}, // log2 e
    {0x3F800000u, 0x3F800000u, 0x3F800000u, 0x3F800000u}, // exponent bias of 2^n
    {0x0000FFFFu, 0x0000FFFFu, 0x0000FFFFu, 0x0000FFFFu}, // n from the rounded sum
    {0x4B400000u, 0x4B400000u, 0x4B400000u, 0x4B400000u}, // 1.5 * 2^23
    {0x80000000u, 0x80000000u, 0x80000000u, 0x80000000u}, // sign bit
    {0x42B17218u, 0x42B17218u, 0x42B17218u, 0x42B17218u}, // first input whose e^x is +Inf
    {0xC2AEAC4Au, 0xC2AEAC4Au, 0xC2AEAC4Au, 0xC2AEAC4Au}, // underflow bound
    {0xBF318000u, 0xBF318000u, 0xBF318000u, 0xBF318000u}, // high part of ln 2, negated
    {0x0000FFE0u, 0u, 0u, 0u},                            // keeps all but the 5 flags
};

inline __m128 VmExpEntry(int k)
{
    return _mm_load_ps(reinterpret_cast<const float*>(VmExpTable[k - 1]));
}

// 2^k for -126 <= k <= 127, k in the low bits of each lane, as exponent bits.
inline __m128 VmExpPow2(__m128i k)
{
    return _mm_castsi128_ps(_mm_add_epi32(_mm_slli_epi32(k, 23), _mm_castps_si128(VmExpEntry(7))));
}

// e^x of four lanes; `special` gets a bit per lane beyond a threshold.
inline __m128 VmExpBlock(__m128 x, int& special)
{
    const __m128 under = _mm_cmple_ps(x, VmExpEntry(12));
    // The bits read as signed integers: at or above the bound for finite x
    // from it on, +Inf and every NaN with the sign clear.
    const __m128i below = _mm_cmplt_epi32(_mm_castps_si128(x), _mm_castps_si128(VmExpEntry(11)));
    special = _mm_movemask_ps(under) | (_mm_movemask_ps(_mm_castsi128_ps(below)) ^ 0xF);
    // Underflow lanes round the other way; their results are replaced.
    const __m128 shifter = _mm_xor_ps(VmExpEntry(9), _mm_and_ps(under, VmExpEntry(10)));
    const __m128 t = _mm_add_ps(_mm_mul_ps(x, VmExpEntry(6)), shifter);
    const __m128i n = _mm_and_si128(_mm_castps_si128(t), _mm_castps_si128(VmExpEntry(8)));
    // n reaches 128 below the overflow bound, past what one exponent field
    // holds: 2^n is applied as 2^h times 2^(n - h), h = n / 2 rounded down
    // (n sign-extended from 16 bits). The first product is exact, so the
    // result is rounded once, as a single 2^n would round it.
    const __m128i h = _mm_srai_epi32(_mm_slli_epi32(n, 16), 17);
    const __m128 nf = _mm_sub_ps(t, shifter);
    const __m128 r =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(nf, VmExpEntry(13)), x), _mm_mul_ps(nf, VmExpEntry(5)));
    const __m128 s = _mm_add_ps(_mm_mul_ps(r, r), VmExpEntry(1));
    const __m128 p = _mm_mul_ps(_mm_add_ps(s, VmExpEntry(2)), r);
    const __m128 q = _mm_mul_ps(VmExpEntry(3), s);
    const __m128 den = _mm_sub_ps(q, p);
    __m128 e = _mm_rcp_ps(den);
    e = _mm_mul_ps(e, _mm_sub_ps(VmExpEntry(4), _mm_mul_ps(den, e)));
    const __m128 m = _mm_mul_ps(_mm_mul_ps(e, _mm_add_ps(q, p)), VmExpPow2(h));
    return _mm_mul_ps(m, VmExpPow2(_mm_sub_epi32(n, h)));
}

// Result of a lane beyond a threshold: +0.0 below, +Inf above, the quiet NaN
// for a positive quiet NaN.
inline float VmExpSpecial(float x, float computed)
{
    const uint32_t b = std::bit_cast<uint32_t>(x);
    if (x <= std::bit_cast<float>(VmExpTable[11][0]))
        return 0.0f;
    if (static_cast<int32_t>(b) >= static_cast<int32_t>(VmExpTable[10][0]))
        return std::bit_cast<float>((b & 0x7FC00000u) == 0x7FC00000u ? 0x7FC00000u : 0x7F800000u);
    return computed;
}

inline void VmExpStore(const float* src, float* dst, __m128 y, int special, int64_t count)
{
    if (special == 0)
    {
        VmStorePartial(dst, y, count);
        return;
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, y);
    for (int64_t j = 0; j < count; ++j)
        dst[j] = VmExpSpecial(src[j], lanes[j]);
}

inline void VmExpKernel32f(const float* src, float* dst, int32_t len)
{
    int32_t i = 0;
    int special = 0;
    for (; i + 4 <= len; i += 4)
    {
        const __m128 y = VmExpBlock(VmLoadDq::Get(src + i), special);
        VmExpStore(src + i, dst + i, y, special, 4);
    }
    if (i < len)
    {
        const __m128 y = VmExpBlock(VmLoadPartial(src + i, len - i), special);
        VmExpStore(src + i, dst + i, y, special, len - i);
    }
    const uint32_t csr = _mm_getcsr();
    if ((csr & 0x1Fu) != 0)
        _mm_setcsr(csr & VmExpTable[13][0]);
}
} // namespace
