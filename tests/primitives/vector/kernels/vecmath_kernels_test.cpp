// Multiply, square, exponential and divide at processor levels 1 to 3: every
// length from 1 to 40 at every 4-byte offset with guard bytes, IEEE special
// values, results against double-precision references, the exponential's
// thresholds and exception flags, and the divide's zero rule and warning.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <limits>

#include "primitives/vector/DspVector.h"
#include "primitives/vector/kernels/DspVmKernels.h"
#include "tests/primitives/vector/vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();
const int Levels[] = {DspLevelSse3, DspLevelSsse3, DspLevelSse4};
const size_t Offsets[] = {0, 4, 8, 12};

// Values that exercise every product rule: signed zeros, infinities, NaNs,
// denormals, overflowing and ordinary numbers.
const float Pool[] = {1.5f, -0.0f, 0.0f, Inf, -Inf, NaN, 1e-40f, 3e38f, -2.25f, 7e-20f, 0.1f};
constexpr int PoolSize = sizeof Pool / sizeof Pool[0];

// Equal bit patterns, or both NaN: IEEE leaves the payload of an operation on
// NaNs to the processor.
bool SameFloat(float expected, float actual)
{
    return std::bit_cast<uint32_t>(expected) == std::bit_cast<uint32_t>(actual) ||
           (std::isnan(expected) && std::isnan(actual));
}

// Runs `body(level, len, a, b, d)` at every level, every length from 1 to 40
// and every 4-byte offset of each of three guarded arrays, which `fill` sets
// up first; the guards are checked after.
template <class Fill, class Body> void AtEveryLayout(Fill fill, Body body)
{
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t o1 : Offsets)
                for (size_t o2 : Offsets)
                    for (size_t od : Offsets)
                    {
                        GuardedFloats a(len, o1), b(len, o2), d(len, od);
                        for (int i = 0; i < len; ++i)
                            fill(i, len, a[i], b[i]);
                        body(level, len, a, b, d);
                        ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact() && d.GuardsIntact());
                    }
    }
}

TEST(VecMathKernels, MultiplyAndSquareAreIeeeProductsAtEveryAlignment)
{
    AtEveryLayout(
        [](int i, int len, float& a, float& b)
        {
            a = Pool[(i + len) % PoolSize];
            b = Pool[(3 * i + 1) % PoolSize];
        },
        [](int level, int len, GuardedFloats& a, GuardedFloats& b, GuardedFloats& d)
        {
            ASSERT_EQ(0, DspMul32f(a.Data(), b.Data(), d.Data(), len));
            for (int i = 0; i < len; ++i)
                ASSERT_TRUE(SameFloat(a[i] * b[i], d[i])) << level << " " << len;
            ASSERT_EQ(0, DspSqr32f(b.Data(), d.Data(), len));
            for (int i = 0; i < len; ++i)
                ASSERT_TRUE(SameFloat(b[i] * b[i], d[i])) << level << " " << len;
        });
}

TEST(VecMathKernels, SquareAndMultiplyInPlace)
{
    using Sqr = void (*)(const float*, float*, int32_t);
    for (Sqr kernel :
         {Sqr{DspSqrKernel32f_Sse3}, Sqr{DspSqrKernel32f_Ssse3}, Sqr{DspSqrKernel32f_Sse4}})
        for (size_t off : Offsets)
        {
            GuardedFloats v(23, off);
            for (int i = 0; i < 23; ++i)
                v[i] = Pool[i % PoolSize];
            kernel(v.Data(), v.Data(), 23);
            for (int i = 0; i < 23; ++i)
                ASSERT_TRUE(SameFloat(Pool[i % PoolSize] * Pool[i % PoolSize], v[i]));
            ASSERT_TRUE(v.GuardsIntact());
        }
    float sq[3] = {-0.0f, 2e20f, -3.0f};
    DspSqrKernel32f_Sse3(sq, sq, 3);
    EXPECT_EQ(0u, std::bit_cast<uint32_t>(sq[0]));
    EXPECT_EQ(Inf, sq[1]);
    EXPECT_EQ(9.0f, sq[2]);
    float m[12], k[12];
    for (int i = 0; i < 12; ++i)
        m[i] = k[i] = static_cast<float>(i) - 5.5f;
    DspMulKernel32f_Ssse3(m, k, m, 12);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(k[i] * k[i], m[i]);
}

