// Element divide of the scaled 16-bit, complex 16-bit, 8-bit and unsigned
// 16-bit kinds, and division by one value. Blocks of eight quotients use the
// reciprocal estimate refined to third order; single elements before the
// destination's alignment boundary and after the last block divide exactly.
// Quotients round to nearest in the caller's mode and saturate to the
// destination type.
#pragma once

#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/kernels/DspVmDivKindsBody.h"

namespace
{
// q0 * (1 + e) * (1 + e^2) with e = 1 - x*r: the third-order refinement.
inline __m128 VmDivRefined(__m128 x, __m128 y)
{
    const __m128 r = _mm_rcp_ps(x);
    const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(x, r));
    const __m128 q0 = _mm_mul_ps(y, r);
    const __m128 q1 = _mm_add_ps(q0, _mm_mul_ps(e, q0));
    return _mm_add_ps(q1, _mm_mul_ps(_mm_mul_ps(e, e), q1));
}

inline int32_t VmRoundFloat(float q)
{
    return _mm_cvtss_si32(_mm_set_ss(q));
}

inline int32_t VmSaturate(int32_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

// How one integer kind's elements become the float divisor and dividend of
// a scale-factor regime: sf >= 0 shifts the divisor left, sf < 0 the
// dividend; a zero divisor in a block is replaced by 2^-15 (2^(n-15) when the
// dividend was shifted by n) so that its quotient saturates.
struct VmIntRegime
{
    int32_t divisorShift, dividendShift;
    float zeroSubstitute;
    static VmIntRegime For(int32_t sf)
    {
        if (sf >= 0)
            return {sf, 0, DspScaleFactor<float>(15)};
        return {0, -sf, DspScaleFactor<float>(sf + 15)};
    }
};

// Blocks of eight from aligned destination positions, singles elsewhere.
// `Get(i, x, y)` gives element i's divisor and dividend as integers, `Put(i,
// q)` stores a rounded quotient, `BitRound` applies (bits + 1) AND NOT 3.
template <class Get, class Put>
int32_t VmDivIntDriver(int64_t len, int64_t head, const VmIntRegime& g, bool bitRound,
                       int32_t zeroLow, int32_t zeroHigh, Get get, Put put)
{
    int32_t flag = 0;
    auto single = [&](int64_t i)
    {
        int32_t x, y;
        get(i, x, y);
        if (x == 0)
        {
            flag = 1;
            put(i, y > 0 ? zeroHigh : (y < 0 ? zeroLow : 0));
            return;
        }
        const float q = static_cast<float>(y * (1 << g.dividendShift)) /
                        static_cast<float>(x * (1 << g.divisorShift));
        put(i, VmRoundFloat(q));
    };
    int64_t i = 0;
    for (; i < head && i < len; ++i)
        single(i);
    for (; i + 8 <= len; i += 8)
    {
        alignas(16) float xs[8], ys[8];
        for (int k = 0; k < 8; ++k)
        {
            int32_t x, y;
            get(i + k, x, y);
            flag |= x == 0;
            xs[k] = x == 0 ? g.zeroSubstitute : static_cast<float>(x * (1 << g.divisorShift));
            ys[k] = static_cast<float>(y * (1 << g.dividendShift));
        }
        for (int k = 0; k < 8; k += 4)
        {
            __m128 q = VmDivRefined(_mm_load_ps(xs + k), _mm_load_ps(ys + k));
            if (bitRound)
                q = _mm_castsi128_ps(_mm_andnot_si128(
                    _mm_set1_epi32(3), _mm_add_epi32(_mm_castps_si128(q), _mm_set1_epi32(1))));
            alignas(16) int32_t r[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(r), _mm_cvtps_epi32(q));
            for (int j = 0; j < 4; ++j)
                put(i + k + j, r[j]);
        }
    }
    for (; i < len; ++i)
        single(i);
    return flag;
}

inline int64_t VmHeadTo(const void* p, uintptr_t boundary, int64_t elementBytes)
{
    return static_cast<int64_t>((boundary - (VmAddr(p) & (boundary - 1))) & (boundary - 1)) /
           elementBytes;
}

inline int32_t VmDivKernel16sScaled(const int16_t* x, const int16_t* y, int16_t* d, int32_t len,
                                    int32_t sf)
{
    if (sf <= -6)
    {
        // Exact in double: q = y * 2^n / x, clamped, then rounded.
        const double scale = DspScaleFactor<double>(sf);
        int32_t flag = 0;
        for (int32_t i = 0; i < len; ++i)
            d[i] = static_cast<int16_t>(
                x[i] == 0
                    ? VmDivIntByZero(y[i], -32768, 32767, flag)
                    : VmRoundClamped(static_cast<double>(y[i]) * scale / x[i], -32768.0, 32767.0));
        return flag;
    }
    return VmDivIntDriver(
        len, VmHeadTo(d, 16, 2), VmIntRegime::For(sf), true, -32768, 32767,
        [&](int64_t i, int32_t& a, int32_t& b)
        {
            a = x[i];
            b = y[i];
        },
        [&](int64_t i, int32_t q) { d[i] = static_cast<int16_t>(VmSaturate(q, -32768, 32767)); });
}

inline int32_t VmDivKernel8uScaled(const uint8_t* x, const uint8_t* y, uint8_t* d, int32_t len,
                                   int32_t sf)
{
    return VmDivIntDriver(
        len, VmHeadTo(d, 8, 1), VmIntRegime::For(sf), false, 0, 255,
        [&](int64_t i, int32_t& a, int32_t& b)
        {
            a = x[i];
            b = y[i];
        },
        [&](int64_t i, int32_t q) { d[i] = static_cast<uint8_t>(VmSaturate(q, 0, 255)); });
}

// value / src[i]; a zero element counts as 1 and gives 65535.
inline int32_t VmDivRevConstKernel16u(const uint16_t* src, uint16_t value, uint16_t* d, int32_t len)
{
    int32_t flag = VmDivIntDriver(
        len, VmHeadTo(d, 16, 2), VmIntRegime::For(0), false, 0, 65535,
        [&](int64_t i, int32_t& a, int32_t& b)
        {
            a = src[i] == 0 ? 1 : src[i];
            b = value;
        },
        [&](int64_t i, int32_t q) { d[i] = static_cast<uint16_t>(VmSaturate(q, 0, 65535)); });
    for (int32_t i = 0; i < len; ++i)
        if (src[i] == 0)
        {
            d[i] = 65535;
            flag = 1;
        }
    return flag;
}

// ---- complex 16-bit: exact integer products, the scale applied in double.
struct VmC16
{
    int64_t re, im;
};
inline VmC16 VmC16At(const int32_t* p, int64_t i)
{
    const uint32_t u = static_cast<uint32_t>(p[i]);
    return {static_cast<int16_t>(u & 0xFFFFu), static_cast<int16_t>(u >> 16)};
}
inline int32_t VmC16Pack(int32_t re, int32_t im)
{
    return static_cast<int32_t>((static_cast<uint32_t>(im) << 16) |
                                (static_cast<uint32_t>(re) & 0xFFFFu));
}
inline int32_t VmC16Part(double v)
{
    return VmSaturate(VmRoundClamped(v, -2147483648.0, 2147483647.0), -32768, 32767);
}

// b / a scaled by `scale` (2^-sf), or (0, 0) with the flag for a zero a.
inline int32_t VmC16Quotient(VmC16 a, VmC16 b, double scale, int32_t& flag)
{
    const int64_t mag = a.re * a.re + a.im * a.im;
    if (mag == 0)
    {
        flag = 1;
        return 0;
    }
    const double f = scale / static_cast<double>(mag);
    return VmC16Pack(VmC16Part(static_cast<double>(b.re * a.re + b.im * a.im) * f),
                     VmC16Part(static_cast<double>(b.im * a.re - b.re * a.im) * f));
}

inline int32_t VmDivKernel16scScaled(const int32_t* x, const int32_t* y, int32_t* d, int32_t len,
                                     int32_t sf)
{
    int32_t flag = 0;
    const double scale = DspScaleFactor<double>(sf);
    for (int32_t i = 0; i < len; ++i)
        d[i] = VmC16Quotient(VmC16At(x, i), VmC16At(y, i), scale, flag);
    return flag;
}

inline void VmDivConstKernel16scScaled(const int32_t* src, int32_t value, int32_t* d, int32_t len,
                                       int32_t sf)
{
    int32_t flag = 0;
    for (int32_t i = 0; i < len; ++i)
        d[i] = VmC16Quotient(VmC16At(&value, 0), VmC16At(src, i), DspScaleFactor<double>(sf), flag);
}

// ---- by one value: f = 2^-sf / value in single precision, each product
// clamped to the 32-bit range before it is rounded.
template <class T>
void VmDivConstScaled(const T* src, T value, T* d, int32_t len, int32_t sf, int32_t lo, int32_t hi)
{
    const float f = DspScaleFactor<float>(sf) / static_cast<float>(value);
    for (int32_t i = 0; i < len; ++i)
    {
        const float p = static_cast<float>(src[i]) * f;
        const float c = _mm_cvtss_f32(_mm_min_ss(
            _mm_max_ss(_mm_set_ss(p), _mm_set_ss(-2147483648.0f)), _mm_set_ss(2147483520.0f)));
        d[i] = static_cast<T>(VmSaturate(VmRoundFloat(c), lo, hi));
    }
}
} // namespace
