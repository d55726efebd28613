// Element divide of the further element kinds: double, complex float and
// complex double, and scaled 32-bit integers. dst = src2 / src1; the result
// is nonzero when a divisor was zero. Shared by the per-level kernel files.
#pragma once

#include <climits>
#include <cmath>

#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/kernels/DspVmDivBody.h"

namespace
{
// ---- 64f: one division for eight quotients.
inline double VmDiv64Exact(double x, double y, int32_t& flag)
{
    if (x == 0.0)
    {
        flag = 1;
        return y * std::bit_cast<double>(0x7FF8000000000000u);
    }
    return y / x;
}

// Bit per lane whose exponent field is all zeros (zero, denormal), and per
// lane whose field is all ones (infinity, NaN).
inline void VmDiv64Classes(__m128d p, int& low, int& high)
{
    const __m128i e = _mm_and_si128(_mm_castpd_si128(p), _mm_set1_epi64x(0x7FF0000000000000));
    const __m128i hi = _mm_shuffle_epi32(e, _MM_SHUFFLE(3, 3, 1, 1));
    low = _mm_movemask_pd(_mm_castsi128_pd(_mm_cmpeq_epi32(hi, _mm_setzero_si128())));
    high = _mm_movemask_pd(_mm_castsi128_pd(_mm_cmpeq_epi32(hi, _mm_set1_epi32(0x7FF00000))));
}

// The quotient's last two bits rounded: (bits + 2) AND NOT 3.
inline __m128d VmDiv64Round(__m128d q)
{
    const __m128i b = _mm_add_epi64(_mm_castpd_si128(q), _mm_set1_epi64x(2));
    return _mm_castsi128_pd(_mm_andnot_si128(_mm_set1_epi64x(3), b));
}

inline void VmDiv64Block(const double* x, const double* y, double* d, int32_t& flag)
{
    __m128d xv[4], yv[4];
    for (int k = 0; k < 4; ++k)
    {
        xv[k] = _mm_loadu_pd(x + 2 * k);
        yv[k] = _mm_loadu_pd(y + 2 * k);
    }
    const __m128d p02 = _mm_mul_pd(xv[0], xv[2]), p13 = _mm_mul_pd(xv[1], xv[3]);
    const __m128d p = _mm_mul_pd(p02, p13);
    int low, high;
    VmDiv64Classes(p, low, high);
    if ((low | high) == 0)
    {
        const __m128d r = _mm_div_pd(_mm_set1_pd(1.0), p);
        const __m128d r13 = _mm_mul_pd(p13, r), r02 = _mm_mul_pd(p02, r);
        const __m128d inv[4] = {_mm_mul_pd(xv[2], r13), _mm_mul_pd(xv[3], r02),
                                _mm_mul_pd(xv[0], r13), _mm_mul_pd(xv[1], r02)};
        for (int k = 0; k < 4; ++k)
            _mm_storeu_pd(d + 2 * k, VmDiv64Round(_mm_mul_pd(yv[k], inv[k])));
        return;
    }
    for (int k = 0; k < 8; ++k)
        d[k] = VmDiv64Exact(x[k], y[k], flag);
}

inline int32_t VmDivKernel64f(const double* x, const double* y, double* d, int32_t len)
{
    int32_t flag = 0, i = 0;
    if ((VmAddr(d) & 8) != 0)
    {
        d[0] = VmDiv64Exact(x[0], y[0], flag);
        i = 1;
    }
    for (; i + 8 <= len; i += 8)
        VmDiv64Block(x + i, y + i, d + i, flag);
    for (; i < len; ++i)
        d[i] = VmDiv64Exact(x[i], y[i], flag);
    return flag;
}

// ---- 32fc: four complex quotients per step, one refined reciprocal of the
// squared magnitude; a zero magnitude gives NaN in both parts.
inline void VmDiv32fcStep(const float* a, const float* b, float* dst, int64_t n, int32_t& flag)
{
    alignas(16) float av[8], bv[8];
    for (int k = 0; k < 8; ++k)
        av[k] = bv[k] = 2.0f; // filler lanes
    std::memcpy(av, a, 8 * static_cast<size_t>(n));
    std::memcpy(bv, b, 8 * static_cast<size_t>(n));
    const __m128 a0 = _mm_load_ps(av), a1 = _mm_load_ps(av + 4);
    const __m128 b0 = _mm_load_ps(bv), b1 = _mm_load_ps(bv + 4);
    const __m128 ar = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 ai = _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 br = _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 bi = _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(3, 1, 3, 1));
    __m128 mag = _mm_add_ps(_mm_mul_ps(ar, ar), _mm_mul_ps(ai, ai));
    const __m128 zero = _mm_cmpeq_ps(mag, _mm_setzero_ps());
    flag |= _mm_movemask_ps(zero);
    mag = _mm_or_ps(_mm_andnot_ps(zero, mag), _mm_and_ps(zero, _mm_set1_ps(2.0f)));
    __m128 r = _mm_rcp_ps(mag);
    r = _mm_mul_ps(r, _mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(mag, r)));
    r = _mm_add_ps(r, _mm_and_ps(zero, VmSplat(0x7FC00000u)));
    const __m128 re = _mm_mul_ps(_mm_add_ps(_mm_mul_ps(ar, br), _mm_mul_ps(ai, bi)), r);
    const __m128 im = _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(ar, bi), _mm_mul_ps(ai, br)), r);
    alignas(16) float out[8];
    _mm_store_ps(out, _mm_unpacklo_ps(re, im));
    _mm_store_ps(out + 4, _mm_unpackhi_ps(re, im));
    std::memcpy(dst, out, 8 * static_cast<size_t>(n));
}

