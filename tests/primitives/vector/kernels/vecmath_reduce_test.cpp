// Square roots, sums, means, element minimum and maximum and dot products at
// processor levels 1 to 3: every length from 1 to 40 at every 4-byte offset
// with guard bytes, IEEE special values, the estimate paths against a scalar
// model of the same steps and against double references, the stated orders
// of addition, and the control-register handling of the square roots.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "primitives/vector/DspVector.h"
#include "primitives/vector/kernels/DspVmReduceKernels.h"
#include "tests/primitives/vector/vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();
const int Levels[] = {DspLevelSse3, DspLevelSsse3, DspLevelSse4};
const size_t Offsets[] = {0, 4, 8, 12};
constexpr uint32_t DefaultNaN = 0xFFC00000u;

using Sqrt32 = int32_t (*)(const float*, float*, int32_t);
using Sqrt64 = int32_t (*)(const double*, double*, int32_t);
using Dot = void (*)(const float*, const float*, int32_t, float*);
const Sqrt32 Sqrt32Kernels[] = {DspSqrtKernel32f_Sse3, DspSqrtKernel32f_Ssse3,
                                DspSqrtKernel32f_Sse4};
const Sqrt64 Sqrt64Kernels[] = {DspSqrtKernel64f_Sse3, DspSqrtKernel64f_Ssse3,
                                DspSqrtKernel64f_Sse4};
const Dot DotKernels[] = {DspDotProdKernel32f_Sse3, DspDotProdKernel32f_Ssse3,
                          DspDotProdKernel32f_Sse4};

bool SameFloat(float expected, float actual)
{
    return std::bit_cast<uint32_t>(expected) == std::bit_cast<uint32_t>(actual) ||
           (std::isnan(expected) && std::isnan(actual));
}

// Units in the last place between two positive finite floats.
int64_t UlpDistance(float a, float b)
{
    return std::llabs(static_cast<int64_t>(std::bit_cast<uint32_t>(a)) -
                      static_cast<int64_t>(std::bit_cast<uint32_t>(b)));
}

// The estimate path of one element on this machine: one Newton step on the
// reciprocal square-root estimate, products in the kernels' order.
float NewtonModel(float x)
{
    const float r = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
    const float s = x * r;
    const float t = r * s;
    return (3.0f - t) * (s * 0.5f);
}

bool PositiveNormal(float x)
{
    return std::isnormal(x) && x > 0.0f;
}

// Which elements a 32f square root takes through the estimate path: those of
// a 16-element block after dst reached 16-byte alignment, when the whole
// block is positive normal.
std::vector<bool> EstimatedElements(const float* src, uintptr_t dstAddr, int len)
{
    std::vector<bool> est(len, false);
    int i = 0;
    while (((dstAddr + 4 * i) & 12) != 0 && i < len)
        ++i;
    for (; len - i >= 16; i += 16)
    {
        bool block = true;
        for (int k = 0; k < 16; ++k)
            block = block && PositiveNormal(src[i + k]);
        for (int k = 0; k < 16; ++k)
            est[i + k] = block;
    }
    return est;
}

// Mostly positive normals with a special value every so often.
const float SqrtPool[] = {2.0f, 0.75f, 3e38f, 1.17549435e-38f, 12345.678f, -0.0f, 0.0f,
                          Inf,  -Inf,  NaN,   -2.5f,           1e-40f,     9.0f,  0.3f};

