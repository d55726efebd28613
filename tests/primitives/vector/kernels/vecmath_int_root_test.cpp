// Square roots of signed 16-, 32- and 64-bit integers to 16-bit results
// (every 16-bit input at every scale factor, chosen 32- and 64-bit inputs
// around squares and ties) against an exact integer reference, and of complex
// 16-bit integers against an exact model of the unscaled steps and a long
// double reference of the scaled forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
using Root16 = int32_t (*)(const int16_t*, int16_t*, int32_t, int32_t);
using Root32 = int32_t (*)(const int32_t*, int16_t*, int32_t, int32_t);
using Root64 = int32_t (*)(const int64_t*, int16_t*, int32_t, int32_t);
using Root16sc = void (*)(const int32_t*, int32_t*, int32_t);
using Root16scScaled = void (*)(const int32_t*, int32_t*, int32_t, int32_t);
const Root16 Root16Kernels[] = {DspSqrtKernel16sScaled_Sse3, DspSqrtKernel16sScaled_Ssse3,
                                DspSqrtKernel16sScaled_Sse4};
const Root32 Root32Kernels[] = {DspSqrtKernel32sTo16sScaled_Sse3, DspSqrtKernel32sTo16sScaled_Ssse3,
                                DspSqrtKernel32sTo16sScaled_Sse4};
const Root64 Root64Kernels[] = {DspSqrtKernel64sTo16sScaled_Sse3, DspSqrtKernel64sTo16sScaled_Ssse3,
                                DspSqrtKernel64sTo16sScaled_Sse4};
const Root16sc Root16scKernels[] = {DspSqrtKernel16sc_Sse3, DspSqrtKernel16sc_Ssse3,
                                    DspSqrtKernel16sc_Sse4};
const Root16scScaled Root16scScaledKernels[] = {
    DspSqrtKernel16scScaledDirect_Sse3,  DspSqrtKernel16scScaledDirect_Ssse3,
    DspSqrtKernel16scScaledDirect_Sse4,  DspSqrtKernel16scScaledStable_Sse3,
    DspSqrtKernel16scScaledStable_Ssse3, DspSqrtKernel16scScaledStable_Sse4};

using U128 = unsigned __int128;

// floor(sqrt(v)) for v below 2^126: a long double seed moved to the exact
// integer by comparing squares.
uint64_t FloorRoot(U128 v)
{
    uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<long double>(v)));
    while (static_cast<U128>(r) * r > v)
        --r;
    while (static_cast<U128>(r + 1) * (r + 1) <= v)
        ++r;
    return r;
}

// sqrt(x) 2^-f to nearest, halves to even, saturated to 0 .. 32767.
int16_t Reference(int64_t x, int f)
{
    if (x <= 0)
        return 0;
    const U128 ux = static_cast<U128>(x);
    uint64_t root;
    if (f > 0)
    {
        if (f >= 40)
            return 0;
        // q = floor(sqrt(x) / 2^f); up when 4x > (2q + 1)^2 4^f, at equality to even.
        uint64_t q = FloorRoot(ux) >> f;
        const U128 m = static_cast<U128>(2 * q + 1) << (f - 1);
        if (ux > m * m || (ux == m * m && (q & 1) != 0))
            ++q;
        root = q;
    }
    else
    {
        if (-f >= 32)
            return 32767;
        const U128 big = ux << (-2 * f);
        const uint64_t r = FloorRoot(big);
        root = r + (big > static_cast<U128>(r) * r + r ? 1 : 0);
    }
    return static_cast<int16_t>(root > 32767 ? 32767 : root);
}

