// Principal square roots of complex 16-bit integer vectors, four elements per
// block: unscaled in single precision from refined estimates with the
// magnitude corrected to the rounded integer, and scaled in double precision
// from exact roots, in a direct form and in one that never subtracts the
// magnitude and the real part. A complex element is one 32-bit word, the real
// part in its low half. Included only by the per-level files.
#pragma once

#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/kernels/DspVmIntRootBody.h"

namespace
{
// Real and imaginary parts of four elements in 32-bit lanes.
struct VmParts16sc
{
    __m128i re, im;
    explicit VmParts16sc(__m128i v)
        : re(_mm_srai_epi32(_mm_slli_epi32(v, 16), 16)), im(_mm_srai_epi32(v, 16))
    {
    }
};

// Four real and four imaginary parts (32-bit lanes) to four complex 16-bit
// elements, each part saturated.
inline __m128i VmInterleave16sc(__m128i re, __m128i im)
{
    const __m128i packed = _mm_packs_epi32(re, im);
    return _mm_unpacklo_epi16(packed, _mm_srli_si128(packed, 8));
}

// v negated in the lanes where `negative` is all ones.
inline __m128i VmNegateWhere(__m128i v, __m128i negative)
{
    return _mm_sub_epi32(_mm_xor_si128(v, negative), negative);
}

// The refined estimate of the root of each non-negative y, rounded by the
// conversion (the root of an integer lies far enough from every half for the
// estimate's error to matter).
inline __m128i VmRootRounded(__m128i y)
{
    const __m128 yf = _mm_cvtepi32_ps(y);
    const __m128 r = _mm_rsqrt_ps(_mm_add_ps(yf, _mm_set1_ps(0x1p-119f)));
    const __m128 a = _mm_mul_ps(yf, r);
    return _mm_cvtps_epi32(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(-0.5f), a),
                                      _mm_sub_ps(_mm_mul_ps(r, a), _mm_set1_ps(3.0f))));
}

inline __m128i VmSqrtBlock16sc(__m128i v)
{
    const VmParts16sc z(v);
    // a^2 + b^2; the one sum that overflows, 2^31, becomes 2^31 - 1.
    __m128i m2 = _mm_madd_epi16(v, v);
    m2 = _mm_add_epi32(m2, _mm_srai_epi32(m2, 31));
    // The magnitude to nearest: n^2 from the 16-bit halves of the product
    // (n stays below 46341).
    const __m128i n = VmRootTrunc(m2, true);
    const __m128i square =
        _mm_or_si128(_mm_mullo_epi16(n, n), _mm_slli_epi32(_mm_mulhi_epu16(n, n), 16));
    const __m128i mag = _mm_sub_epi32(n, _mm_cmpgt_epi32(m2, _mm_add_epi32(square, n)));
    // Halves of |z| + a and |z| - a, rounded up; both are at least 0.
    const __m128i one = _mm_set1_epi32(1);
    const __m128i p = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(mag, z.re), one), 1);
    const __m128i q = _mm_srai_epi32(_mm_add_epi32(_mm_sub_epi32(mag, z.re), one), 1);
    return VmInterleave16sc(VmRootRounded(p),
                            VmNegateWhere(VmRootRounded(q), _mm_srai_epi32(z.im, 31)));
}

// ---- scaled forms, in double precision
struct VmScaled16sc
{
    __m128d scale; // 2^-f
    bool stable;
};

// 2^-f for f limited to -1023 .. 1022, beyond which every nonzero part
// saturates or every part rounds to 0 anyway.
inline __m128d VmPowerOfTwo(int32_t f)
{
    const int32_t limited = f < -1023 ? -1023 : (f > 1022 ? 1022 : f);
    return _mm_set1_pd(DspScaleFactor<double>(limited));
}

