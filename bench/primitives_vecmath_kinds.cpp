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
    b[0] = [](Data& o, int n)
    {
        double s = 0;
        for (int i = 0; i < n; ++i)
            s += o.d[i];
        o.dout[0] = s;
    };
    AtLevel(state, b);
}
#define SUM32FC(sfx) DspSumAccurate32fc_##sfx(o.f, n, o.dout)
void BM_VkSum32fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM32FC);
    b[0] = [](Data& o, int n)
    {
        double re = 0, im = 0;
        for (int i = 0; i < n; ++i)
            re += o.f[2 * i], im += o.f[2 * i + 1];
        o.dout[0] = re, o.dout[1] = im;
    };
    AtLevel(state, b);
}
#define SUM16S(sfx) DspSumKernel16sTo64f_##sfx(o.s16, o.dout, n)
void BM_VkSum16s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(SUM16S);
    b[0] = [](Data& o, int n)
    {
        int64_t s = 0;
        for (int i = 0; i < n; ++i)
            s += o.s16[i];
        o.dout[0] = static_cast<double>(s);
    };
    AtLevel(state, b);
}

// The dot products exist at the SSE3 level only: levels 2 and 3 repeat it.
#define DOT64F(sfx) DspDotProdKernel64f_Sse3(o.d, o.e, n, o.dout)
void BM_VkDot64f(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(DOT64F);
    b[0] = [](Data& o, int n)
    {
        double s = 0;
        for (int i = 0; i < n; ++i)
            s += o.d[i] * o.e[i];
        o.dout[0] = s;
    };
    AtLevel(state, b);
}
#define DOT32FC(sfx) DspDotProdKernel32fc_Sse3(o.f, o.g, n, o.fo)
void BM_VkDot32fc(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(DOT32FC);
    b[0] = [](Data& o, int n)
    {
        float re = 0, im = 0;
        for (int i = 0; i < n; ++i)
        {
            re += o.f[2 * i] * o.g[2 * i] - o.f[2 * i + 1] * o.g[2 * i + 1];
            im += o.f[2 * i] * o.g[2 * i + 1] + o.f[2 * i + 1] * o.g[2 * i];
        }
        o.fo[0] = re, o.fo[1] = im;
    };
    AtLevel(state, b);
}
#define DOT16S(sfx) DspDotProdKernel16sTo64s_Sse3(o.s16, o.s16 + 1, n, o.s64)
void BM_VkDot16s(benchmark::State& state)
{
    Body b[4] = VM_LEVELS(DOT16S);
    b[0] = [](Data& o, int n)
    {
        int64_t s = 0;
        for (int i = 0; i < n; ++i)
            s += int64_t{o.s16[i]} * o.s16[i + 1];
        o.s64[0] = s;
    };
    AtLevel(state, b);
}

#define VK_BENCH(name)                                                                             \
    BENCHMARK(name)->ArgNames({"len", "level"})->ArgsProduct({{48, 192, MaxLen}, {0, 1, 2, 3}})
VK_BENCH(BM_VkRoot16s);
VK_BENCH(BM_VkRoot32s);
VK_BENCH(BM_VkRoot64s);
VK_BENCH(BM_VkRoot16sc);
VK_BENCH(BM_VkRoot16scStable);
VK_BENCH(BM_VkRoot32fc);
VK_BENCH(BM_VkRoot64fc);
VK_BENCH(BM_VkSum64f);
VK_BENCH(BM_VkSum32fc);
VK_BENCH(BM_VkSum16s);
VK_BENCH(BM_VkDot64f);
VK_BENCH(BM_VkDot32fc);
VK_BENCH(BM_VkDot16s);
} // namespace
