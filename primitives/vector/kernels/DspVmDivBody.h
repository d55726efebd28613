// Element divide of 32-bit floats, dst = dividend / divisor. Blocks of
// ordinary lanes use the reciprocal estimate refined to third order,
// y*r*(1 + e + e^2) with e = 1 - x*r, in place of a division. A block with a
// lane the estimate cannot serve divides every lane exactly: zero divisors
// (either sign: the result follows the dividend's sign, and the call reports
// them), divisors whose reciprocal leaves the normal range or is not finite
// (|x| from 2^126, denormals, infinities, NaNs), infinite dividends, and
// quotients that overflow (the refinement would turn them into NaNs).
#pragma once

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
inline __m128 VmDivEstimate(__m128 x, __m128 y)
{
    const __m128 r = _mm_rcp_ps(x);
    const __m128 e = _mm_sub_ps(_mm_set1_ps(1.0f), _mm_mul_ps(x, r));
    const __m128 q0 = _mm_mul_ps(y, r);
    return _mm_add_ps(q0, _mm_mul_ps(_mm_add_ps(q0, _mm_mul_ps(e, q0)), e));
}

// Lanes the estimate cannot serve: a divisor whose exponent field is 0 or
// from 253 up, or an infinite dividend (a NaN dividend gives a NaN anyway).
inline int VmDivUnserved(__m128 x, __m128 y)
{
    const __m128i expMask = _mm_set1_epi32(0x7F800000);
    const __m128i ex = _mm_and_si128(_mm_castps_si128(x), expMask);
    const __m128i ay = _mm_and_si128(_mm_castps_si128(y), _mm_set1_epi32(0x7FFFFFFF));
    const __m128i bad = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(ex, _mm_setzero_si128()),
                                                  _mm_cmpgt_epi32(ex, _mm_set1_epi32(0x7E7FFFFF))),
                                     _mm_cmpeq_epi32(ay, expMask));
    return _mm_movemask_ps(_mm_castsi128_ps(bad));
}

inline float VmDivExact(float x, float y, int32_t& flag)
{
    if (x != 0.0f)
        return y / x;
    flag = 1;
    if (y > 0.0f)
        return std::bit_cast<float>(0x7F800000u);
    return std::bit_cast<float>(y < 0.0f ? 0xFF800000u : 0x7FC00000u);
}

inline __m128 VmDivLanes(__m128 x, __m128 y, int32_t& flag)
{
    alignas(16) float xs[4], ys[4];
    _mm_store_ps(xs, x);
    _mm_store_ps(ys, y);
    for (int j = 0; j < 4; ++j)
        ys[j] = VmDivExact(xs[j], ys[j], flag);
    return _mm_load_ps(ys);
}

// Lanes whose estimated quotient is infinite or NaN.
inline int VmDivNotFinite(__m128 q)
{
    const __m128i expMask = _mm_set1_epi32(0x7F800000);
    return _mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(q), expMask), expMask)));
}

// The four-lane step.
inline __m128 VmDivBlock32f(__m128 x, __m128 y, int32_t& flag)
{
    if (VmDivUnserved(x, y) == 0)
    {
        const __m128 q = VmDivEstimate(x, y);
        if (VmDivNotFinite(q) == 0)
            return q;
    }
    return VmDivLanes(x, y, flag);
}

// One or two elements, the other lanes 1.0 so that they neither divide by
// zero nor leave the estimate's range.
inline __m128 VmLoadFilled(const float* p, int64_t count)
{
    const __m128 one = _mm_set1_ps(1.0f);
    if (count == 1)
        return _mm_move_ss(one, _mm_load_ss(p));
    return _mm_loadl_pi(one, reinterpret_cast<const __m64*>(p));
}

