// The reductions (dot product, sum, mean) and the element-wise minimum and
// maximum of the float vectors. The order in which each kernel adds its terms
// depends on the source addresses and is kept exactly as stated per kernel,
// so a level's result is reproducible for the same data at the same address.
// Included only by the per-level files.
#pragma once

#include <pmmintrin.h>

#include <utility>

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
// Single elements go through memcpy: a vector need not be 4-byte aligned.
inline float VmGet1(const float* p)
{
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

inline void VmPut1(float* p, __m128 v)
{
    const float f = _mm_cvtss_f32(v);
    std::memcpy(p, &f, 4);
}

// (S0 + S2) + (S1 + S3).
inline float VmFinish(__m128 s)
{
    const __m128 pairs = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

inline __m128 VmLane0(__m128 acc, float p)
{
    return _mm_add_ss(acc, _mm_set_ss(p));
}

// Pairs into lanes 0 and 1, a last odd element into lane 0.
DSP_VM_INLINE __m128 VmDotPairs(__m128 a, const float*& s1, const float*& s2, int64_t& len)
{
    for (; len >= 2; len -= 2, s1 += 2, s2 += 2)
    {
        const __m128 x = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s1));
        const __m128 y = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s2));
        a = _mm_add_ps(a, _mm_mul_ps(x, y));
    }
    if (len == 1)
        a = VmLane0(a, VmGet1(s1) * VmGet1(s2));
    return a;
}

// Below 16 elements: even-index and odd-index sums, a last odd element to the
// odd sum, the odd sum first in the final addition.
inline float VmDotShort(const float* s1, const float* s2, int64_t len)
{
    float even = 0.0f, odd = 0.0f;
    int64_t i = 0;
    for (; i + 1 < len; i += 2)
    {
        even = even + VmGet1(s1 + i) * VmGet1(s2 + i);
        odd = odd + VmGet1(s1 + i + 1) * VmGet1(s2 + i + 1);
    }
    if (i < len)
        odd = odd + VmGet1(s1 + i) * VmGet1(s2 + i);
    return odd + even;
}

struct VmDotAcc
{
    __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps(), c = _mm_setzero_ps(), d = _mm_setzero_ps();
    float Finish() const { return VmFinish(_mm_add_ps(_mm_add_ps(a, b), _mm_add_ps(c, d))); }
};

// Sixteen products per iteration into four accumulators; `s2` is the aligned
// source, `s1` read with the given load.
template <class Load1, class Load2>
DSP_VM_INLINE void VmDot16(VmDotAcc& acc, const float*& s1, const float*& s2, int64_t& len)
{
    __m128 a = acc.a, b = acc.b, c = acc.c, d = acc.d;
    const float* p1 = s1;
    const float* p2 = s2;
    int64_t n = len;
    for (; n >= 16; n -= 16, p1 += 16, p2 += 16)
    {
        a = _mm_add_ps(a, _mm_mul_ps(Load1::Get(p1), Load2::Get(p2)));
        b = _mm_add_ps(b, _mm_mul_ps(Load1::Get(p1 + 4), Load2::Get(p2 + 4)));
        c = _mm_add_ps(c, _mm_mul_ps(Load1::Get(p1 + 8), Load2::Get(p2 + 8)));
        d = _mm_add_ps(d, _mm_mul_ps(Load1::Get(p1 + 12), Load2::Get(p2 + 12)));
    }
    acc = {a, b, c, d};
    s1 = p1, s2 = p2, len = n;
}

