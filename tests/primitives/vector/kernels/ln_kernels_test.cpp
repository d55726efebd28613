// Natural logarithm at processor levels 1 to 3: the entry's chunks and
// warnings, the float kernels at every length and alignment with guard bytes,
// special elements and their codes, the double kernels and the scaled integer
// kernels, all against double or long-double references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmKernels.h"
#include "tests/primitives/vector/vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const int Levels[] = {DspLevelSse3, DspLevelSsse3, DspLevelSse4};

// The single-precision series and reduction stay within a few units in the
// last place of the result, or of 2^-24 near ln 1 = 0.
bool CloseToLn(double x, float y)
{
    const double ref = std::log(x);
    return std::fabs(ref - y) <= 3.0 * std::ldexp(1.0, -24) * std::fmax(std::fabs(ref), 0.5);
}

struct Special
{
    uint32_t in, out;
    int code; // kernel code of the element
};
const Special Specials[] = {
    {0x00000000u, 0xFF800000u, DspLnCodeZero},     // +0.0
    {0x80000000u, 0xFFC00000u, DspLnCodeNegative}, // -0.0
    {0xBF800000u, 0xFFC00000u, DspLnCodeNegative}, // -1.0
    {0xFF800000u, 0xFFC00000u, DspLnCodeNegative}, // -Inf
    {0xFFC00001u, 0xFFC00000u, DspLnCodeNegative}, // NaN with the sign bit
    {0x7F800000u, 0x7F800000u, 0},                 // +Inf
    {0x7FC01234u, 0x7FC01234u, 0},                 // quiet NaN, unchanged
    {0x7F800001u, 0x7FC00001u, 0},                 // signalling NaN, made quiet
};

TEST(LnKernels, ExactValuesNearOne)
{
    for (int level : Levels)
    {
        LevelScope scope(level);
        float v[3] = {1.0f, 2.0f, 4.0f};
        ASSERT_EQ(0, DspLnInPlace32f(v, 3));
        EXPECT_EQ(0u, std::bit_cast<uint32_t>(v[0]));
        EXPECT_EQ(0x3F317218u, std::bit_cast<uint32_t>(v[1]));
        EXPECT_EQ(std::bit_cast<uint32_t>(2.0f * std::bit_cast<float>(0x3F317218u)),
                  std::bit_cast<uint32_t>(v[2]));
    }
}

TEST(LnKernels, FirstSpecialElementDecidesTheWarning)
{
    for (int level : Levels)
    {
        LevelScope scope(level);
        float a[2] = {0.0f, -1.0f};
        EXPECT_EQ(DspStsLnZeroArg, DspLnInPlace32f(a, 2));
        EXPECT_EQ(0xFF800000u, std::bit_cast<uint32_t>(a[0]));
        EXPECT_EQ(0xFFC00000u, std::bit_cast<uint32_t>(a[1]));
        float b[2] = {-1.0f, 0.0f};
        EXPECT_EQ(DspStsLnNegArg, DspLnInPlace32f(b, 2));
        float c[1] = {-0.0f};
        EXPECT_EQ(DspStsLnNegArg, DspLnInPlace32f(c, 1));
        EXPECT_EQ(0xFFC00000u, std::bit_cast<uint32_t>(c[0]));
    }
}

// 300 elements run as chunks of 256 and 44; the first chunk with a special
// element decides, whatever later chunks hold.
TEST(LnKernels, ChunksOf256And44)
{
    struct Case
    {
        int zeroAt, negativeAt;
        DspStatus status;
    };
    const Case cases[] = {{280, 100, DspStsLnNegArg}, {100, 280, DspStsLnZeroArg},
                          {256, -1, DspStsLnZeroArg}, {-1, 299, DspStsLnNegArg},
                          {255, 254, DspStsLnNegArg}, {-1, -1, DspStsNoErr}};
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (const Case& c : cases)
        {
            GuardedFloats v(300, 0);
            for (int i = 0; i < 300; ++i)
                v[i] = 0.5f + 0.25f * static_cast<float>(i);
            if (c.zeroAt >= 0)
                v[c.zeroAt] = 0.0f;
            if (c.negativeAt >= 0)
                v[c.negativeAt] = -2.0f;
            ASSERT_EQ(c.status, DspLnInPlace32f(v.Data(), 300)) << c.zeroAt << " " << c.negativeAt;
            for (int i = 0; i < 300; ++i)
            {
                if (i != c.zeroAt && i != c.negativeAt)
                {
                    ASSERT_TRUE(CloseToLn(0.5 + 0.25 * i, v[i])) << i;
                }
            }
            ASSERT_TRUE(v.GuardsIntact());
        }
    }
}