// Dividends of the element kernel come from an array, those of the reverse
// kernel are one value in every lane.
struct VmDividendArray
{
    const float* p;
    __m128 Block(int64_t i) const { return _mm_loadu_ps(p + i); }
    __m128 BlockAligned(int64_t i) const { return _mm_load_ps(p + i); }
    __m128 Part(int64_t i, int64_t n) const { return VmLoadFilled(p + i, n); }
    bool Aligned(int64_t i) const { return (VmAddr(p + i) & 15) == 0; }
    uintptr_t Addr() const { return VmAddr(p); }
    static constexpr bool WholeBlockOfEight = true;
};
struct VmDividendValue
{
    __m128 v;
    __m128 Block(int64_t) const { return v; }
    __m128 BlockAligned(int64_t) const { return v; }
    __m128 Part(int64_t, int64_t) const { return v; }
    bool Aligned(int64_t) const { return true; }
    uintptr_t Addr() const { return 0; }
    static constexpr bool WholeBlockOfEight = false;
};

// Blocks of eight to an aligned destination. A block of the element kernel
// with any unserved lane divides all eight exactly; the reverse kernel
// decides half by half.
template <class Y, bool Aligned>
int64_t VmDivEights(const float* x, const Y& y, float* d, int64_t i, int64_t len, int32_t& flag)
{
    for (; i + 8 <= len; i += 8)
    {
        const __m128 x0 = Aligned ? _mm_load_ps(x + i) : _mm_loadu_ps(x + i);
        const __m128 x1 = Aligned ? _mm_load_ps(x + i + 4) : _mm_loadu_ps(x + i + 4);
        const __m128 y0 = Aligned ? y.BlockAligned(i) : y.Block(i);
        const __m128 y1 = Aligned ? y.BlockAligned(i + 4) : y.Block(i + 4);
        __m128 q0, q1;
        if (!Y::WholeBlockOfEight)
        {
            q0 = VmDivBlock32f(x0, y0, flag);
            q1 = VmDivBlock32f(x1, y1, flag);
        }
        else
        {
            const bool served = (VmDivUnserved(x0, y0) | VmDivUnserved(x1, y1)) == 0;
            q0 = VmDivEstimate(x0, y0);
            q1 = VmDivEstimate(x1, y1);
            if (!served || (VmDivNotFinite(q0) | VmDivNotFinite(q1)) != 0)
            {
                q0 = VmDivLanes(x0, y0, flag);
                q1 = VmDivLanes(x1, y1, flag);
            }
        }
        _mm_store_ps(d + i, q0);
        _mm_store_ps(d + i + 4, q1);
    }
    return i;
}

template <class Y>
void VmDivPart(const float* x, const Y& y, float* d, int64_t i, int64_t n, int32_t& flag)
{
    VmStorePartial(d + i, VmDivBlock32f(VmLoadFilled(x + i, n), y.Part(i, n), flag), n);
}

// Single elements and a pair until the destination is 16-byte aligned, blocks
// of eight, one of four, a pair and one element; arrays not even 4-byte
// aligned go in blocks of four throughout.
template <class Y> int32_t VmDivKernel(const float* x, const Y& y, float* d, int64_t len)
{
    int32_t flag = 0;
    int64_t i = 0;
    if (((VmAddr(x) | y.Addr() | VmAddr(d)) & 3) == 0)
    {
        if ((VmAddr(d) & 4) != 0)
            VmDivPart(x, y, d, i++, 1, flag);
        if ((VmAddr(d + i) & 8) != 0 && len - i >= 2)
        {
            VmDivPart(x, y, d, i, 2, flag);
            i += 2;
        }
        if ((VmAddr(d + i) & 15) == 0)
        {
            if ((VmAddr(x + i) & 15) == 0 && y.Aligned(i))
                i = VmDivEights<Y, true>(x, y, d, i, len, flag);
            else
                i = VmDivEights<Y, false>(x, y, d, i, len, flag);
        }
    }
    for (; i + 4 <= len; i += 4)
        _mm_storeu_ps(d + i, VmDivBlock32f(_mm_loadu_ps(x + i), y.Block(i), flag));
    if (len - i >= 2)
    {
        VmDivPart(x, y, d, i, 2, flag);
        i += 2;
    }
    if (i < len)
        VmDivPart(x, y, d, i, 1, flag);
    return flag;
}

inline int32_t VmDivKernel32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return VmDivKernel(src1, VmDividendArray{src2}, dst, len);
}

inline int32_t VmDivRevConstKernel32f(const float* src, const float* value, float* dst, int32_t len)
{
    return VmDivKernel(src, VmDividendValue{_mm_set1_ps(*value)}, dst, len);
}
} // namespace