TEST(VecMathIntRoot, Signed16AtEveryInputAndScaleFactor)
{
    std::vector<int16_t> src(65536), dst(65536);
    for (int32_t i = 0; i < 65536; ++i)
        src[i] = static_cast<int16_t>(i - 32768);
    std::vector<int16_t> want(65536);
    for (int f = -18; f <= 10; ++f)
    {
        for (int32_t i = 0; i < 65536; ++i)
            want[i] = Reference(src[i], f);
        for (Root16 kernel : Root16Kernels)
        {
            // The negative half first, then the non-negative half alone.
            EXPECT_NE(0, kernel(src.data(), dst.data(), 65536, f));
            EXPECT_EQ(0, kernel(src.data() + 32768, dst.data() + 32768, 32768, f));
            for (int32_t i = 0; i < 65536; ++i)
                ASSERT_EQ(want[i], dst[i]) << "f " << f << " x " << src[i];
        }
    }
}

struct Case
{
    int f;
    int64_t x;
    int16_t root;
};

TEST(VecMathIntRoot, ListedExamples)
{
    const Case cases16[] = {{0, 0, 0},        {0, 1, 1},         {0, 2, 1},         {0, 3, 2},
                            {0, 32767, 181},  {0, -5, 0},        {1, 9, 2},         {1, 1, 0},
                            {1, 25, 2},       {1, 49, 4},        {2, 36, 2},        {2, 100, 2},
                            {8, 16384, 0},    {8, 16385, 1},     {8, 32767, 1},     {9, 32767, 0},
                            {-1, 32767, 362}, {-9, 4095, 32764}, {-9, 4096, 32767}, {-15, 1, 32767},
                            {-15, 0, 0},      {-16, 1, 32767}};
    const Case cases32[] = {{0, 2147483647, 32767},  {0, 1073709056, 32767},
                            {0, 1073709057, 32767},  {16, 1073741824, 0},
                            {16, 1073741825, 1},     {17, 2147483647, 0},
                            {-1, 536870911, 32767},  {-1, 536870912, 32767},
                            {5, -2147483647 - 1, 0}, {-3, -1, 0}};
    const Case cases64[] = {
        {0, INT64_MAX, 32767}, {32, int64_t{1} << 62, 0}, {32, (int64_t{1} << 62) + 1, 1},
        {33, INT64_MAX, 0},    {-20, 1, 32767},           {0, INT64_MIN, 0}};
    for (int level = 0; level < 3; ++level)
    {
        for (const Case& c : cases16)
        {
            const int16_t x = static_cast<int16_t>(c.x);
            int16_t out = 0x5A5A;
            EXPECT_EQ(c.x < 0, Root16Kernels[level](&x, &out, 1, c.f) != 0);
            EXPECT_EQ(c.root, out) << c.f << " " << c.x;
        }
        for (const Case& c : cases32)
        {
            const int32_t x = static_cast<int32_t>(c.x);
            int16_t out = 0x5A5A;
            EXPECT_EQ(c.x < 0, Root32Kernels[level](&x, &out, 1, c.f) != 0);
            EXPECT_EQ(c.root, out) << c.f << " " << c.x;
        }
        for (const Case& c : cases64)
        {
            int16_t out = 0x5A5A;
            EXPECT_EQ(c.x < 0, Root64Kernels[level](&c.x, &out, 1, c.f) != 0);
            EXPECT_EQ(c.root, out) << c.f << " " << c.x;
        }
    }
}

// Inputs where the estimate is most likely to land one off: squares, the
// neighbours of squares and of the ties of the halving path, and the ends.
template <class T> std::vector<T> HardInputs(int f)
{
    const int64_t top = static_cast<int64_t>(std::numeric_limits<T>::max());
    std::vector<int64_t> v = {
        0, 1, 2, 3, -1, top, top - 1, static_cast<int64_t>(std::numeric_limits<T>::min())};
    const uint64_t limit = FloorRoot(static_cast<U128>(top));
    for (uint64_t k = 1; k <= limit; k += 1 + k / 97)
    {
        const U128 sq = static_cast<U128>(k) * k;
        for (U128 w : {sq - 1, sq, sq + k, sq + k + 1})
            v.push_back(static_cast<int64_t>(w));
        if (f > 0 && f < 32)
        {
            // ((2k + 1) 2^(f-1))^2 and its neighbours.
            const U128 m = static_cast<U128>(2 * (k >> f) + 1) << (f - 1);
            for (U128 w : {m * m - 1, m * m, m * m + 1})
                v.push_back(static_cast<int64_t>(w));
        }
    }
    std::vector<T> out;
    for (int64_t x : v)
        if (x >= static_cast<int64_t>(std::numeric_limits<T>::min()) && x <= top)
            out.push_back(static_cast<T>(x));
    return out;
}