// Ordinary values and every special kind at lengths 1 to 40 and each 4-byte
// offset: the in-place and source-to-destination kernels write every element
// once, touch nothing around it and report the first special kind.
TEST(LnKernels, FloatKernelsAtEveryLengthAndAlignment)
{
    using InPlace = int64_t (*)(float*, int64_t, uint8_t*);
    using Out = int64_t (*)(const float*, float*, int64_t, uint8_t*);
    const InPlace inPlace[] = {[](float* v, int64_t n, uint8_t* w) -> int64_t
                               { return DspLnKernel32f_Sse3(v, static_cast<int32_t>(n), w); },
                               DspLnKernel32f_Ssse3, DspLnKernel32f_Sse4};
    const Out out[] = {[](const float* s, float* d, int64_t n, uint8_t* w) -> int64_t
                       { return DspLnKernel32fOut_Sse3(s, d, static_cast<int32_t>(n), w); },
                       DspLnKernelOut32f_Ssse3, DspLnKernelOut32f_Sse4};
    alignas(16) uint8_t work[DspLnWorkBytes];
    const int specialCount = sizeof Specials / sizeof Specials[0];
    for (int k = 0; k < 3; ++k)
        for (int len = 1; len <= 40; ++len)
            for (size_t off : {0u, 4u, 8u, 12u})
                for (int specialAt : {-1, len / 3, len - 1})
                {
                    GuardedFloats v(len, off), d(len, off);
                    int expectedCode = 0;
                    for (int i = 0; i < len; ++i)
                        v[i] = std::ldexp(1.0f + 0.0371f * static_cast<float>(i), i % 9 - 4);
                    const Special& sp = Specials[(len + specialAt + 8) % specialCount];
                    if (specialAt >= 0)
                    {
                        v[specialAt] = std::bit_cast<float>(sp.in);
                        expectedCode = sp.code;
                    }
                    ASSERT_EQ(expectedCode, out[k](v.Data(), d.Data(), len, work));
                    std::vector<float> in(v.Data(), v.Data() + len);
                    ASSERT_EQ(expectedCode, inPlace[k](v.Data(), len, work));
                    for (int i = 0; i < len; ++i)
                    {
                        ASSERT_EQ(std::bit_cast<uint32_t>(d[i]), std::bit_cast<uint32_t>(v[i]))
                            << k << " " << len << " " << i;
                        if (i == specialAt)
                        {
                            ASSERT_EQ(sp.out, std::bit_cast<uint32_t>(v[i])) << std::hex << sp.in;
                        }
                        else
                        {
                            ASSERT_TRUE(CloseToLn(in[i], v[i])) << in[i] << " " << v[i];
                        }
                    }
                    ASSERT_TRUE(v.GuardsIntact() && d.GuardsIntact());
                }
}

// Positive numbers far from 1 take the per-element path of their group and
// keep the computed value; positive denormals get their logarithm.
TEST(LnKernels, FilteredPositiveNumbers)
{
    const float values[] = {std::ldexp(1.0f, -70),  std::ldexp(1.0f, 100),
                            std::ldexp(1.0f, 70),   1e-40f,
                            std::ldexp(1.0f, -149), 3e-39f};
    for (int level : Levels)
    {
        LevelScope scope(level);
        for (int len : {6, 40})
        {
            std::vector<float> v(len, 3.0f);
            for (int i = 0; i < 6; ++i)
                v[i * (len / 6)] = values[i];
            std::vector<float> in = v;
            ASSERT_EQ(0, DspLnInPlace32f(v.data(), len));
            for (int i = 0; i < len; ++i)
                EXPECT_TRUE(CloseToLn(in[i], v[i])) << in[i] << " " << v[i];
        }
    }
}

// A long-double reference. The table's parts of -ln r_j and of ln 2 are
// each within 6e-16 of their value, so k ln 2 may be off by that much per
// unit of k, on top of a few units in the last place.
bool CloseToLn64(double x, double y)
{
    const long double ref = std::log(static_cast<long double>(x));
    const double k = std::fabs(static_cast<double>(std::ilogb(x)));
    return std::fabs(static_cast<double>(ref - y)) <=
           std::ldexp(std::fabs(static_cast<double>(ref)), -51) + 6e-16 * (1.0 + k);
}

