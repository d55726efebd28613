// Element-wise power: the special-value table with its warning, the listed
// results, accuracy against the double-precision library power, and the
// caller's SSE control register left as it was found.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "platform/cpu/cpu.h"
#include "vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
constexpr uint32_t LibNaN = 0xFFC00000u;

DspStatus Pow1(float x, float y, float* r)
{
    return DspPow32f(&x, &y, r, 1);
}

struct Case
{
    float x, y;
    uint32_t result;
    bool warning;
};

TEST(Power, SpecialValueTable)
{
    const float nanA = std::bit_cast<float>(0x7FC12345), nanB = std::bit_cast<float>(0xFFC54321);
    const float f_inf = Inf, f_minf = -Inf;
    const Case cases[] = {
        {nanA, 0.0f, 0x3F800000, false},         {nanA, -0.0f, 0x3F800000, false},
        {1.0f, nanB, 0x3F800000, false},         {-1.0f, f_inf, 0x3F800000, false},
        {-1.0f, f_minf, 0x3F800000, false},      {nanA, 2.0f, 0x7FC12345, false},
        {2.0f, nanB, 0xFFC54321, false},         {nanA, nanB, 0x7FC12345, false},
        {0.0f, f_minf, 0x7F800000, true},        {-0.0f, f_minf, 0x7F800000, true},
        {2.0f, f_inf, 0x7F800000, false},        {f_minf, f_inf, 0x7F800000, false},
        {-3.0f, f_minf, 0x00000000, false},      {0.5f, f_inf, 0x00000000, false},
        {0.0f, f_inf, 0x00000000, false},        {-0.25f, f_minf, 0x7F800000, false},
        {f_inf, 3.5f, 0x7F800000, false},        {f_inf, -0.5f, 0x00000000, false},
        {0.0f, 3.0f, 0x00000000, false},         {0.0f, -1.0f, 0x7F800000, true},
        {f_minf, 3.0f, 0xFF800000, false},       {f_minf, 2.0f, 0x7F800000, false},
        {f_minf, 0.5f, 0x7F800000, false},       {f_minf, -3.0f, 0x80000000, false},
        {f_minf, -4.0f, 0x00000000, false},      {-0.0f, 3.0f, 0x80000000, false},
        {-0.0f, 2.5f, 0x00000000, false},        {-0.0f, -1.0f, 0xFF800000, true},
        {-0.0f, -2.0f, 0x7F800000, true},        {-8.0f, 1.0f / 3.0f, LibNaN, true},
        {-2.0f, 3.0f, 0xC1000000, false},        {-2.0f, 2.0f, 0x40800000, false},
        {-2.0f, 16777216.0f, 0x7F800000, false}, {-2.0f, 129.0f, 0xFF800000, false},
        {-2.0f, -151.0f, 0x80000000, false},     {2.0f, 10.0f, 0x44800000, false},
        {2.0f, 128.0f, 0x7F800000, false},       {2.0f, -150.0f, 0x00000000, false},
        {4.0f, 0.5f, 0x40000000, false},
    };
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (const Case& c : cases)
        {
            float r = 0;
            EXPECT_EQ(c.warning ? DspStsPowDomain : 0, Pow1(c.x, c.y, &r)) << c.x << "^" << c.y;
            EXPECT_EQ(c.result, std::bit_cast<uint32_t>(r))
                << c.x << "^" << c.y << " level " << level;
        }
    }
}