DSP_VM_INLINE void VmDotKernel32fSse3(const float* s1, const float* s2, int64_t len, float* out)
{
    if (len <= 15)
    {
        *out = VmDotShort(s1, s2, len);
        return;
    }
    VmDotAcc acc;
    if (((VmAddr(s1) | VmAddr(s2)) & 15) == 0)
        VmDot16<VmLoadAligned, VmLoadAligned>(acc, s1, s2, len);
    else
    {
        if ((VmAddr(s2) & 3) != 0 && (VmAddr(s1) & 3) == 0)
            std::swap(s1, s2);
        for (; (VmAddr(s2) & 15) != 0 && len > 0; --len)
            acc.a = VmLane0(acc.a, VmGet1(s1++) * VmGet1(s2++));
        if ((VmAddr(s1) & 15) == 0)
            VmDot16<VmLoadAligned, VmLoadAligned>(acc, s1, s2, len);
        else
            VmDot16<VmLoadDq, VmLoadAligned>(acc, s1, s2, len);
    }
    acc.a = VmDotPairs(acc.a, s1, s2, len);
    *out = acc.Finish();
}

// Twelve products per iteration into three accumulators (D stays 0) while 16
// or more elements remain; s2 is aligned. s1's quartets are read unaligned:
// the same values as realigning its aligned blocks, and on current cores
// cheaper than the byte shifts.
DSP_VM_INLINE void VmDot12(VmDotAcc& acc, const float*& s1, const float*& s2, int64_t& len)
{
    // Locals, so that the accumulators stay in registers: stores through
    // `acc` could alias the sources.
    __m128 a = acc.a, b = acc.b, c = acc.c;
    const float* q1 = s1;
    const float* q2 = s2;
    int64_t n = len;
    for (; n >= 16; n -= 12, q1 += 12, q2 += 12)
    {
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(q1), _mm_load_ps(q2)));
        b = _mm_add_ps(b, _mm_mul_ps(_mm_loadu_ps(q1 + 4), _mm_load_ps(q2 + 4)));
        c = _mm_add_ps(c, _mm_mul_ps(_mm_loadu_ps(q1 + 8), _mm_load_ps(q2 + 8)));
    }
    acc.a = a, acc.b = b, acc.c = c;
    s1 = q1, s2 = q2, len = n;
}

DSP_VM_INLINE void VmDotKernel32fSsse3(const float* s1, const float* s2, int64_t len, float* out)
{
    if (len <= 15)
    {
        *out = VmDotShort(s1, s2, len);
        return;
    }
    VmDotAcc acc;
    const auto bothAligned = [&] { return ((VmAddr(s1) | VmAddr(s2)) & 15) == 0; };
    if (!bothAligned() && ((VmAddr(s1) | VmAddr(s2)) & 3) == 0)
    {
        if ((VmAddr(s2) & 15) != 0 && (VmAddr(s1) & 15) == 0)
            std::swap(s1, s2);
        for (; (VmAddr(s2) & 15) != 0 && len > 0; --len)
            acc.a = VmLane0(acc.a, VmGet1(s1++) * VmGet1(s2++));
        if (len > 0 && !bothAligned())
        {
            acc.a = _mm_add_ps(acc.a, _mm_mul_ps(_mm_loadu_ps(s1), _mm_load_ps(s2)));
            s1 += 4, s2 += 4, len -= 4;
            VmDot12(acc, s1, s2, len);
        }
    }
    if (bothAligned())
        VmDot16<VmLoadAligned, VmLoadAligned>(acc, s1, s2, len);
    acc.a = VmDotPairs(acc.a, s1, s2, len);
    *out = acc.Finish();
}

// ---- sums
constexpr int64_t VmSumFloatBlock = 32768;

