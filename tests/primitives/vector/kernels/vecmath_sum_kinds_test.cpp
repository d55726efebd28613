// Sums of double, complex float, complex double, 16-bit and complex 16-bit
// vectors at levels 1 to 3 and the scaled conversion to 32-bit integers:
// integer-valued data at every length and offset against exact sums, the
// stated orders of addition on data where the order shows, the 16-bit sums
// exact across blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
struct SumSet
{
    void (*fast32fc)(const float*, int32_t, double*);
    void (*accurate32fc)(const float*, int32_t, double*);
    void (*sum64f)(const double*, int32_t, double*);
    void (*sum64fc)(const double*, int32_t, double*);
    void (*sum16s)(const int16_t*, double*, int32_t);
    void (*sum16sc)(const int16_t*, double*, int32_t);
    int32_t (*round)(const double*, int32_t);
    void (*roundPair)(const double*, int32_t*, int32_t);
};
#define SUM_SET(sfx)                                                                               \
    SumSet                                                                                         \
    {                                                                                              \
        DspSumFast32fc_##sfx, DspSumAccurate32fc_##sfx, DspSumKernel64f_##sfx,                     \
            DspSumKernel64fc_##sfx, DspSumKernel16sTo64f_##sfx, DspSumKernel16scTo64fc_##sfx,      \
            DspScaleRound64fTo32s_##sfx, DspScaleRound64fTo32sPair_##sfx                           \
    }
const SumSet Sets[] = {SUM_SET(Sse3), SUM_SET(Ssse3), SUM_SET(Sse4)};
#undef SUM_SET

// Storage `offset` bytes past a 16-byte boundary.
template <class T> T* At(std::vector<uint8_t>& raw, size_t offset)
{
    return reinterpret_cast<T*>(((reinterpret_cast<uintptr_t>(raw.data()) + 15) & ~uintptr_t{15}) +
                                offset);
}

template <class T> void Put(T* p, size_t i, T v)
{
    std::memcpy(p + i, &v, sizeof v);
}

// Integer values make every order of addition exact, so each sum must equal
// the exact one at every length and offset (the complex ones part by part).
TEST(VecMathSumKinds, EveryLengthAndOffsetGivesTheExactSum)
{
    for (const SumSet& k : Sets)
        for (int len = 1; len <= 70; ++len)
            for (size_t off : {0u, 2u, 4u, 6u, 8u, 12u})
            {
                std::vector<uint8_t> raw(16 * len + 64);
                double re = 0, im = 0, out[2] = {};
                auto value = [&](int i) { return ((i * 37 + len) % 201) - 100; };
                for (int i = 0; i < len; ++i)
                    re += value(2 * i), im += value(2 * i + 1);
                float* f = At<float>(raw, off);
                for (int i = 0; i < 2 * len; ++i)
                    Put(f, i, static_cast<float>(value(i)));
                if (off % 4 == 0)
                {
                    k.fast32fc(f, len, out);
                    ASSERT_EQ(re, out[0]) << len << " " << off;
                    ASSERT_EQ(im, out[1]) << len << " " << off;
                    k.accurate32fc(f, len, out);
                    ASSERT_EQ(re, out[0]);
                    ASSERT_EQ(im, out[1]);
                }
                double* d = At<double>(raw, off);
                for (int i = 0; i < 2 * len; ++i)
                    Put(d, i, static_cast<double>(value(i)));
                if (off % 4 == 0)
                {
                    k.sum64fc(d, len, out);
                    ASSERT_EQ(re, out[0]) << len << " " << off;
                    ASSERT_EQ(im, out[1]) << len << " " << off;
                    k.sum64f(d, 2 * len, out);
                    ASSERT_EQ(re + im, out[0]);
                }
                int16_t* s = At<int16_t>(raw, off);
                for (int i = 0; i < 2 * len; ++i)
                    Put(s, i, static_cast<int16_t>(value(i) * 321));
                k.sum16sc(s, out, len);
                ASSERT_EQ(321 * re, out[0]) << len << " " << off;
                ASSERT_EQ(321 * im, out[1]) << len << " " << off;
                k.sum16s(s, out, 2 * len);
                ASSERT_EQ(321 * (re + im), out[0]);
            }
}

