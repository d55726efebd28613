// Principal square roots of complex float and double vectors at levels 1 to
// 3: the float estimate path against a scalar model of its steps on this
// machine, every element against a long double reference, and the elements
// whose squared magnitude underflows or overflows (roots exact to the last
// place instead of 0, NaN or infinity), at every length and offset.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmReduceKernels.h"
#include "tests/primitives/vector/vector_test_util.h"

namespace
{
using Root32fc = void (*)(const float*, float*, int32_t);
using Root64fc = void (*)(const double*, double*, int32_t);
const Root32fc Root32fcKernels[] = {DspSqrtKernel32fc_Sse3, DspSqrtKernel32fc_Ssse3,
                                    DspSqrtKernel32fc_Sse4};
const Root64fc Root64fcKernels[] = {DspSqrtKernel64fc_Sse3, DspSqrtKernel64fc_Ssse3,
                                    DspSqrtKernel64fc_Sse4};
const float Inf = std::numeric_limits<float>::infinity();

float Rsqrt(float x)
{
    return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
}

// The estimate path of one element: one Newton step on the estimate of
// |z|/2, one on that of the root of |a|/2 + |z|/2, in the kernels' order.
std::complex<float> EstimateModel(float a, float b)
{
    const float ha = a * 0.5f, hb = b * 0.5f;
    const float q0 = ha * ha + hb * hb;
    const float q = q0 == 0.0f ? 3.0f : q0;
    const float r = Rsqrt(q), s = q * r, t = r * s;
    const float m = (s * 0.5f) * (3.0f - t);
    const float w = std::fabs(ha) + m;
    const float r2 = Rsqrt(w), t2 = (w * r2) * r2;
    const float rr = q0 == 0.0f ? 0.0f : (r2 * 0.5f) * (3.0f - t2);
    const float p = w * rr, qq = std::fabs(hb) * rr;
    const bool posA = 0.0f <= ha;
    const float unit = 0.0f <= b ? 1.0f : -1.0f;
    return {posA ? p : qq, unit * (posA ? qq : p)};
}

// The principal root in long double.
std::complex<long double> Exact(long double a, long double b)
{
    const long double mag = std::hypot(a, b);
    const long double w = std::sqrt((std::fabs(a) + mag) / 2);
    const long double v = w == 0 ? 0 : std::fabs(b) / (2 * w);
    const long double im = a >= 0 ? v : w;
    return {a >= 0 ? w : v, b < 0 ? -im : im};
}

// |got - want| within `ulps` units of the float (or double) at want's
// magnitude, or, for a denormal result, within `ulps` times 4 of the
// smallest denormal: a product that lands there keeps fewer bits.
template <class T> bool Near(T got, long double want, int ulps)
{
    const long double unit = std::ldexp(std::fabs(want), -std::numeric_limits<T>::digits + 1);
    const long double floor = 4 * std::numeric_limits<T>::denorm_min();
    return std::fabs(got - want) <= ulps * std::max(unit, floor);
}

// Whether the estimate path serves an element.
bool OrdinaryFloat(float a, float b)
{
    const float q = (a * 0.5f) * (a * 0.5f) + (b * 0.5f) * (b * 0.5f);
    const bool halvesExactly = b == 0.0f || std::fabs(b) >= 2 * FLT_MIN;
    return ((q >= FLT_MIN && q <= FLT_MAX) || (a == 0.0f && b == 0.0f)) && halvesExactly;
}

// Ordinary values at many magnitudes, and the finite ones whose square
// underflows or overflows.
std::vector<float> FloatPool()
{
    std::vector<float> v = {0.0f,    -0.0f,  1.0f,     -4.0f,         3.0f,
                            2.5e-3f, -7.75f, 1e-40f,   -1e-45f,       1e-25f,
                            -3e-22f, 2e19f,  -3.4e38f, 3.4028235e38f, 1.2e-38f};
    for (int e = -30; e <= 30; e += 3)
        for (float m : {1.0f, -1.37f, 2.9f})
            v.push_back(m * std::ldexp(1.0f, e));
    return v;
}

TEST(VecMathComplexRoot, Float32AgainstTheModelAndTheExactRoot)
{
    const std::vector<float> pool = FloatPool();
    std::vector<float> src, dst;
    for (float a : pool)
        for (float b : pool)
            src.insert(src.end(), {a, b});
    const int32_t len = static_cast<int32_t>(src.size() / 2);
    dst.resize(src.size());
    for (Root32fc kernel : Root32fcKernels)
    {
        kernel(src.data(), dst.data(), len);
        for (int32_t i = 0; i < len; ++i)
        {
            const float a = src[2 * i], b = src[2 * i + 1];
            const std::complex<long double> want = Exact(a, b);
            const float re = dst[2 * i], im = dst[2 * i + 1];
            if (OrdinaryFloat(a, b))
            {
                const std::complex<float> model = EstimateModel(a, b);
                ASSERT_EQ(std::bit_cast<uint32_t>(model.real()), std::bit_cast<uint32_t>(re))
                    << a << " " << b;
                ASSERT_EQ(std::bit_cast<uint32_t>(model.imag()), std::bit_cast<uint32_t>(im))
                    << a << " " << b;
                ASSERT_TRUE(Near(re, want.real(), 8) && Near(im, want.imag(), 8)) << a << " " << b;
            }
            else
                ASSERT_TRUE(Near(re, want.real(), 1) && Near(im, want.imag(), 1))
                    << a << " " << b << " gives " << re << " " << im;
            ASSERT_EQ(b < 0.0f, std::signbit(im)) << a << " " << b;
        }
    }
}

TEST(VecMathComplexRoot, ListedExamplesAndSpecialValues)
{
    struct Case
    {
        float a, b, re, im;
    } cases[] = {{3, 4, 2, 1},
                 {3, -4, 2, -1},
                 {-3, 4, 1, 2},
                 {-3, -4, 1, -2},
                 {-4, 0, 0, 2},
                 {-4, -0.0f, 0, 2},
                 {0, 0, 0, 0},
                 // Squares that underflow or overflow: exact roots.
                 {-3.2e38f, 0, 0, 1.78885438e19f},
                 {2e-38f, 0, 1.41421356e-19f, 0}};
    for (Root32fc kernel : Root32fcKernels)
    {
        for (const Case& c : cases)
        {
            const float in[2] = {c.a, c.b};
            float out[2];
            kernel(in, out, 1);
            EXPECT_TRUE(Near(out[0], c.re, 2) && Near(out[1], c.im, 2))
                << c.a << " " << c.b << " gives " << out[0] << " " << out[1];
            EXPECT_FALSE(std::signbit(out[1]) && c.b == 0.0f);
        }
        // Infinite and NaN parts keep the estimate path's NaN.
        const float in[4] = {Inf, 1.0f, std::nanf(""), 0.0f};
        float out[4];
        kernel(in, out, 2);
        for (float v : out)
            EXPECT_TRUE(std::isnan(v));
    }
}

// Each element's root does not depend on its neighbours or its place: every
// length from 1 to 13 at every 4-byte offset of src and dst, and in place.
TEST(VecMathComplexRoot, Float32EveryLengthAndOffset)
{
    const std::vector<float> pool = FloatPool();
    for (Root32fc kernel : Root32fcKernels)
        for (int len = 1; len <= 13; ++len)
            for (size_t os : {0u, 4u, 8u, 12u})
                for (size_t od : {0u, 4u, 8u, 12u})
                {
                    GuardedFloats src(2 * len, os), dst(2 * len, od);
                    for (int i = 0; i < 2 * len; ++i)
                        src[i] = pool[(i * 7 + len + os) % pool.size()];
                    kernel(src.Data(), dst.Data(), len);
                    for (int i = 0; i < len; ++i)
                    {
                        float alone[2];
                        kernel(src.Data() + 2 * i, alone, 1);
                        ASSERT_EQ(std::bit_cast<uint32_t>(alone[0]),
                                  std::bit_cast<uint32_t>(dst[2 * i]))
                            << len << " " << i;
                        ASSERT_EQ(std::bit_cast<uint32_t>(alone[1]),
                                  std::bit_cast<uint32_t>(dst[2 * i + 1]))
                            << len << " " << i;
                    }
                    kernel(src.Data(), src.Data(), len);
                    ASSERT_EQ(0, std::memcmp(src.Data(), dst.Data(), 8 * len));
                    ASSERT_TRUE(src.GuardsIntact() && dst.GuardsIntact());
                }
}

// ---- complex double
std::vector<double> DoublePool()
{
    std::vector<double> v = {0.0,    -0.0,    1.0,   -4.0,   3.0,     2.5e-3,   1e-310, -5e-324,
                             1e-200, -3e-170, 1e160, -1e200, DBL_MAX, -DBL_MAX, DBL_MIN};
    for (int e = -200; e <= 200; e += 37)
        v.push_back(-1.37 * std::ldexp(1.0, e));
    return v;
}

TEST(VecMathComplexRoot, Double64AgainstTheExactRootAtEveryLength)
{
    const std::vector<double> pool = DoublePool();
    std::vector<double> all;
    for (double a : pool)
        for (double b : pool)
            all.insert(all.end(), {a, b});
    for (Root64fc kernel : Root64fcKernels)
        for (int32_t len : {1, 2, 3, 4, 5, 7, static_cast<int32_t>(all.size() / 2)})
            for (size_t off : {0u, 8u})
            {
                GuardedFloats s(4 * len, off), d(4 * len, off ^ 8u);
                auto* src = reinterpret_cast<double*>(s.Data());
                auto* dst = reinterpret_cast<double*>(d.Data());
                std::memcpy(src, all.data() + (all.size() - 2 * len), 16 * len);
                kernel(src, dst, len);
                for (int32_t i = 0; i < len; ++i)
                {
                    const std::complex<long double> want = Exact(src[2 * i], src[2 * i + 1]);
                    ASSERT_TRUE(Near(dst[2 * i], want.real(), 4) &&
                                Near(dst[2 * i + 1], want.imag(), 4))
                        << src[2 * i] << " " << src[2 * i + 1] << " gives " << dst[2 * i] << " "
                        << dst[2 * i + 1];
                }
                ASSERT_TRUE(s.GuardsIntact() && d.GuardsIntact());
            }
}

// Four elements share one division: an element beyond the ordinary range, or
// not finite, leaves the roots of the other three as they are alone.
TEST(VecMathComplexRoot, Double64NeighboursDoNotSpoilEachOther)
{
    const double odd[] = {HUGE_VAL, std::nan(""), 1e-310, 1e300, 5e-324};
    for (Root64fc kernel : Root64fcKernels)
        for (double x : odd)
        {
            alignas(16) double in[8] = {x, 0.0, 4.0, 0.0, -9.0, 0.0, 0.0, 16.0};
            alignas(16) double out[8];
            kernel(in, out, 4);
            EXPECT_EQ(2.0, out[2]);
            EXPECT_EQ(0.0, out[3]);
            EXPECT_EQ(0.0, out[4]);
            EXPECT_EQ(3.0, out[5]);
            EXPECT_TRUE(Near(out[6], std::sqrt(8.0L), 2) && Near(out[7], std::sqrt(8.0L), 2));
            if (std::isfinite(x))
            {
                EXPECT_TRUE(Near(out[0], std::sqrt(static_cast<long double>(x)), 1)) << x;
            }
        }
    // Roots of elements with tiny and huge parts, exact.
    const double in[4] = {-1e-200, 0.0, DBL_MAX, DBL_MAX};
    for (Root64fc kernel : Root64fcKernels)
    {
        double out[4];
        kernel(in, out, 2);
        EXPECT_EQ(0.0, out[0]);
        EXPECT_TRUE(Near(out[1], 1e-100L, 1));
        const std::complex<long double> big = Exact(DBL_MAX, DBL_MAX);
        EXPECT_TRUE(Near(out[2], big.real(), 2) && Near(out[3], big.imag(), 2));
    }
}
} // namespace
