// Scaled square roots of unsigned 16-bit and signed 64-bit integer vectors,
// and the byte-table map. The 16-bit roots come from the reciprocal
// square-root estimate, truncated and corrected upwards by one exact test;
// the 64-bit roots from the x87 unit's extended square root and an exact
// 128-bit test. Included only by the per-level files.
#pragma once

#include <pmmintrin.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "platform/cpu/cpu.h"

namespace
{
// ---- unsigned 16-bit: how a call's scale factor s is served.
enum class VmRoot16 : int
{
    Zero,  // s >= 9: every scaled root is below one half
    Down,  // 1 .. 8: rounded half to even
    Plain, // 0
    Up,    // -1 .. -15
    Full,  // <= -16: every nonzero input saturates
};

struct VmRoot16Plan
{
    VmRoot16 kind;
    int32_t s;
    double scale; // 4^n for s = -n < 0
    float factor; // -0.5 * 2^n where the estimate starts from x itself
    bool fromX;   // s <= -8: the estimate is taken from x, not from x * 4^n
    bool newton;  // one Newton step: s <= -3
};

inline VmRoot16Plan VmPlanRoot16(int32_t s)
{
    VmRoot16Plan p{VmRoot16::Plain, s, 1.0, -0.5f, false, false};
    if (s >= 9)
        p.kind = VmRoot16::Zero;
    else if (s >= 1)
        p.kind = VmRoot16::Down;
    else if (s <= -16)
        p.kind = VmRoot16::Full;
    else if (s < 0)
    {
        p.kind = VmRoot16::Up;
        p.scale = static_cast<double>(int64_t{1} << (-2 * s));
        p.fromX = s <= -8;
        p.factor = -0.5f * static_cast<float>(1 << (p.fromX ? -s : 0));
        // The estimate alone leaves some roots up to 2048 one below the
        // rounded root; the Newton step serves s = -3 as it does below.
        p.newton = s <= -3;
    }
    return p;
}

// Lane masks of lhs > rhs for four lanes held as two pairs of doubles.
inline __m128i VmGreater4(__m128d lhsLo, __m128d lhsHi, __m128d rhsLo, __m128d rhsHi)
{
    const __m128 lo = _mm_castpd_ps(_mm_cmpgt_pd(lhsLo, rhsLo));
    const __m128 hi = _mm_castpd_ps(_mm_cmpgt_pd(lhsHi, rhsHi));
    return _mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)));
}

inline __m128d VmHighPair(__m128i v)
{
    return _mm_cvtepi32_pd(_mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
}

// The truncated estimate of the root of `y`; the addend keeps a zero lane's
// estimate finite (it truncates to 0) and vanishes for every y of 1 or more.
inline __m128i VmTruncRoot(__m128 y, const VmRoot16Plan& p)
{
    const __m128 r = _mm_rsqrt_ps(_mm_add_ps(y, _mm_set1_ps(0x1p-119f)));
    const __m128 a = _mm_mul_ps(y, r);
    if (!p.newton)
        return _mm_cvttps_epi32(a);
    const __m128 step = _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(p.factor), a),
                                   _mm_sub_ps(_mm_mul_ps(r, a), _mm_set1_ps(3.0f)));
    return _mm_cvttps_epi32(_mm_min_ps(step, _mm_set1_ps(65535.0f)));
}

