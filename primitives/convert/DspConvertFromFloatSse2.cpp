// Four-lane float-to-integer loops: multiply, clamp, NaN mask, round, store;
// no branch depends on a sample. Every operation matches the scalar loop's
// result for the same element: the clamp limits are integers (so clamping
// before rounding changes nothing), and c - trunc(c) and its double are exact.
#include "primitives/convert/DspConvertFromFloatSse2.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstring>

namespace
{
struct Range
{
    __m128 lo, hi;
};

// The lanes' own rounding kinds: the public ones, and ties to even by the
// converting instruction when the caller's rounding field is to nearest.
enum class Kind
{
    Truncate,
    HalfEven,
    HalfAway,
    HalfAwaySingleAdd,
    NearestField,
    // Ties away with the rounding field to nearest: the largest single below
    // one half, added to |c| under round-to-nearest, carries the sum to the
    // next integer exactly when |c| has a fraction of one half or more.
    HalfAwayNearestField
};

constexpr uint32_t RoundingField = 0x6000;

inline Kind KindOf(DspLaneRounding r)
{
    const bool nearestField = (_mm_getcsr() & RoundingField) == 0;
    if (r == DspLaneRounding::HalfEven && nearestField)
        return Kind::NearestField;
    if (r == DspLaneRounding::HalfAway && nearestField)
        return Kind::HalfAwayNearestField;
    constexpr Kind Kinds[] = {Kind::Truncate, Kind::HalfEven, Kind::HalfAway,
                              Kind::HalfAwaySingleAdd};
    return Kinds[static_cast<int>(r)];
}

inline __m128i Select(__m128i mask, __m128i a, __m128i b)
{
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

template <Kind R> inline __m128i RoundLanes(__m128 c)
{
    const __m128i t = _mm_cvttps_epi32(c);
    if constexpr (R == Kind::NearestField)
    {
        return _mm_cvtps_epi32(c);
    }
    else if constexpr (R == Kind::Truncate)
    {
        return t;
    }
    else
    {
        // Twice the fraction, exact and below 2 in magnitude: its truncation
        // is -1, 0 or 1, non-zero from one half on.
        const __m128 twice = _mm_mul_ps(_mm_sub_ps(c, _mm_cvtepi32_ps(t)), _mm_set1_ps(2.0f));
        const __m128i step = _mm_cvttps_epi32(twice);
        if constexpr (R == Kind::HalfAway)
        {
            return _mm_add_epi32(t, step);
        }
        else
        {
            // An exact half on an even t stays.
            const __m128i tie = _mm_castps_si128(_mm_cmpeq_ps(twice, _mm_cvtepi32_ps(step)));
            const __m128i even =
                _mm_cmpeq_epi32(_mm_and_si128(t, _mm_set1_epi32(1)), _mm_setzero_si128());
            return _mm_add_epi32(t, _mm_andnot_si128(_mm_and_si128(tie, even), step));
        }
    }
}

// Clamped and rounded lanes; a NaN lane is first replaced by nanLane.
template <Kind R, bool NanIsZero> inline __m128i Lanes(__m128 y, const Range& range, __m128 nanLane)
{
    const __m128 ordered = _mm_cmpord_ps(y, y);
    __m128 v = _mm_and_ps(y, ordered);
    if constexpr (!NanIsZero)
        v = _mm_or_ps(v, _mm_andnot_ps(ordered, nanLane));
    return RoundLanes<R>(_mm_min_ps(_mm_max_ps(v, range.lo), range.hi));
}

// Ties away from zero, independent of the rounding field. With v = 2c (the
// doubled factor keeps the product exact), floor(|c| + 1/2) equals
// floor((floor(|v|) + 1) / 2), and from T = trunc(-|v|) = -floor(|v|) that is
// -(T >> 1). The minimum with +0.0 turns a NaN into 0; from 2^31 on T is
// -2^31, whose half the saturating pack takes to the limit of c's sign.
inline __m128i HalfAwayDoubled(__m128 v)
{
    const __m128 negMagnitude = _mm_min_ps(_mm_or_ps(v, _mm_set1_ps(-0.0f)), _mm_setzero_ps());
    const __m128i m = _mm_srai_epi32(_mm_cvttps_epi32(negMagnitude), 1);
    const __m128i nonNegative = _mm_cmpgt_epi32(_mm_castps_si128(v), _mm_set1_epi32(-1));
    return _mm_sub_epi32(_mm_xor_si128(m, nonNegative), nonNegative);
}

int32_t To16sHalfAway(const float* src, int16_t* dst, int32_t len, __m128 factor)
{
    const __m128 doubled = _mm_add_ps(factor, factor);
    int32_t i = 0;
    for (; i + 16 <= len; i += 16)
    {
        const __m128i a = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i), doubled));
        const __m128i b = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i + 4), doubled));
        const __m128i c = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i + 8), doubled));
        const __m128i d = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i + 12), doubled));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8), _mm_packs_epi32(c, d));
    }
    for (; i + 8 <= len; i += 8)
    {
        const __m128i a = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i), doubled));
        const __m128i b = HalfAwayDoubled(_mm_mul_ps(_mm_loadu_ps(src + i + 4), doubled));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
    }
    return i;
}