// ln 2 as the kernels hold it.
double Ln2Pair()
{
    const uint64_t hi = 0x3FE62E42FEFA37FDu, lo = 0x3D2EF35793C7672Eu;
    double h, l;
    std::memcpy(&h, &hi, 8);
    std::memcpy(&l, &lo, 8);
    return h + l;
}

TEST(LnKernels, DoubleKernels)
{
    using K64 = int64_t (*)(const double*, double*, int64_t);
    const K64 kernels[] = {[](const double* s, double* d, int64_t n) -> int64_t
                           { return DspLnKernel64fOut_Sse3(s, d, static_cast<int32_t>(n)); },
                           DspLnKernel64f_Ssse3, DspLnKernel64f_Sse4};
    for (K64 kernel : kernels)
    {
        double one[3] = {1.0, 0.5, 2.0}, r[3];
        ASSERT_EQ(0, kernel(one, r, 3));
        EXPECT_EQ(0.0, r[0]);
        EXPECT_EQ(-Ln2Pair(), r[1]);
        EXPECT_EQ(Ln2Pair(), r[2]);
        double sp[6] = {0.0, -0.0, Inf, -3.0, 1e-310, std::numeric_limits<double>::quiet_NaN()};
        EXPECT_EQ(DspLnCodeZero, kernel(sp, r, 1));
        EXPECT_EQ(-std::numeric_limits<double>::infinity(), r[0]);
        double out[6];
        EXPECT_EQ(DspLnCodeNegative, kernel(sp + 1, out, 5));
        uint64_t bits;
        std::memcpy(&bits, &out[0], 8);
        EXPECT_EQ(0xFFF8000000000000u, bits);
        EXPECT_EQ(Inf, out[1]);
        EXPECT_TRUE(std::isnan(out[2]));
        EXPECT_TRUE(CloseToLn64(1e-310, out[3]));
        EXPECT_TRUE(std::isnan(out[4]));
        std::vector<double> x(301), y(302, 7.0);
        for (int i = 0; i < 301; ++i)
            x[i] = std::ldexp(1.0 + i / 301.0 + 1e-9 * i, i % 41 - 20);
        x[7] = 1.0 - 1e-12;
        x[8] = 1.0 + 1e-12;
        EXPECT_EQ(0, kernel(x.data(), y.data() + 1, 301));
        EXPECT_EQ(7.0, y[0]);
        for (int i = 0; i < 301; ++i)
            ASSERT_TRUE(CloseToLn64(x[i], y[i + 1])) << x[i];
    }
    float f[3];
    const double src[3] = {0.5, 0.0, 10.0};
    EXPECT_EQ(DspLnCodeZero, DspLnKernel64fTo32f_Ssse3(src, f, 3));
    EXPECT_EQ(static_cast<float>(-Ln2Pair()), f[0]);
    EXPECT_EQ(0xFF800000u, std::bit_cast<uint32_t>(f[1]));
    EXPECT_EQ(static_cast<float>(std::log(10.0)), f[2]);
    // A length of 0 does nothing.
    EXPECT_EQ(0, DspLnKernel64fTo32f_Sse3(src + 1, f + 2, 0));
    EXPECT_EQ(static_cast<float>(std::log(10.0)), f[2]);
}

TEST(LnKernels, ScaleMultiplier)
{
    float m = 0;
    DspLnScaleMultiplier_Sse4(0, &m);
    EXPECT_EQ(0x3F800000u, std::bit_cast<uint32_t>(m));
    DspLnScaleMultiplier_Ssse3(126, &m);
    EXPECT_EQ(0x00800000u, std::bit_cast<uint32_t>(m));
    DspScaleFactorToFloat_Sse3(-10, &m);
    EXPECT_EQ(1024.0f, m);
}

