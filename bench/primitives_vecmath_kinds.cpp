// The vector math kernels that no routine entry reaches (integer and complex
// square roots, sums and dot products of further element types) at levels 1
// to 3 side by side with a plain scalar loop of the same result as level 0,
// at the streaming path's period sizes (1 ms at 48 kHz, 4 ms, and a full
// 512-frame channel buffer).
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdint>

#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
constexpr int MaxLen = 512;

struct alignas(32) Data
{
    int16_t s16[2 * MaxLen], d16[2 * MaxLen];
    int32_t s32[2 * MaxLen], d32[2 * MaxLen];
    int64_t s64[MaxLen];
    float f[2 * MaxLen], g[2 * MaxLen], fo[2 * MaxLen];
    double d[2 * MaxLen], e[2 * MaxLen], dout[2 * MaxLen];
    Data()
    {
        for (int i = 0; i < 2 * MaxLen; ++i)
        {
            s16[i] = static_cast<int16_t>((i * 7919) % 32768 - 16000);
            s32[i] = (i * 104729) % 1000000;
            f[i] = 0.25f + 0.013f * static_cast<float>(i % 97) - 0.6f * static_cast<float>(i % 2);
            g[i] = 1.5f - 0.007f * static_cast<float>(i % 89);
            d[i] = f[i], e[i] = g[i];
        }
        for (int i = 0; i < MaxLen; ++i)
            s64[i] = int64_t{s32[i]} * 4099;
    }
};

using Body = void (*)(Data&, int);

// Runs the body of the benchmark's level (0 the scalar loop) at its length.
void AtLevel(benchmark::State& state, const Body (&bodies)[4])
{
    auto* data = new Data();
    const int len = static_cast<int>(state.range(0));
    const Body body = bodies[state.range(1)];
    for (auto _ : state)
    {
        body(*data, len);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * len);
    delete data;
}

int16_t Round16(double v)
{
    return static_cast<int16_t>(v > 32767.0 ? 32767 : (v < -32768.0 ? -32768 : std::nearbyint(v)));
}

template <class T> void ScalarRoot(const T* src, int16_t* dst, int n, int f)
{
    for (int i = 0; i < n; ++i)
        dst[i] = src[i] <= 0 ? 0 : Round16(std::ldexp(std::sqrt(static_cast<double>(src[i])), -f));
}

// Complex 16-bit elements (one 32-bit word each) through std::sqrt.
void ScalarRoot16sc(const int32_t* src, int32_t* dst, int n, int f)
{
    for (int i = 0; i < n; ++i)
    {
        const std::complex<double> r =
            std::sqrt(std::complex<double>(static_cast<int16_t>(src[i] & 0xFFFF), src[i] >> 16)) *
            std::ldexp(1.0, -f);
        dst[i] = static_cast<int32_t>(
            static_cast<uint16_t>(Round16(r.real())) |
            (static_cast<uint32_t>(static_cast<uint16_t>(Round16(r.imag()))) << 16));
    }
}

template <class T> void ScalarComplexRoot(const T* src, T* dst, int n)
{
    for (int i = 0; i < n; ++i)
    {
        const std::complex<T> r = std::sqrt(std::complex<T>(src[2 * i], src[2 * i + 1]));
        dst[2 * i] = r.real(), dst[2 * i + 1] = r.imag();
    }
}

// Level 0 of the sums: a plain loop accumulating in Acc, of a real vector
// and of a complex one (the real and the imaginary parts apart).
template <class Acc, class T> void PlainSum(const T* src, int n, double* dst)
{
    Acc s = 0;
    for (int i = 0; i < n; ++i)
        s += src[i];
    dst[0] = static_cast<double>(s);
}

template <class Acc, class T> void PlainComplexSum(const T* src, int n, double* dst)
{
    Acc re = 0, im = 0;
    for (int i = 0; i < n; ++i)
        re += src[2 * i], im += src[2 * i + 1];
    dst[0] = static_cast<double>(re), dst[1] = static_cast<double>(im);
}

#define VM_LEVELS(call)                                                                            \
    {                                                                                              \
        [](Data& o, int n) { call(Sse3); }, [](Data& o, int n) { call(Sse3); },                    \
            [](Data& o, int n) { call(Ssse3); }, [](Data& o, int n) { call(Sse4); }                \
    }

