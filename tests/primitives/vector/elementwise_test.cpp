// Element-wise math and reductions: the special values and warnings, the lane
// path of the extreme-value search, and sums, products and the exponential
// against references written here.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t LibNaN = 0xFFC00000u;

TEST(Elementwise, SquareRoot)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        float v[8] = {0.0f, -0.0f, NaN, Inf, -1.0f, -Inf, 4.0f, 2.0f};
        const uint32_t nanBits = std::bit_cast<uint32_t>(v[2]);
        EXPECT_EQ(DspStsSqrtNegArg, DspSqrtInPlace32f(v, 8));
        EXPECT_EQ(0u, std::bit_cast<uint32_t>(v[0]));
        EXPECT_EQ(0x80000000u, std::bit_cast<uint32_t>(v[1]));
        EXPECT_EQ(nanBits, std::bit_cast<uint32_t>(v[2]));
        EXPECT_EQ(Inf, v[3]);
        EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[4]));
        EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[5]));
        EXPECT_EQ(2.0f, v[6]);
        EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(std::sqrt(2.0))),
                  std::bit_cast<uint32_t>(v[7]));
        float w[3] = {9.0f, NaN, -0.0f};
        EXPECT_EQ(0, DspSqrtInPlace32f(w, 3));
        EXPECT_EQ(3.0f, w[0]);
        float one = 16.0f;
        EXPECT_EQ(0, DspSqrtInPlace32f(&one, 1));
        EXPECT_EQ(4.0f, one);
    }
}

TEST(Elementwise, AbsoluteValueClearsOnlyTheSign)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats v(len, off);
                for (int i = 0; i < len; ++i)
                    v[i] = std::bit_cast<float>(
                        0x80000000u | (0x7FC00123u + static_cast<uint32_t>(i) * 0x01000000u));
                ASSERT_EQ(0, DspAbsInPlace32f(v.Data(), len));
                ASSERT_TRUE(v.GuardsIntact());
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ((0x7FC00123u + static_cast<uint32_t>(i) * 0x01000000u) & 0x7FFFFFFFu,
                              std::bit_cast<uint32_t>(v[i]));
            }
        float z = -0.0f;
        ASSERT_EQ(0, DspAbsInPlace32f(&z, 1));
        EXPECT_EQ(0u, std::bit_cast<uint32_t>(z));
    }
}