TEST(VecMathReduce, SquareRoot32fAtEveryLayoutMatchesTheModelAndTheExactRoot)
{
    for (int pattern = 0; pattern < 3; ++pattern)
        for (int li = 0; li < 3; ++li)
            for (int len = 1; len <= 40; ++len)
                for (size_t os : Offsets)
                    for (size_t od : Offsets)
                    {
                        GuardedFloats src(len, os), dst(len, od);
                        bool negative = false;
                        for (int i = 0; i < len; ++i)
                        {
                            // Pattern 0: a special every 23 elements; 1: normals only;
                            // 2: normals but for the largest denormal (element 9) and
                            // the smallest normal (element 25), alone in their blocks.
                            const int pick = pattern == 0 ? (i * 5 + len) % 14 : i % 5;
                            src[i] = SqrtPool[pick] * (pattern == 0 ? 1.0f : 1.0f + 0.01f * i);
                            if (pattern == 2 && (i == 9 || i == 25))
                                src[i] = std::bit_cast<float>(i == 9 ? 0x007FFFFFu : 0x00800000u);
                            negative = negative || src[i] < 0.0f;
                        }
                        const auto est = EstimatedElements(
                            src.Data(), reinterpret_cast<uintptr_t>(dst.Data()), len);
                        const int32_t flag = Sqrt32Kernels[li](src.Data(), dst.Data(), len);
                        ASSERT_EQ(negative, flag != 0) << li << " " << len;
                        for (int i = 0; i < len; ++i)
                        {
                            const float x = src[i];
                            if (est[i])
                            {
                                ASSERT_EQ(std::bit_cast<uint32_t>(NewtonModel(x)),
                                          std::bit_cast<uint32_t>(dst[i]));
                                ASSERT_LE(UlpDistance(std::sqrt(x), dst[i]), 2) << x;
                            }
                            else if (x < 0.0f)
                                ASSERT_EQ(DefaultNaN, std::bit_cast<uint32_t>(dst[i]));
                            else
                                ASSERT_TRUE(SameFloat(
                                    static_cast<float>(std::sqrt(static_cast<double>(x))), dst[i]))
                                    << li << " " << len << " " << i << " " << x;
                        }
                        ASSERT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
                    }
}

TEST(VecMathReduce, SquareRoot32fInPlaceAndTheSignedNanRule)
{
    // A NaN with its sign set counts as negative only in a single-element step.
    const float signedNaN = std::bit_cast<float>(0xFFC12345u);
    struct Case
    {
        size_t offset;
        int len;
        bool flagged;
    } cases[] = {{4, 1, true}, {0, 1, true}, {0, 4, false}, {0, 2, false}, {0, 3, true}};
    for (Sqrt32 kernel : Sqrt32Kernels)
        for (const Case& c : cases)
        {
            GuardedFloats v(c.len, c.offset);
            for (int i = 0; i < c.len; ++i)
                v[i] = 4.0f;
            v[c.len - 1] = signedNaN;
            EXPECT_EQ(c.flagged, kernel(v.Data(), v.Data(), c.len) != 0) << c.len;
            EXPECT_TRUE(std::isnan(v[c.len - 1]));
            for (int i = 0; i + 1 < c.len; ++i)
                EXPECT_EQ(2.0f, v[i]);
        }
}

TEST(VecMathReduce, SquareRoot32fGivesTheCallerItsControlRegisterBack)
{
    const uint32_t saved = _mm_getcsr();
    // Invalid operation unmasked, DAZ set, rounding toward zero, a stale flag.
    const uint32_t callers[] = {0x1F80u, 0x1F00u | 0x6000u, 0x1FC0u, 0x1D81u, 0x0040u | 0x1F80u};
    const float data[20] = {0.0f, Inf,  -1.0f, 2.0f, 1e-40f, NaN,  4.0f, 9.0f, 16.0f, 25.0f,
                            1.0f, 1.0f, 1.0f,  1.0f, 1.0f,   1.0f, 1.0f, 1.0f, 1.0f,  -0.0f};
    for (Sqrt32 kernel : Sqrt32Kernels)
        for (uint32_t caller : callers)
        {
            alignas(16) float out[20];
            _mm_setcsr(caller);
            kernel(data, out, 20);
            const uint32_t after = _mm_getcsr();
            _mm_setcsr(saved);
            EXPECT_EQ(caller & ~0x20u, after & ~0x20u) << std::hex << caller;
            EXPECT_EQ(DefaultNaN, std::bit_cast<uint32_t>(out[2]));
            // The denormal's root, taken with DAZ off for the call.
            // The denormal's root, taken as it is unless the caller's own
            // register already masked everything and flushes denormals.
            const float root = static_cast<float>(std::sqrt(static_cast<double>(data[4])));
            EXPECT_EQ((caller & 0x1FC0u) == 0x1FC0u ? 0.0f : root, out[4]) << std::hex << caller;
        }
}