#define ROOT16(sfx) DspSqrtKernel16sScaled_##sfx(o.s16, o.d16, n, -5)
void BM_VkRoot16s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT16);
    b[0] = [](Data& o, int n) { ScalarRoot(o.s16, o.d16, n, -5); };
    AtLevel(state, b);
}
#define ROOT32(sfx) DspSqrtKernel32sTo16sScaled_##sfx(o.s32, o.d16, n, 2)
void BM_VkRoot32s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT32);
    b[0] = [](Data& o, int n) { ScalarRoot(o.s32, o.d16, n, 2); };
    AtLevel(state, b);
}
#define ROOT64(sfx) DspSqrtKernel64sTo16sScaled_##sfx(o.s64, o.d16, n, 3)
void BM_VkRoot64s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT64);
    b[0] = [](Data& o, int n) { ScalarRoot(o.s64, o.d16, n, 3); };
    AtLevel(state, b);
}
#define ROOT16SC(sfx) DspSqrtKernel16sc_##sfx(o.s32, o.d32, n)
void BM_VkRoot16sc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT16SC);
    b[0] = [](Data& o, int n) { ScalarRoot16sc(o.s32, o.d32, n, 0); };
    AtLevel(state, b);
}
#define ROOT16SC_STABLE(sfx) DspSqrtKernel16scScaledStable_##sfx(o.s32, o.d32, n, -2)
void BM_VkRoot16scStable(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT16SC_STABLE);
    b[0] = [](Data& o, int n) { ScalarRoot16sc(o.s32, o.d32, n, -2); };
    AtLevel(state, b);
}
#define ROOT16SC_DIRECT(sfx) DspSqrtKernel16scScaledDirect_##sfx(o.s32, o.d32, n, -2)
void BM_VkRoot16scDirect(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT16SC_DIRECT);
    b[0] = [](Data& o, int n) { ScalarRoot16sc(o.s32, o.d32, n, -2); };
    AtLevel(state, b);
}
#define ROOT32FC(sfx) DspSqrtKernel32fc_##sfx(o.f, o.fo, n)
void BM_VkRoot32fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT32FC);
    b[0] = [](Data& o, int n) { ScalarComplexRoot(o.f, o.fo, n); };
    AtLevel(state, b);
}
#define ROOT64FC(sfx) DspSqrtKernel64fc_##sfx(o.d, o.dout, n)
void BM_VkRoot64fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(ROOT64FC);
    b[0] = [](Data& o, int n) { ScalarComplexRoot(o.d, o.dout, n); };
    AtLevel(state, b);
}

#define SUM64F(sfx) DspSumKernel64f_##sfx(o.d, n, o.dout)
void BM_VkSum64f(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM64F);
    b[0] = [](Data& o, int n) { PlainSum<double>(o.d, n, o.dout); };
    AtLevel(state, b);
}
#define SUM32FC(sfx) DspSumAccurate32fc_##sfx(o.f, n, o.dout)
void BM_VkSum32fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM32FC);
    b[0] = [](Data& o, int n) { PlainComplexSum<double>(o.f, n, o.dout); };
    AtLevel(state, b);
}
#define SUM32FC_FAST(sfx) DspSumFast32fc_##sfx(o.f, n, o.dout)
void BM_VkSumFast32fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM32FC_FAST);
    b[0] = [](Data& o, int n) { PlainComplexSum<float>(o.f, n, o.dout); };
    AtLevel(state, b);
}
#define SUM64FC(sfx) DspSumKernel64fc_##sfx(o.d, n, o.dout)
void BM_VkSum64fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM64FC);
    b[0] = [](Data& o, int n) { PlainComplexSum<double>(o.d, n, o.dout); };
    AtLevel(state, b);
}
#define SUM16SC(sfx) DspSumKernel16scTo64fc_##sfx(o.s16, o.dout, n)
void BM_VkSum16sc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM16SC);
    b[0] = [](Data& o, int n) { PlainComplexSum<int64_t>(o.s16, n, o.dout); };
    AtLevel(state, b);
}
#define SUM16S(sfx) DspSumKernel16sTo64f_##sfx(o.s16, o.dout, n)
void BM_VkSum16s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM16S);
    b[0] = [](Data& o, int n) { PlainSum<int64_t>(o.s16, n, o.dout); };
    AtLevel(state, b);
}

// Level 0 of the dot products: a plain loop of complex double products over
// elements of `per1` and `per2` scalars (1 real, 2 complex).
template <class A, class B>
std::complex<double> PlainDot(const A* a, const B* b, int n, int per1, int per2)
{
    std::complex<double> s = 0;
    for (int i = 0; i < n; ++i)
        s += std::complex<double>(a[per1 * i], per1 == 2 ? a[2 * i + 1] : 0) *
             std::complex<double>(b[per2 * i], per2 == 2 ? b[2 * i + 1] : 0);
    return s;
}

// The dot products exist at the SSE3 level only: levels 2 and 3 repeat it.
// `call` is the kernel's call on o and n; a, b, per1, per2 the plain loop's.
#define VK_DOT(name, call, a, b, per1, per2)                                                       \
    void name(benchmark::State& state)                                                             \
    {                                                                                              \
        const Body sse3 = [](Data& o, int n) { call; };                                            \
        const Body plain = [](Data& o, int n)                                                      \
        {                                                                                          \
            const std::complex<double> r = PlainDot(o.a, o.b, n, per1, per2);                      \
            o.dout[0] = r.real(), o.dout[1] = r.imag();                                            \
        };                                                                                         \
        const Body b[4] = {plain, sse3, sse3, sse3};                                               \
        AtLevel(state, b);                                                                         \
    }