// Ties away with the half added in single precision (no scale factor). Below
// the range the conversion and the saturating pack give the lower limit, so
// only the upper clamp remains; a NaN is cleared first.
inline __m128i HalfAwaySingleAdd16(__m128 x)
{
    const __m128 c = _mm_min_ps(_mm_and_ps(x, _mm_cmpord_ps(x, x)), _mm_set1_ps(32767.0f));
    const __m128 half = _mm_or_ps(_mm_and_ps(c, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.5f));
    return _mm_cvttps_epi32(_mm_add_ps(c, half));
}

int32_t To16sSingleAdd(const float* src, int16_t* dst, int32_t len)
{
    int32_t i = 0;
    for (; i + 16 <= len; i += 16)
    {
        const __m128i a = HalfAwaySingleAdd16(_mm_loadu_ps(src + i));
        const __m128i b = HalfAwaySingleAdd16(_mm_loadu_ps(src + i + 4));
        const __m128i c = HalfAwaySingleAdd16(_mm_loadu_ps(src + i + 8));
        const __m128i d = HalfAwaySingleAdd16(_mm_loadu_ps(src + i + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8), _mm_packs_epi32(c, d));
    }
    return i;
}

template <Kind R> int32_t To16s(const float* src, int16_t* dst, int32_t len, __m128 factor)
{
    const Range range{_mm_set1_ps(-32768.0f), _mm_set1_ps(32767.0f)};
    const __m128 nan = _mm_setzero_ps();
    const auto eight = [&](int32_t at)
    {
        const __m128i a = Lanes<R, true>(_mm_mul_ps(_mm_loadu_ps(src + at), factor), range, nan);
        const __m128i b =
            Lanes<R, true>(_mm_mul_ps(_mm_loadu_ps(src + at + 4), factor), range, nan);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), _mm_packs_epi32(a, b));
    };
    int32_t i = 0;
    for (; i + 16 <= len; i += 16)
    {
        eight(i);
        eight(i + 8);
    }
    for (; i + 8 <= len; i += 8)
        eight(i);
    return i;
}

template <Kind R>
int32_t To32s(const float* src, int32_t* dst, int32_t len, __m128 factor, int32_t nanValue)
{
    // The largest single below 2^31 bounds the rounding; from 2^31 on the
    // lanes take the upper limit, which no single holds.
    const Range range{_mm_set1_ps(-2147483648.0f), _mm_set1_ps(2147483520.0f)};
    // 0 and -2^31, the two NaN results, are exact singles.
    const __m128 nan = _mm_set1_ps(static_cast<float>(nanValue));
    const __m128 top = _mm_set1_ps(2147483648.0f);
    const __m128i max = _mm_set1_epi32(INT32_MAX);
    int32_t i = 0;
    for (; i + 4 <= len; i += 4)
    {
        const __m128 y = _mm_mul_ps(_mm_loadu_ps(src + i), factor);
        const __m128 over = _mm_cmpge_ps(y, top);
        __m128i r;
        if constexpr (R == Kind::HalfAwayNearestField)
        {
            // The converting instruction gives -2^31 for a NaN, from 2^31 on
            // and below the range: only the upper limit needs the flip.
            const __m128 half =
                _mm_or_ps(_mm_and_ps(y, _mm_set1_ps(-0.0f)), _mm_set1_ps(0.49999997f));
            r = _mm_xor_si128(_mm_cvttps_epi32(_mm_add_ps(y, half)), _mm_castps_si128(over));
        }
        else if constexpr (R == Kind::Truncate || R == Kind::NearestField)
        {
            // The converting instruction already gives -2^31 below the range,
            // from 2^31 on and for NaN: only the upper limit and the NaN
            // result of these modes (0) remain.
            const __m128i ordered = _mm_castps_si128(_mm_cmpord_ps(y, y));
            r = _mm_and_si128(_mm_xor_si128(RoundLanes<R>(y), _mm_castps_si128(over)), ordered);
        }
        else
        {
            r = Select(_mm_castps_si128(over), max, Lanes<R, false>(y, range, nan));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), r);
    }
    return i;
}

