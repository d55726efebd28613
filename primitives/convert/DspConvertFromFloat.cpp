// Float samples out to 16-bit, 32-bit and packed 24-bit integers (level 0).
// Every mode saturates to the target range; the clamp is taken before the
// rounding, which gives the same result as rounding first and saturating after
// because the limits are integers and rounding is monotonic. Each mode runs its
// own branch-free loop; with SSE2 four lanes at a time (DspConvertFromFloatSse2.h),
// the scalar loops finishing the last few elements with the same results.
#include <bit>

#include "primitives/convert/DspConvert.h"
#include "primitives/convert/DspConvertFromFloatSse2.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/DspInterleaveLanes.h"

namespace
{
enum class Rounding
{
    Truncate, // round mode 0
    HalfEven, // round mode 1
    HalfAway  // every other round mode
};

inline Rounding RoundingOf(DspRoundMode mode)
{
    if (mode == DspRndZero)
        return Rounding::Truncate;
    if (mode == DspRndNear)
        return Rounding::HalfEven;
    return Rounding::HalfAway;
}

// Lanes of the same rounding (the single-precision half of the 16-bit mode
// is chosen by the caller).
inline DspLaneRounding LaneRoundingOf(Rounding r)
{
    constexpr DspLaneRounding Lanes[] = {DspLaneRounding::Truncate, DspLaneRounding::HalfEven,
                                         DspLaneRounding::HalfAway};
    return Lanes[static_cast<int>(r)];
}

// |sf| <= 126: 2^-sf is a normal single, and the single product x * 2^-sf
// differs from the exact one only where it overflows (saturated either way)
// or falls below the normal range (rounds to 0 either way); so the lanes'
// single-precision scaling gives the double-precision results.
inline bool SingleFactor(int32_t sf)
{
    return sf >= -126 && sf <= 126;
}

// 2^-sf in double precision as repeated halving or doubling of 1.0 gives it
// under round-to-nearest: exact while a double holds it, 0 from 2^-1075 down
// (the halving of the smallest subnormal ties to even) and infinity from
// 2^1024 up, whatever rounding field the caller has set.
double DoubleScaleFactor(int32_t sf)
{
    if (sf <= -1024)
        return std::bit_cast<double>(0x7FF0000000000000ull); // infinity
    if (sf <= 1022)
        return DspScaleFactor<double>(sf);
    if (sf <= 1074)
        return std::bit_cast<double>(1ull << (1074 - sf)); // subnormal
    return 0.0;
}

// Rounds a value already inside the target range (so the result fits).
template <Rounding R> inline int64_t RoundClamped(double c)
{
    if constexpr (R == Rounding::Truncate)
    {
        return static_cast<int64_t>(c);
    }
    else
    {
        const double half = c >= 0.0 ? 0.5 : -0.5;
        const double y = c + half;
        int64_t t = static_cast<int64_t>(y);
        if constexpr (R == Rounding::HalfEven)
        {
            // Exactly halfway and odd: step back toward zero to the even neighbour.
            const bool tie = (t & 1) != 0 && static_cast<double>(t) == y;
            t -= tie ? (c >= 0.0 ? 1 : -1) : 0;
        }
        return t;
    }
}

// Without a scale factor the multiplication by 1.0 changes no value; doing it
// anyway keeps one loop per mode.
template <Rounding R> void ToInt16(const float* src, int16_t* dst, int32_t len, double factor)
{
    for (int32_t i = 0; i < len; ++i)
    {
        const double y = static_cast<double>(src[i]) * factor;
        double c = y < 32767.0 ? y : 32767.0;
        c = c > -32768.0 ? c : -32768.0;
        c = (y != y) ? 0.0 : c;
        if constexpr (R == Rounding::Truncate)
            dst[i] = static_cast<int16_t>(static_cast<int32_t>(c));
        else
            dst[i] = static_cast<int16_t>(RoundClamped<R>(c));
    }
}

// Truncation with a factor that is a normal single (|sf| <= 126): the single
// product differs from the exact one only where it overflows (saturated
// either way) or falls below the normal range (truncated to 0 either way), so
// this four-lane loop gives the double-precision results.
void ToInt16TruncateSingle(const float* src, int16_t* dst, int32_t len, float factor)
{
    for (int32_t i = 0; i < len; ++i)
    {
        const float y = src[i] * factor;
        const uint32_t bits = std::bit_cast<uint32_t>(y);
        float c = y < 32767.0f ? y : 32767.0f;
        c = c > -32768.0f ? c : -32768.0f;
        c = (bits & 0x7FFFFFFFu) > 0x7F800000u ? 0.0f : c; // NaN
        dst[i] = static_cast<int16_t>(static_cast<int32_t>(c));
    }
}

// Ties away from zero without a scale factor: the half is added in single
// precision, so a value just below one half can round up.
void ToInt16HalfAwaySingle(const float* src, int16_t* dst, int32_t len)
{
    for (int32_t i = 0; i < len; ++i)
    {
        const float x = src[i];
        float c = x >= 32767.0f ? 32767.0f : x;
        c = c <= -32768.0f ? -32768.0f : c;
        c = (x != x) ? 0.0f : c;
        const float y = c + (c >= 0.0f ? 0.5f : -0.5f);
        dst[i] = static_cast<int16_t>(static_cast<int32_t>(y));
    }
}

template <Rounding R> void ToInt32(const float* src, int32_t* dst, int32_t len, double factor)
{
    // Truncation and ties to even give 0 for a NaN; ties away give the lowest
    // value, as the truncating conversion of an invalid operand does.
    const double nanResult = R == Rounding::HalfAway ? -2147483648.0 : 0.0;
    for (int32_t i = 0; i < len; ++i)
    {
        const double y = static_cast<double>(src[i]) * factor;
        double c = y < 2147483647.0 ? y : 2147483647.0;
        c = c > -2147483648.0 ? c : -2147483648.0;
        c = (y != y) ? nanResult : c;
        if constexpr (R == Rounding::Truncate)
            dst[i] = static_cast<int32_t>(c);
        else
            dst[i] = static_cast<int32_t>(RoundClamped<R>(c));
    }
}

inline void Store24(uint8_t* p, int32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

// Nearest, ties to even, of p saturated to 24 bits, with exact operations only
// (no rounding step), so neither the caller's rounding mode nor its
// flush-to-zero setting can change the result; written without branches.
inline int32_t RoundTo24(float p)
{
    const uint32_t bits = std::bit_cast<uint32_t>(p);
    float c = p < 8388607.0f ? p : 8388607.0f;
    c = c > -8388608.0f ? c : -8388608.0f;
    c = (bits & 0x7FFFFFFFu) > 0x7F800000u ? 0.0f : c; // NaN
    const int32_t t = static_cast<int32_t>(c);
    const float twice = (c - static_cast<float>(t)) * 2.0f; // exact, |twice| < 2
    const int32_t step = static_cast<int32_t>(twice);       // -1, 0 or 1: half or more
    const int32_t tie = (twice - static_cast<float>(step)) == 0.0f ? 1 : 0;
    const int32_t even = 1 - (t & 1);
    return t + step - step * (tie & even);
}

void ToInt24(const float* src, uint8_t* dst, int32_t len, float factor)
{
    constexpr int32_t Block = 16;
    int32_t i = DspLanesTo24s(src, dst, len, factor);
    for (; i + Block <= len; i += Block)
    {
        int32_t v[Block];
        for (int32_t k = 0; k < Block; ++k)
            v[k] = RoundTo24(src[i + k] * factor);
        for (int32_t k = 0; k < Block; ++k)
            Store24(dst + 3 * static_cast<size_t>(i + k), v[k]);
    }
    for (; i < len; ++i)
        Store24(dst + 3 * static_cast<size_t>(i), RoundTo24(src[i] * factor));
}

// 2^-sf as the 24-bit conversion makes it: sf taken off the biased exponent
// of 1.0, so 127 leaves +0.0 and -127 gives 2^127.
float Factor24(int32_t sf)
{
    return DspScaleFactor<float>(sf > 127 ? 127 : (sf < -127 ? -127 : sf));
}
} // namespace

DspStatus DspConvert32fTo16sScaled_Gen(const float* src, int16_t* dst, int32_t len,
                                       DspRoundMode rndMode, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    const double factor = sf != 0 ? DoubleScaleFactor(sf) : 1.0;
    const Rounding rounding = RoundingOf(rndMode);
    if (SingleFactor(sf))
    {
        const DspLaneRounding lanes = rounding == Rounding::HalfAway && sf == 0
                                          ? DspLaneRounding::HalfAwaySingleAdd
                                          : LaneRoundingOf(rounding);
        const int32_t done = DspLanesTo16s(src, dst, len, static_cast<float>(factor), lanes);
        src += done;
        dst += done;
        len -= done;
    }
    switch (rounding)
    {
    case Rounding::Truncate:
        if (SingleFactor(sf))
            ToInt16TruncateSingle(src, dst, len, static_cast<float>(factor));
        else
            ToInt16<Rounding::Truncate>(src, dst, len, factor);
        break;
    case Rounding::HalfEven:
        ToInt16<Rounding::HalfEven>(src, dst, len, factor);
        break;
    case Rounding::HalfAway:
        if (sf != 0)
            ToInt16<Rounding::HalfAway>(src, dst, len, factor);
        else
            ToInt16HalfAwaySingle(src, dst, len);
        break;
    }
    return DspStsNoErr;
}

DspStatus DspConvert32fTo32sScaled_Gen(const float* src, int32_t* dst, int32_t len,
                                       DspRoundMode rndMode, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    const double factor = sf != 0 ? DoubleScaleFactor(sf) : 1.0;
    const Rounding rounding = RoundingOf(rndMode);
    if (SingleFactor(sf))
    {
        const int32_t nanValue = rounding == Rounding::HalfAway ? INT32_MIN : 0;
        const int32_t done = DspLanesTo32s(src, dst, len, static_cast<float>(factor),
                                           LaneRoundingOf(rounding), nanValue);
        src += done;
        dst += done;
        len -= done;
    }
    switch (rounding)
    {
    case Rounding::Truncate:
        ToInt32<Rounding::Truncate>(src, dst, len, factor);
        break;
    case Rounding::HalfEven:
        ToInt32<Rounding::HalfEven>(src, dst, len, factor);
        break;
    case Rounding::HalfAway:
        ToInt32<Rounding::HalfAway>(src, dst, len, factor);
        break;
    }
    return DspStsNoErr;
}

DspStatus DspConvert32fTo24sScaled_Gen(const float* src, uint8_t* dst, int32_t len, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    ToInt24(src, dst, len, Factor24(sf)); // sf 0: a factor of 1.0
    return DspStsNoErr;
}

DspStatus DspInterleave32fTo24sFullScale(const float* const* src, int32_t channels, int32_t len,
                                         uint8_t* dst)
{
    const DspStatus status = Check(src, dst, channels, len);
    if (status < 0)
        return status;
    const float factor = Factor24(-23);
    const size_t stride = static_cast<size_t>(channels);
    for (int32_t i = DspLanesInterleaveTo24s(src, channels, len, dst, factor); i < len; ++i)
        for (size_t c = 0; c < stride; ++c)
            Store24(dst + 3 * (static_cast<size_t>(i) * stride + c), RoundTo24(src[c][i] * factor));
    return DspStsNoErr;
}