// Square root, quotient and logarithm against per-element references, and the
// exponential's special elements, at every length from 1 to 40 and alignment.
TEST(Elementwise, SpecialValueSweep)
{
    const float pool[] = {4.0f, -1.0f, 0.0f, -0.0f, Inf, -Inf, NaN, 2.5f, 1e-40f, -3.0f, 0.3f};
    const int n = sizeof pool / sizeof pool[0];
    auto sqrtRef = [](float x)
    {
        if (x > 0)
            return std::bit_cast<uint32_t>(static_cast<float>(std::sqrt(static_cast<double>(x))));
        return x < 0 ? LibNaN : std::bit_cast<uint32_t>(x);
    };
    auto lnRef = [](float x)
    {
        const uint32_t b = std::bit_cast<uint32_t>(x);
        if ((b & 0x80000000u) || (b & 0x7FC00000u) == 0x7FC00000u)
            return LibNaN;
        return b == 0 ? 0xFF800000u : std::bit_cast<uint32_t>(std::log(x));
    };
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats a(len, off), b(len, off), q(len, (off + 4) % 16);
                bool negative = false, zeroDivisor = false;
                int firstLn = 0;
                for (int i = 0; i < len; ++i)
                {
                    a[i] = pool[(i * 3 + len) % n];
                    b[i] = pool[(i * 7 + 1) % n];
                    negative = negative || a[i] < 0;
                    zeroDivisor = zeroDivisor || a[i] == 0;
                    const uint32_t bits = std::bit_cast<uint32_t>(a[i]);
                    if (firstLn == 0 && (bits & 0x80000000u))
                        firstLn = DspStsLnNegArg;
                    if (firstLn == 0 && bits == 0)
                        firstLn = DspStsLnZeroArg;
                }
                std::vector<float> in(a.Data(), a.Data() + len);
                // Levels 1 to 3 of the quotient, logarithm and exponential
                // follow their kernels' own rules (vecmath tests).
                if (level == DspLevelGeneric)
                {
                    ASSERT_EQ(zeroDivisor ? DspStsDivByZero : 0,
                              DspDiv32f(a.Data(), b.Data(), q.Data(), len));
                    for (int i = 0; i < len; ++i)
                    {
                        uint32_t expected = std::bit_cast<uint32_t>(b[i] / a[i]);
                        if (a[i] == 0)
                            expected = b[i] > 0 ? 0x7F800000u : (b[i] < 0 ? 0xFF800000u : LibNaN);
                        if (std::isnan(b[i] / a[i]) && a[i] != 0)
                            ASSERT_TRUE(std::isnan(q[i]));
                        else
                            ASSERT_EQ(expected, std::bit_cast<uint32_t>(q[i]))
                                << b[i] << "/" << a[i];
                    }
                    memcpy(q.Data(), in.data(), 4u * len);
                    ASSERT_EQ(firstLn, DspLnInPlace32f(q.Data(), len));
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(lnRef(in[i]), std::bit_cast<uint32_t>(q[i])) << in[i];
                    memcpy(q.Data(), in.data(), 4u * len);
                    ASSERT_EQ(0, DspExpInPlace32f(q.Data(), len));
                    for (int i = 0; i < len && len >= 4; ++i)
                    {
                        const float x = in[i];
                        uint32_t expected =
                            std::bit_cast<uint32_t>(q[i]); // ordinary: not checked here
                        if (x == 0 || x == 1e-40f)
                            expected = 0x3F800000u;
                        else if (std::isinf(x))
                            expected = x > 0 ? 0x7F800000u : 0u;
                        else if (std::isnan(x))
                            expected = LibNaN;
                        ASSERT_EQ(expected, std::bit_cast<uint32_t>(q[i])) << x;
                    }
                }
                ASSERT_EQ(negative ? DspStsSqrtNegArg : 0, DspSqrtInPlace32f(a.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(sqrtRef(in[i]), std::bit_cast<uint32_t>(a[i])) << in[i];
                ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact() && q.GuardsIntact());
            }
    }
}

TEST(Elementwise, MaximumAndMinimumRules)
{
    float m = 0;
    const float a[3] = {NaN, 1.0f, 2.0f};
    ASSERT_EQ(0, DspMax32f(a, 3, &m));
    EXPECT_TRUE(std::isnan(m));
    const float b[3] = {1.0f, NaN, 2.0f};
    ASSERT_EQ(0, DspMax32f(b, 3, &m));
    EXPECT_EQ(2.0f, m);
    ASSERT_EQ(0, DspMin32f(b, 3, &m));
    EXPECT_EQ(1.0f, m);
    const float c[1] = {-7.5f};
    ASSERT_EQ(0, DspMax32f(c, 1, &m));
    EXPECT_EQ(-7.5f, m);
    ASSERT_EQ(0, DspMin32f(c, 1, &m));
    EXPECT_EQ(-7.5f, m);

    // The peak of a block as the stage engine computes it.
    const float block[2] = {-3.0f, 2.0f};
    float peaks[2];
    ASSERT_EQ(0, DspMax32f(block, 2, &peaks[0]));
    ASSERT_EQ(0, DspMin32f(block, 2, &peaks[1]));
    ASSERT_EQ(0, DspAbsInPlace32f(peaks, 2));
    EXPECT_EQ(3.0f, std::max(peaks[0], peaks[1]));
}