inline int32_t VmDivKernel32fc(const float* a, const float* b, float* d, int32_t len)
{
    int32_t flag = 0;
    int64_t i = 0;
    if ((VmAddr(d) & 8) != 0)
        VmDiv32fcStep(a, b, d, 1, flag), i = 1;
    for (; i + 4 <= len; i += 4)
        VmDiv32fcStep(a + 2 * i, b + 2 * i, d + 2 * i, 4, flag);
    if (len - i >= 2)
        VmDiv32fcStep(a + 2 * i, b + 2 * i, d + 2 * i, 2, flag), i += 2;
    if (i < len)
        VmDiv32fcStep(a + 2 * i, b + 2 * i, d + 2 * i, 1, flag);
    return flag;
}

// ---- 64fc: two complex quotients share one division.
inline void VmDiv64fcQuotient(const double* a, const double* b, double inv, double* d)
{
    d[0] = (a[0] * b[0] + a[1] * b[1]) * inv;
    d[1] = (a[0] * b[1] - a[1] * b[0]) * inv;
}

// 1 / magnitude, NaN for a zero magnitude (which sets the flag).
inline double VmDiv64fcInverse(double mag, int32_t& flag)
{
    if (mag == 0.0)
    {
        flag = 1;
        mag = std::bit_cast<double>(0x7FF8000000000000u);
    }
    return 1.0 / mag;
}

inline int32_t VmDivKernel64fc(const double* a, const double* b, double* d, int32_t len)
{
    int32_t flag = 0, i = 0;
    for (; i + 2 <= len; i += 2)
    {
        const double* a0 = a + 2 * i;
        const double m0 = a0[0] * a0[0] + a0[1] * a0[1];
        const double m1 = a0[2] * a0[2] + a0[3] * a0[3];
        const double p = m0 * m1;
        double inv0, inv1;
        // Products that underflow or overflow would spoil the shared division.
        if (p != 0.0 && std::isfinite(p) && std::isnormal(p))
        {
            const double r = 1.0 / p;
            inv0 = m1 * r;
            inv1 = m0 * r;
        }
        else
        {
            inv0 = VmDiv64fcInverse(m0, flag);
            inv1 = VmDiv64fcInverse(m1, flag);
        }
        VmDiv64fcQuotient(a0, b + 2 * i, inv0, d + 2 * i);
        VmDiv64fcQuotient(a0 + 2, b + 2 * i + 2, inv1, d + 2 * i + 2);
    }
    if (i < len)
    {
        const double* a0 = a + 2 * i;
        VmDiv64fcQuotient(a0, b + 2 * i, VmDiv64fcInverse(a0[0] * a0[0] + a0[1] * a0[1], flag),
                          d + 2 * i);
    }
    return flag;
}