// Two float partial sums of `count` elements: 16 per iteration into four
// accumulators, then fours, a pair and a single.
template <class Load> __m128d VmSumBlock32f(const float*& src, int64_t count)
{
    __m128 s = _mm_setzero_ps();
    if (count >= 16)
    {
        __m128 a = s, b = s, c = s, d = s;
        for (; count >= 16; count -= 16, src += 16)
        {
            a = _mm_add_ps(a, Load::Get(src));
            b = _mm_add_ps(b, Load::Get(src + 4));
            c = _mm_add_ps(c, Load::Get(src + 8));
            d = _mm_add_ps(d, Load::Get(src + 12));
        }
        s = _mm_add_ps(_mm_add_ps(a, c), _mm_add_ps(b, d));
    }
    for (; count >= 4; count -= 4, src += 4)
        s = _mm_add_ps(s, _mm_loadu_ps(src));
    if (count >= 2)
    {
        s = _mm_add_ps(s, _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(src)));
        src += 2, count -= 2;
    }
    if (count == 1)
        s = _mm_add_ss(s, _mm_set_ss(VmGet1(src++)));
    return _mm_cvtps_pd(_mm_add_ps(s, _mm_movehl_ps(s, s)));
}

// The two partial sums of blocks of 32768 floats (lanes 0 and 2, lanes 1
// and 3) added to the two halves of d.
template <class Load> __m128d VmSumFastPairs(const float* src, int64_t len, __m128d d)
{
    for (; len >= VmSumFloatBlock; len -= VmSumFloatBlock)
        d = _mm_add_pd(d, VmSumBlock32f<Load>(src, VmSumFloatBlock));
    return _mm_add_pd(d, VmSumBlock32f<Load>(src, len));
}

template <class Load> double VmSumFastBlocks(const float* src, int64_t len, __m128d d)
{
    d = VmSumFastPairs<Load>(src, len, d);
    return _mm_cvtsd_f64(_mm_add_sd(d, _mm_unpackhi_pd(d, d)));
}

inline double VmSumFast32f(const float* src, int64_t len)
{
    const bool byteAligned = (VmAddr(src) & 3) != 0;
    __m128d d = _mm_setzero_pd();
    for (; (VmAddr(src) & 12) != 0; ++src)
    {
        d = _mm_add_sd(d, _mm_set_sd(static_cast<double>(VmGet1(src))));
        if (--len == 0)
            return _mm_cvtsd_f64(_mm_add_sd(d, _mm_unpackhi_pd(d, d)));
    }
    return byteAligned ? VmSumFastBlocks<VmLoadUnaligned>(src, len, d)
                       : VmSumFastBlocks<VmLoadAligned>(src, len, d);
}

inline __m128d VmWiden2(const float* p)
{
    return _mm_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)));
}

// Eight double partial sums over `len` floats, a starting in the first:
// pairs into A, B, C and D while eight remain, then A + C and B + D, a
// group of four, a pair and a last float; returns A + B. Every addition in
// double.
inline __m128d VmSumAccuratePairs(const float* src, int64_t len, __m128d a)
{
    __m128d b = _mm_setzero_pd(), c = b, d = b;
    for (; len >= 8; len -= 8, src += 8)
    {
        a = _mm_add_pd(a, VmWiden2(src));
        b = _mm_add_pd(b, VmWiden2(src + 2));
        c = _mm_add_pd(c, VmWiden2(src + 4));
        d = _mm_add_pd(d, VmWiden2(src + 6));
    }
    a = _mm_add_pd(a, c);
    b = _mm_add_pd(b, d);
    if (len >= 4)
    {
        a = _mm_add_pd(a, VmWiden2(src));
        b = _mm_add_pd(b, VmWiden2(src + 2));
        src += 4, len -= 4;
    }
    if (len >= 2)
    {
        a = _mm_add_pd(a, VmWiden2(src));
        src += 2, len -= 2;
    }
    if (len == 1)
        a = _mm_add_sd(a, _mm_set_sd(static_cast<double>(VmGet1(src))));
    return _mm_add_pd(a, b);
}

inline double VmSumAccurate32f(const float* src, int64_t len)
{
    __m128d a = _mm_setzero_pd();
    if ((VmAddr(src) & 4) != 0)
    {
        a = _mm_set_sd(static_cast<double>(VmGet1(src++)));
        if (--len == 0)
            return _mm_cvtsd_f64(a);
    }
    a = VmSumAccuratePairs(src, len, a);
    return _mm_cvtsd_f64(_mm_add_sd(a, _mm_unpackhi_pd(a, a)));
}

