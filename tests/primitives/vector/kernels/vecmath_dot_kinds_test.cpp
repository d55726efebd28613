// Dot products of further element types at the SSE3 level: every float and
// double kernel at every length and offset against a long double reference,
// the stated orders of addition on data where the order shows, the 16-bit
// kernels exact (the one 32-bit overflow of a paired product included), and
// the scaled kernels' saturation, rounding and control register.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
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

template <class T> T Get(const T* p, size_t i)
{
    T v;
    std::memcpy(&v, p + i, sizeof v);
    return v;
}

// The element types of one kernel: scalars per element of each source, the
// result parts, and the float kernel itself behind one signature.
struct FloatKernel
{
    const char* name;
    int per1, per2, parts;
    bool doubles; // sources of double, else float
    bool floatOut;
    void (*run)(const void*, const void*, int32_t, double*);
};

template <class In, class Out, void (*K)(const In*, const In*, int32_t, Out*), int Parts>
void Run(const void* a, const void* b, int32_t len, double* out)
{
    Out r[2] = {};
    K(static_cast<const In*>(a), static_cast<const In*>(b), len, r);
    for (int i = 0; i < Parts; ++i)
        out[i] = static_cast<double>(r[i]);
}

const FloatKernel FloatKernels[] = {
    {"32fTo64f", 1, 1, 1, false, false, Run<float, double, DspDotProdKernel32fTo64f_Sse3, 1>},
    {"32f32fcTo64fc", 1, 2, 2, false, false,
     Run<float, double, DspDotProdKernel32f32fcTo64fc_Sse3, 2>},
    {"32fcTo64fc", 2, 2, 2, false, false, Run<float, double, DspDotProdKernel32fcTo64fc_Sse3, 2>},
    {"32f32fc", 1, 2, 2, false, true, Run<float, float, DspDotProdKernel32f32fc_Sse3, 2>},
    {"32fc", 2, 2, 2, false, true, Run<float, float, DspDotProdKernel32fc_Sse3, 2>},
    {"64f", 1, 1, 1, true, false, Run<double, double, DspDotProdKernel64f_Sse3, 1>},
    {"64f64fc", 1, 2, 2, true, false, Run<double, double, DspDotProdKernel64f64fc_Sse3, 2>},
    {"64fc", 2, 2, 2, true, false, Run<double, double, DspDotProdKernel64fc_Sse3, 2>},
};

// The exact dot product of one kernel's element types, and the sum of the
// products' magnitudes for the error bound.
void Reference(const FloatKernel& k, const std::vector<long double>& a,
               const std::vector<long double>& b, int len, long double* exact, long double* mag)
{
    exact[0] = exact[1] = mag[0] = 0;
    for (int i = 0; i < len; ++i)
    {
        const long double ar = a[k.per1 * i], ai = k.per1 == 2 ? a[2 * i + 1] : 0;
        const long double br = b[k.per2 * i], bi = k.per2 == 2 ? b[2 * i + 1] : 0;
        exact[0] += ar * br - ai * bi;
        exact[1] += ar * bi + ai * br;
        mag[0] += std::fabs(ar * br) + std::fabs(ai * bi) + std::fabs(ar * bi) + std::fabs(ai * br);
    }
}

TEST(VecMathDotKinds, FloatKernelsAtEveryLengthAndOffsetAgainstTheExactSum)
{
    for (const FloatKernel& k : FloatKernels)
        for (int len = 1; len <= 40; ++len)
            for (size_t o1 : {0u, 4u, 8u, 12u})
                for (size_t o2 : {0u, 4u, 8u, 12u})
                {
                    std::vector<uint8_t> r1(16 * len + 64), r2(16 * len + 64);
                    std::vector<long double> a(k.per1 * len), b(k.per2 * len);
                    void* p1 =
                        k.doubles ? static_cast<void*>(At<double>(r1, o1)) : At<float>(r1, o1);
                    void* p2 =
                        k.doubles ? static_cast<void*>(At<double>(r2, o2)) : At<float>(r2, o2);
                    for (size_t i = 0; i < a.size(); ++i)
                    {
                        a[i] = 0.37f * static_cast<float>((i * 13 + len) % 17) - 2.9f;
                        k.doubles ? Put(static_cast<double*>(p1), i, static_cast<double>(a[i]))
                                  : Put(static_cast<float*>(p1), i, static_cast<float>(a[i]));
                    }
                    for (size_t i = 0; i < b.size(); ++i)
                    {
                        b[i] = 1.1f + 0.05f * static_cast<float>((i * 7) % 11);
                        k.doubles ? Put(static_cast<double*>(p2), i, static_cast<double>(b[i]))
                                  : Put(static_cast<float*>(p2), i, static_cast<float>(b[i]));
                    }
                    long double exact[2], mag[1];
                    Reference(k, a, b, len, exact, mag);
                    double out[2] = {};
                    k.run(p1, p2, len, out);
                    const long double unit = k.floatOut ? 0x1p-24L : 0x1p-53L;
                    for (int part = 0; part < k.parts; ++part)
                        ASSERT_LE(std::fabs(out[part] - exact[part]), (len + 2) * unit * mag[0])
                            << k.name << " " << len << " " << o1 << " " << o2 << " " << part;
                }
}