TEST(VecMathReduce, SquareRoot64fMatchesTheModelAndTheExactRoot)
{
    const double pool[] = {2.0,
                           0.75,
                           1.7e308,
                           2.2250738585072014e-308,
                           1e-300,
                           5e-324,
                           -0.0,
                           0.0,
                           HUGE_VAL,
                           -3.0,
                           std::numeric_limits<double>::quiet_NaN(),
                           81.0,
                           1e200};
    constexpr int poolSize = sizeof pool / sizeof pool[0];
    for (Sqrt64 kernel : Sqrt64Kernels)
        for (int len = 1; len <= 40; ++len)
            for (size_t os : {0u, 8u})
                for (size_t od : {0u, 8u})
                {
                    GuardedFloats s(2 * len, os), d(2 * len, od);
                    auto* src = reinterpret_cast<double*>(s.Data());
                    auto* dst = reinterpret_cast<double*>(d.Data());
                    bool negative = false;
                    for (int i = 0; i < len; ++i)
                    {
                        src[i] =
                            (len % 3 == 0) ? pool[(i * 7 + len) % poolSize] : pool[i % 4] * (1 + i);
                        negative = negative || src[i] < 0.0;
                    }
                    ASSERT_EQ(negative, kernel(src, dst, len) != 0);
                    for (int i = 0; i < len; ++i)
                    {
                        const double x = src[i], want = std::sqrt(x);
                        if (std::isnan(want))
                            ASSERT_TRUE(std::isnan(dst[i]));
                        else if (std::isnormal(x) && std::isfinite(x))
                            ASSERT_LE(std::fabs(dst[i] - want), want * 0x1p-40) << x;
                        else
                            ASSERT_EQ(want, dst[i]) << x;
                        uint64_t bits;
                        std::memcpy(&bits, &dst[i], 8);
                        ASSERT_TRUE(x >= 0.0 || std::isnan(x) || bits == 0xFFF8000000000000ull);
                    }
                    ASSERT_TRUE(s.GuardsIntact() && d.GuardsIntact());
                }
}

TEST(VecMathReduce, SquareRootEntriesCheckAndWarn)
{
    for (int level : Levels)
    {
        LevelScope scope(level);
        float v[3] = {16.0f, -1.0f, 81.0f};
        EXPECT_EQ(DspStsNullPtrErr, DspSqrtInPlace32f(nullptr, 3));
        EXPECT_EQ(DspStsSizeErr, DspSqrtInPlace32f(v, 0));
        EXPECT_EQ(DspStsSizeErr, DspSqrtInPlace32f(v, -1));
        EXPECT_EQ(16.0f, v[0]);
        EXPECT_EQ(DspStsNoErr, DspSqrtInPlace32f(v, 1));
        EXPECT_EQ(DspStsSqrtNegArg, DspSqrtInPlace32f(v, 3));
        EXPECT_EQ(2.0f, v[0]);
        EXPECT_EQ(DefaultNaN, std::bit_cast<uint32_t>(v[1]));
        EXPECT_EQ(9.0f, v[2]);
    }
}

// ---- dot product
TEST(VecMathReduce, DotProductAdditionOrderExamples)
{
    alignas(16) const float a[4] = {1e8f, 1.0f, -1e8f, 1.0f};
    alignas(16) const float ones[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float out = 0;
    DspDotProdKernel32f_Gen(a, ones, 4, &out);
    EXPECT_EQ(1.0f, out);
    for (Dot kernel : DotKernels)
    {
        kernel(a, ones, 4, &out);
        EXPECT_EQ(2.0f, out);
        // Odd length below 16: the last product joins the odd sum first.
        const float b[3] = {1e8f, 1.0f, -1e8f};
        kernel(b, ones, 3, &out);
        EXPECT_EQ(0.0f, out);
        const float z[2] = {-0.0f, 0.0f};
        kernel(z, ones, 2, &out);
        EXPECT_EQ(0u, std::bit_cast<uint32_t>(out));
    }
}

TEST(VecMathReduce, DotProductAtEveryLayoutAgainstDouble)
{
    for (int li = 0; li < 3; ++li)
        for (int len = 1; len <= 40; ++len)
            for (size_t o1 : Offsets)
                for (size_t o2 : Offsets)
                {
                    GuardedFloats a(len, o1), b(len, o2);
                    double exact = 0.0, magnitude = 0.0;
                    for (int i = 0; i < len; ++i)
                    {
                        a[i] = 0.37f * static_cast<float>((i * 13 + len) % 17) - 2.9f;
                        b[i] = 1.1f + 0.05f * static_cast<float>((i * 7) % 11);
                        exact += static_cast<double>(a[i]) * b[i];
                        magnitude += std::fabs(static_cast<double>(a[i]) * b[i]);
                    }
                    float out = 0, swapped = 0;
                    DotKernels[li](a.Data(), b.Data(), len, &out);
                    DotKernels[li](b.Data(), a.Data(), len, &swapped);
                    ASSERT_LE(std::fabs(out - exact), (len + 2) * 0x1p-24 * magnitude)
                        << li << " " << len << " " << o1 << " " << o2;
                    ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact());
                    if (o1 == 0 && o2 == 0)
                    {
                        // With both sources aligned every level adds in one order.
                        float first = 0;
                        DspDotProdKernel32f_Sse3(a.Data(), b.Data(), len, &first);
                        ASSERT_EQ(std::bit_cast<uint32_t>(first), std::bit_cast<uint32_t>(out));
                        ASSERT_EQ(std::bit_cast<uint32_t>(first), std::bit_cast<uint32_t>(swapped));
                    }
                }
}

