// Sums of double, complex float, complex double, 16-bit and complex 16-bit
// vectors, and the conversion of a scaled double sum to a saturated 32-bit
// integer. The float and double sums add in the order each kernel states for
// the source's alignment; the 16-bit sums are exact. Included only by the
// per-level files, after the 32-bit float sums.
#pragma once

#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/kernels/DspVmIntRootBody.h"
#include "primitives/vector/kernels/DspVmReduceBody.h"
#include "primitives/vector/kernels/DspVmSqrtBody.h"

namespace
{
inline __m128d VmSwapHalves(__m128d d)
{
    return _mm_shuffle_pd(d, d, 1);
}

inline void VmStorePair(double* out, __m128d d)
{
    _mm_storeu_pd(out, d);
}

// A double at any address.
inline double VmGetD(const double* p)
{
    double v;
    std::memcpy(&v, p, 8);
    return v;
}

// ---- complex float: the fast sum walks the 2 len floats as the float sum
// does; D.lo always collects the part of the current position, so each
// peeled float swaps D's halves, and an odd count of them swaps once more at
// the end.
inline void VmSumFast32fc(const float* src, int64_t len, double* out)
{
    const bool byteAligned = (VmAddr(src) & 3) != 0;
    int64_t n = 2 * len;
    __m128d d = _mm_setzero_pd();
    bool odd = false;
    for (; (VmAddr(src) & 12) != 0 && n > 0; ++src, --n)
    {
        d = VmSwapHalves(_mm_add_sd(d, _mm_set_sd(static_cast<double>(VmGet1(src)))));
        odd = !odd;
    }
    if (n > 0)
        d = byteAligned ? VmSumFastPairs<VmLoadUnaligned>(src, n, d)
                        : VmSumFastPairs<VmLoadAligned>(src, n, d);
    VmStorePair(out, odd ? VmSwapHalves(d) : d);
}

// Four (re, im) double accumulators: the float sum's order over 2 len floats
// with no alignment step.
inline void VmSumAccurate32fc(const float* src, int64_t len, double* out)
{
    VmStorePair(out, VmSumAccuratePairs(src, 2 * len, _mm_setzero_pd()));
}

// ---- double
template <class Load> __m128d VmSum64fPairs(const double*& src, int64_t& len)
{
    __m128d a = _mm_setzero_pd(), b = a, c = a, d = a;
    for (; len >= 8; len -= 8, src += 8)
    {
        a = _mm_add_pd(a, Load::Get(src));
        b = _mm_add_pd(b, Load::Get(src + 2));
        c = _mm_add_pd(c, Load::Get(src + 4));
        d = _mm_add_pd(d, Load::Get(src + 6));
    }
    return _mm_add_pd(_mm_add_pd(a, b), _mm_add_pd(c, d));
}

inline void VmSumKernel64f(const double* src, int64_t len, double* out)
{
    __m128d a = _mm_setzero_pd();
    if ((VmAddr(src) & 8) != 0)
    {
        a = _mm_set_sd(VmGetD(src++));
        if (--len == 0)
        {
            *out = _mm_cvtsd_f64(a);
            return;
        }
    }
    a = _mm_add_pd(a, (VmAddr(src) & 15) == 0 ? VmSum64fPairs<VmLoadAligned64>(src, len)
                                              : VmSum64fPairs<VmLoadUnaligned64>(src, len));
    for (; len >= 2; len -= 2, src += 2)
        a = _mm_add_pd(a, _mm_loadu_pd(src));
    if (len == 1)
        a = _mm_add_sd(a, _mm_set_sd(VmGetD(src)));
    *out = _mm_cvtsd_f64(_mm_add_sd(_mm_unpackhi_pd(a, a), a));
}

// `steps` 16-byte steps into a: from an aligned p four accumulators, then
// pairs and one; from any other p one unaligned step at a time.
inline __m128d VmSum64fcSteps(const double* p, int64_t steps, __m128d a)
{
    if ((VmAddr(p) & 15) != 0)
    {
        for (; steps > 0; --steps, p += 2)
            a = _mm_add_pd(a, _mm_loadu_pd(p));
        return a;
    }
    __m128d b = _mm_setzero_pd(), c = b, d = b;
    for (; steps >= 4; steps -= 4, p += 8)
    {
        a = _mm_add_pd(a, _mm_load_pd(p));
        b = _mm_add_pd(b, _mm_load_pd(p + 2));
        c = _mm_add_pd(c, _mm_load_pd(p + 4));
        d = _mm_add_pd(d, _mm_load_pd(p + 6));
    }
    a = _mm_add_pd(_mm_add_pd(a, c), _mm_add_pd(b, d));
    for (; steps > 0; --steps, p += 2)
        a = _mm_add_pd(a, _mm_load_pd(p));
    return a;
}

// At 8 modulo 16 the vector is summed shifted by one double: the first real
// part in A.hi, then (im k, re k+1) steps, the last imaginary part last.
inline void VmSumKernel64fc(const double* src, int64_t len, double* out)
{
    if ((VmAddr(src) & 8) == 0)
    {
        VmStorePair(out, VmSum64fcSteps(src, len, _mm_setzero_pd()));
        return;
    }
    __m128d a = VmSum64fcSteps(src + 1, len - 1, _mm_set_pd(VmGetD(src), 0.0));
    a = _mm_add_sd(a, _mm_set_sd(VmGetD(src + 2 * len - 1)));
    VmStorePair(out, VmSwapHalves(a));
}

// ---- 16-bit integers: pmaddwd with ones folds neighbouring pairs into
// 32-bit lanes; blocks bound every lane sum to 32 bits, and each block's
// two lane sums go to double exactly.
constexpr int64_t VmSum16Block = 65536;

struct VmSum16Acc
{
    __m128i i = _mm_setzero_si128(), j = _mm_setzero_si128();
    // (T0 + T2, T1 + T3) of T = I + J, added to d.
    __m128d Flush(__m128d d)
    {
        const __m128i t = _mm_add_epi32(i, j);
        const __m128i s = _mm_add_epi32(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2)));
        i = j = _mm_setzero_si128();
        return _mm_add_pd(d, _mm_cvtepi32_pd(s));
    }
};