// Four 24-bit values, each in the low three bytes of its lane: per 64-bit
// half the first sample's three bytes with the second's right behind, in the
// low six bytes (the two above them are rewritten by the next store).
inline __m128i Pairs24(__m128i v)
{
    const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    // Bytes 3 to 5 of each half.
    const __m128i second =
        _mm_set_epi32(0xFFFF, static_cast<int>(0xFF000000u), 0xFFFF, static_cast<int>(0xFF000000u));
    return _mm_or_si128(_mm_and_si128(v, first), _mm_and_si128(_mm_srli_epi64(v, 8), second));
}

// Nearest with ties to even by the converting instruction. The clamps keep a
// NaN (each takes its NaN operand second), so the conversion gives -2^31 for
// it, whose low three bytes are the 0 a NaN stands for.
template <Kind R> inline __m128i Lanes24(__m128 y, const Range& range)
{
    const __m128 c = _mm_max_ps(range.lo, _mm_min_ps(range.hi, y));
    if constexpr (R == Kind::NearestField)
        return _mm_cvtps_epi32(c);
    else
        return RoundLanes<R>(c);
}

// Two 64-bit halves of six bytes each, stored at 3-byte steps; each store
// writes two bytes past its six, rewritten by the next store.
inline void Store4x24(uint8_t* p, __m128i pairs)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), pairs);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 6), _mm_unpackhi_epi64(pairs, pairs));
}

template <Kind R> int32_t To24s(const float* src, uint8_t* dst, int32_t len, __m128 factor)
{
    const Range range{_mm_set1_ps(-8388608.0f), _mm_set1_ps(8388607.0f)};
    const auto four = [&](int32_t at)
    {
        Store4x24(dst + 3 * static_cast<size_t>(at),
                  Pairs24(Lanes24<R>(_mm_mul_ps(_mm_loadu_ps(src + at), factor), range)));
    };
    int32_t i = 0;
    // At least one more sample must follow a block, for the bytes past it.
    for (; i + 17 <= len; i += 16)
    {
        four(i);
        four(i + 4);
        four(i + 8);
        four(i + 12);
    }
    for (; i + 5 <= len; i += 4)
        four(i);
    return i;
}

// Frames [i, i + 4) of C channels, each channel's four samples converted
// side by side, interleaved by pairs of channels: in a pair's 64-bit lane,
// the first channel's three bytes with the second's right behind (a lone
// last channel pairs with itself). Frame by frame, pair after pair, each
// 8-byte store lands where the one before it ended, so its two (lone: five)
// bytes past the pair are rewritten by the next.
template <int C, Kind R>
[[gnu::always_inline]] inline void Interleave4Frames24(const float* const* s, int32_t i, uint8_t* d,
                                                       __m128 factor)
{
    constexpr int Pairs = (C + 1) / 2;
    const Range range{_mm_set1_ps(-8388608.0f), _mm_set1_ps(8388607.0f)};
    const auto lanes = [&](int c)
    { return Lanes24<R>(_mm_mul_ps(_mm_loadu_ps(s[c] + i), factor), range); };
    __m128i early[Pairs], late[Pairs]; // frames i, i + 1 and frames i + 2, i + 3
#pragma GCC unroll 4
    for (int p = 0; p < Pairs; ++p)
    {
        const __m128i a = lanes(2 * p);
        const __m128i b = 2 * p + 1 < C ? lanes(2 * p + 1) : a;
        const __m128i low =
            _mm_or_si128(_mm_and_si128(a, _mm_set1_epi32(0x00FFFFFF)), _mm_slli_epi32(b, 24));
        const __m128i high = _mm_srli_epi32(b, 8);
        early[p] = _mm_unpacklo_epi32(low, high);
        late[p] = _mm_unpackhi_epi32(low, high);
    }
    uint8_t* frame = d + 3 * C * static_cast<size_t>(i);
#pragma GCC unroll 4
    for (int f = 0; f < 4; ++f, frame += 3 * C)
#pragma GCC unroll 4
        for (int p = 0; p < Pairs; ++p)
        {
            const __m128i v = f < 2 ? early[p] : late[p];
            uint8_t* at = frame + 6 * p;
            if (f % 2 == 0)
                _mm_storel_epi64(reinterpret_cast<__m128i*>(at), v);
            else
                _mm_storeh_pi(reinterpret_cast<__m64*>(at), _mm_castsi128_ps(v));
        }
}