// The long form's order with src2 aligned and src1 4, 8 or 12 bytes past a
// boundary: SSE3 runs sixteen per iteration into four accumulators; SSSE3
// and SSE4.1 take one block of four, then twelve per iteration into three
// while sixteen remain; then pairs into lanes 0 and 1 and a last element.
float ShiftedDotModel(const float* s1, const float* s2, int len, bool twelve)
{
    float acc[4][4] = {};
    int i = 0;
    const auto add = [&](int k, int at)
    {
        for (int j = 0; j < 4; ++j)
            acc[k][j] = acc[k][j] + s1[at + j] * s2[at + j];
    };
    if (twelve)
        for (add(0, 0), i = 4; len - i >= 16; i += 12)
            add(0, i), add(1, i + 4), add(2, i + 8);
    else
        for (; len - i >= 16; i += 16)
            add(0, i), add(1, i + 4), add(2, i + 8), add(3, i + 12);
    for (; len - i >= 2; i += 2)
        for (int j = 0; j < 2; ++j)
            acc[0][j] = acc[0][j] + s1[i + j] * s2[i + j];
    if (i < len)
        acc[0][0] = acc[0][0] + s1[i] * s2[i];
    float sum[4];
    for (int j = 0; j < 4; ++j)
        sum[j] = (acc[0][j] + acc[1][j]) + (acc[2][j] + acc[3][j]);
    return (sum[0] + sum[2]) + (sum[1] + sum[3]);
}

TEST(VecMathReduce, DotProductOrderWithAMisalignedFirstSource)
{
    for (int li = 0; li < 3; ++li)
        for (int len = 16; len <= 70; ++len)
            for (size_t o1 : {4u, 8u, 12u})
            {
                GuardedFloats a(len, o1), b(len, 0);
                for (int i = 0; i < len; ++i)
                {
                    a[i] = std::ldexp(1.0f + 0.37f * static_cast<float>(i % 7), (i * 5) % 23 - 11);
                    b[i] =
                        (i % 3 == 0 ? -1.0f : 1.0f) * (1.1f + 0.05f * static_cast<float>(i % 11));
                }
                float out = 0;
                DotKernels[li](a.Data(), b.Data(), len, &out);
                ASSERT_EQ(std::bit_cast<uint32_t>(ShiftedDotModel(a.Data(), b.Data(), len, li > 0)),
                          std::bit_cast<uint32_t>(out))
                    << li << " " << len << " " << o1;
            }
}