// Eight 16-bit values folded to four pair sums; `Regroup` first orders a
// complex vector's parts as (re re im im) in each half.
template <bool Regroup> inline __m128i VmFold16(__m128i v)
{
    if constexpr (Regroup)
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xD8), 0xD8);
    return _mm_madd_epi16(v, _mm_set1_epi16(1));
}

// `count` 16-bit values (a multiple of 32 first, then single groups of 16,
// 8, 4 and 2 by the bits of the rest) into acc; the caller adds an odd one.
template <bool Regroup, class Load>
void VmSum16Run(const int16_t*& p, int64_t count, VmSum16Acc& acc)
{
    for (; count >= 32; count -= 32, p += 32)
    {
        acc.i = _mm_add_epi32(acc.i, VmFold16<Regroup>(Load::Get(p)));
        acc.j = _mm_add_epi32(acc.j, VmFold16<Regroup>(Load::Get(p + 8)));
        acc.i = _mm_add_epi32(acc.i, VmFold16<Regroup>(Load::Get(p + 16)));
        acc.j = _mm_add_epi32(acc.j, VmFold16<Regroup>(Load::Get(p + 24)));
    }
    if (count >= 16)
    {
        acc.i = _mm_add_epi32(
            acc.i, VmFold16<Regroup>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        acc.j = _mm_add_epi32(
            acc.j, VmFold16<Regroup>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8))));
        p += 16, count -= 16;
    }
    if (count >= 8)
    {
        acc.i = _mm_add_epi32(
            acc.i, VmFold16<Regroup>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        p += 8, count -= 8;
    }
    if (count >= 4)
    {
        acc.j = _mm_add_epi32(
            acc.j, VmFold16<Regroup>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
        p += 4, count -= 4;
    }
    if (count >= 2)
    {
        int32_t two;
        std::memcpy(&two, p, 4);
        acc.i = _mm_add_epi32(acc.i, VmFold16<Regroup>(_mm_cvtsi32_si128(two)));
        p += 2;
    }
}

// `count` 16-bit values from p into d, in blocks of 65536 elements (twice
// as many values for complex elements).
template <bool Regroup, class Load>
__m128d VmSum16Blocks(const int16_t*& p, int64_t count, __m128d d)
{
    constexpr int64_t block = (Regroup ? 2 : 1) * VmSum16Block;
    VmSum16Acc acc;
    for (; count >= block; count -= block)
    {
        VmSum16Run<Regroup, Load>(p, block, acc);
        d = acc.Flush(d);
    }
    VmSum16Run<Regroup, Load>(p, count, acc);
    return acc.Flush(d);
}

inline int16_t VmGet16(const int16_t* p)
{
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

inline void VmSumKernel16sTo64f(const int16_t* src, double* out, int64_t len)
{
    int64_t head = 0;
    for (; (VmAddr(src) & 14) != 0 && len > 0; --len)
        head += VmGet16(src++);
    __m128d d = _mm_set_sd(static_cast<double>(head));
    if (len > 0)
    {
        const int64_t even = len & ~int64_t{1};
        d = (VmAddr(src) & 15) == 0 ? VmSum16Blocks<false, VmLoadIAligned>(src, even, d)
                                    : VmSum16Blocks<false, VmLoadIUnaligned>(src, even, d);
        if ((len & 1) != 0)
            d = _mm_add_sd(d, _mm_set_sd(static_cast<double>(VmGet16(src))));
    }
    *out = _mm_cvtsd_f64(_mm_add_sd(_mm_unpackhi_pd(d, d), d));
}

// (re, im) of one element, or of one shifted pair, into d.
inline __m128d VmAdd16Pair(__m128d d, const int16_t* p)
{
    return _mm_add_pd(d, _mm_set_pd(VmGet16(p + 1), VmGet16(p)));
}

// At 2 modulo 4 the vector is summed shifted by one value: the first real
// part alone, then (im k, re k+1) pairs, the last imaginary part last.
inline void VmSumKernel16scTo64fc(const int16_t* src, double* out, int64_t len)
{
    __m128d d = _mm_setzero_pd();
    const bool shifted = (VmAddr(src) & 2) != 0;
    int64_t pairs = len;
    if (shifted)
    {
        d = VmSwapHalves(_mm_set_sd(VmGet16(src++)));
        --pairs;
    }
    for (; (VmAddr(src) & 12) != 0 && pairs > 0; --pairs, src += 2)
        d = VmAdd16Pair(d, src);
    const int64_t values = 2 * pairs;
    d = (VmAddr(src) & 15) == 0 ? VmSum16Blocks<true, VmLoadIAligned>(src, values, d)
                                : VmSum16Blocks<true, VmLoadIUnaligned>(src, values, d);
    if (shifted)
        d = VmSwapHalves(_mm_add_sd(d, _mm_set_sd(VmGet16(src))));
    VmStorePair(out, d);
}

// ---- scaled double sums to int32: x 2^-sf, NaN and values below the range
// to INT32_MIN, above it to INT32_MAX, the rest rounded in the caller's mode.
inline __m128d VmScaleAndLimit(__m128d x, int32_t sf)
{
    const __m128d m =
        _mm_set1_pd(DspScaleFactor<double>(sf > 1023 ? 1023 : (sf < -1024 ? -1024 : sf)));
    const __m128d v = _mm_min_pd(_mm_set1_pd(2147483647.0), _mm_mul_pd(m, x));
    return _mm_max_pd(v, _mm_set1_pd(-2147483648.0));
}

inline int32_t VmScaleRound64fTo32s(const double* x, int32_t sf)
{
    return _mm_cvtsd_si32(VmScaleAndLimit(_mm_load_sd(x), sf));
}

inline void VmScaleRound64fTo32sPair(const double* x, int32_t* out, int32_t sf)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                     _mm_cvtpd_epi32(VmScaleAndLimit(_mm_loadu_pd(x), sf)));
}
} // namespace