inline __m128d VmLowPairPd(__m128i v)
{
    return _mm_cvtepi32_pd(v);
}
inline __m128d VmHighPairPd(__m128i v)
{
    return _mm_cvtepi32_pd(_mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
}

// Two parts limited to the 32-bit range and converted in the caller's
// rounding mode, in the two low lanes.
inline __m128i VmToInt32Pair(__m128d v)
{
    v = _mm_max_pd(_mm_min_pd(v, _mm_set1_pd(2147483647.0)), _mm_set1_pd(-2147483648.0));
    return _mm_cvtpd_epi32(v);
}

// Real part and imaginary magnitude of two elements times 2^-f. |z| + a is
// taken times one half and rooted, then scaled: the power of two passes the
// root exactly and cannot overflow there.
inline void VmScaledPair16sc(__m128d m2, __m128d a, __m128d b, const VmScaled16sc& k, __m128d& re,
                             __m128d& im)
{
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d mag = _mm_sqrt_pd(_mm_andnot_pd(sign, m2));
    if (!k.stable)
    {
        re = _mm_mul_pd(_mm_sqrt_pd(_mm_mul_pd(_mm_add_pd(mag, a), half)), k.scale);
        im = _mm_mul_pd(_mm_sqrt_pd(_mm_mul_pd(_mm_sub_pd(mag, a), half)), k.scale);
        return;
    }
    const __m128d w = _mm_sqrt_pd(_mm_mul_pd(_mm_add_pd(mag, _mm_andnot_pd(sign, a)), half));
    // w = 0 only for a zero element, whose part b/(2w) is 0.
    const __m128d zero = _mm_cmpeq_pd(w, _mm_setzero_pd());
    const __m128d divisor = _mm_or_pd(_mm_andnot_pd(zero, w), _mm_and_pd(zero, _mm_set1_pd(1.0)));
    const __m128d v = _mm_div_pd(_mm_mul_pd(_mm_andnot_pd(sign, b), half), divisor);
    const __m128d negA = _mm_cmplt_pd(a, _mm_setzero_pd());
    re = _mm_mul_pd(_mm_or_pd(_mm_and_pd(negA, v), _mm_andnot_pd(negA, w)), k.scale);
    im = _mm_mul_pd(_mm_or_pd(_mm_and_pd(negA, w), _mm_andnot_pd(negA, v)), k.scale);
}

inline __m128i VmSqrtBlock16scScaled(__m128i v, const VmScaled16sc& k)
{
    const VmParts16sc z(v);
    const __m128i m2 = _mm_madd_epi16(v, v);
    __m128d re[2], im[2];
    VmScaledPair16sc(VmLowPairPd(m2), VmLowPairPd(z.re), VmLowPairPd(z.im), k, re[0], im[0]);
    VmScaledPair16sc(VmHighPairPd(m2), VmHighPairPd(z.re), VmHighPairPd(z.im), k, re[1], im[1]);
    const __m128i reI = _mm_unpacklo_epi64(VmToInt32Pair(re[0]), VmToInt32Pair(re[1]));
    const __m128i imI = _mm_unpacklo_epi64(VmToInt32Pair(im[0]), VmToInt32Pair(im[1]));
    // Negated after the conversion: -2^31 saturates to -32768 like the rest.
    return VmInterleave16sc(reI, VmNegateWhere(imI, _mm_srai_epi32(z.im, 31)));
}

// One to three elements through a block, exactly `count` read and written.
template <class Block>
void VmPartial16sc(const int32_t* src, int32_t* dst, int64_t count, Block& block)
{
    alignas(16) int32_t lanes[4] = {};
    alignas(16) int32_t out[4];
    std::memcpy(lanes, src, 4 * static_cast<size_t>(count));
    _mm_store_si128(reinterpret_cast<__m128i*>(out),
                    block(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes))));
    std::memcpy(dst, out, 4 * static_cast<size_t>(count));
}

template <class Load, bool AlignedStore, class Block>
void VmLoop16sc(const int32_t*& src, int32_t*& dst, int64_t& len, Block& block)
{
    for (; len >= 4; len -= 4, src += 4, dst += 4)
    {
        const __m128i r = block(Load::Get(src));
        if constexpr (AlignedStore)
            _mm_store_si128(reinterpret_cast<__m128i*>(dst), r);
        else
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), r);
    }
}

// The unscaled routine aligns dst first; the scaled ones run unaligned.
inline void VmSqrtKernel16sc(const int32_t* src, int32_t* dst, int64_t len)
{
    auto block = [](__m128i v) { return VmSqrtBlock16sc(v); };
    const int64_t misplaced = static_cast<int64_t>(VmAddr(dst) & 12) / 4;
    if (misplaced != 0)
    {
        const int64_t head = len < 4 - misplaced ? len : 4 - misplaced;
        VmPartial16sc(src, dst, head, block);
        src += head, dst += head, len -= head;
    }
    if ((VmAddr(dst) & 15) != 0)
        VmLoop16sc<VmLoadIUnaligned, false>(src, dst, len, block);
    else if ((VmAddr(src) & 15) != 0)
        VmLoop16sc<VmLoadIDq, true>(src, dst, len, block);
    else
        VmLoop16sc<VmLoadIAligned, true>(src, dst, len, block);
    if (len > 0)
        VmPartial16sc(src, dst, len, block);
}

inline void VmSqrtKernel16scScaled(const int32_t* src, int32_t* dst, int64_t len, int32_t f,
                                   bool stable)
{
    const VmScaled16sc k{VmPowerOfTwo(f), stable};
    auto block = [&k](__m128i v) { return VmSqrtBlock16scScaled(v, k); };
    VmLoop16sc<VmLoadIUnaligned, false>(src, dst, len, block);
    if (len > 0)
        VmPartial16sc(src, dst, len, block);
}
} // namespace