// ---- scaled 32-bit integers
// Rounds to nearest in the caller's mode after clamping to [lo, hi].
inline int32_t VmRoundClamped(double q, double lo, double hi)
{
    return _mm_cvtsd_si32(_mm_min_sd(_mm_max_sd(_mm_set_sd(q), _mm_set_sd(lo)), _mm_set_sd(hi)));
}

// A zero divisor: the largest, the smallest or zero by the dividend's sign.
inline int32_t VmDivIntByZero(double dividend, int32_t lo, int32_t hi, int32_t& flag)
{
    flag = 1;
    return dividend > 0 ? hi : (dividend < 0 ? lo : 0);
}

inline int32_t VmDivKernel32sScaled(const int32_t* x, const int32_t* y, int32_t* d, int32_t len,
                                    int32_t scaleFactor)
{
    const double scale = DspScaleFactor<double>(scaleFactor);
    int32_t flag = 0;
    for (int32_t i = 0; i < len; ++i)
    {
        const double dividend = static_cast<double>(y[i]) * scale;
        d[i] = x[i] == 0 ? VmDivIntByZero(dividend, INT32_MIN, INT32_MAX, flag)
                         : VmRoundClamped(dividend / static_cast<double>(x[i]), -2147483648.0,
                                          2147483647.0);
    }
    return flag;
}

inline int16_t VmSaturate16(int32_t v)
{
    return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

// 32-bit dividends by 16-bit divisors to 16-bit quotients: inside blocks of
// four, one division serves each pair of divisors.
inline int32_t VmDivKernel32s16sScaled(const int16_t* x, const int32_t* y, int16_t* d, int32_t len,
                                       int32_t scaleFactor)
{
    const double scale = DspScaleFactor<double>(scaleFactor);
    const double lo = scaleFactor <= 0 ? -32768.0 : -2147483648.0;
    const double hi = scaleFactor <= 0 ? 32767.0 : 2147483647.0;
    int32_t flag = 0, i = 0;
    auto single = [&](int32_t k)
    {
        d[k] = x[k] == 0
                   ? static_cast<int16_t>(VmDivIntByZero(y[k], -32768, 32767, flag))
                   : VmSaturate16(VmRoundClamped(
                         static_cast<double>(y[k]) / static_cast<double>(x[k]) * scale, lo, hi));
    };
    for (; i < len && (VmAddr(d + i) & 7) != 0; ++i)
        single(i);
    for (; i + 4 <= len; i += 4)
        for (int32_t k = i; k < i + 4; k += 2)
        {
            const double xa = x[k] == 0 ? 1.0 : x[k], xb = x[k + 1] == 0 ? 1.0 : x[k + 1];
            const double r = scale / (xa * xb);
            const double qa = static_cast<double>(y[k]) * xb * r;
            const double qb = static_cast<double>(y[k + 1]) * xa * r;
            d[k] = VmSaturate16(VmRoundClamped(qa, lo, hi));
            d[k + 1] = VmSaturate16(VmRoundClamped(qb, lo, hi));
            if (x[k] == 0)
                d[k] = static_cast<int16_t>(VmDivIntByZero(y[k], -32768, 32767, flag));
            if (x[k + 1] == 0)
                d[k + 1] = static_cast<int16_t>(VmDivIntByZero(y[k + 1], -32768, 32767, flag));
        }
    for (; i < len; ++i)
        single(i);
    return flag;
}
} // namespace