// 100 elements from an address 4 bytes past a 16-byte boundary take the lane
// path; the value must be the one the one-by-one rule gives, at every level.
TEST(Elementwise, LanePathGivesTheSameExtremes)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (size_t off : {0u, 4u, 8u, 12u})
            for (int len : {1, 7, 8, 9, 15, 16, 31, 100})
                for (int peakAt = 0; peakAt < len; peakAt += 7)
                {
                    GuardedFloats v(len, off);
                    for (int i = 0; i < len; ++i)
                        v[i] = static_cast<float>((i * 7919) % 97) - 48.0f;
                    v[peakAt] = 1000.0f;
                    v[(peakAt + 3) % len] = -1000.0f;
                    float hi = 0, lo = 0;
                    ASSERT_EQ(0, DspMax32f(v.Data(), len, &hi));
                    ASSERT_EQ(0, DspMin32f(v.Data(), len, &lo));
                    float rhi = v[0], rlo = v[0];
                    for (int i = 0; i < len; ++i)
                    {
                        rhi = v[i] > rhi ? v[i] : rhi;
                        rlo = v[i] < rlo ? v[i] : rlo;
                    }
                    ASSERT_EQ(rhi, hi) << level << " " << off << " " << len;
                    ASSERT_EQ(rlo, lo) << level << " " << off << " " << len;
                }
    }
}

TEST(Elementwise, SumDifferenceProductOfTwoVectors)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats a(len, off), b(len, 16 - off == 16 ? 4 : 16 - off - 4), d(len, off);
                for (int i = 0; i < len; ++i)
                {
                    a[i] = 0.1f * static_cast<float>(i) - 1.3f;
                    b[i] = 3.7f - 0.01f * static_cast<float>(i * i);
                }
                ASSERT_EQ(0, DspSub32f(a.Data(), b.Data(), d.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(b[i] - a[i]), std::bit_cast<uint32_t>(d[i]));
                ASSERT_EQ(0, DspMul32f(a.Data(), b.Data(), d.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(a[i] * b[i]), std::bit_cast<uint32_t>(d[i]));
                ASSERT_EQ(0, DspSqr32f(a.Data(), d.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(a[i] * a[i]), std::bit_cast<uint32_t>(d[i]));
                ASSERT_EQ(0, DspAddProduct32f(a.Data(), b.Data(), d.Data(), len));
                for (int i = 0; i < len; ++i)
                {
                    const float product = a[i] * b[i];
                    ASSERT_EQ(std::bit_cast<uint32_t>(a[i] * a[i] + product),
                              std::bit_cast<uint32_t>(d[i]));
                }
                // In place: the sum lands in the first source.
                std::vector<float> before(a.Data(), a.Data() + len);
                ASSERT_EQ(0, DspAdd32f(a.Data(), b.Data(), a.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(before[i] + b[i]),
                              std::bit_cast<uint32_t>(a[i]));
                ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact() && d.GuardsIntact());
            }
    }
}

TEST(Elementwise, DivisionByZeroGivesSignedInfinitiesAndTheLibraryNaN)
{
    const float divisor[5] = {0.0f, -0.0f, 0.0f, 0.0f, 4.0f};
    const float dividend[5] = {1.0f, 1.0f, -1.0f, 0.0f, 2.0f};
    float out[5];
    EXPECT_EQ(DspStsDivByZero, DspDiv32f(divisor, dividend, out, 5));
    EXPECT_EQ(Inf, out[0]);
    EXPECT_EQ(Inf, out[1]);
    EXPECT_EQ(-Inf, out[2]);
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(out[3]));
    EXPECT_EQ(0.5f, out[4]);
    EXPECT_EQ(0, DspDiv32f(divisor + 4, dividend + 4, out, 1));
}

TEST(Elementwise, LogarithmWarningsFollowTheFirstSpecialElement)
{
    float a[3] = {0.0f, -1.0f, std::exp(1.0f)};
    EXPECT_EQ(DspStsLnZeroArg, DspLnInPlace32f(a, 3));
    EXPECT_EQ(0xFF800000u, std::bit_cast<uint32_t>(a[0]));
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(a[1]));
    EXPECT_EQ(std::bit_cast<uint32_t>(std::log(std::exp(1.0f))), std::bit_cast<uint32_t>(a[2]));
    float b[2] = {-1.0f, 0.0f};
    EXPECT_EQ(DspStsLnNegArg, DspLnInPlace32f(b, 2));
    float c[3] = {-0.0f, NaN, 1.0f};
    EXPECT_EQ(DspStsLnNegArg, DspLnInPlace32f(c, 3));
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(c[0]));
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(c[1]));
    EXPECT_EQ(0.0f, c[2]);
    float d[2] = {NaN, Inf};
    EXPECT_EQ(0, DspLnInPlace32f(d, 2));
    EXPECT_EQ(Inf, d[1]);
}