// The special values keep their bits wherever they stand: at every length from
// 1 to 40 and every alignment, beside ordinary elements, with guard bytes.
TEST(Power, SpecialValuesAtEveryPositionLengthAndAlignment)
{
    const Case specials[] = {{-8.0f, 0.5f, LibNaN, true},      {0.0f, -2.0f, 0x7F800000, true},
                             {-2.0f, 3.0f, 0xC1000000, false}, {5.0f, -Inf, 0, false},
                             {-0.0f, 3.0f, 0x80000000, false}, {3.0f, 0.0f, 0x3F800000, false}};
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats x(len, off), y(len, (off + 8) % 16), r(len, off);
                bool warning = false;
                for (int i = 0; i < len; ++i)
                {
                    const Case* c = (i * 5 + len) % 7 < 6 ? &specials[(i * 5 + len) % 7] : nullptr;
                    x[i] = c ? c->x : 1.25f + 0.5f * static_cast<float>(i);
                    y[i] = c ? c->y : 0.75f - 0.1f * static_cast<float>(i);
                    warning = warning || (c && c->warning);
                }
                ASSERT_EQ(warning ? DspStsPowDomain : 0,
                          DspPow32f(x.Data(), y.Data(), r.Data(), len));
                ASSERT_TRUE(r.GuardsIntact());
                for (int i = 0; i < len; ++i)
                {
                    const int k = (i * 5 + len) % 7;
                    if (k < 6)
                    {
                        ASSERT_EQ(specials[k].result, std::bit_cast<uint32_t>(r[i]))
                            << len << " " << i;
                        continue;
                    }
                    const float ref = static_cast<float>(std::pow(static_cast<double>(x[i]), y[i]));
                    ASSERT_LE(std::abs(static_cast<int32_t>(std::bit_cast<uint32_t>(r[i]) -
                                                            std::bit_cast<uint32_t>(ref))),
                              1);
                }
            }
    }
}

TEST(Power, ListedResults)
{
    float r;
    ASSERT_EQ(0, Pow1(10.0f, 0.05f, &r));
    EXPECT_NEAR(1.1220185f, r, 1e-7f);
    ASSERT_EQ(0, Pow1(2.0f, -140.0f, &r)); // subnormal, no flush
    EXPECT_EQ(static_cast<float>(std::ldexp(1.0, -140)), r);
    EXPECT_NE(0.0f, r);
}

TEST(Power, AccuracyAgainstTheDoublePower)
{
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> base(1e-3f, 50.0f), expo(-20.0f, 20.0f);
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        const int len = 203;
        std::vector<float> x(len), y(len), r(len);
        for (int i = 0; i < len; ++i)
        {
            x[i] = base(rng);
            y[i] = expo(rng);
        }
        x[9] = -3.0f; // sends its block to the per-element routine
        y[9] = 3.0f;
        x[50] = 1e-40f; // subnormal base
        y[50] = 0.5f;
        ASSERT_EQ(0, DspPow32f(x.data(), y.data(), r.data(), len));
        for (int i = 0; i < len; ++i)
        {
            const double ref = std::pow(static_cast<double>(x[i]), static_cast<double>(y[i]));
            const float rf = static_cast<float>(ref);
            if (std::isinf(rf) || rf == 0.0f)
            {
                EXPECT_EQ(rf, r[i]) << x[i] << "^" << y[i];
                continue;
            }
            const int32_t ulps = static_cast<int32_t>(std::bit_cast<uint32_t>(r[i])) -
                                 static_cast<int32_t>(std::bit_cast<uint32_t>(rf));
            EXPECT_LE(std::abs(ulps), 1) << x[i] << "^" << y[i] << " level " << level;
        }
    }
}

// Within one unit in the last place of the double-precision power rounded
// to single; infinities and zeros exactly.
::testing::AssertionResult NearDoublePower(float x, float y, float r)
{
    const float ref = static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(y)));
    const bool exact = std::isinf(ref) || ref == 0.0f;
    const int32_t ulps = static_cast<int32_t>(std::bit_cast<uint32_t>(r)) -
                         static_cast<int32_t>(std::bit_cast<uint32_t>(ref));
    if (exact ? std::bit_cast<uint32_t>(r) == std::bit_cast<uint32_t>(ref) : std::abs(ulps) <= 1)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << x << "^" << y << " gave " << r << ", expected " << ref;
}