TEST(VecMathKernels, EntriesCheckPointersBeforeLengths)
{
    float v[2] = {1, 2};
    for (int level : Levels)
    {
        LevelScope scope(level);
        EXPECT_EQ(DspStsNullPtrErr, DspMul32f(v, nullptr, v, 0));
        EXPECT_EQ(DspStsSizeErr, DspMul32f(v, v, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspSqr32f(nullptr, v, -1));
        EXPECT_EQ(DspStsSizeErr, DspSqr32f(v, v, -1));
        EXPECT_EQ(DspStsNullPtrErr, DspDiv32f(nullptr, v, v, 0));
        EXPECT_EQ(DspStsSizeErr, DspDiv32f(v, v, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspExpInPlace32f(nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspExpInPlace32f(v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspLnInPlace32f(nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspLnInPlace32f(v, 0));
    }
    EXPECT_EQ(1.0f, v[0]);
    EXPECT_EQ(2.0f, v[1]);
}

// ---- exponential
using ExpKernel = void (*)(const float*, float*, int32_t);
const ExpKernel ExpKernels[] = {DspExpKernel32f_Sse3, DspExpKernel32f_Ssse3, DspExpKernel32f_Sse4};

// The Pade form, the refined reciprocal estimate and the float steps stay
// within a few parts in 10^7 of e^x.
constexpr double ExpTolerance = 4e-7;

float Exp1(ExpKernel kernel, float x)
{
    float y = 0;
    kernel(&x, &y, 1);
    return y;
}

TEST(VecMathKernels, ExponentialThresholdsAndSpecialValues)
{
    struct Case
    {
        uint32_t in, out;
    };
    const Case cases[] = {
        {0xC2AEAC4Au, 0x00000000u}, // -87.3365021: underflow bound itself
        {0xFF800000u, 0x00000000u}, // -Inf
        {0xC2C80000u, 0x00000000u}, // -100
        {0x42B17218u, 0x7F800000u}, // 88.72284: the first float whose e^x rounds to +Inf
        {0x7F800000u, 0x7F800000u}, // +Inf
        {0x7FC00000u, 0x7FC00000u}, // quiet NaN
        {0x7FC01234u, 0x7FC00000u}, // quiet NaN with a payload
        {0x7F800001u, 0x7F800000u}, // signalling NaN
    };
    for (ExpKernel kernel : ExpKernels)
    {
        for (const Case& c : cases)
            EXPECT_EQ(c.out, std::bit_cast<uint32_t>(Exp1(kernel, std::bit_cast<float>(c.in))))
                << std::hex << c.in;
        EXPECT_TRUE(std::isnan(Exp1(kernel, std::bit_cast<float>(0xFFC00000u))));
        const double top = std::exp(static_cast<double>(std::bit_cast<float>(0x42AE3333u)));
        EXPECT_NEAR(top, Exp1(kernel, std::bit_cast<float>(0x42AE3333u)), top * ExpTolerance);
        const double bottom = std::exp(static_cast<double>(std::bit_cast<float>(0xC2AEAC49u)));
        EXPECT_NEAR(bottom, Exp1(kernel, std::bit_cast<float>(0xC2AEAC49u)), bottom * ExpTolerance);
        for (float tiny : {0.0f, -0.0f, 1e-40f, -1e-40f})
            EXPECT_NEAR(1.0, Exp1(kernel, tiny), ExpTolerance) << tiny;
    }
}

// Finite wherever e^x is, +Inf from the first float whose e^x rounds to
// infinity, as at level 0: the inputs around n = 128 (2^n alone beyond the
// largest float) and the last finite ones, then the first infinite ones.
TEST(VecMathKernels, ExponentialOverflowsWhereLevelZeroDoes)
{
    const uint32_t inputs[] = {0x42AE3333u, 0x42AE3334u, 0x42B0C0A5u, 0x42B0C0A6u, 0x42B17000u,
                               0x42B17216u, 0x42B17217u, 0x42B17218u, 0x42B17219u, 0x42B20000u};
    for (uint32_t in : inputs)
    {
        const float x = std::bit_cast<float>(in);
        const double ref = std::exp(static_cast<double>(x));
        const bool finite = std::isfinite(static_cast<float>(ref));
        float gen = x;
        ASSERT_EQ(0, DspExpInPlace32f_Gen(&gen, 1));
        EXPECT_EQ(finite, std::isfinite(gen)) << std::hex << in;
        for (ExpKernel kernel : ExpKernels)
        {
            const float y = Exp1(kernel, x);
            if (!finite)
                EXPECT_EQ(std::bit_cast<uint32_t>(gen), std::bit_cast<uint32_t>(y))
                    << std::hex << in;
            else
            {
                EXPECT_NEAR(ref, y, ref * ExpTolerance) << std::hex << in;
                EXPECT_NEAR(gen, y, ref * ExpTolerance) << std::hex << in;
            }
        }
    }
}

TEST(VecMathKernels, ExponentialAtEveryLengthAndAlignment)
{
    const float special[] = {-Inf, 100.0f, NaN};
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off : Offsets)
            {
                GuardedFloats v(len, off);
                for (int i = 0; i < len; ++i)
                    v[i] = i % 7 == 3 ? special[i % 3]
                                      : 0.37f * static_cast<float>(i * i % 480) - 87.0f;
                std::vector<float> in(v.Data(), v.Data() + len);
                ASSERT_EQ(0, DspExpInPlace32f(v.Data(), len));
                ASSERT_TRUE(v.GuardsIntact());
                for (int i = 0; i < len; ++i)
                {
                    if (i % 7 == 3)
                    {
                        const uint32_t expected[] = {0u, 0x7F800000u, 0x7FC00000u};
                        ASSERT_EQ(expected[i % 3], std::bit_cast<uint32_t>(v[i]));
                        continue;
                    }
                    const double ref = std::exp(static_cast<double>(in[i]));
                    ASSERT_NEAR(ref, v[i], ref * ExpTolerance) << in[i];
                }
            }
    }
}

TEST(VecMathKernels, ExponentialSpecialLaneLeavesItsNeighboursAlone)
{
    const float plain[4] = {0.5f, -3.0f, 10.0f, 1.25f};
    float withSpecial[4] = {0.5f, -3.0f, 10.0f, 1.25f};
    withSpecial[2] = -Inf;
    float a[4], b[4];
    for (ExpKernel kernel : ExpKernels)
    {
        kernel(plain, a, 4);
        kernel(withSpecial, b, 4);
        for (int i : {0, 1, 3})
            EXPECT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i]));
        EXPECT_EQ(0u, std::bit_cast<uint32_t>(b[2]));
    }
}