template <class T, class Kernel>
void CheckHardInputs(const Kernel (&kernels)[3], int fLow, int fHigh)
{
    for (int f = fLow; f <= fHigh; ++f)
    {
        const std::vector<T> in = HardInputs<T>(f);
        std::vector<int16_t> out(in.size()), want(in.size());
        for (size_t i = 0; i < in.size(); ++i)
            want[i] = Reference(in[i], f);
        for (Kernel kernel : kernels)
        {
            EXPECT_NE(0, kernel(in.data(), out.data(), static_cast<int32_t>(in.size()), f));
            for (size_t i = 0; i < in.size(); ++i)
                ASSERT_EQ(want[i], out[i]) << "f " << f << " x " << in[i];
        }
    }
}

TEST(VecMathIntRoot, Signed32AroundSquaresAndTiesAtEveryScaleFactor)
{
    CheckHardInputs<int32_t>(Root32Kernels, -18, 18);
}

TEST(VecMathIntRoot, Signed64AroundSquaresAndTiesAtEveryScaleFactor)
{
    CheckHardInputs<int64_t>(Root64Kernels, -34, 34);
}

// Lengths 1 to 40 at every 2-byte offset of dst (odd ones included) and 4-
// byte offset of src: the results of one aligned call, nothing written
// outside, and a negative element seen wherever it sits.
template <class T, class Kernel>
void CheckLayouts(const Kernel (&kernels)[3], std::initializer_list<int> scales)
{
    constexpr int16_t Guard = 0x5AA5;
    for (Kernel kernel : kernels)
        for (int f : scales)
            for (int len = 1; len <= 40; ++len)
            {
                std::vector<T> in(len);
                for (int i = 0; i < len; ++i)
                    in[i] = static_cast<T>((i * 7919 + len * 31) % 30011);
                std::vector<int16_t> want(len);
                ASSERT_EQ(0, kernel(in.data(), want.data(), len, f));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(Reference(in[i], f), want[i]) << f << " " << len;
                for (int off = 0; off < 9; ++off)
                {
                    alignas(16) uint8_t srcBytes[8 * 48 + 32];
                    alignas(16) int16_t out[64];
                    std::fill(out, out + 64, Guard);
                    T* src = reinterpret_cast<T*>(srcBytes + sizeof(T) * (off % (16 / sizeof(T))));
                    int16_t* dst =
                        reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(out) + 2 + off);
                    std::memcpy(src, in.data(), sizeof(T) * len);
                    const int neg = (off * 5) % len;
                    src[neg] = static_cast<T>(-1);
                    ASSERT_NE(0, kernel(src, dst, len, f)) << f << " " << len << " " << off;
                    for (int i = 0; i < len; ++i)
                    {
                        int16_t got;
                        std::memcpy(&got, dst + i, 2);
                        ASSERT_EQ(i == neg ? 0 : want[i], got) << f << " " << len << " " << off;
                    }
                    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(out);
                    const uint8_t* first = reinterpret_cast<const uint8_t*>(dst);
                    for (const uint8_t* p = bytes; p < bytes + sizeof out; ++p)
                        if (p < first || p >= first + 2 * len)
                        {
                            ASSERT_EQ(*p, static_cast<uint8_t>((p - bytes) % 2 == 0 ? 0xA5 : 0x5A));
                        }
                }
            }
}

TEST(VecMathIntRoot, EveryLayoutAndLength)
{
    CheckLayouts<int16_t>(Root16Kernels, {-12, -3, 0, 1, 4});
    CheckLayouts<int32_t>(Root32Kernels, {-9, -2, 0, 3, 16});
    CheckLayouts<int64_t>(Root64Kernels, {-20, -4, 0, 2, 30});
}