TEST(VecMathReduce, DotProductSpecialValuesAndEntries)
{
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (int len : {1, 15, 16, 33})
        {
            std::vector<float> a(len, 1.0f), b(len, 2.0f);
            float out = 0;
            a[len / 2] = Inf;
            b[len / 2] = 0.0f;
            ASSERT_EQ(DspStsNoErr, DspDotProd32f(a.data(), b.data(), len, &out));
            EXPECT_TRUE(std::isnan(out)) << len;
            a[len / 2] = 1.0f;
            b[len / 2] = 2.0f;
            ASSERT_EQ(DspStsNoErr, DspDotProd32f(a.data(), b.data(), len, &out));
            EXPECT_EQ(2.0f * len, out);
        }
        float v = 1.0f, out = 7.0f;
        EXPECT_EQ(DspStsNullPtrErr, DspDotProd32f(nullptr, &v, 1, &out));
        EXPECT_EQ(DspStsNullPtrErr, DspDotProd32f(&v, nullptr, 1, &out));
        EXPECT_EQ(DspStsNullPtrErr, DspDotProd32f(&v, &v, 1, nullptr));
        EXPECT_EQ(DspStsSizeErr, DspDotProd32f(&v, &v, 0, &out));
        EXPECT_EQ(7.0f, out);
    }
}