// Only a quiet NaN becomes the library's NaN; a positive signalling NaN gets
// the single-precision logarithm's own result: quieted, payload kept.
TEST(Elementwise, LogarithmMapsOnlyQuietNaNsToTheLibraryNaN)
{
    const uint32_t in[] = {0x7FC12345u, 0x7FA00001u, 0x7F800001u, 0x7FBFFFFFu, 0xFFA00001u};
    float v[5];
    for (int i = 0; i < 5; ++i)
        v[i] = std::bit_cast<float>(in[i]);
    EXPECT_EQ(DspStsLnNegArg, DspLnInPlace32f(v, 5));
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[0]));
    for (int i = 1; i < 4; ++i)
    {
        EXPECT_EQ(std::bit_cast<uint32_t>(std::log(std::bit_cast<float>(in[i]))),
                  std::bit_cast<uint32_t>(v[i]))
            << std::hex << in[i];
        EXPECT_EQ(in[i] | 0x00400000u, std::bit_cast<uint32_t>(v[i])) << std::hex << in[i];
    }
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[4])); // the sign decides first
}

// In a vector of four or more, e^x is 0 from -87.33655 (0xC2AEAC50) down and
// +infinity from 88.72284 (0x42B17218) up; each edge probed one pattern
// below, at and above, the ordinary elements against the double exponential.
TEST(Elementwise, ExponentialThresholdsAtTheirEdges)
{
    const uint32_t in[] = {0xC2AEAC4Eu, 0xC2AEAC4Fu, 0xC2AEAC50u, 0xC2AEAC51u, 0xC2B00000u,
                           0x42B00000u, 0x42B17216u, 0x42B17217u, 0x42B17218u, 0x42B17219u};
    const uint32_t special[] = {1, 1, 0, 0, 0, 1, 1, 1, 0x7F800000u, 0x7F800000u}; // 1: ordinary
    for (int shift = 0; shift < 10; ++shift)
    {
        float v[10];
        for (int i = 0; i < 10; ++i)
            v[i] = std::bit_cast<float>(in[(i + shift) % 10]);
        ASSERT_EQ(0, DspExpInPlace32f(v, 10));
        for (int i = 0; i < 10; ++i)
        {
            const int k = (i + shift) % 10;
            const double ref = std::exp(static_cast<double>(std::bit_cast<float>(in[k])));
            if (special[k] == 1)
                EXPECT_NEAR(ref, v[i], 2.5e-7 * ref) << std::hex << in[k];
            else
                EXPECT_EQ(special[k], std::bit_cast<uint32_t>(v[i])) << std::hex << in[k];
        }
    }
    // Fewer than four: no threshold below, so e^-88 is the rounded subnormal.
    float s[2] = {-88.0f, std::bit_cast<float>(0x42B17218u)};
    ASSERT_EQ(0, DspExpInPlace32f(s, 2));
    EXPECT_EQ(static_cast<float>(std::exp(-88.0)), s[0]);
    EXPECT_EQ(Inf, s[1]);
}

TEST(Elementwise, Exponential)
{
    // Fewer than four elements: the double-precision exponential.
    float s[3] = {89.0f, 1.0f, -2.5f};
    ASSERT_EQ(0, DspExpInPlace32f(s, 3));
    EXPECT_EQ(Inf, s[0]);
    EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(std::exp(1.0))),
              std::bit_cast<uint32_t>(s[1]));
    EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(std::exp(-2.5))),
              std::bit_cast<uint32_t>(s[2]));

    float v[9] = {0.0f, -0.0f, 1e-40f, 100.0f, -100.0f, -Inf, Inf, NaN, -NaN};
    ASSERT_EQ(0, DspExpInPlace32f(v, 9));
    EXPECT_EQ(1.0f, v[0]);
    EXPECT_EQ(1.0f, v[1]);
    EXPECT_EQ(1.0f, v[2]);
    EXPECT_EQ(Inf, v[3]);
    EXPECT_EQ(0u, std::bit_cast<uint32_t>(v[4]));
    EXPECT_EQ(0u, std::bit_cast<uint32_t>(v[5]));
    EXPECT_EQ(Inf, v[6]);
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[7]));
    EXPECT_EQ(LibNaN, std::bit_cast<uint32_t>(v[8]));

    // Ordinary elements in groups of four: within 2 units of the last place.
    float w[23];
    for (int i = 0; i < 23; ++i)
        w[i] = -80.0f + 7.3f * static_cast<float>(i);
    ASSERT_EQ(0, DspExpInPlace32f(w, 23));
    for (int i = 0; i < 23; ++i)
    {
        const double x = -80.0f + 7.3f * static_cast<float>(i);
        const double ref = std::exp(x);
        EXPECT_NEAR(ref, w[i], 2.5e-7 * ref) << x;
    }
}