// e^t must stay a normal single for the block path (abs(t) < 87.3338); past
// that the per-element routine gives infinities, subnormals and zeros. A sweep
// of t = y ln x across both edges, and the listed pairs, in whole blocks and
// element by element.
TEST(Power, ResultsAtTheEdgesOfTheSingleRange)
{
    std::vector<float> x, y;
    for (float base : {10.0f, 2.0f, 0.3f})
        for (double t = -104.5; t <= 90.0; t += 0.0371)
            if (std::abs(t) > 80.0)
            {
                x.push_back(base);
                y.push_back(static_cast<float>(t / std::log(static_cast<double>(base))));
            }
    const float listed[][2] = {{10, 38.2f},  {10, 38.5f},  {10, 38.9f},  {10, -38.2f},
                               {10, -38.5f}, {10, -38.9f}, {2, -127.5f}, {2, -126.0f}};
    for (const auto& p : listed)
    {
        x.push_back(p[0]);
        y.push_back(p[1]);
    }
    std::vector<float> r(x.size());
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        ASSERT_EQ(0, DspPow32f(x.data(), y.data(), r.data(), static_cast<int32_t>(x.size())));
        for (size_t i = 0; i < x.size(); ++i)
        {
            ASSERT_TRUE(NearDoublePower(x[i], y[i], r[i])) << "level " << level;
            float alone = 0;
            ASSERT_EQ(0, Pow1(x[i], y[i], &alone));
            ASSERT_TRUE(NearDoublePower(x[i], y[i], alone)) << "alone, level " << level;
        }
    }
}

TEST(Power, InPlaceGivesTheSameResults)
{
    float x[12], y[12], r[12];
    for (int i = 0; i < 12; ++i)
    {
        x[i] = 1.5f + static_cast<float>(i);
        y[i] = 0.25f * static_cast<float>(i) - 1.0f;
    }
    x[5] = -2.0f;
    y[5] = 3.0f;
    ASSERT_EQ(0, DspPow32f(x, y, r, 12));
    float a[12], b[12];
    memcpy(a, x, sizeof a);
    memcpy(b, y, sizeof b);
    ASSERT_EQ(0, DspPow32f(a, y, a, 12));
    ASSERT_EQ(0, DspPow32f(x, b, b, 12));
    for (int i = 0; i < 12; ++i)
    {
        EXPECT_EQ(std::bit_cast<uint32_t>(r[i]), std::bit_cast<uint32_t>(a[i]));
        EXPECT_EQ(std::bit_cast<uint32_t>(r[i]), std::bit_cast<uint32_t>(b[i]));
    }
}

TEST(Power, CallersControlRegisterComesBackWhole)
{
    const unsigned saved = EmuGetMxcsr();
    float x[9] = {2, 2, 2, 2, 2, 2, 2, 2, 2}, y[9] = {-140, 10, 0.5f, 3, 3, 3, 3, 3, -140};
    float r[9];
    const float twoToMinus140 = std::bit_cast<float>(0x00000200u); // a subnormal: 2^9 times 2^-149
    for (unsigned bits : {0x8000u, 0x0040u, 0x2000u, 0x4000u, 0x6000u, 0xE040u})
    {
        const unsigned callers = (saved & ~0xE07Fu) | bits | 0x0020u; // a flag already raised
        EmuSetMxcsr(callers);
        ASSERT_EQ(0, DspPow32f(x, y, r, 9));
        EXPECT_EQ(callers, EmuGetMxcsr()) << std::hex << bits;
        EXPECT_EQ(twoToMinus140, r[0]) << std::hex << bits;
        EXPECT_EQ(twoToMinus140, r[8]) << std::hex << bits;
        EXPECT_EQ(1024.0f, r[1]);
    }
    // Without those bits the register is not reloaded: the flags the call
    // raised stay (the subnormal result is inexact and underflows).
    EmuSetMxcsr(saved & ~0xE07Fu);
    ASSERT_EQ(0, DspPow32f(x, y, r, 9));
    EXPECT_NE(0u, EmuGetMxcsr() & 0x0030u);
    EmuSetMxcsr(saved);
}

TEST(Power, ChecksTouchNothing)
{
    float x = 2, y = 3, r = 7;
    const unsigned saved = EmuGetMxcsr();
    EmuSetMxcsr(saved | 0x8040u);
    EXPECT_EQ(DspStsNullPtrErr, DspPow32f(&x, &y, nullptr, 0));
    EXPECT_EQ(DspStsNullPtrErr, DspPow32f(&x, nullptr, &r, 1));
    EXPECT_EQ(DspStsNullPtrErr, DspPow32f(nullptr, &y, &r, 1));
    EXPECT_EQ(DspStsSizeErr, DspPow32f(&x, &y, &r, 0));
    EXPECT_EQ(DspStsSizeErr, DspPow32f(&x, &y, &r, -3));
    EXPECT_EQ(7.0f, r);
    EXPECT_EQ(saved | 0x8040u, EmuGetMxcsr());
    EmuSetMxcsr(saved);
}
} // namespace
