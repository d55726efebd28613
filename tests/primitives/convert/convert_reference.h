// References for the sample-conversion tests, written from the conversion
// rules: the generic routines' results, the processor-level kernels' results
// where they differ, buffers with guard bytes and a set of inputs that reach
// every special value.
#pragma once

#include <cmath>
#include <cstdint>
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

// ---- references
double RoundHalfEven(double v)
{
    double r = std::floor(v);
    const double d = v - r;
    if (d > 0.5 || (d == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    return r;
}

double Scale(int sf)
{
    if (sf > 1100)
        return 0.0;
    if (sf < -1100)
        return HUGE_VAL;
    return std::ldexp(1.0, -sf);
}

// Float to a signed integer of the range [lo, hi] by the round-mode rules.
int64_t RefToInt(float x, int mode, int sf, double lo, double hi, bool singleHalf, int64_t nanValue)
{
    if (sf == 0 && singleHalf && mode != 0 && mode != 1)
    {
        // The half is added in single precision.
        if (std::isnan(x))
            return 0;
        if (x >= hi)
            return static_cast<int64_t>(hi);
        if (x <= lo)
            return static_cast<int64_t>(lo);
        const float s = x + (x >= 0 ? 0.5f : -0.5f);
        return static_cast<int64_t>(std::trunc(s));
    }
    const double y = static_cast<double>(x) * Scale(sf);
    if (std::isnan(y))
        return nanValue;
    double r;
    if (mode == 0)
        r = std::trunc(y);
    else if (mode == 1)
        r = RoundHalfEven(y);
    else
        r = (y >= hi || y <= lo) ? y : std::trunc(y + (y >= 0 ? 0.5 : -0.5));
    if (r >= hi)
        return static_cast<int64_t>(hi);
    if (r <= lo)
        return static_cast<int64_t>(lo);
    return static_cast<int64_t>(r);
}

int16_t Ref16s(float x, int mode, int sf)
{
    return static_cast<int16_t>(RefToInt(x, mode, sf, -32768.0, 32767.0, true, 0));
}

int32_t Ref32s(float x, int mode, int sf)
{
    const int64_t nanValue = (mode == 0 || mode == 1) ? 0 : INT32_MIN;
    return static_cast<int32_t>(
        RefToInt(x, mode, sf, -2147483648.0, 2147483647.0, false, nanValue));
}

int32_t Ref24s(float x, int sf)
{
    float p = x;
    if (sf != 0)
    {
        const int s = sf > 127 ? 127 : (sf < -127 ? -127 : sf);
        const float factor = s == 127 ? 0.0f : std::ldexp(1.0f, -s);
        p = x * factor;
    }
    if (std::isnan(p))
        return 0;
    double r = RoundHalfEven(p);
    return static_cast<int32_t>(r > 8388607.0 ? 8388607.0 : (r < -8388608.0 ? -8388608.0 : r));
}

float Ref16sTo32f(int16_t v, int sf)
{
    const int s = sf == 0 ? 0 : (sf > 126 ? 126 : (sf < -112 ? -112 : sf));
    return static_cast<float>(std::ldexp(static_cast<double>(v), -s));
}

float Ref32sTo32f(int32_t v, int sf)
{
    const int s = sf == 0 ? 0 : (sf > 126 ? 126 : (sf < -96 ? -96 : sf));
    return std::ldexp(static_cast<float>(static_cast<double>(v)), -s);
}

// ---- a buffer with guard bytes on both sides and a chosen misalignment
class Guarded
{
  public:
    Guarded(size_t bytes, size_t offset) : m_Bytes(bytes)
    {
        m_Storage.assign(bytes + 2 * Pad + 16, GuardByte);
        uintptr_t base = reinterpret_cast<uintptr_t>(m_Storage.data()) + Pad;
        base = (base + 15) & ~static_cast<uintptr_t>(15);
        m_Data = reinterpret_cast<uint8_t*>(base) + offset;
    }
    uint8_t* Data() { return m_Data; }
    bool GuardsIntact() const
    {
        const uint8_t* begin = m_Storage.data();
        const uint8_t* end = begin + m_Storage.size();
        for (const uint8_t* p = begin; p < m_Data; ++p)
            if (*p != GuardByte)
                return false;
        for (const uint8_t* p = m_Data + m_Bytes; p < end; ++p)
            if (*p != GuardByte)
                return false;
        return true;
    }

  private:
    static constexpr size_t Pad = 64;
    static constexpr uint8_t GuardByte = 0xA5;
    std::vector<uint8_t> m_Storage;
    size_t m_Bytes;
    uint8_t* m_Data;
};

std::vector<float> FloatInputs()
{
    std::vector<float> v = {0.0f,         -0.0f,
                            0.5f,         -0.5f,
                            1.5f,         -1.5f,
                            2.5f,         -2.5f,
                            3.5f,         32766.5f,
                            32767.0f,     32767.5f,
                            32768.0f,     -32768.0f,
                            -32768.5f,    -32769.0f,
                            8388606.5f,   8388607.0f,
                            8388607.5f,   -8388608.0f,
                            -8388607.5f,  2147483520.f,
                            2147483648.f, -2147483648.f,
                            1e10f,        -1e10f,
                            Inf,          -Inf,
                            NaN,          -NaN,
                            0.49999997f,  -0.49999997f,
                            0.99999994f,  1.0f,
                            -1.0f,        1e-40f,
                            -1e-30f,      std::bit_cast<float>(0x7F800001),
                            1e30f,        4194304.5f};
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> unit(-1.2f, 1.2f);
    for (int i = 0; i < 40; ++i)
        v.push_back(unit(rng));
    for (int i = 0; i < 20; ++i)
        v.push_back(std::round(unit(rng) * 64.0f) / 2.0f); // many halves
    return v;
}

// ---- the processor-level kernels' results (levels 1 to 3)
// 2^-sf as the kernels make it, by halving or doubling a single: exact while
// representable, 0 below the smallest subnormal's half, infinity above the range.
inline float LevelFactor(int sf)
{
    if (sf >= 150)
        return 0.0f;
    if (sf <= -128)
        return std::numeric_limits<float>::infinity();
    return std::ldexp(1.0f, -sf);
}

// The converting instructions: a NaN or a result outside the 32-bit range
// gives -2^31.
inline int32_t InvalidOr(double r)
{
    return (r >= -2147483648.0 && r < 2147483648.0) ? static_cast<int32_t>(r) : INT32_MIN;
}

inline int16_t Saturate16(int32_t v)
{
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

inline bool BitsAbove(float v, uint32_t limit)
{
    return static_cast<int32_t>(std::bit_cast<uint32_t>(v)) > static_cast<int32_t>(limit);
}

// Round modes 0 and 1: the product clamped from above at 32767 (a NaN takes
// the limit), truncated or rounded half to even, packed with saturation; a NaN
// source gives 0.
inline int16_t Level16s(float x, int mode, int sf)
{
    const float v = sf != 0 ? x * LevelFactor(sf) : x;
    const float c = v < 32767.0f ? v : 32767.0f;
    if (mode == 0 || mode == 1)
    {
        if (std::isnan(x))
            return 0;
        return Saturate16(InvalidOr(mode == 0 ? std::trunc(c) : RoundHalfEven(c)));
    }
    // Other modes: |c| + 0.5 in single precision, the sign put back, truncated.
    const float a = std::fabs(c) + 0.5f;
    return Saturate16(InvalidOr(std::trunc(std::copysign(a, c))));
}

inline int32_t Level32s(float x, int mode, int sf)
{
    const float v = sf != 0 ? x * LevelFactor(sf) : x;
    const bool above = BitsAbove(v, 0x4EFFFFFF);
    if (mode == 0 || mode == 1)
    {
        if (std::isnan(x))
            return 0;
        if (above)
            return INT32_MAX;
        return InvalidOr(mode == 0 ? std::trunc(v) : RoundHalfEven(v));
    }
    // Ties away exactly (the sum is rounded toward zero); a NaN with its sign
    // bit clear counts as above the range.
    if (above)
        return INT32_MAX;
    if (std::isnan(v))
        return INT32_MIN;
    return InvalidOr(std::copysign(std::floor(std::fabs(static_cast<double>(v)) + 0.5), v));
}

// Clamped from below first (a NaN takes -8388608), then from above, rounded
// half to even.
inline int32_t Level24s(float x, int sf)
{
    float f = 1.0f;
    if (sf != 0)
    {
        const int s = sf > 127 ? 127 : (sf < -127 ? -127 : sf);
        f = s == 127 ? 0.0f : std::ldexp(1.0f, -s);
    }
    const float v = sf != 0 ? x * f : x;
    float c = v > -8388608.0f ? v : -8388608.0f;
    c = c < 8388607.0f ? c : 8388607.0f;
    return static_cast<int32_t>(RoundHalfEven(c));
}

inline int32_t Read24(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (static_cast<int8_t>(p[2]) * 65536);
}
} // namespace