TEST(Elementwise, SumMeanAndDotProduct)
{
    const float big = 16777216.0f; // 2^24: single-precision sums would lose the ones
    float v[7] = {big, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -big};
    float sum = 0, mean = 0;
    ASSERT_EQ(0, DspSum32f(v, 7, &sum, 1));
    EXPECT_EQ(5.0f, sum);
    ASSERT_EQ(0, DspMean32f(v, 7, &mean, 0));
    EXPECT_EQ(static_cast<float>(5.0 / 7.0), mean);

    for (size_t off : {0u, 4u, 8u, 12u})
        for (int len : {1, 5, 8, 11, 12, 20, 40})
        {
            GuardedFloats a(len, 0), b(len, off);
            double ref = 0;
            for (int i = 0; i < len; ++i)
            {
                a[i] = static_cast<float>(i % 5) - 2.0f;
                b[i] = static_cast<float>(i % 3) + 0.5f;
                ref += static_cast<double>(a[i]) * b[i];
            }
            float dot = 0;
            ASSERT_EQ(0, DspDotProd32f(a.Data(), b.Data(), len, &dot));
            EXPECT_EQ(static_cast<float>(ref), dot) << len << " " << off; // exact in single
        }
}

TEST(Elementwise, MinAndMaxEveryKeepTheSecondOnNaN)
{
    const float src[4] = {1.0f, NaN, 5.0f, -2.0f};
    float lo[4] = {2.0f, 3.0f, NaN, -1.0f};
    float hi[4] = {2.0f, 3.0f, NaN, -1.0f};
    ASSERT_EQ(0, DspMinEvery32f(src, lo, 4));
    ASSERT_EQ(0, DspMaxEvery32f(src, hi, 4));
    EXPECT_EQ(1.0f, lo[0]);
    EXPECT_EQ(3.0f, lo[1]);
    EXPECT_TRUE(std::isnan(lo[2]));
    EXPECT_EQ(-2.0f, lo[3]);
    EXPECT_EQ(2.0f, hi[0]);
    EXPECT_EQ(3.0f, hi[1]);
    EXPECT_TRUE(std::isnan(hi[2]));
    EXPECT_EQ(-1.0f, hi[3]);
}

TEST(Elementwise, PointersBeforeLengths)
{
    float v[2] = {1, 2}, out = 9;
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        EXPECT_EQ(DspStsNullPtrErr, DspSqrtInPlace32f(nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspAbsInPlace32f(v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMax32f(v, 0, nullptr));
        EXPECT_EQ(DspStsSizeErr, DspMin32f(v, 0, &out));
        EXPECT_EQ(DspStsNullPtrErr, DspAdd32f(v, nullptr, v, 0));
        EXPECT_EQ(DspStsSizeErr, DspSub32f(v, v, v, -1));
        EXPECT_EQ(DspStsNullPtrErr, DspDiv32f(v, v, nullptr, 1));
        EXPECT_EQ(DspStsNullPtrErr, DspSum32f(v, 2, nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspMean32f(v, 0, &out, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspDotProd32f(nullptr, v, 0, &out));
        EXPECT_EQ(DspStsSizeErr, DspExpInPlace32f(v, 0));
        EXPECT_EQ(DspStsSizeErr, DspLnInPlace32f(v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMinEvery32f(nullptr, v, 2));
        EXPECT_EQ(DspStsSizeErr, DspMaxEvery32f(v, v, 0));
    }
    EXPECT_EQ(1.0f, v[0]);
    EXPECT_EQ(9.0f, out);
}
} // namespace