TEST(VecMathDotKinds, AdditionOrderExamples)
{
    const float big = 0x1p30f;
    // Products (2^60, 1, 0, 0, -2^60, 0): the first pair accumulator takes
    // 2^60 + -2^60 and 1 + 0, so the result is 1 where in order it is 0.
    alignas(16) const float f1[6] = {big, 1, 0, 0, -big, 0};
    alignas(16) const float f2[6] = {big, 1, 0, 0, big, 0};
    double d = -1;
    DspDotProdKernel32fTo64f_Sse3(f1, f2, 6, &d);
    EXPECT_EQ(1.0, d);
    // Aligned doubles: (A + B) + (C + D) with A = (2^60, 1), B = (1, 0),
    // C = (-2^60, 0): 1, where in order both ones vanish.
    alignas(16) const double g1[8] = {0x1p30, 1, 1, 0, -0x1p30, 0, 0, 0};
    alignas(16) const double g2[8] = {0x1p30, 1, 1, 0, 0x1p30, 0, 0, 0};
    DspDotProdKernel64f_Sse3(g1, g2, 8, &d);
    EXPECT_EQ(1.0, d);
    // Real times complex float, aligned, twelve elements: element pairs
    // (0,1) into A and (2,3) into B, S = A + B, re = S0 + S2: products
    // (2^60, 1, -2^60, 0) give (2^60 - 2^60) + (1 + 0) = 1.
    alignas(16) const float x[12] = {big, 1, -big};
    alignas(16) const float c[24] = {big, 0, 1, 0, big};
    float two[2] = {-1, -1};
    DspDotProdKernel32f32fc_Sse3(x, c, 12, two);
    EXPECT_EQ(1.0f, two[0]);
    EXPECT_EQ(0.0f, two[1]);
    // Complex float: elements 0 and 2 meet in lanes 0-1, 1 and 3 in lanes
    // 2-3, before re = R0 + R2: (2^60 - 2^60) + (1 + 0) = 1.
    alignas(16) const float a[8] = {big, 0, 1, 0, -big, 0, 0, 0};
    alignas(16) const float b[8] = {big, 0, 1, 0, big, 0, 0, 0};
    DspDotProdKernel32fc_Sse3(a, b, 4, two);
    EXPECT_EQ(1.0f, two[0]);
}

TEST(VecMathDotKinds, SixteenBitSumsAreExact)
{
    using Real = void (*)(const int16_t*, const int16_t*, int32_t, int64_t*);
    const Real reals[] = {DspDotProdKernel16sTo64s_Sse3, DspDotProdKernel16sTo64sDirect_Sse3};
    for (int len = 1; len <= 70; ++len)
        for (size_t o1 : {0u, 1u, 2u, 6u, 8u})
            for (size_t o2 : {0u, 2u, 4u, 10u})
            {
                std::vector<uint8_t> r1(4 * len + 64), r2(4 * len + 64);
                int16_t* a = At<int16_t>(r1, o1);
                int16_t* b = At<int16_t>(r2, o2);
                for (int fill = 0; fill < 2; ++fill)
                {
                    // Every element -32768 (the overflowing pair), then mixed.
                    for (int i = 0; i < 2 * len; ++i)
                    {
                        Put<int16_t>(a, i,
                                     fill == 0 ? -32768 : static_cast<int16_t>(i * 7919 - 30000));
                        Put<int16_t>(b, i,
                                     fill == 0 ? -32768 : static_cast<int16_t>(32767 - i * 4001));
                    }
                    int64_t dot = 0, xre = 0, xim = 0, re = 0, im = 0;
                    for (int i = 0; i < len; ++i)
                    {
                        const int64_t ar = Get(a, 2 * i), ai = Get(a, 2 * i + 1);
                        const int64_t br = Get(b, 2 * i), bi = Get(b, 2 * i + 1);
                        dot += int64_t{Get(a, i)} * Get(b, i);
                        xre += int64_t{Get(a, i)} * br, xim += int64_t{Get(a, i)} * bi;
                        re += ar * br - ai * bi, im += ar * bi + ai * br;
                    }
                    if (fill == 0)
                    {
                        ASSERT_EQ(int64_t{len} << 30, dot);
                        ASSERT_EQ(0, re);
                        ASSERT_EQ(int64_t{len} << 31, im);
                    }
                    for (Real k : reals)
                    {
                        int64_t out = 0;
                        k(a, b, len, &out);
                        ASSERT_EQ(dot, out) << len << " " << o1 << " " << o2;
                    }
                    int64_t pair[2] = {};
                    DspDotProdKernel16s16scTo64sc_Sse3(a, b, len, pair);
                    ASSERT_EQ(xre, pair[0]) << len << " " << o1 << " " << o2;
                    ASSERT_EQ(xim, pair[1]);
                    DspDotProdKernel16scTo64sc_Sse3(a, b, len, pair);
                    ASSERT_EQ(re, pair[0]) << len << " " << o1 << " " << o2;
                    ASSERT_EQ(im, pair[1]);
                }
            }
}