constexpr int32_t VmSumHintFast = 1;

inline double VmSumHint32f(const float* src, int64_t len, int32_t hint)
{
    const double sum = hint == VmSumHintFast ? VmSumFast32f(src, len) : VmSumAccurate32f(src, len);
    return static_cast<double>(static_cast<float>(sum));
}

// The sum is rounded to float before it is divided.
inline float VmMeanKernel32f(const float* src, int64_t len, int32_t hint)
{
    return static_cast<float>(VmSumHint32f(src, len, hint) / static_cast<double>(len));
}

// ---- element-wise minimum and maximum: srcDst takes src[i] only when it is
// strictly smaller (larger), which is minps/maxps with src first.
struct VmMinOp
{
    static __m128 Ps(__m128 s, __m128 d) { return _mm_min_ps(s, d); }
    static __m128 Ss(__m128 s, __m128 d) { return _mm_min_ss(s, d); }
};
struct VmMaxOp
{
    static __m128 Ps(__m128 s, __m128 d) { return _mm_max_ps(s, d); }
    static __m128 Ss(__m128 s, __m128 d) { return _mm_max_ss(s, d); }
};

template <class Op> inline void VmEveryOne(const float* src, float* srcDst)
{
    VmPut1(srcDst, Op::Ss(_mm_set_ss(VmGet1(src)), _mm_set_ss(VmGet1(srcDst))));
}

// `Vectors` vectors of four per step, each stored as soon as it is formed.
template <class Op, class Load, int Vectors>
DSP_VM_INLINE void VmEveryStep(const float*& src, float*& srcDst, uint32_t& len)
{
#pragma GCC unroll 8
    for (int k = 0; k < Vectors; ++k)
        _mm_store_ps(srcDst + 4 * k, Op::Ps(Load::Get(src + 4 * k), _mm_load_ps(srcDst + 4 * k)));
    src += 4 * Vectors, srcDst += 4 * Vectors, len -= 4 * Vectors;
}

template <class Op, class Load>
void VmEveryVectors(const float*& src, float*& srcDst, uint32_t& len)
{
    while (len >= 32)
        VmEveryStep<Op, Load, 8>(src, srcDst, len);
    if (len >= 16)
        VmEveryStep<Op, Load, 4>(src, srcDst, len);
    if (len >= 8)
        VmEveryStep<Op, Load, 2>(src, srcDst, len);
    if (len >= 4)
        VmEveryStep<Op, Load, 1>(src, srcDst, len);
}

template <class Op> void VmEveryKernel32f(const float* src, float* srcDst, uint32_t len)
{
    if ((VmAddr(srcDst) & 3) != 0)
    {
        for (uint32_t i = 0; i < len; ++i)
            VmEveryOne<Op>(src + i, srcDst + i);
        return;
    }
    const uint32_t peel = static_cast<uint32_t>(((16 - (VmAddr(srcDst) & 15)) & 15) / 4);
    if (peel != 0 && len >= peel)
    {
        for (uint32_t i = 0; i < peel; ++i)
            VmEveryOne<Op>(src++, srcDst++);
        len -= peel;
    }
    if ((VmAddr(srcDst) & 15) == 0)
    {
        if ((VmAddr(src) & 15) == 0)
            VmEveryVectors<Op, VmLoadAligned>(src, srcDst, len);
        else
            VmEveryVectors<Op, VmLoadUnaligned>(src, srcDst, len);
    }
    if (len >= 2)
    {
        const __m128 s = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(src));
        const __m128 d = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(srcDst));
        _mm_storel_pi(reinterpret_cast<__m64*>(srcDst), Op::Ps(s, d));
        src += 2, srcDst += 2, len -= 2;
    }
    if (len == 1)
        VmEveryOne<Op>(src, srcDst);
}
} // namespace