// ---- sums and means
TEST(VecMathReduce, SumHintsAndTheirAdditionOrders)
{
    alignas(16) const float v[5] = {16777216.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    for (int level : Levels)
    {
        LevelScope scope(level);
        float sum = 0;
        ASSERT_EQ(DspStsNoErr, DspSum32f(v, 5, &sum, 1));
        EXPECT_EQ(16777218.0f, sum);
        for (int hint : {0, 2, -1})
        {
            ASSERT_EQ(DspStsNoErr, DspSum32f(v, 5, &sum, hint));
            EXPECT_EQ(16777220.0f, sum);
        }
        // The mean divides the float-rounded sum 16777220, not 16777221.
        const float w[3] = {16777216.0f, 1.0f, 4.0f};
        float mean = 0;
        ASSERT_EQ(DspStsNoErr, DspMean32f(w, 3, &mean, 0));
        EXPECT_EQ(5592406.5f, mean);
        ASSERT_EQ(DspStsNoErr, DspMean32f(w, 2, &mean, 1));
        EXPECT_EQ(8388608.0f, mean);
        EXPECT_EQ(DspStsNullPtrErr, DspSum32f(nullptr, 1, &sum, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMean32f(v, 1, nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspSum32f(v, 0, &sum, 0));
        EXPECT_EQ(DspStsSizeErr, DspMean32f(v, -1, &mean, 0));
    }
}

TEST(VecMathReduce, SumsAtEveryLayoutAgainstDouble)
{
    using SumKernel = void (*)(const float*, int32_t, double*);
    const SumKernel kernels[] = {DspSumFast32f_Sse3,  DspSumAccurate32f_Sse3,
                                 DspSumFast32f_Ssse3, DspSumAccurate32f_Ssse3,
                                 DspSumFast32f_Sse4,  DspSumAccurate32f_Sse4};
    for (int ki = 0; ki < 6; ++ki)
        for (int len = 1; len <= 40; ++len)
            for (size_t off : {0u, 1u, 2u, 4u, 8u, 12u})
            {
                // Integers: every partial sum is exact, whatever the order.
                std::vector<uint8_t> raw(4 * len + 64);
                float* src = reinterpret_cast<float*>(
                    ((reinterpret_cast<uintptr_t>(raw.data()) + 15) & ~uintptr_t{15}) + off);
                double exact = 0, sum = -1;
                for (int i = 0; i < len; ++i)
                {
                    const float x = static_cast<float>((i * 37 + len) % 101) - 50.0f;
                    std::memcpy(src + i, &x, 4);
                    exact += x;
                }
                kernels[ki](src, len, &sum);
                ASSERT_EQ(exact, sum) << ki << " " << len << " " << off;
                // Fractions: within the rounding of the float partial sums.
                double magnitude = 0;
                exact = 0;
                for (int i = 0; i < len; ++i)
                {
                    const float x = 0.1f * static_cast<float>(i + 1) - 1.3f;
                    std::memcpy(src + i, &x, 4);
                    exact += x;
                    magnitude += std::fabs(x);
                }
                kernels[ki](src, len, &sum);
                ASSERT_LE(std::fabs(sum - exact), len * 0x1p-24 * magnitude) << ki << " " << len;
            }
}

TEST(VecMathReduce, FastSumBlocksKeepPartialSumsExact)
{
    // More than one block of floats: every value and partial sum stays an
    // exact float while the blocks hand over to double.
    std::vector<float> v(70001);
    double exact = 0;
    for (size_t i = 0; i < v.size(); ++i)
    {
        v[i] = static_cast<float>(static_cast<int>(i % 7) - 3);
        exact += v[i];
    }
    v[5] = NaN;
    for (auto fast : {DspSumFast32f_Sse3, DspSumFast32f_Ssse3, DspSumFast32f_Sse4})
    {
        double sum = 0;
        fast(v.data() + 6, static_cast<int32_t>(v.size() - 6), &sum);
        EXPECT_EQ(exact - (0 - 3 + 1 - 3 + 2 - 3 + 3 - 3 + 4 - 3 + 5 - 3), sum);
        fast(v.data(), 7, &sum);
        EXPECT_TRUE(std::isnan(sum));
    }
}

// ---- element-wise minimum and maximum
TEST(VecMathReduce, MinAndMaxEveryEqualTheGenericRuleAtEveryLayout)
{
    const float pool[] = {1.0f, -0.0f, 0.0f, NaN, -Inf, Inf, 2.5f, -7.0f, 1e-40f, 1.0f, 3e38f};
    constexpr int poolSize = sizeof pool / sizeof pool[0];
    using Entry = DspStatus (*)(const float*, float*, int32_t);
    const Entry generic[] = {DspMinEvery32f_Gen, DspMaxEvery32f_Gen};
    const Entry dispatched[] = {DspMinEvery32f, DspMaxEvery32f};
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (int op = 0; op < 2; ++op)
            for (int len = 1; len <= 40; ++len)
                for (size_t os : Offsets)
                    for (size_t od : Offsets)
                    {
                        GuardedFloats src(len, os), dst(len, od);
                        std::vector<float> want(len);
                        for (int i = 0; i < len; ++i)
                        {
                            src[i] = pool[(i * 3 + len) % poolSize];
                            want[i] = pool[(i * 5 + 1) % poolSize];
                        }
                        std::memcpy(dst.Data(), want.data(), 4 * len);
                        ASSERT_EQ(DspStsNoErr, generic[op](src.Data(), want.data(), len));
                        ASSERT_EQ(DspStsNoErr, dispatched[op](src.Data(), dst.Data(), len));
                        for (int i = 0; i < len; ++i)
                            ASSERT_EQ(std::bit_cast<uint32_t>(want[i]),
                                      std::bit_cast<uint32_t>(dst[i]))
                                << level << " " << op << " " << len << " " << od;
                        ASSERT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
                    }
        float v = 1.0f;
        EXPECT_EQ(DspStsNullPtrErr, DspMinEvery32f(nullptr, &v, 1));
        EXPECT_EQ(DspStsSizeErr, DspMinEvery32f(&v, &v, -1));
        EXPECT_EQ(DspStsNullPtrErr, DspMaxEvery32f(&v, nullptr, 1));
        EXPECT_EQ(DspStsSizeErr, DspMaxEvery32f(&v, &v, 0));
    }
}

// A destination off 4-byte alignment takes the element-at-a-time path, with
// the vector path's results.
TEST(VecMathReduce, MinAndMaxEveryOnByteAlignedDestination)
{
    using Kernel = void (*)(const float*, float*, uint32_t);
    const Kernel kernels[] = {DspMinEveryKernel32f_Sse3,  DspMaxEveryKernel32f_Sse3,
                              DspMinEveryKernel32f_Ssse3, DspMaxEveryKernel32f_Ssse3,
                              DspMinEveryKernel32f_Sse4,  DspMaxEveryKernel32f_Sse4};
    const float pool[] = {1.0f, -0.0f, 0.0f, NaN, -Inf, 2.5f, -7.0f};
    constexpr uint32_t len = 37;
    for (size_t k = 0; k < 6; ++k)
    {
        alignas(16) float src[len], aligned[len];
        alignas(16) uint8_t bytes[4 * len + 8];
        for (uint32_t i = 0; i < len; ++i)
        {
            src[i] = pool[i % 7];
            aligned[i] = pool[(i * 3 + 2) % 7];
        }
        std::memcpy(bytes + 3, aligned, sizeof aligned);
        kernels[k](src, aligned, len);
        kernels[k](src, reinterpret_cast<float*>(bytes + 3), len);
        EXPECT_EQ(0, std::memcmp(bytes + 3, aligned, sizeof aligned)) << k;
    }
}
} // namespace
