// Element divide of the further kinds at the three levels: double, complex
// float and double, and scaled 32-bit integers, against double and
// long-double references, with their zero-divisor results and flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <complex>
#include <bit>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmKernels.h"

namespace
{
struct Level
{
    decltype(&DspDivKernel64f_Sse3) div64f;
    decltype(&DspDivKernel32fc_Sse3) div32fc;
    decltype(&DspDivKernel64fc_Sse3) div64fc;
    decltype(&DspDivKernel32sScaled_Sse3) div32s;
    decltype(&DspDivKernel32s16sScaled_Sse3) div32s16s;
    decltype(&DspDivKernel16sScaled_Sse3) div16s;
    decltype(&DspDivKernel16scScaled_Sse3) div16sc;
    decltype(&DspDivKernel8uScaled_Sse3) div8u;
    decltype(&DspDivRevConstKernel16u_Sse3) rev16u;
    decltype(&DspDivConstKernel16sScaled_Sse3) const16s;
    decltype(&DspDivConstKernel16scScaled_Sse3) const16sc;
    decltype(&DspDivConstKernel8uScaled_Sse3) const8u;
};
const Level Levels[] = {
    {DspDivKernel64f_Sse3, DspDivKernel32fc_Sse3, DspDivKernel64fc_Sse3, DspDivKernel32sScaled_Sse3,
     DspDivKernel32s16sScaled_Sse3, DspDivKernel16sScaled_Sse3, DspDivKernel16scScaled_Sse3,
     DspDivKernel8uScaled_Sse3, DspDivRevConstKernel16u_Sse3, DspDivConstKernel16sScaled_Sse3,
     DspDivConstKernel16scScaled_Sse3, DspDivConstKernel8uScaled_Sse3},
    {DspDivKernel64f_Ssse3, DspDivKernel32fc_Ssse3, DspDivKernel64fc_Ssse3,
     DspDivKernel32sScaled_Ssse3, DspDivKernel32s16sScaled_Ssse3, DspDivKernel16sScaled_Ssse3,
     DspDivKernel16scScaled_Ssse3, DspDivKernel8uScaled_Ssse3, DspDivRevConstKernel16u_Ssse3,
     DspDivConstKernel16sScaled_Ssse3, DspDivConstKernel16scScaled_Ssse3,
     DspDivConstKernel8uScaled_Ssse3},
    {DspDivKernel64f_Sse4, DspDivKernel32fc_Sse4, DspDivKernel64fc_Sse4, DspDivKernel32sScaled_Sse4,
     DspDivKernel32s16sScaled_Sse4, DspDivKernel16sScaled_Sse4, DspDivKernel16scScaled_Sse4,
     DspDivKernel8uScaled_Sse4, DspDivRevConstKernel16u_Sse4, DspDivConstKernel16sScaled_Sse4,
     DspDivConstKernel16scScaled_Sse4, DspDivConstKernel8uScaled_Sse4},
};

// Blocks of eight normal divisors share one division and round the last two
// bits of each quotient; single elements and blocks with a zero are exact.
TEST(DivKinds, DoubleQuotients)
{
    for (const Level& l : Levels)
        for (int len : {1, 2, 8, 9, 17, 23})
            for (int start : {0, 1})
            {
                alignas(16) double x[32], y[32], q[33];
                for (int i = 0; i < 32; ++i)
                {
                    x[i] = (i % 3 ? -1.0 : 1.0) * (0.3 + 1.7 * i);
                    y[i] = 1e3 / (i + 1.0) + 0.125;
                }
                q[start + len] = 42.0;
                ASSERT_EQ(0, l.div64f(x, y, q + start, len));
                for (int i = 0; i < len; ++i)
                {
                    const double exact = y[i] / x[i];
                    const uint64_t b = std::bit_cast<uint64_t>(q[start + i]);
                    ASSERT_TRUE(b == std::bit_cast<uint64_t>(exact) || (b & 3) == 0) << i;
                    ASSERT_NEAR(exact, q[start + i], std::fabs(exact) * 8 * DBL_EPSILON);
                }
                ASSERT_EQ(42.0, q[start + len]);
            }
    alignas(16) const double x[8] = {0.0, -0.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0};
    alignas(16) const double y[8] = {1.0, -1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    alignas(16) double q[8];
    for (const Level& l : Levels)
    {
        ASSERT_NE(0, l.div64f(x, y, q, 8));
        EXPECT_TRUE(std::isnan(q[0]) && std::isnan(q[1]));
        for (int i = 2; i < 8; ++i)
            EXPECT_EQ(1.0 / x[i], q[i]); // the block with a zero divides exactly
    }
}

TEST(DivKinds, ComplexQuotients)
{
    for (const Level& l : Levels)
        for (int len : {1, 2, 3, 4, 5, 9})
            for (int start : {0, 1})
            {
                std::vector<float> a(2 * 12), b(2 * 12), q(2 * 12 + 2, 7.0f);
                std::vector<double> a64(2 * 12), b64(2 * 12), q64(2 * 12 + 2, 7.0);
                for (int i = 0; i < 24; ++i)
                {
                    a[i] = static_cast<float>(i % 5) - 1.5f;
                    b[i] = 0.25f * static_cast<float>(i) + 1.0f;
                    a64[i] = a[i];
                    b64[i] = b[i];
                }
                ASSERT_EQ(0, l.div32fc(a.data(), b.data(), q.data() + 2 * start, len));
                ASSERT_EQ(0, l.div64fc(a64.data(), b64.data(), q64.data() + 2 * start, len));
                for (int i = 0; i < len; ++i)
                {
                    const std::complex<long double> ref =
                        std::complex<long double>(b[2 * i], b[2 * i + 1]) /
                        std::complex<long double>(a[2 * i], a[2 * i + 1]);
                    const double mag = static_cast<double>(std::abs(ref));
                    for (int part = 0; part < 2; ++part)
                    {
                        const double want = static_cast<double>(part ? ref.imag() : ref.real());
                        ASSERT_NEAR(want, q[2 * (start + i) + part], 4e-7 * mag);
                        ASSERT_NEAR(want, q64[2 * (start + i) + part], 8 * DBL_EPSILON * mag);
                    }
                }
                ASSERT_EQ(7.0f, q[2 * (start + len)]);
                ASSERT_EQ(7.0, q64[2 * (start + len)]);
            }
    // (1, 2) / (1, 2) and zero or underflowing magnitudes.
    const float a[6] = {1.0f, 2.0f, 0.0f, 0.0f, 1e-30f, 0.0f};
    const float b[6] = {1.0f, 2.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    float q[6];
    for (const Level& l : Levels)
    {
        ASSERT_NE(0, l.div32fc(a, b, q, 3));
        EXPECT_NEAR(1.0f, q[0], 1e-6f);
        EXPECT_NEAR(0.0f, q[1], 1e-6f);
        for (int i = 2; i < 6; ++i)
            EXPECT_TRUE(std::isnan(q[i])) << i;
        const double a64[4] = {0.0, 0.0, 3.0, 4.0}, b64[4] = {1.0, 1.0, 3.0, 4.0};
        double q64[4];
        ASSERT_NE(0, l.div64fc(a64, b64, q64, 2));
        EXPECT_TRUE(std::isnan(q64[0]) && std::isnan(q64[1]));
        EXPECT_EQ(1.0, q64[2]);
        EXPECT_EQ(0.0, q64[3]);
        // Magnitudes whose product overflows (or underflows) are inverted one
        // by one, not through their product.
        const double big[4] = {1e100, 0.0, -1e100, 0.0}, small[4] = {1e-100, 0.0, 0.0, 1e-100};
        ASSERT_EQ(0, l.div64fc(big, big, q64, 2));
        EXPECT_EQ(1.0, q64[0]);
        EXPECT_EQ(1.0, q64[2]);
        ASSERT_EQ(0, l.div64fc(small, small, q64, 2));
        EXPECT_EQ(1.0, q64[0]);
        EXPECT_EQ(1.0, q64[2]);
    }
}

TEST(DivKinds, ScaledIntegers)
{
    struct Case
    {
        int32_t dividend, divisor, sf, q32, q16;
        bool flag;
    };
    const Case cases[] = {
        {7, 2, 0, 4, 4, false}, // 3.5 rounds to even
        {5, 2, 0, 2, 2, false}, // 2.5 rounds to even
        {7, 1, 1, 4, 4, false}, // 3.5
        {200, 3, -8, 17067, 17067, false},
        {INT_MIN, -1, 0, INT_MAX, 32767, false},
        {5, 0, 0, INT_MAX, 32767, true},
        {-5, 0, 0, INT_MIN, -32768, true},
        {0, 0, 3, 0, 0, true},
        {-100000, 7, 2, -3571, -3571, false},
    };
    for (const Level& l : Levels)
        for (const Case& c : cases)
        {
            int32_t q32 = 1;
            int16_t q16 = 1;
            const int16_t divisor16 = static_cast<int16_t>(c.divisor);
            EXPECT_EQ(c.flag, l.div32s(&c.divisor, &c.dividend, &q32, 1, c.sf) != 0);
            EXPECT_EQ(c.q32, q32) << c.dividend << "/" << c.divisor;
            EXPECT_EQ(c.flag, l.div32s16s(&divisor16, &c.dividend, &q16, 1, c.sf) != 0);
            EXPECT_EQ(c.q16, q16) << c.dividend << "/" << c.divisor;
        }
    // Blocks of four share a division per pair: within one unit of the
    // reference, a zero divisor replaced by its saturated result.
    for (const Level& l : Levels)
        for (int sf : {-3, 0, 4})
        {
            std::vector<int16_t> x(40), q(41, 99);
            std::vector<int32_t> y(40), q32(40);
            std::vector<int32_t> x32(40);
            for (int i = 0; i < 40; ++i)
            {
                x[i] = static_cast<int16_t>(i == 21 ? 0 : (i % 2 ? -1 : 1) * (3 + 7 * i));
                x32[i] = x[i];
                y[i] = 1000 * i - 17000;
            }
            ASSERT_NE(0, l.div32s16s(x.data(), y.data(), q.data() + 1, 39, sf));
            ASSERT_NE(0, l.div32s(x32.data(), y.data(), q32.data(), 40, sf));
            for (int i = 0; i < 39; ++i)
            {
                if (i == 21)
                {
                    ASSERT_EQ(y[i] > 0 ? 32767 : -32768, q[1 + i]);
                    continue;
                }
                const double ref = std::ldexp(static_cast<double>(y[i]) / x[i], -sf);
                ASSERT_NEAR(std::clamp(ref, -32768.0, 32767.0), q[1 + i], 1.0) << i;
                ASSERT_EQ(static_cast<int32_t>(std::nearbyint(ref)), q32[i]) << i;
            }
            ASSERT_EQ(99, q[40]);
        }
}
int32_t C16(int re, int im)
{
    return static_cast<int32_t>((static_cast<uint32_t>(im) << 16) |
                                (static_cast<uint32_t>(re) & 0xFFFFu));
}

TEST(DivKinds, SmallIntegerExamples)
{
    struct Case16
    {
        int16_t dividend, divisor;
        int32_t sf;
        int16_t q;
        bool flag;
    };
    // The last rows: the double regime from its first factor on, zero divisors
    // by the dividend's sign and quotients at and beyond both bounds.
    const Case16 cases16[] = {
        {7, 2, 0, 4, false},          {5, 2, 0, 2, false},          {-32768, -1, 0, 32767, false},
        {1, 0, 0, 32767, true},       {-1, 0, 0, -32768, true},     {0, 0, 0, 0, true},
        {7, 1, 1, 4, false},          {200, 3, -8, 17067, false},   {3, 7, -3, 3, false},
        {-5, 0, -8, -32768, true},    {9, 4, -5, 72, false},        {5, 0, -6, 32767, true},
        {0, 0, -6, 0, true},          {-1, 0, -6, -32768, true},    {-512, 1, -6, -32768, false},
        {-513, 1, -6, -32768, false}, {-200, 3, -8, -17067, false}, {512, 1, -6, 32767, false},
    };
    for (const Level& l : Levels)
    {
        for (const Case16& c : cases16)
        {
            int16_t q = 1;
            EXPECT_EQ(c.flag, l.div16s(&c.divisor, &c.dividend, &q, 1, c.sf) != 0);
            EXPECT_EQ(c.q, q) << c.dividend << "/" << c.divisor << " sf " << c.sf;
        }
        const uint8_t x8[3] = {0, 0, 2}, y8[3] = {255, 0, 3};
        uint8_t q8[3];
        EXPECT_NE(0, l.div8u(x8, y8, q8, 3, 0));
        EXPECT_EQ(255, q8[0]);
        EXPECT_EQ(0, q8[1]);
        EXPECT_EQ(2, q8[2]);
        const uint16_t s16[3] = {1, 2, 0};
        uint16_t r16[3];
        EXPECT_NE(0, l.rev16u(s16, 65535, r16, 3));
        EXPECT_EQ(65535, r16[0]);
        EXPECT_EQ(32768, r16[1]);
        EXPECT_EQ(65535, r16[2]);
        const int32_t a[2] = {C16(-32768, -32768), C16(0, 0)};
        const int32_t b[2] = {C16(-32768, -32768), C16(5, 5)};
        int32_t q[2];
        EXPECT_NE(0, l.div16sc(a, b, q, 2, 0));
        EXPECT_EQ(C16(1, 0), q[0]);
        EXPECT_EQ(0, q[1]);
    }
}

// Blocks of eight use the refined estimate: every length and alignment gives
// the rounded quotient of the exact value, within one unit where the exact
// value lies within a part in 10^6 of a half.
TEST(DivKinds, SmallIntegerBlocksAgreeWithTheReference)
{
    for (const Level& l : Levels)
        for (int sf : {-7, -2, 0, 3})
            for (int len : {1, 9, 31, 40})
                for (int start : {0, 1, 3})
                {
                    std::vector<int16_t> x(48), y(48), q(48, 77);
                    std::vector<uint8_t> x8(48), y8(48), q8(48, 77), c8(48);
                    std::vector<int16_t> c16(48);
                    std::vector<int32_t> xc(48), yc(48), qc(48), cc(48);
                    for (int i = 0; i < 48; ++i)
                    {
                        x[i] = static_cast<int16_t>(i == 17 ? 0 : (i % 3 - 1) * 37 + 5 * i + 1);
                        y[i] = static_cast<int16_t>(300 * i - 7000);
                        x8[i] = static_cast<uint8_t>(i == 17 ? 0 : 1 + (i * 13) % 40);
                        y8[i] = static_cast<uint8_t>((i * 29) % 256);
                        xc[i] = C16(x[i], (i % 5) - 2);
                        yc[i] = C16(y[i] / 4, 900 - 20 * i);
                    }
                    const int code16 = len + start > 17 && start <= 17 ? 1 : 0;
                    EXPECT_EQ(code16, l.div16s(x.data() + start, y.data() + start, q.data() + start,
                                               len, sf) != 0);
                    EXPECT_EQ(code16, l.div8u(x8.data() + start, y8.data() + start,
                                              q8.data() + start, len, sf) != 0);
                    l.div16sc(xc.data() + start, yc.data() + start, qc.data() + start, len, sf);
                    l.const16s(y.data() + start, static_cast<int16_t>(-3), c16.data() + start, len,
                               sf);
                    l.const8u(y8.data() + start, 3, c8.data() + start, len, sf);
                    l.const16sc(yc.data() + start, C16(3, -4), cc.data() + start, len, sf);
                    for (int i = start; i < start + len; ++i)
                    {
                        const double s = std::ldexp(1.0, -sf);
                        if (x[i] != 0)
                        {
                            const double v = static_cast<double>(y[i]) / x[i] * s;
                            ASSERT_NEAR(std::clamp(std::nearbyint(v), -32768.0, 32767.0), q[i], 1.0)
                                << i;
                            const double v8 = static_cast<double>(y8[i]) / x8[i] * s;
                            ASSERT_NEAR(std::clamp(std::nearbyint(v8), 0.0, 255.0), q8[i], 1.0);
                        }
                        ASSERT_NEAR(std::clamp(std::nearbyint(y[i] * s / -3.0), -32768.0, 32767.0),
                                    c16[i], 1.0);
                        ASSERT_NEAR(std::clamp(std::nearbyint(y8[i] * s / 3.0), 0.0, 255.0), c8[i],
                                    1.0);
                        const std::complex<double> z =
                            std::complex<double>(static_cast<int16_t>(yc[i] & 0xFFFF),
                                                 static_cast<int16_t>(yc[i] >> 16)) /
                            std::complex<double>(x[i], (i % 5) - 2) * s;
                        const std::complex<double> w =
                            std::complex<double>(static_cast<int16_t>(yc[i] & 0xFFFF),
                                                 static_cast<int16_t>(yc[i] >> 16)) /
                            std::complex<double>(3, -4) * s;
                        const int32_t want =
                            C16(static_cast<int>(
                                    std::clamp(std::nearbyint(z.real()), -32768.0, 32767.0)),
                                static_cast<int>(
                                    std::clamp(std::nearbyint(z.imag()), -32768.0, 32767.0)));
                        const int32_t wantC =
                            C16(static_cast<int>(
                                    std::clamp(std::nearbyint(w.real()), -32768.0, 32767.0)),
                                static_cast<int>(
                                    std::clamp(std::nearbyint(w.imag()), -32768.0, 32767.0)));
                        // A zero divisor (element 17) gives (0, 0).
                        ASSERT_EQ(i == 17 ? 0 : want, qc[i]) << i;
                        ASSERT_EQ(wantC, cc[i]) << i;
                    }
                    ASSERT_EQ(77, q[start + len]);
                    ASSERT_EQ(77, q8[start + len]);
                }
}
} // namespace
