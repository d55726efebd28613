// Scaled square roots of signed 16-, 32- and 64-bit integer vectors to signed
// 16-bit results: the reciprocal square-root estimate (with one Newton step
// where the roots grow large), truncated, and corrected upwards by one exact
// integer test, eight elements per block. Included only by the per-level
// files.
#pragma once

#include <pmmintrin.h>

#include <cstdint>
#include <cstring>

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
// Every root at or above 2^15 saturates, so no value above 2^30 need be
// rooted: a larger one stands in as 2^30, whose root 32768 packs to 32767.
constexpr int32_t VmRootCap = 1 << 30;

enum class VmRootKind : int
{
    Zero, // every scaled root of the type's range lies below one half
    Down, // f > 0: the root times 2^-f, halves to even
    Near, // -15 <= f <= 0: the root of x 4^n, to nearest
    Full, // f <= -16: every positive input saturates
};

struct VmRootPlan
{
    VmRootKind kind;
    int32_t f;
    int32_t shift; // 2f when scaling down, 2n when scaling up by 2^n
    int32_t cap;   // Near: inputs at or above it saturate (2^30 >> 2n)
    bool newton;
};

// zeroFrom: the smallest f from which every result of the type is 0.
// nearNewtonFrom: the f at and below which the nearest path refines its
// estimate; downNewton: whether the halving path does.
inline VmRootPlan VmPlanRoot(int32_t f, int32_t zeroFrom, int32_t nearNewtonFrom, bool downNewton)
{
    if (f >= zeroFrom)
        return {VmRootKind::Zero, f, 0, 0, false};
    if (f > 0)
        return {VmRootKind::Down, f, 2 * f, 0, downNewton};
    if (f <= -16)
        return {VmRootKind::Full, f, 0, 0, false};
    return {VmRootKind::Near, f, -2 * f, VmRootCap >> (-2 * f), f <= nearNewtonFrom};
}

// The 16-bit roots: the bare estimate is within one half of every root up to
// 724 (f >= -2); from f = -3 on, where roots reach 1448, it is refined, so
// every result is the rounded root.
inline VmRootPlan VmPlanRoot16s(int32_t f)
{
    return VmPlanRoot(f, 9, -3, false);
}
inline VmRootPlan VmPlanRoot32s(int32_t f)
{
    return VmPlanRoot(f, 17, 0, true);
}
inline VmRootPlan VmPlanRoot64s(int32_t f)
{
    return VmPlanRoot(f, 33, 0, true);
}

// The truncated estimate of the root of each y (0 <= y < 2^31). The addend
// keeps a zero lane's estimate finite, so that it truncates to 0; it vanishes
// in rounding for every y of 1 or more.
inline __m128i VmRootTrunc(__m128i y, bool newton)
{
    const __m128 yf = _mm_cvtepi32_ps(y);
    const __m128 r = _mm_rsqrt_ps(_mm_add_ps(yf, _mm_set1_ps(0x1p-119f)));
    const __m128 a = _mm_mul_ps(yf, r);
    if (!newton)
        return _mm_cvttps_epi32(a);
    return _mm_cvttps_epi32(_mm_mul_ps(_mm_mul_ps(_mm_set1_ps(-0.5f), a),
                                       _mm_sub_ps(_mm_mul_ps(r, a), _mm_set1_ps(3.0f))));
}

// The rounded root of each y (0 <= y <= 2^30): the estimate t is the rounded
// root or one below it, and the root of an integer rounds up exactly when
// y > t^2 + t. t is at most 32768, whose square the 16-bit multiply-add forms
// exactly.
inline __m128i VmRootNearest4(__m128i y, bool newton)
{
    const __m128i t = VmRootTrunc(y, newton);
    return _mm_sub_epi32(t, _mm_cmpgt_epi32(_mm_sub_epi32(y, t), _mm_madd_epi16(t, t)));
}

// Masks of the 64-bit lanes where x + (r AND 1) > ((2r + 1) 2^(f-1))^2, as
// unsigned values: the halving rounds up past r + 1/2, or at it when r is
// odd. (2r + 1) 2^(f-1) stays below 2^32 for every type's range of f.
inline __m128i VmHalfEvenUp2(__m128i x, __m128i r, __m128i fm1)
{
    const __m128i one = _mm_set_epi32(0, 1, 0, 1);
    const __m128i m = _mm_sll_epi64(_mm_add_epi64(_mm_add_epi64(r, r), one), fm1);
    const __m128i rhs = _mm_mul_epu32(m, m);
    const __m128i lhs = _mm_add_epi64(x, _mm_and_si128(r, one));
    // The borrow out of rhs - lhs, in the top bit of each lane.
    const __m128i borrow =
        _mm_or_si128(_mm_andnot_si128(rhs, lhs),
                     _mm_andnot_si128(_mm_xor_si128(rhs, lhs), _mm_sub_epi64(rhs, lhs)));
    return _mm_shuffle_epi32(_mm_srai_epi32(borrow, 31), _MM_SHUFFLE(3, 3, 1, 1));
}