// Blocks of four frames while enough frames follow a block to take the bytes
// its last store writes past it (two frames of a lone channel, else one).
// The last frames go as blocks through a buffer on the stack, the last one
// ending at the last frame (rewriting frames with the same bytes).
template <int C, Kind R>
int32_t Interleave24(const float* const* src, int32_t len, uint8_t* dst, __m128 factor)
{
    constexpr int32_t Follow = C == 1 ? 2 : 1;
    constexpr size_t BlockBytes = 12 * C;
    if (len < 4)
        return 0;
    const float* s[C];
    for (int c = 0; c < C; ++c)
        s[c] = src[c];
    int32_t i = 0;
    for (; i + 4 + Follow <= len; i += 4)
        Interleave4Frames24<C, R>(s, i, dst, factor);
    for (; i < len; i += 4)
    {
        const int32_t at = i < len - 4 ? i : len - 4;
        const float* shifted[C];
        for (int c = 0; c < C; ++c)
            shifted[c] = s[c] + at;
        uint8_t bounce[BlockBytes + 8];
        Interleave4Frames24<C, R>(shifted, 0, bounce, factor);
        std::memcpy(dst + 3 * C * static_cast<size_t>(at), bounce, BlockBytes);
    }
    return len;
}

template <Kind R>
int32_t Interleave24Of(const float* const* src, int32_t channels, int32_t len, uint8_t* dst,
                       __m128 factor)
{
    using Blocks = int32_t (*)(const float* const*, int32_t, uint8_t*, __m128);
    static constexpr Blocks ByChannels[] = {
        Interleave24<1, R>, Interleave24<2, R>, Interleave24<3, R>, Interleave24<4, R>,
        Interleave24<5, R>, Interleave24<6, R>, Interleave24<7, R>, Interleave24<8, R>};
    if (channels > 8)
        return 0;
    return ByChannels[channels - 1](src, len, dst, factor);
}
} // namespace

int32_t DspLanesTo16s(const float* src, int16_t* dst, int32_t len, float factor,
                      DspLaneRounding rounding)
{
    const __m128 f = _mm_set1_ps(factor);
    switch (KindOf(rounding))
    {
    case Kind::Truncate:
        return To16s<Kind::Truncate>(src, dst, len, f);
    case Kind::HalfEven:
        return To16s<Kind::HalfEven>(src, dst, len, f);
    case Kind::HalfAway:
    case Kind::HalfAwayNearestField:
        return To16sHalfAway(src, dst, len, f);
    case Kind::HalfAwaySingleAdd:
        return To16sSingleAdd(src, dst, len);
    case Kind::NearestField:
        return To16s<Kind::NearestField>(src, dst, len, f);
    }
    return 0;
}

int32_t DspLanesTo32s(const float* src, int32_t* dst, int32_t len, float factor,
                      DspLaneRounding rounding, int32_t nanValue)
{
    const __m128 f = _mm_set1_ps(factor);
    switch (KindOf(rounding))
    {
    case Kind::Truncate:
        return To32s<Kind::Truncate>(src, dst, len, f, nanValue);
    case Kind::HalfEven:
        return To32s<Kind::HalfEven>(src, dst, len, f, nanValue);
    case Kind::HalfAway:
    case Kind::HalfAwaySingleAdd:
        return To32s<Kind::HalfAway>(src, dst, len, f, nanValue);
    case Kind::HalfAwayNearestField:
        return To32s<Kind::HalfAwayNearestField>(src, dst, len, f, nanValue);
    case Kind::NearestField:
        return To32s<Kind::NearestField>(src, dst, len, f, nanValue);
    }
    return 0;
}

int32_t DspLanesTo24s(const float* src, uint8_t* dst, int32_t len, float factor)
{
    const __m128 f = _mm_set1_ps(factor);
    if (KindOf(DspLaneRounding::HalfEven) == Kind::NearestField)
        return To24s<Kind::NearestField>(src, dst, len, f);
    return To24s<Kind::HalfEven>(src, dst, len, f);
}

int32_t DspLanesInterleaveTo24s(const float* const* src, int32_t channels, int32_t len,
                                uint8_t* dst, float factor)
{
    const __m128 f = _mm_set1_ps(factor);
    if (KindOf(DspLaneRounding::HalfEven) == Kind::NearestField)
        return Interleave24Of<Kind::NearestField>(src, channels, len, dst, f);
    return Interleave24Of<Kind::HalfEven>(src, channels, len, dst, f);
}
#else
int32_t DspLanesTo16s(const float*, int16_t*, int32_t, float, DspLaneRounding)
{
    return 0;
}
int32_t DspLanesTo32s(const float*, int32_t*, int32_t, float, DspLaneRounding, int32_t)
{
    return 0;
}
int32_t DspLanesTo24s(const float*, uint8_t*, int32_t, float)
{
    return 0;
}
int32_t DspLanesInterleaveTo24s(const float* const*, int32_t, int32_t, uint8_t*, float)
{
    return 0;
}
#endif