TEST(VecMathDotKinds, ScaledKernelsSaturateRoundToNearestAndRestoreTheRegister)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case
    {
        double scale;
        int32_t want;
    } cases[] = {{2147483647.4, INT32_MAX},
                 {-2147483648.6, INT32_MIN},
                 {nan, INT32_MIN},
                 {2.5, 2},
                 {3.5, 4},
                 {-2.5, -2},
                 {1e10, INT32_MAX},
                 {-0.4, 0}};
    const uint32_t saved = _mm_getcsr();
    // Nearest, toward zero, down, up; one with a stale flag.
    const uint32_t callers[] = {0x1F80u, 0x7F80u, 0x3F80u, 0x5F81u};
    const int32_t one32[2] = {1, 0};
    const int16_t one16[1] = {1};
    for (uint32_t caller : callers)
        for (const Case& c : cases)
        {
            int32_t out[2] = {};
            _mm_setcsr(caller);
            DspDotProdKernel32sScaled_Sse3(one32, one32, 1, out, &c.scale);
            const uint32_t after = _mm_getcsr();
            _mm_setcsr(saved);
            EXPECT_EQ(c.want, out[0]) << c.scale << " " << std::hex << caller;
            EXPECT_EQ(caller & 0x6000u, after & 0x6000u);
            EXPECT_EQ(caller & 0xFFC0u, after & 0xFFC0u) << std::hex << caller;
            _mm_setcsr(caller);
            DspDotProdKernel16s32sScaled_Sse3(one16, one32, 1, out, &c.scale);
            DspDotProdKernel32s32scScaled_Sse3(one32, one32, 1, out, &c.scale);
            _mm_setcsr(saved);
            // The imaginary part is 0 times the multiplier.
            const int32_t zeroPart = std::isnan(c.scale) ? INT32_MIN : 0;
            EXPECT_EQ(c.want, out[0]);
            EXPECT_EQ(zeroPart, out[1]);
            _mm_setcsr(caller);
            DspDotProdKernel32scScaled_Sse3(one32, one32, 1, out, &c.scale);
            _mm_setcsr(saved);
            EXPECT_EQ(c.want, out[0]);
            EXPECT_EQ(zeroPart, out[1]);
        }
}

TEST(VecMathDotKinds, ScaledKernelsAtEveryLengthAndOffset)
{
    const double unit = 1.0;
    for (int len = 1; len <= 40; ++len)
        for (size_t o1 : {0u, 1u, 2u, 4u, 8u, 12u})
            for (size_t o2 : {0u, 4u, 8u})
            {
                std::vector<uint8_t> r1(8 * len + 64), r2(8 * len + 64);
                int32_t* a = At<int32_t>(r1, o1);
                int32_t* b = At<int32_t>(r2, o2);
                int16_t* h = At<int16_t>(r1, o1);
                for (int i = 0; i < 2 * len; ++i)
                {
                    Put<int32_t>(a, i, (i * 7919) % 2001 - 1000);
                    Put<int32_t>(b, i, 1000 - (i * 4001) % 1999);
                }
                int64_t real = 0, xre = 0, xim = 0, re = 0, im = 0, half = 0;
                for (int i = 0; i < len; ++i)
                {
                    real += int64_t{Get(a, i)} * Get(b, i);
                    xre += int64_t{Get(a, i)} * Get(b, 2 * i),
                        xim += int64_t{Get(a, i)} * Get(b, 2 * i + 1);
                    re += int64_t{Get(a, 2 * i)} * Get(b, 2 * i) -
                          int64_t{Get(a, 2 * i + 1)} * Get(b, 2 * i + 1);
                    im += int64_t{Get(a, 2 * i)} * Get(b, 2 * i + 1) +
                          int64_t{Get(a, 2 * i + 1)} * Get(b, 2 * i);
                }
                for (int i = 0; i < len; ++i)
                    half += int64_t{Get(h, i)} * Get(b, i);
                int32_t out[2] = {};
                DspDotProdKernel32sScaled_Sse3(a, b, len, out, &unit);
                ASSERT_EQ(real, out[0]) << len << " " << o1 << " " << o2;
                DspDotProdKernel32s32scScaled_Sse3(a, b, len, out, &unit);
                ASSERT_EQ(xre, out[0]);
                ASSERT_EQ(xim, out[1]);
                DspDotProdKernel32scScaled_Sse3(a, b, len, out, &unit);
                ASSERT_EQ(re, out[0]);
                ASSERT_EQ(im, out[1]);
                DspDotProdKernel16s32sScaled_Sse3(h, b, len, out, &unit);
                ASSERT_EQ(half, out[0]) << len << " " << o1 << " " << o2;
            }
}
} // namespace