const double Unit = 1.0;
VK_DOT(BM_VkDot32fTo64f, DspDotProdKernel32fTo64f_Sse3(o.f, o.g, n, o.dout), f, g, 1, 1)
VK_DOT(BM_VkDot32f32fcTo64fc, DspDotProdKernel32f32fcTo64fc_Sse3(o.f, o.g, n, o.dout), f, g, 1, 2)
VK_DOT(BM_VkDot32fcTo64fc, DspDotProdKernel32fcTo64fc_Sse3(o.f, o.g, n, o.dout), f, g, 2, 2)
VK_DOT(BM_VkDot32f32fc, DspDotProdKernel32f32fc_Sse3(o.f, o.g, n, o.fo), f, g, 1, 2)
VK_DOT(BM_VkDot32fc, DspDotProdKernel32fc_Sse3(o.f, o.g, n, o.fo), f, g, 2, 2)
VK_DOT(BM_VkDot64f, DspDotProdKernel64f_Sse3(o.d, o.e, n, o.dout), d, e, 1, 1)
VK_DOT(BM_VkDot64f64fc, DspDotProdKernel64f64fc_Sse3(o.d, o.e, n, o.dout), d, e, 1, 2)
VK_DOT(BM_VkDot64fc, DspDotProdKernel64fc_Sse3(o.d, o.e, n, o.dout), d, e, 2, 2)
VK_DOT(BM_VkDot32sScaled, DspDotProdKernel32sScaled_Sse3(o.s32, o.d32, n, o.d32, &Unit), s32, d32,
       1, 1)
VK_DOT(BM_VkDot32s32scScaled, DspDotProdKernel32s32scScaled_Sse3(o.s32, o.d32, n, o.d32, &Unit),
       s32, d32, 1, 2)
VK_DOT(BM_VkDot32scScaled, DspDotProdKernel32scScaled_Sse3(o.s32, o.d32, n, o.d32, &Unit), s32, d32,
       2, 2)
VK_DOT(BM_VkDot16s32sScaled, DspDotProdKernel16s32sScaled_Sse3(o.s16, o.s32, n, o.d32, &Unit), s16,
       s32, 1, 1)
VK_DOT(BM_VkDot16sTo64s, DspDotProdKernel16sTo64s_Sse3(o.s16, o.d16, n, o.s64), s16, d16, 1, 1)
VK_DOT(BM_VkDot16sTo64sDirect, DspDotProdKernel16sTo64sDirect_Sse3(o.s16, o.d16, n, o.s64), s16,
       d16, 1, 1)
VK_DOT(BM_VkDot16s16scTo64sc, DspDotProdKernel16s16scTo64sc_Sse3(o.s16, o.d16, n, o.s64), s16, d16,
       1, 2)
VK_DOT(BM_VkDot16scTo64sc, DspDotProdKernel16scTo64sc_Sse3(o.s16, o.d16, n, o.s64), s16, d16, 2, 2)

#define VK_BENCH(name)                                                                             \
    BENCHMARK(name)->ArgNames({"len", "level"})->ArgsProduct({{48, 192, MaxLen}, {0, 1, 2, 3}})
VK_BENCH(BM_VkRoot16s);
VK_BENCH(BM_VkRoot32s);
VK_BENCH(BM_VkRoot64s);
VK_BENCH(BM_VkRoot16sc);
VK_BENCH(BM_VkRoot16scStable);
VK_BENCH(BM_VkRoot16scDirect);
VK_BENCH(BM_VkRoot32fc);
VK_BENCH(BM_VkRoot64fc);
VK_BENCH(BM_VkSum64f);
VK_BENCH(BM_VkSum32fc);
VK_BENCH(BM_VkSumFast32fc);
VK_BENCH(BM_VkSum64fc);
VK_BENCH(BM_VkSum16s);
VK_BENCH(BM_VkSum16sc);
VK_BENCH(BM_VkDot32fTo64f);
VK_BENCH(BM_VkDot32f32fcTo64fc);
VK_BENCH(BM_VkDot32fcTo64fc);
VK_BENCH(BM_VkDot32f32fc);
VK_BENCH(BM_VkDot32fc);
VK_BENCH(BM_VkDot64f);
VK_BENCH(BM_VkDot64f64fc);
VK_BENCH(BM_VkDot64fc);
VK_BENCH(BM_VkDot32sScaled);
VK_BENCH(BM_VkDot32s32scScaled);
VK_BENCH(BM_VkDot32scScaled);
VK_BENCH(BM_VkDot16s32sScaled);
VK_BENCH(BM_VkDot16sTo64s);
VK_BENCH(BM_VkDot16sTo64sDirect);
VK_BENCH(BM_VkDot16s16scTo64sc);
VK_BENCH(BM_VkDot16scTo64sc);
} // namespace