// Two pairs of 64-bit masks to four 32-bit ones.
inline __m128i VmJoinMasks(__m128i lo, __m128i hi)
{
    return _mm_castps_si128(
        _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Four halved roots: y = x >> 2f keeps the estimate within one of the result.
// x0 and x1 hold the four inputs (non-negative) as 64-bit pairs, y the
// values rooted in 32-bit lanes.
inline __m128i VmRootDown4(__m128i x0, __m128i x1, __m128i y, const VmRootPlan& p)
{
    const __m128i r = VmRootTrunc(y, p.newton);
    const __m128i zero = _mm_setzero_si128();
    const __m128i fm1 = _mm_cvtsi32_si128(p.f - 1);
    const __m128i up = VmJoinMasks(VmHalfEvenUp2(x0, _mm_unpacklo_epi32(r, zero), fm1),
                                   VmHalfEvenUp2(x1, _mm_unpackhi_epi32(r, zero), fm1));
    return _mm_sub_epi32(r, up);
}

// Four inputs in 32-bit lanes, already raised to at least 0.
inline __m128i VmRoot32Lanes(__m128i x, const VmRootPlan& p)
{
    const __m128i zero = _mm_setzero_si128();
    switch (p.kind)
    {
    case VmRootKind::Zero:
        return zero;
    case VmRootKind::Full:
        return _mm_and_si128(_mm_cmpgt_epi32(x, zero), _mm_set1_epi32(32767));
    case VmRootKind::Down:
        return VmRootDown4(_mm_unpacklo_epi32(x, zero), _mm_unpackhi_epi32(x, zero),
                           _mm_srl_epi32(x, _mm_cvtsi32_si128(p.shift)), p);
    case VmRootKind::Near:
        break;
    }
    const __m128i cap = _mm_set1_epi32(p.cap);
    const __m128i over = _mm_cmpgt_epi32(x, cap);
    const __m128i limited = _mm_or_si128(_mm_and_si128(over, cap), _mm_andnot_si128(over, x));
    return VmRootNearest4(_mm_sll_epi32(limited, _mm_cvtsi32_si128(p.shift)), p.newton);
}

// ---- 16-bit inputs: one vector of eight per block.
inline __m128i VmRoot16sBlock(__m128i in, const VmRootPlan& p)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i x = _mm_max_epi16(in, zero);
    // The 16-bit limit first, so that the shifted values fit 31 bits.
    if (p.kind == VmRootKind::Near && p.cap < 32767)
        x = _mm_min_epi16(x, _mm_set1_epi16(static_cast<int16_t>(p.cap)));
    return _mm_packs_epi32(VmRoot32Lanes(_mm_unpacklo_epi16(x, zero), p),
                           VmRoot32Lanes(_mm_unpackhi_epi16(x, zero), p));
}

// ---- 32-bit inputs: two vectors of four per block.
inline __m128i VmNonNegative32(__m128i v)
{
    return _mm_andnot_si128(_mm_srai_epi32(v, 31), v);
}

inline __m128i VmRoot32sBlock(__m128i in0, __m128i in1, const VmRootPlan& p)
{
    return _mm_packs_epi32(VmRoot32Lanes(VmNonNegative32(in0), p),
                           VmRoot32Lanes(VmNonNegative32(in1), p));
}

// ---- 64-bit inputs: eight scalars, limited in general registers (negative
// ones become 0), then rooted in vector lanes. A halved value of 2^30 or more
// stands in as 2^30 like the others: its root saturates whatever the test.
inline __m128i VmRoot64sBlock(const int64_t* src, const VmRootPlan& p, int64_t (&negatives)[2])
{
    alignas(16) uint64_t x[8];
    alignas(16) int32_t y[8];
    for (int i = 0; i < 8; ++i)
    {
        int64_t v;
        std::memcpy(&v, src + i, 8);
        negatives[i & 1] |= v;
        x[i] = v < 0 ? 0 : static_cast<uint64_t>(v);
        uint64_t rooted = x[i];
        if (p.kind == VmRootKind::Down)
            rooted = p.shift < 64 ? x[i] >> p.shift : 0;
        else if (p.kind == VmRootKind::Near)
            rooted = (x[i] < static_cast<uint64_t>(p.cap) ? x[i] : static_cast<uint64_t>(p.cap))
                     << p.shift;
        y[i] = static_cast<int32_t>(rooted < VmRootCap ? rooted : VmRootCap);
    }
    const auto* xv = reinterpret_cast<const __m128i*>(x);
    const auto* yv = reinterpret_cast<const __m128i*>(y);
    __m128i half[2];
    for (int h = 0; h < 2; ++h)
    {
        const __m128i yh = _mm_load_si128(yv + h);
        switch (p.kind)
        {
        case VmRootKind::Down:
            half[h] =
                VmRootDown4(_mm_load_si128(xv + 2 * h), _mm_load_si128(xv + 2 * h + 1), yh, p);
            break;
        case VmRootKind::Near:
            half[h] = VmRootNearest4(yh, p.newton);
            break;
        default:
            half[h] = VmRoot32Lanes(yh, p);
            break;
        }
    }
    return _mm_packs_epi32(half[0], half[1]);
}

// ---- the walk every integer-root driver shares
struct VmLoadIAligned
{
    static __m128i Get(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
};
struct VmLoadIUnaligned
{
    static __m128i Get(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
};
struct VmLoadIDq
{
    static __m128i Get(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }
};

// One to seven elements through a block: exactly `count` elements are read
// and written, the other lanes hold 0.
template <class T, class Block>
void VmRootPartial(const T* src, int16_t* dst, int64_t count, Block& block)
{
    alignas(16) T lanes[8] = {};
    alignas(16) int16_t out[8];
    std::memcpy(lanes, src, sizeof(T) * static_cast<size_t>(count));
    _mm_store_si128(reinterpret_cast<__m128i*>(out), block(lanes, VmLoadIAligned{}));
    std::memcpy(dst, out, 2 * static_cast<size_t>(count));
}

template <class Load, bool AlignedStore, class T, class Block>
void VmRootLoop(const T*& src, int16_t*& dst, int64_t& len, Block& block)
{
    for (; len >= 8; len -= 8, src += 8, dst += 8)
    {
        const __m128i r = block(src, Load{});
        if constexpr (AlignedStore)
            _mm_store_si128(reinterpret_cast<__m128i*>(dst), r);
        else
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), r);
    }
}

// A partial block until dst is 16-byte aligned (an odd dst never is), blocks
// of eight in the loop form chosen once by the alignment of dst and src, and
// a last partial block. `block(pointer, load)` maps eight elements to eight
// results.
template <class T, class Block>
void VmRootWalk(const T* src, int16_t* dst, int64_t len, Block block)
{
    const int64_t misplaced = static_cast<int64_t>(VmAddr(dst) & 14);
    if (misplaced != 0)
    {
        const int64_t head = len < 8 - misplaced / 2 ? len : 8 - misplaced / 2;
        VmRootPartial(src, dst, head, block);
        src += head, dst += head, len -= head;
    }
    if ((VmAddr(dst) & 15) != 0)
        VmRootLoop<VmLoadIUnaligned, false>(src, dst, len, block);
    else if ((VmAddr(src) & 15) == 0)
        VmRootLoop<VmLoadIAligned, true>(src, dst, len, block);
    else
        VmRootLoop<VmLoadIDq, true>(src, dst, len, block);
    if (len > 0)
        VmRootPartial(src, dst, len, block);
}

// The flag is the OR of the inputs' sign bits, in the lane layout of each
// routine's blocks: nonzero exactly when an element was negative.
inline int32_t VmSqrtKernel16sScaled(const int16_t* src, int16_t* dst, int64_t len, int32_t f)
{
    const VmRootPlan p = VmPlanRoot16s(f);
    __m128i seen = _mm_setzero_si128();
    VmRootWalk(src, dst, len,
               [&](const int16_t* at, auto load)
               {
                   const __m128i in = decltype(load)::Get(at);
                   seen = _mm_or_si128(seen, in);
                   return VmRoot16sBlock(in, p);
               });
    if (f <= -4)
        return _mm_movemask_epi8(seen) & 0xAAAA;
    const __m128i pairs = _mm_or_si128(seen, _mm_shuffle_epi32(seen, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m128i one = _mm_or_si128(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(one) & static_cast<int32_t>(0x80008000u);
}

inline int32_t VmSqrtKernel32sTo16sScaled(const int32_t* src, int16_t* dst, int64_t len, int32_t f)
{
    const VmRootPlan p = VmPlanRoot32s(f);
    __m128i seen = _mm_setzero_si128();
    VmRootWalk(src, dst, len,
               [&](const int32_t* at, auto load)
               {
                   const __m128i in0 = decltype(load)::Get(at);
                   const __m128i in1 = decltype(load)::Get(at + 4);
                   seen = _mm_or_si128(seen, _mm_or_si128(in0, in1));
                   return VmRoot32sBlock(in0, in1, p);
               });
    return _mm_movemask_epi8(seen) & 0x8888;
}

inline int32_t VmSqrtKernel64sTo16sScaled(const int64_t* src, int16_t* dst, int64_t len, int32_t f)
{
    const VmRootPlan p = VmPlanRoot64s(f);
    int64_t even = 0, odd = 0;
    VmRootWalk(src, dst, len,
               [&](const int64_t* at, auto)
               {
                   int64_t lanes[2] = {0, 0};
                   const __m128i r = VmRoot64sBlock(at, p, lanes);
                   even |= lanes[0], odd |= lanes[1];
                   return r;
               });
    if (f <= 0)
        return (even | odd) < 0 ? 1 : 0;
    return (even < 0 ? 0x80 : 0) | (odd < 0 ? 0x8000 : 0);
}
} // namespace