TEST(LnKernels, ScaledIntegerExamples)
{
    alignas(16) uint8_t work[DspLnWorkBytes];
    const int16_t in16[3] = {1000, 0, -5};
    int16_t out16[3];
    EXPECT_EQ(DspLnCodeZero, DspLnKernel16sScaled_Sse4(in16, out16, 3, -10, work));
    EXPECT_EQ(static_cast<int16_t>(std::nearbyint(std::log(1000.0) * 1024)), out16[0]);
    EXPECT_EQ(-32768, out16[1]);
    EXPECT_EQ(-32768, out16[2]);
    EXPECT_EQ(DspLnCodeNegative, DspLnKernel16sScaledOut_Sse3(in16 + 2, out16, 1, -10, work));
    const float one = 1.0f;
    const int32_t in32[4] = {1, 2147483647, 0, -7};
    int32_t out32[4];
    EXPECT_EQ(DspLnCodeZero, DspLnKernel32sScaled_Ssse3(in32, out32, 4, &one, work));
    EXPECT_EQ(0, out32[0]);
    EXPECT_EQ(21, out32[1]);
    EXPECT_EQ(INT32_MIN, out32[2]);
    EXPECT_EQ(INT32_MIN, out32[3]);
    // sf = -20 fits, sf = -27 clamps before the conversion; 16 bits saturate.
    float m = 0;
    DspLnScaleMultiplier_Ssse3(-20, &m);
    EXPECT_EQ(0, DspLnKernel32sScaled_Sse4(in32 + 1, out32, 1, &m, work));
    EXPECT_NEAR(std::log(2147483647.0) * 1048576.0, out32[0], 4.0);
    DspLnScaleMultiplier_Ssse3(-27, &m);
    EXPECT_EQ(0, DspLnKernel32sScaled_Sse4(in32 + 1, out32, 1, &m, work));
    EXPECT_EQ(2147483520, out32[0]);
    EXPECT_EQ(0, DspLnKernel32sTo16sScaled_Ssse3(in32 + 1, out16, 1, -20, work));
    EXPECT_EQ(32767, out16[0]);
}

// Every integer form at lengths around the fast-path bound and each offset:
// round(ln(x) * 2^-sf) within one unit, the first special kind, no stray
// writes.
TEST(LnKernels, ScaledIntegerFormsAgreeWithTheReference)
{
    alignas(16) uint8_t work[DspLnWorkBytes];
    for (int len : {1, 7, 31, 32, 45, 256})
        for (size_t off : {0u, 4u, 8u, 12u})
            for (int sf : {0, -6, 3})
            {
                const double scale = std::ldexp(1.0, -sf);
                std::vector<int32_t> a(len + 8), b(len + 8, 0x5A5A5A5A);
                std::vector<int16_t> c(len + 16), e(len + 16, 0x5A5A);
                int32_t* a32 = a.data() + off / 4;
                int32_t* b32 = b.data() + off / 4;
                int16_t* c16 = c.data() + off / 2;
                int16_t* e16 = e.data() + off / 2;
                for (int i = 0; i < len; ++i)
                {
                    a32[i] = 1 + i * 97 + (i % 5) * 100000;
                    c16[i] = static_cast<int16_t>(1 + i * 61);
                }
                a32[len / 2] = len > 2 ? 0 : a32[len / 2];
                const int code = len > 2 ? DspLnCodeZero : 0;
                float mult;
                DspLnScaleMultiplier_Sse4(sf, &mult);
                ASSERT_EQ(code, DspLnKernel32sScaled_Ssse3(a32, b32, len, &mult, work));
                std::vector<int32_t> inPlace(a32, a32 + len);
                ASSERT_EQ(code, DspLnKernelInPlace32sScaled_Sse4(inPlace.data(), len, &mult, work));
                ASSERT_EQ(code, DspLnKernel32sTo16sScaled_Sse4(a32, e16, len, sf, work));
                for (int i = 0; i < len; ++i)
                {
                    const double ref = a32[i] > 0 ? std::log(a32[i]) * scale : -1e300;
                    const int32_t want =
                        a32[i] > 0 ? static_cast<int32_t>(std::nearbyint(ref)) : INT32_MIN;
                    ASSERT_NEAR(want, b32[i], 1.0) << len << " " << i;
                    ASSERT_EQ(b32[i], inPlace[i]);
                    ASSERT_EQ(std::clamp(b32[i], -32768, 32767), e16[i]);
                }
                ASSERT_EQ(0x5A5A5A5A, b32[len]);
                ASSERT_EQ(0x5A5A, e16[len]);
                ASSERT_EQ(0, DspLnKernel16sScaled_Ssse3(c16, e16, len, sf, work));
                std::vector<int16_t> c2(c16, c16 + len);
                ASSERT_EQ(0, DspLnKernelInPlace16sScaled_Ssse3(c2.data(), len, sf, work));
                for (int i = 0; i < len; ++i)
                {
                    const double ref = std::log(c16[i]) * scale;
                    ASSERT_NEAR(std::nearbyint(ref), e16[i], 1.0) << len << " " << i;
                    ASSERT_EQ(e16[i], c2[i]);
                }
                ASSERT_EQ(0x5A5A, e16[len]);
            }
}
} // namespace