// Four roots from four inputs in 32-bit lanes.
inline __m128i VmRoot16Lanes(__m128i x, const VmRoot16Plan& p)
{
    const __m128i one = _mm_set1_epi32(1);
    const __m128d xLo = _mm_cvtepi32_pd(x), xHi = VmHighPair(x);
    const __m128 xf = _mm_cvtepi32_ps(x);
    if (p.kind == VmRoot16::Down)
    {
        const __m128i t =
            _mm_cvttps_epi32(_mm_mul_ps(xf, _mm_rsqrt_ps(_mm_add_ps(xf, _mm_set1_ps(0x1p-119f)))));
        __m128i q = _mm_srl_epi32(t, _mm_cvtsi32_si128(p.s));
        // At most 255 >> s: the clamp of the estimate to 255.
        const __m128i qMax = _mm_set1_epi32(255 >> p.s);
        q = _mm_sub_epi32(q, _mm_and_si128(_mm_cmpgt_epi32(q, qMax), _mm_sub_epi32(q, qMax)));
        // m = (2q + 1) 2^(s - 1); the root rounds up past m, or at m when q is odd.
        const __m128i m =
            _mm_sll_epi32(_mm_add_epi32(_mm_add_epi32(q, q), one), _mm_cvtsi32_si128(p.s - 1));
        const __m128i lhs = _mm_add_epi32(x, _mm_and_si128(q, one));
        const __m128d mLo = _mm_cvtepi32_pd(m), mHi = VmHighPair(m);
        const __m128i up = VmGreater4(_mm_cvtepi32_pd(lhs), VmHighPair(lhs), _mm_mul_pd(mLo, mLo),
                                      _mm_mul_pd(mHi, mHi));
        return _mm_sub_epi32(q, up);
    }
    // X = x 4^n, exact in double; the root rounds up when X - t > t^2.
    const __m128d bigLo = _mm_mul_pd(xLo, _mm_set1_pd(p.scale));
    const __m128d bigHi = _mm_mul_pd(xHi, _mm_set1_pd(p.scale));
    const __m128 y = p.fromX ? xf : _mm_movelh_ps(_mm_cvtpd_ps(bigLo), _mm_cvtpd_ps(bigHi));
    const __m128i t = VmTruncRoot(y, p);
    const __m128d tLo = _mm_cvtepi32_pd(t), tHi = VmHighPair(t);
    const __m128i up = VmGreater4(_mm_sub_pd(bigLo, tLo), _mm_sub_pd(bigHi, tHi),
                                  _mm_mul_pd(tLo, tLo), _mm_mul_pd(tHi, tHi));
    const __m128i r = _mm_sub_epi32(t, up);
    // Saturate at 65535.
    const __m128i top = _mm_set1_epi32(65535);
    return _mm_sub_epi32(r, _mm_and_si128(_mm_cmpgt_epi32(r, top), _mm_sub_epi32(r, top)));
}

// Eight inputs to eight results; the zero and saturating plans need no root.
inline __m128i VmRoot16Block(__m128i in, const VmRoot16Plan& p)
{
    const __m128i zero = _mm_setzero_si128();
    if (p.kind == VmRoot16::Zero)
        return zero;
    if (p.kind == VmRoot16::Full)
        return _mm_andnot_si128(_mm_cmpeq_epi16(in, zero), _mm_set1_epi16(-1));
    const __m128i lo = VmRoot16Lanes(_mm_unpacklo_epi16(in, zero), p);
    const __m128i hi = VmRoot16Lanes(_mm_unpackhi_epi16(in, zero), p);
    // Unsigned narrowing through the signed one: results move down by 32768.
    const __m128i bias = _mm_set1_epi32(32768);
    return _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(lo, bias), _mm_sub_epi32(hi, bias)),
                         _mm_set1_epi16(static_cast<int16_t>(0x8000)));
}

// One to seven elements through a block, reading and writing exactly `count`.
inline void VmRoot16Partial(const uint16_t* src, uint16_t* dst, int64_t count,
                            const VmRoot16Plan& p)
{
    alignas(16) uint16_t lanes[8] = {};
    std::memcpy(lanes, src, 2 * static_cast<size_t>(count));
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes),
                    VmRoot16Block(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes)), p));
    std::memcpy(dst, lanes, 2 * static_cast<size_t>(count));
}

template <class Load, bool AlignedStore>
void VmRoot16Loop(const uint16_t*& src, uint16_t*& dst, int64_t& len, const VmRoot16Plan& p)
{
    for (; len >= 8; len -= 8, src += 8, dst += 8)
    {
        const __m128i r = VmRoot16Block(Load::Get(src), p);
        if constexpr (AlignedStore)
            _mm_store_si128(reinterpret_cast<__m128i*>(dst), r);
        else
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), r);
    }
}

struct VmLoadAligned16
{
    static __m128i Get(const uint16_t* p)
    {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
    }
};
struct VmLoadUnaligned16
{
    static __m128i Get(const uint16_t* p)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
};
struct VmLoadDq16
{
    static __m128i Get(const uint16_t* p)
    {
        return _mm_lddqu_si128(reinterpret_cast<const __m128i*>(p));
    }
};