// In place: every block is read before it is written.
TEST(VecMathIntRoot, Signed16InPlace)
{
    for (Root16 kernel : Root16Kernels)
        for (int len : {1, 7, 8, 9, 33})
        {
            alignas(16) int16_t v[40];
            for (int i = 0; i < len; ++i)
                v[i] = static_cast<int16_t>(i * 997);
            int16_t want[40];
            kernel(v, want, len, -2);
            kernel(v + 0, v + 0, len, -2);
            EXPECT_EQ(0, std::memcmp(v, want, 2 * len)) << len;
        }
}

// ---- complex 16-bit
int32_t Pack16sc(int re, int im)
{
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(im)) << 16) |
                                static_cast<uint16_t>(re));
}

int NearestRoot(int64_t y)
{
    const uint64_t r = FloorRoot(static_cast<U128>(y));
    return static_cast<int>(r + (static_cast<U128>(y) > static_cast<U128>(r) * r + r ? 1 : 0));
}

// The unscaled steps in exact integers: the magnitude to nearest, half of
// |z| + a and of |z| - a rounded up, each rooted to nearest.
int32_t UnscaledModel(int a, int b)
{
    int64_t m2 = int64_t{a} * a + int64_t{b} * b;
    m2 = m2 > 2147483647 ? 2147483647 : m2;
    const int mag = NearestRoot(m2);
    const int re = NearestRoot((mag + a + 1) >> 1);
    const int im = NearestRoot((mag - a + 1) >> 1);
    return Pack16sc(re, b < 0 ? -im : im);
}

// The parts of the principal root times 2^-f, in long double.
void ScaledReference(int a, int b, int f, long double& re, long double& im)
{
    const long double mag =
        std::sqrt(static_cast<long double>(a) * a + static_cast<long double>(b) * b);
    re = std::ldexp(std::sqrt((mag + a) / 2), -f);
    im = std::ldexp(std::sqrt((mag - a) / 2), -f);
    im = b < 0 ? -im : im;
}

// A part rounded and saturated, marked ambiguous where the exact value lies so near a half
// that double precision may round it either way.
struct Part
{
    int16_t nearest;
    bool ambiguous;
};

Part RoundPart(long double exact)
{
    const long double v = exact > 32767 ? 32767 : (exact < -32768 ? -32768 : exact);
    const long double frac = std::fabs(v - std::trunc(v));
    return {static_cast<int16_t>(std::nearbyint(v)),
            std::fabs(frac - 0.5L) < 1e-6L && frac != 0.5L};
}

bool PartMatches(const Part& want, int16_t got)
{
    return want.ambiguous ? std::abs(got - want.nearest) <= 1 : got == want.nearest;
}

TEST(VecMathIntRoot, Complex16ListedExamples)
{
    struct Example
    {
        int a, b, re, im;
    } unscaled[] = {{-4, 0, 0, 2},
                    {3, 4, 2, 1},
                    {-3, -4, 1, -2},
                    {0, 0, 0, 0},
                    {5, 0, 2, 0},
                    {0, 8, 2, 2},
                    {-1, 0, 0, 1},
                    {-32768, -32768, 82, -199},
                    {32767, 32767, 199, 82},
                    {-32768, 0, 0, 181}};
    const Example halved[] = {{-4, 0, 0, 1}, {3, 4, 1, 0}, {-3, -4, 0, -1}, {-1, 0, 0, 0}};
    for (int level = 0; level < 3; ++level)
    {
        for (const Example& e : unscaled)
        {
            const int32_t in = Pack16sc(e.a, e.b);
            int32_t out = 0;
            Root16scKernels[level](&in, &out, 1);
            EXPECT_EQ(Pack16sc(e.re, e.im), out) << e.a << " " << e.b;
            for (int form = 0; form < 2; ++form)
            {
                Root16scScaledKernels[3 * form + level](&in, &out, 1, 0);
                EXPECT_EQ(Pack16sc(e.re, e.im), out) << form << " " << e.a << " " << e.b;
            }
        }
        for (int form = 0; form < 2; ++form)
        {
            for (const Example& e : halved)
            {
                const int32_t in = Pack16sc(e.a, e.b);
                int32_t out = 0;
                Root16scScaledKernels[3 * form + level](&in, &out, 1, 1);
                EXPECT_EQ(Pack16sc(e.re, e.im), out) << form << " " << e.a << " " << e.b;
            }
            const int32_t in = Pack16sc(32767, 0);
            int32_t out = 0;
            Root16scScaledKernels[3 * form + level](&in, &out, 1, -24);
            EXPECT_EQ(Pack16sc(32767, 0), out);
        }
    }
}

