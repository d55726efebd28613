// Processor-level variants of the conversion rows (levels 1 to 3). They check
// their arguments like the generic routines and hand the arrays to their own
// level's kernels. The kernels keep the results of the vector instructions they
// stand for: single-precision scale factors made by repeated halving, the
// 0x80000000 result of an invalid float-to-integer conversion, saturating packs
// and the rounding field of the SSE control register. None of this runs while
// the processor level stays 0.
#include <cmath>
#include <cstring>

#include "platform/cpu/cpu.h"
#include "primitives/convert/DspConvert.h"

namespace
{
constexpr uint32_t MxcsrRoundingMask = 0x6000;
constexpr uint32_t MxcsrRoundTowardZero = 0x6000;
constexpr uint32_t MxcsrInvalidFlag = 0x0001;

inline uint32_t Bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

inline float FromBits(uint32_t b)
{
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

// cvttss2si: truncation; NaN and values outside the 32-bit range give 0x80000000.
inline int32_t CvtTruncate(double v)
{
    if (!(v > -2147483649.0 && v < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// cvtss2si under round-to-nearest (the kernels force that field before converting).
inline int32_t CvtNearest(double v)
{
    if (!(v >= -2147483648.5 && v < 2147483647.5))
        return INT32_MIN;
    double r = std::floor(v);
    const double diff = v - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    return static_cast<int32_t>(r);
}

inline int16_t PackSigned16(int32_t v)
{
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

// Saves the control register, forces round-to-nearest or toward-zero for the
// kernel's duration when asked, and loads the caller's value back at the end
// when the rounding field or the invalid-operation flag changed.
class MxcsrGuard
{
  public:
    explicit MxcsrGuard(bool setField, uint32_t field) : m_Saved(EmuGetMxcsr())
    {
        if (setField && (m_Saved & MxcsrRoundingMask) != field)
        {
            EmuSetMxcsr((m_Saved & ~MxcsrRoundingMask) | field);
            m_Changed = true;
        }
    }
    ~MxcsrGuard()
    {
        if (m_Changed || ((EmuGetMxcsr() ^ m_Saved) & MxcsrInvalidFlag) != 0)
            EmuSetMxcsr(m_Saved);
    }
    MxcsrGuard(const MxcsrGuard&) = delete;
    MxcsrGuard& operator=(const MxcsrGuard&) = delete;

  private:
    uint32_t m_Saved;
    bool m_Changed = false;
};

// |v| + 0.5 rounded toward zero to single precision, as the 32-bit half-away
// kernel computes it with the rounding field set to toward zero.
inline float AddHalfTowardZero(float magnitude)
{
    const double exact = static_cast<double>(magnitude) + 0.5;
    float r = static_cast<float>(exact);
    if (static_cast<double>(r) > exact)
        r = std::nextafter(r, 0.0f);
    return r;
}

// ---- conversion kernel set, one copy per level
template <int L>
void ConvertKernel32fTo16sScaled(const float* src, int16_t* dst, int32_t n, DspRoundMode mode,
                                 int32_t sf)
{
    const float f = sf != 0 ? DspPow2ScaleBroadcast(sf) : 1.0f;
    {
        MxcsrGuard guard(mode != DspRndZero, 0);
        for (int32_t i = 0; i < n; ++i)
        {
            float v = sf != 0 ? src[i] * f : src[i];
            v = (v < 32767.0f) ? v : 32767.0f;
            const int32_t c = mode == DspRndZero ? CvtTruncate(v) : CvtNearest(v);
            dst[i] = PackSigned16(c);
        }
    }
    // The invalid-operation pass: NaN sources come out as 0.
    for (int32_t i = 0; i < n; ++i)
        if ((Bits(src[i]) & 0x7FFFFFFFu) > 0x7F800000u)
            dst[i] = 0;
}

template <int L>
void ConvertKernel32fTo32sScaled(const float* src, int32_t* dst, int32_t n, DspRoundMode mode,
                                 int32_t sf)
{
    const float f = sf != 0 ? DspPow2ScaleBroadcast(sf) : 1.0f;
    {
        MxcsrGuard guard(mode != DspRndZero, 0);
        for (int32_t i = 0; i < n; ++i)
        {
            const float v = sf != 0 ? src[i] * f : src[i];
            if (static_cast<int32_t>(Bits(v)) > 0x4EFFFFFF)
                dst[i] = INT32_MAX;
            else
                dst[i] = mode == DspRndZero ? CvtTruncate(v) : CvtNearest(v);
        }
    }
    for (int32_t i = 0; i < n; ++i)
        if ((Bits(src[i]) & 0x7FFFFFFFu) > 0x7F800000u)
            dst[i] = 0;
}

template <int L>
void ConvertKernel32fTo16sHalfAway(const float* src, int16_t* dst, int32_t n, int32_t sf)
{
    const float f = sf != 0 ? DspPow2ScaleBroadcast(sf) : 1.0f;
    MxcsrGuard guard(false, 0);
    for (int32_t i = 0; i < n; ++i)
    {
        float v = sf != 0 ? src[i] * f : src[i];
        v = (v < 32767.0f) ? v : 32767.0f; // a NaN takes the limit
        const float a = std::fabs(v) + 0.5f;
        dst[i] = PackSigned16(CvtTruncate(std::copysign(a, v)));
    }
}

template <int L>
void ConvertKernel32fTo32sHalfAway(const float* src, int32_t* dst, int32_t n, int32_t sf)
{
    const float f = sf != 0 ? DspPow2ScaleBroadcast(sf) : 1.0f;
    MxcsrGuard guard(true, MxcsrRoundTowardZero);
    for (int32_t i = 0; i < n; ++i)
    {
        const float v = sf != 0 ? src[i] * f : src[i];
        if (static_cast<int32_t>(Bits(v)) > 0x4EFFFFFF)
        {
            dst[i] = INT32_MAX;
            continue;
        }
        const float a = AddHalfTowardZero(std::fabs(v));
        dst[i] = CvtTruncate(std::copysign(a, v));
    }
}

inline void Store24(uint8_t* p, int32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

// Clamp from below first: a NaN takes the lower limit.
inline int32_t To24Nearest(float v)
{
    float c = (v > -8388608.0f) ? v : -8388608.0f;
    c = (c < 8388607.0f) ? c : 8388607.0f;
    return CvtNearest(c);
}

template <int L> void ConvertKernel32fTo24s(const float* src, uint8_t* dst, int32_t n)
{
    MxcsrGuard guard(true, 0);
    for (int32_t i = 0; i < n; ++i)
        Store24(dst + 3 * static_cast<size_t>(i), To24Nearest(src[i]));
}

template <int L>
void ConvertKernel32fTo24sScaled(const float* src, uint8_t* dst, int32_t n, int32_t sf)
{
    const int32_t s = sf > 127 ? 127 : (sf < -127 ? -127 : sf);
    const float f = FromBits(static_cast<uint32_t>(127 - s) << 23);
    MxcsrGuard guard(true, 0);
    for (int32_t i = 0; i < n; ++i)
        Store24(dst + 3 * static_cast<size_t>(i), To24Nearest(src[i] * f));
}

template <int L> void ConvertKernel24sTo32f(const uint8_t* src, float* dst, int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
    {
        const uint8_t* p = src + 3 * static_cast<size_t>(i);
        const int32_t v = static_cast<int32_t>(p[0]) | (static_cast<int32_t>(p[1]) << 8) |
                          (static_cast<int32_t>(static_cast<int8_t>(p[2])) * 65536);
        dst[i] = static_cast<float>(v);
    }
}

template <int L>
void FpConvertKernel16sTo32fScaled(const int16_t* src, float* dst, int32_t n, const float* factor)
{
    const float f = *factor;
    for (int32_t i = 0; i < n; ++i)
        dst[i] = static_cast<float>(src[i]) * f;
}

template <int L> void FpConvertKernel16sTo32f(const int16_t* src, float* dst, int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
        dst[i] = static_cast<float>(src[i]);
}

// In place is allowed: one element at a time, read before written.
template <int L> void ConvertKernel32sTo32f(const int32_t* src, float* dst, int32_t n)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    unsigned char* d = reinterpret_cast<unsigned char*>(dst);
    for (int32_t i = 0; i < n; ++i)
    {
        int32_t v;
        std::memcpy(&v, s + 4 * static_cast<size_t>(i), 4);
        const float r = static_cast<float>(v);
        std::memcpy(d + 4 * static_cast<size_t>(i), &r, 4);
    }
}

// ---- level routines
template <int L>
DspStatus Convert32fTo16s(const float* src, int16_t* dst, int32_t len, DspRoundMode mode,
                          int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (mode == DspRndZero || mode == DspRndNear)
        ConvertKernel32fTo16sScaled<L>(src, dst, len, mode, sf);
    else
        ConvertKernel32fTo16sHalfAway<L>(src, dst, len, sf);
    return DspStsNoErr;
}

template <int L>
DspStatus Convert32fTo32s(const float* src, int32_t* dst, int32_t len, DspRoundMode mode,
                          int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (mode == DspRndZero || mode == DspRndNear)
        ConvertKernel32fTo32sScaled<L>(src, dst, len, mode, sf);
    else
        ConvertKernel32fTo32sHalfAway<L>(src, dst, len, sf);
    return DspStsNoErr;
}

template <int L> DspStatus Convert24sTo32f(const uint8_t* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    ConvertKernel24sTo32f<L>(src, dst, len);
    return DspStsNoErr;
}

template <int L> DspStatus Convert32fTo24s(const float* src, uint8_t* dst, int32_t len, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (sf == 0)
        ConvertKernel32fTo24s<L>(src, dst, len);
    else
        ConvertKernel32fTo24sScaled<L>(src, dst, len, sf);
    return DspStsNoErr;
}

template <int L> DspStatus Convert16sTo32f(const int16_t* src, float* dst, int32_t len, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (sf == 0)
    {
        FpConvertKernel16sTo32f<L>(src, dst, len);
        return DspStsNoErr;
    }
    const int32_t s = sf > 126 ? 126 : (sf < -112 ? -112 : sf);
    const float factor = FromBits(0x3F800000u - (static_cast<uint32_t>(s) << 23));
    FpConvertKernel16sTo32fScaled<L>(src, dst, len, &factor);
    return DspStsNoErr;
}

template <int L> DspStatus Convert32sTo32f(const int32_t* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    ConvertKernel32sTo32f<L>(src, dst, len);
    return DspStsNoErr;
}
} // namespace

float DspPow2ScaleBroadcast(int32_t sf)
{
    // Past 300 steps the single has settled at 0, the smallest subnormal,
    // infinity or the largest finite value, whatever the rounding mode.
    float f = 1.0f;
    if (sf > 0)
    {
        const int32_t n = sf < 300 ? sf : 300;
        for (int32_t i = 0; i < n; ++i)
            f = f * 0.5f;
    }
    else
    {
        const int64_t n = -static_cast<int64_t>(sf) < 300 ? -static_cast<int64_t>(sf) : 300;
        for (int64_t i = 0; i < n; ++i)
            f = f * 2.0f;
    }
    return f;
}

DspStatus DspConvert32fTo16sScaled_Sse3(const float* s, int16_t* d, int32_t n, DspRoundMode m,
                                        int32_t sf)
{
    return Convert32fTo16s<1>(s, d, n, m, sf);
}
DspStatus DspConvert32fTo16sScaled_Ssse3(const float* s, int16_t* d, int32_t n, DspRoundMode m,
                                         int32_t sf)
{
    return Convert32fTo16s<2>(s, d, n, m, sf);
}
DspStatus DspConvert32fTo16sScaled_Sse4(const float* s, int16_t* d, int32_t n, DspRoundMode m,
                                        int32_t sf)
{
    return Convert32fTo16s<3>(s, d, n, m, sf);
}

DspStatus DspConvert32fTo32sScaled_Sse3(const float* s, int32_t* d, int32_t n, DspRoundMode m,
                                        int32_t sf)
{
    return Convert32fTo32s<1>(s, d, n, m, sf);
}
DspStatus DspConvert32fTo32sScaled_Ssse3(const float* s, int32_t* d, int32_t n, DspRoundMode m,
                                         int32_t sf)
{
    return Convert32fTo32s<2>(s, d, n, m, sf);
}
DspStatus DspConvert32fTo32sScaled_Sse4(const float* s, int32_t* d, int32_t n, DspRoundMode m,
                                        int32_t sf)
{
    return Convert32fTo32s<3>(s, d, n, m, sf);
}

DspStatus DspConvert24sTo32f_Sse3(const uint8_t* s, float* d, int32_t n)
{
    return Convert24sTo32f<1>(s, d, n);
}
DspStatus DspConvert24sTo32f_Ssse3(const uint8_t* s, float* d, int32_t n)
{
    return Convert24sTo32f<2>(s, d, n);
}
DspStatus DspConvert24sTo32f_Sse4(const uint8_t* s, float* d, int32_t n)
{
    return Convert24sTo32f<3>(s, d, n);
}

DspStatus DspConvert32fTo24sScaled_Sse3(const float* s, uint8_t* d, int32_t n, int32_t sf)
{
    return Convert32fTo24s<1>(s, d, n, sf);
}
DspStatus DspConvert32fTo24sScaled_Ssse3(const float* s, uint8_t* d, int32_t n, int32_t sf)
{
    return Convert32fTo24s<2>(s, d, n, sf);
}
DspStatus DspConvert32fTo24sScaled_Sse4(const float* s, uint8_t* d, int32_t n, int32_t sf)
{
    return Convert32fTo24s<3>(s, d, n, sf);
}

DspStatus DspConvert16sTo32fScaled_Sse3(const int16_t* s, float* d, int32_t n, int32_t sf)
{
    return Convert16sTo32f<1>(s, d, n, sf);
}
DspStatus DspConvert16sTo32fScaled_Ssse3(const int16_t* s, float* d, int32_t n, int32_t sf)
{
    return Convert16sTo32f<2>(s, d, n, sf);
}
DspStatus DspConvert16sTo32fScaled_Sse4(const int16_t* s, float* d, int32_t n, int32_t sf)
{
    return Convert16sTo32f<3>(s, d, n, sf);
}

// Levels 2 and 3 share this one; its work is that of the generic routine.
DspStatus DspConvert32sTo32fScaled_Ssse3(const int32_t* s, float* d, int32_t n, int32_t sf)
{
    if (s == nullptr || d == nullptr)
        return DspStsNullPtrErr;
    if (n < 1)
        return DspStsSizeErr;
    return DspConvert32sTo32fScaled_Gen(s, d, n, sf);
}

DspStatus DspConvert32sTo32f_Sse3(const int32_t* s, float* d, int32_t n)
{
    return Convert32sTo32f<1>(s, d, n);
}
DspStatus DspConvert32sTo32f_Ssse3(const int32_t* s, float* d, int32_t n)
{
    return Convert32sTo32f<2>(s, d, n);
}
DspStatus DspConvert32sTo32f_Sse4(const int32_t* s, float* d, int32_t n)
{
    return Convert32sTo32f<3>(s, d, n);
}