inline void VmSqrtKernel16uScaled(const uint16_t* src, uint16_t* dst, int64_t len, int32_t s)
{
    const VmRoot16Plan p = VmPlanRoot16(s);
    while ((reinterpret_cast<uintptr_t>(dst) & 14) != 0 && len > 0)
    {
        VmRoot16Partial(src++, dst++, 1, p);
        --len;
    }
    const bool dstAligned = (reinterpret_cast<uintptr_t>(dst) & 15) == 0;
    if (!dstAligned)
        VmRoot16Loop<VmLoadUnaligned16, false>(src, dst, len, p);
    else if ((reinterpret_cast<uintptr_t>(src) & 15) != 0)
        VmRoot16Loop<VmLoadDq16, true>(src, dst, len, p);
    else
        VmRoot16Loop<VmLoadAligned16, true>(src, dst, len, p);
    for (int64_t width : {4, 2, 1})
        if (len >= width)
        {
            VmRoot16Partial(src, dst, width, p);
            src += width, dst += width, len -= width;
        }
}

// ---- byte-table map
inline void VmTableLookup8u(const uint8_t* src, uint8_t* dst, int64_t len, const uint8_t* table)
{
    for (; (reinterpret_cast<uintptr_t>(dst) & 3) != 0 && len > 0; --len)
        *dst++ = table[*src++];
    for (; len >= 4; len -= 4, src += 4, dst += 4)
    {
        const uint8_t four[4] = {table[src[0]], table[src[1]], table[src[2]], table[src[3]]};
        std::memcpy(dst, four, 4);
    }
    for (; len > 0; --len)
        *dst++ = table[*src++];
}

// ---- signed 64-bit on the x87 unit
// Sets the precision the roots need for the call (double for s >= -21, the
// full 64-bit significand below) and gives the caller its word back.
class VmX87Scope
{
  public:
    explicit VmX87Scope(int32_t s) : caller_(EmuX87ControlWord())
    {
        if (s <= -63)
            return;
        const uint16_t wanted = caller_ | (s >= -21 ? 0x200 : 0x300);
        if (wanted != caller_)
            EmuSetX87ControlWord(wanted);
    }
    ~VmX87Scope()
    {
        if (EmuX87ControlWord() != caller_)
            EmuSetX87ControlWord(caller_);
    }
    VmX87Scope(const VmX87Scope&) = delete;
    VmX87Scope& operator=(const VmX87Scope&) = delete;

  private:
    uint16_t caller_;
};

constexpr uint64_t VmInt64Max = 0x7FFFFFFFFFFFFFFFull;

inline long double VmX87Sqrt(long double v)
{
    __asm__("fsqrt" : "+t"(v));
    return v;
}

// One non-negative element; `scale` is 2^n for s = -n < 0.
inline uint64_t VmRoot64(uint64_t x, int32_t s, long double scale)
{
    using U128 = unsigned __int128;
    if (s >= 33)
        return 0;
    if (s <= -63)
        return x != 0 ? VmInt64Max : 0;
    const long double root = VmX87Sqrt(static_cast<long double>(x));
    if (s >= 1)
    {
        const uint64_t t = static_cast<uint64_t>(root);
        const uint64_t r = t >> s;
        const U128 m = (t & ~((uint64_t{1} << s) - 1)) + (uint64_t{1} << (s - 1));
        const U128 square = m * m;
        return r + (x > square ? 1 : (x == square ? (r & 1) : 0));
    }
    if (s == 0)
    {
        const uint64_t t = static_cast<uint64_t>(root);
        return t + (static_cast<U128>(x) > static_cast<U128>(t) * t + t ? 1 : 0);
    }
    const long double v = root * scale;
    if (v >= static_cast<long double>(VmInt64Max))
        return VmInt64Max;
    const uint64_t t = static_cast<uint64_t>(v);
    const U128 big = static_cast<U128>(x) << (-2 * s);
    return t + (static_cast<U128>(t) * t + t < big ? 1 : 0);
}

inline int32_t VmSqrtKernel64sScaled(const int64_t* src, int64_t* dst, int64_t len, int32_t s)
{
    const VmX87Scope x87(s);
    const long double scale = s < 0 && s > -63 ? static_cast<long double>(uint64_t{1} << -s) : 1.0L;
    int32_t negative = 0;
    for (int64_t i = 0; i < len; ++i)
    {
        const int64_t x = src[i];
        negative |= x < 0 ? 1 : 0;
        dst[i] = x < 0 ? 0 : static_cast<int64_t>(VmRoot64(static_cast<uint64_t>(x), s, scale));
    }
    return negative;
}
} // namespace