TEST(VecMathKernels, ExponentialClearsTheExceptionFlags)
{
    const uint32_t saved = _mm_getcsr();
    for (ExpKernel kernel : ExpKernels)
    {
        // Flags the arithmetic of an underflow lane raises do not reach the caller.
        _mm_setcsr(saved & ~0x3Fu);
        float v[5] = {-200.0f, 1.0f, 2.0f, 3.0f, 4.0f};
        kernel(v, v, 5);
        EXPECT_EQ(0u, _mm_getcsr() & 0x1Fu);
        // Flags set before the call go too; the precision flag and every
        // control bit stay.
        _mm_setcsr((saved & ~0x3Fu) | 0x3Fu);
        kernel(v + 1, v + 1, 1);
        EXPECT_EQ((saved & ~0x3Fu) | 0x20u, _mm_getcsr());
    }
    _mm_setcsr(saved);
}

// ---- divide
using DivKernel = int32_t (*)(const float*, const float*, float*, int32_t);
const DivKernel DivKernels[] = {DspDivKernel32f_Sse3, DspDivKernel32f_Ssse3, DspDivKernel32f_Sse4};

// The quotient of a block without zero divisors: the reciprocal estimate
// refined to third order.
float EstimateQuotient(float y, float x)
{
    const float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(x)));
    const float e = 1.0f - x * r;
    const float q0 = y * r;
    return q0 + (q0 + e * q0) * e;
}