TEST(VecMathSumKinds, AdditionOrderExamples)
{
    const double big = 0x1p60;
    for (const SumSet& k : Sets)
    {
        // Aligned doubles: (x0, x1) then (x2, x3) into one pair: 2, where in
        // order the ones vanish into 2^60 and the sum is 1.
        alignas(16) double d[5] = {big, 1.0, -big, 1.0, 0.0};
        double out[2];
        k.sum64f(d, 4, out);
        EXPECT_EQ(2.0, out[0]);
        // At 8 modulo 16 the first element stands alone and the pair
        // (x1, x2) follows: 2^60 + 1 loses the one, -2^60 + 0 ... gives 0.
        alignas(16) double shifted[6] = {0.0, big, 1.0, -big, 1.0, 0.0};
        k.sum64f(shifted + 1, 4, out);
        EXPECT_EQ(0.0, out[0]);
        // Accurate complex float sum: elements 0 to 3 into four
        // accumulators, then A + C and B + D: real parts (2^60, 1, -2^60, 1)
        // give 2.
        const float f[8] = {0x1p60f, 0, 1, 0, -0x1p60f, 0, 1, 0};
        k.accurate32fc(f, 4, out);
        EXPECT_EQ(2.0, out[0]);
        EXPECT_EQ(0.0, out[1]);
        // Fast complex float sum at 4 modulo 16: the parts still come out in
        // order, real first.
        alignas(16) const float g[12] = {0, 3, -5, 7, -11, 13, -17, 19, -23};
        k.fast32fc(g + 1, 4, out);
        EXPECT_EQ(3.0 + 7.0 + 13.0 + 19.0, out[0]);
        EXPECT_EQ(-5.0 - 11.0 - 17.0 - 23.0, out[1]);
    }
}

TEST(VecMathSumKinds, SixteenBitSumsStayExactAcrossBlocks)
{
    for (const SumSet& k : Sets)
        for (int len : {65536, 65537, 200003})
            for (size_t off : {0u, 2u, 6u})
            {
                std::vector<uint8_t> raw(4 * static_cast<size_t>(len) + 64);
                int16_t* s = At<int16_t>(raw, off);
                for (int i = 0; i < 2 * len; ++i)
                    Put<int16_t>(s, i, -32768);
                double out[2];
                k.sum16s(s, out, len);
                EXPECT_EQ(-32768.0 * len, out[0]) << len << " " << off;
                k.sum16sc(s, out, len);
                EXPECT_EQ(-32768.0 * len, out[0]) << len << " " << off;
                EXPECT_EQ(-32768.0 * len, out[1]) << len << " " << off;
                for (int i = 0; i < 2 * len; ++i)
                    Put<int16_t>(s, i, 32767);
                k.sum16sc(s, out, len);
                EXPECT_EQ(32767.0 * len, out[1]) << len << " " << off;
            }
}

TEST(VecMathSumKinds, ScaledConversionSaturatesAndRounds)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        double x;
        int32_t sf, want;
    } cases[] = {{inf, 1023, INT32_MIN},
                 {0.0, -1024, INT32_MIN},
                 {3e9, 0, INT32_MAX},
                 {nan, 0, INT32_MIN},
                 {-3e9, 0, INT32_MIN},
                 {5.0, 1, 2},
                 {7.0, 1, 4},
                 {3.25, -1, 6},
                 {-2.0, -30, INT32_MIN},
                 {1.0, -31, INT32_MAX},
                 {1.0, 1022, 0},
                 {2147483647.4, 0, INT32_MAX},
                 {-2147483648.6, 0, INT32_MIN},
                 {0x1p40, 9, 2147483647},
                 {0x1p40, 10, 1073741824}};
    for (const SumSet& k : Sets)
        for (const Case& c : cases)
        {
            EXPECT_EQ(c.want, k.round(&c.x, c.sf)) << c.x << " " << c.sf;
            const double two[2] = {c.x, -c.x};
            int32_t out[3] = {0, 0, 0x5A5A5A5A};
            k.roundPair(two, out, c.sf);
            EXPECT_EQ(c.want, out[0]);
            EXPECT_EQ(k.round(&two[1], c.sf), out[1]);
            EXPECT_EQ(0x5A5A5A5A, out[2]);
        }
}
} // namespace