// Every real part (every `step`-th) against a spread of imaginary parts, and
// the other way round.
std::vector<int32_t> ComplexInputs(int step)
{
    const int spread[] = {-32768, -32767, -30000, -4097, -181, -7,    -1,   0,
                          1,      2,      9,      100,   4096, 32766, 32767};
    std::vector<int32_t> v;
    for (int x = -32768; x <= 32767; x += step)
        for (int y : spread)
        {
            v.push_back(Pack16sc(x, y));
            v.push_back(Pack16sc(y, x));
        }
    return v;
}

TEST(VecMathIntRoot, Complex16UnscaledMatchesTheExactModel)
{
    const std::vector<int32_t> in = ComplexInputs(1);
    std::vector<int32_t> out(in.size()), want(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        want[i] = UnscaledModel(static_cast<int16_t>(in[i] & 0xFFFF), in[i] >> 16);
    for (Root16sc kernel : Root16scKernels)
    {
        kernel(in.data(), out.data(), static_cast<int32_t>(in.size()));
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(want[i], out[i]) << (in[i] & 0xFFFF) << " " << (in[i] >> 16);
    }
}

TEST(VecMathIntRoot, Complex16ScaledMatchTheRoundedRoot)
{
    const std::vector<int32_t> in = ComplexInputs(3);
    std::vector<int32_t> out(in.size());
    std::vector<Part> re(in.size()), im(in.size());
    for (int f : {-24, -8, -1, 0, 1, 3, 9})
    {
        for (size_t i = 0; i < in.size(); ++i)
        {
            long double r, m;
            ScaledReference(static_cast<int16_t>(in[i] & 0xFFFF), in[i] >> 16, f, r, m);
            re[i] = RoundPart(r), im[i] = RoundPart(m);
        }
        for (Root16scScaled kernel : Root16scScaledKernels)
        {
            kernel(in.data(), out.data(), static_cast<int32_t>(in.size()), f);
            for (size_t i = 0; i < in.size(); ++i)
                ASSERT_TRUE(PartMatches(re[i], static_cast<int16_t>(out[i] & 0xFFFF)) &&
                            PartMatches(im[i], static_cast<int16_t>(out[i] >> 16)))
                    << f << " " << (in[i] & 0xFFFF) << " " << (in[i] >> 16);
        }
    }
}

TEST(VecMathIntRoot, Complex16EveryLengthAndOffset)
{
    for (int k = 0; k < 9; ++k)
        for (int len = 1; len <= 9; ++len)
            for (int off = 0; off < 4; ++off)
            {
                alignas(16) int32_t src[12], out[16];
                for (int i = 0; i < len; ++i)
                    src[i] = Pack16sc(i * 3001 - 12000, 7000 - i * 1999);
                std::fill(out, out + 16, 0x5A5A5A5A);
                if (k < 3)
                    Root16scKernels[k](src, out + off, len);
                else
                    Root16scScaledKernels[k - 3](src, out + off, len, 0);
                for (int i = 0; i < 16; ++i)
                {
                    const bool inside = i >= off && i < off + len;
                    if (!inside)
                        ASSERT_EQ(0x5A5A5A5A, out[i]) << k << " " << len << " " << off;
                    else if (k < 3)
                    {
                        const int a = static_cast<int16_t>(src[i - off] & 0xFFFF);
                        ASSERT_EQ(UnscaledModel(a, src[i - off] >> 16), out[i]);
                    }
                }
            }
}
} // namespace