TEST(VecMathKernels, DivideWithoutZerosAtEveryAlignment)
{
    AtEveryLayout(
        [](int i, int, float& x, float& y)
        {
            x = (i % 2 ? -1.0f : 1.0f) * (0.75f + 0.37f * static_cast<float>(i));
            y = 1e5f - 3.3f * static_cast<float>(i * i);
        },
        [](int, int len, GuardedFloats& x, GuardedFloats& y, GuardedFloats& q)
        {
            ASSERT_EQ(0, DspDiv32f(x.Data(), y.Data(), q.Data(), len));
            for (int i = 0; i < len; ++i)
            {
                ASSERT_EQ(std::bit_cast<uint32_t>(EstimateQuotient(y[i], x[i])),
                          std::bit_cast<uint32_t>(q[i]));
                const double ref = static_cast<double>(y[i]) / x[i];
                ASSERT_NEAR(ref, q[i], std::fabs(ref) * 2.4e-7);
            }
        });
}

TEST(VecMathKernels, DivideByZeroFollowsTheDividendAndWarns)
{
    // One block of eight with zero divisors of both signs: every lane is an
    // exact quotient, the zero lanes follow the dividend.
    alignas(16) const float x[8] = {0.0f, 0.0f, 0.0f, 0.0f, -0.0f, 3.0f, 7.0f, -0.1f};
    alignas(16) const float y[8] = {1.0f, -1.0f, 0.0f, NaN, 1.0f, 1.0f, 2.0f, 5.0f};
    const uint32_t zeroLanes[5] = {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0x7FC00000u, 0x7F800000u};
    for (int level : Levels)
    {
        LevelScope scope(level);
        alignas(16) float q[8];
        ASSERT_EQ(DspStsDivByZero, DspDiv32f(x, y, q, 8));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(zeroLanes[i], std::bit_cast<uint32_t>(q[i])) << i;
        for (int i = 5; i < 8; ++i)
            EXPECT_EQ(std::bit_cast<uint32_t>(y[i] / x[i]), std::bit_cast<uint32_t>(q[i])) << i;
        // A lone zero divisor at any position and length.
        for (int len = 1; len <= 19; ++len)
            for (size_t off : Offsets)
            {
                GuardedFloats a(len, off), b(len, 0), d(len, off);
                for (int i = 0; i < len; ++i)
                {
                    a[i] = i == len / 2 ? -0.0f : 2.0f;
                    b[i] = -6.0f;
                }
                ASSERT_EQ(DspStsDivByZero, DspDiv32f(a.Data(), b.Data(), d.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(i == len / 2 ? -Inf : -3.0f, d[i]);
                ASSERT_TRUE(d.GuardsIntact());
            }
    }
}

// IEEE special values among ordinary ones at every length and layout: a lane
// the estimate cannot serve (zero, denormal, huge or non-finite divisor,
// infinite dividend, overflowing quotient) is always an exact quotient or the
// zero rule; any other lane the exact quotient when its block holds such a
// lane, else the estimate.
TEST(VecMathKernels, DivideSpecialValuesAtEveryAlignment)
{
    AtEveryLayout(
        [](int i, int len, float& x, float& y)
        {
            const bool special = (i + len) % 5 == 2;
            x = special ? Pool[(i * 7 + len) % PoolSize] : 1.25f + static_cast<float>(i);
            y = special ? Pool[(i * 3 + 2) % PoolSize] : 7.0f - static_cast<float>(i);
        },
        [](int, int len, GuardedFloats& x, GuardedFloats& y, GuardedFloats& q)
        {
            bool zero = false;
            for (int i = 0; i < len; ++i)
                zero = zero || x[i] == 0.0f;
            ASSERT_EQ(zero ? DspStsDivByZero : 0, DspDiv32f(x.Data(), y.Data(), q.Data(), len));
            for (int i = 0; i < len; ++i)
            {
                if (x[i] == 0.0f)
                {
                    const uint32_t want =
                        y[i] > 0 ? 0x7F800000u : (y[i] < 0 ? 0xFF800000u : 0x7FC00000u);
                    ASSERT_EQ(want, std::bit_cast<uint32_t>(q[i]));
                }
                else if (!std::isfinite(y[i] / x[i]) || !std::isnormal(x[i]) ||
                         std::fabs(x[i]) >= std::ldexp(1.0f, 126))
                {
                    ASSERT_TRUE(SameFloat(y[i] / x[i], q[i])) << y[i] << "/" << x[i];
                }
                else
                {
                    ASSERT_TRUE(std::bit_cast<uint32_t>(q[i]) ==
                                    std::bit_cast<uint32_t>(y[i] / x[i]) ||
                                std::bit_cast<uint32_t>(q[i]) ==
                                    std::bit_cast<uint32_t>(EstimateQuotient(y[i], x[i])));
                }
            }
        });
}

// Divisors and dividends the reciprocal estimate cannot serve, and quotients
// that overflow, are divided exactly, as the generic level does.
TEST(VecMathKernels, DivideOutsideTheEstimateRangeIsExact)
{
    const float huge = std::ldexp(1.0f, 127), tiny = 1e-41f;
    alignas(16) const float x[8] = {huge, Inf, 2.0f, tiny, -huge, 4.0f, 0.1f, -1e-5f};
    alignas(16)
        const float y[8] = {std::ldexp(1.0f, 100), 5.0f, Inf, 1e-38f, 1.0f, -Inf, 3e38f, 1e35f};
    for (DivKernel kernel : DivKernels)
    {
        for (int len : {1, 2, 3, 4, 8})
            for (int start = 0; start + len <= 8; ++start)
            {
                float q[8];
                EXPECT_EQ(0, kernel(x + start, y + start, q, len));
                for (int i = 0; i < len; ++i)
                    EXPECT_EQ(std::bit_cast<uint32_t>(y[start + i] / x[start + i]),
                              std::bit_cast<uint32_t>(q[i]))
                        << start + i << " of " << len;
            }
    }
}

TEST(VecMathKernels, DivideOneValueByEveryElement)
{
    using Rev = int32_t (*)(const float*, const float*, float*, int32_t);
    for (Rev kernel : {Rev{DspDivRevConstKernel32f_Sse3}, Rev{DspDivRevConstKernel32f_Ssse3},
                       Rev{DspDivRevConstKernel32f_Sse4}})
        for (size_t off : Offsets)
        {
            GuardedFloats s(21, off), d(21, (off + 8) % 16);
            for (int i = 0; i < 21; ++i)
                s[i] = i == 13 ? 0.0f : 0.5f + static_cast<float>(i);
            const float value = -3.0f;
            ASSERT_NE(0, kernel(s.Data(), &value, d.Data(), 21));
            for (int i = 0; i < 21; ++i)
                if (i == 13)
                    ASSERT_EQ(-Inf, d[i]);
                else
                    ASSERT_NEAR(-3.0 / s[i], d[i], 2.4e-7 * 3.0 / s[i]);
            s[13] = 1.0f;
            ASSERT_EQ(0, kernel(s.Data(), &value, d.Data(), 21));
            ASSERT_TRUE(s.GuardsIntact() && d.GuardsIntact());
        }
}
} // namespace
