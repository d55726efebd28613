// The FFT kernel variants at their levels beside level 0: the split
// real/imaginary transforms (levels 1 to 3) against the complex transform of
// the same points, and two decimated first stages plus the radix-8 join
// (levels 2 and 3) against the complex transform of the whole span; level 0
// (generic) and, where a family has no SSE3 member, level 1 run the level's
// complex transform. Sizes of a processing period: 2^8 (spans 2^9) to 2^13
// points.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
using ComplexFn = DspStatus (*)(const float*, float*, const DspFftSpecC32f*, uint8_t*);
struct ComplexLevel
{
    DspFftSizeFn size;
    DspFftInitFn init;
    ComplexFn fwd;
};
const ComplexLevel kComplex[4] = {
    {DspFftSpecSizeC32f_Gen, DspFftSpecInitC32f_Gen, DspFftFwdC32f_Gen},
    {DspFftSpecSizeC32f_Sse3, DspFftSpecInitC32f_Sse3, DspFftFwdC32f_Sse3},
    {DspFftSpecSizeC32f_Ssse3, DspFftSpecInitC32f_Ssse3, DspFftFwdC32f_Ssse3},
    {DspFftSpecSizeC32f_Sse4, DspFftSpecInitC32f_Sse4, DspFftFwdC32f_Sse4}};

using GatherFn = void (*)(const float*, const float*, float*, float*, int32_t, const float*,
                          const uint32_t*, float*);
using InPlaceFn = void (*)(float*, float*, int64_t, const float*, float*);
using Sub4Fn = void (*)(const float*, float*, uint64_t, const float*, const int32_t*, float*);
using JoinFn = void (*)(const float*, float*, uint64_t, int64_t, const float*);
struct VariantLevel
{
    GatherFn gather;
    InPlaceFn inPlace;
    Sub4Fn sub4;
    JoinFn join;
    uint8_t* (*twiddleTable)(int32_t, const float*, int32_t, float*);
};
const VariantLevel kVariants[4] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
    {DspFftSplitFwdSmall_Sse3, DspFftSplitFwdPasses_Sse3, nullptr, nullptr,
     DspFftTwiddleTable_Sse3},
    {DspFftSplitFwdSmall_Ssse3, DspFftSplitFwdPasses_Ssse3, DspFftCplxFwdSub4_Ssse3,
     DspFftCplxFwdRadix8_Ssse3, DspFftTwiddleTable_Ssse3},
    {DspFftSplitFwdSmall_Sse4, DspFftSplitFwdPasses_Sse4, DspFftCplxFwdSub4_Sse4,
     DspFftCplxFwdRadix8_Sse4, DspFftTwiddleTable_Ssse3}};

struct Aligned
{
    explicit Aligned(size_t floats)
        : p(static_cast<float*>(std::aligned_alloc(64, (floats * 4 + 63) & ~size_t{63})))
    {
        for (size_t i = 0; i < floats; ++i)
        {
            p[i] = static_cast<float>(std::sin(0.01 * i) + 0.5 * std::cos(0.37 * i));
        }
    }
    ~Aligned() { std::free(p); }
    Aligned(const Aligned&) = delete;
    Aligned& operator=(const Aligned&) = delete;
    float* p;
};

// The complex transform of 2^order points at one level.
struct ComplexRun
{
    ComplexRun(const ComplexLevel& lv, int order)
        : fwd(lv.fwd), x(size_t{2} << order), y(size_t{2} << order)
    {
        int32_t s = 0, i = 0, w = 0;
        lv.size(order, DspFftScaleNone, 0, &s, &i, &w);
        spec.resize(s);
        initBuf.resize(i + 32);
        work.resize(w + 32);
        lv.init(&rec, order, DspFftScaleNone, 0, spec.data(), initBuf.data());
    }
    void operator()() { fwd(x.p, out, static_cast<const DspFftSpecC32f*>(rec), work.data()); }
    ComplexFn fwd;
    Aligned x, y;
    float* out = y.p;
    std::vector<uint8_t> spec, initBuf, work;
    DspFftSpecR32f* rec = nullptr;
};

// The level's complex transform in the place of a variant it has no member of.
void RunComplex(benchmark::State& state, int level, int order, bool inPlace)
{
    ComplexRun run(kComplex[level], order);
    if (inPlace)
    {
        run.out = run.x.p;
    }
    for (auto _ : state)
    {
        run();
        benchmark::DoNotOptimize(run.out);
    }
}

// Bit-reversal table and level twiddles for 2^m points.
struct Tables
{
    Tables(const VariantLevel& lv, int m)
        : sine((size_t{1} << (m > 10 ? m : 10)) / 4 + 1), rev((size_t{1} << m) / 4 + 1),
          tw(2 * (size_t{1} << m))
    {
        const int sineOrder = m > 10 ? m : 10;
        DspFftSineTable_Gen(sine.data(), sineOrder);
        DspFftBitRevTable_Ssse3(m, rev.data());
        lv.twiddleTable(m, sine.data(), sineOrder, tw.p);
    }
    std::vector<float> sine;
    std::vector<uint32_t> rev;
    Aligned tw;
};

void Sizes(benchmark::internal::Benchmark* b)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order = 8; order <= 13; ++order)
        {
            b->Args({level, order});
        }
    }
}
// Spans of 512 points upwards: streams of at least 64 points.
void SpanSizes(benchmark::internal::Benchmark* b)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order = 9; order <= 13; ++order)
        {
            b->Args({level, order});
        }
    }
}

void BM_FftVariantSplitGather(benchmark::State& state)
{
    const int level = static_cast<int>(state.range(0));
    const int m = static_cast<int>(state.range(1));
    const int32_t n = 1 << m;
    if (level == 0)
    {
        RunComplex(state, 0, m, false);
        return;
    }
    const VariantLevel& lv = kVariants[level];
    const Tables t(lv, m);
    Aligned re(n), im(n), outRe(n), outIm(n), work(2 * n);
    for (auto _ : state)
    {
        lv.gather(re.p, im.p, outRe.p, outIm.p, n, t.tw.p, t.rev.data(), work.p);
        benchmark::DoNotOptimize(outRe.p);
    }
}
BENCHMARK(BM_FftVariantSplitGather)->Apply(Sizes);

void BM_FftVariantSplitInPlace(benchmark::State& state)
{
    const int level = static_cast<int>(state.range(0));
    const int m = static_cast<int>(state.range(1));
    const int32_t n = 1 << m;
    if (level == 0)
    {
        RunComplex(state, 0, m, true);
        return;
    }
    const VariantLevel& lv = kVariants[level];
    const Tables t(lv, m);
    Aligned re(n), im(n), work(2 * n);
    for (auto _ : state)
    {
        lv.inPlace(re.p, im.p, n, t.tw.p, work.p);
        benchmark::DoNotOptimize(re.p);
    }
}
BENCHMARK(BM_FftVariantSplitInPlace)->Apply(Sizes);

// The whole 8n-point transform (order = log2 of 8n): two first stages and
// the join at levels 2 and 3, the complex transform at levels 0 and 1.
void BM_FftVariantDecimatedSpan(benchmark::State& state)
{
    const int level = static_cast<int>(state.range(0));
    const int order = static_cast<int>(state.range(1));
    if (level < 2)
    {
        RunComplex(state, level, order, false);
        return;
    }
    const VariantLevel& lv = kVariants[level];
    const int m = order - 3;
    const uint64_t n = uint64_t{1} << m;
    const Tables t(lv, m);
    const auto* table = reinterpret_cast<const int32_t*>(t.rev.data());
    // The join's twiddles: seven factors per k of the 8n-point transform.
    Aligned joinTw(14 * n);
    for (uint64_t k0 = 0; k0 < n; k0 += 4)
    {
        for (uint64_t j = 1; j < 8; ++j)
        {
            float* w = joinTw.p + 56 * (k0 / 4) + 8 * (j - 1);
            for (uint64_t l = 0; l < 4; ++l)
            {
                const double a = 2.0 * M_PI * static_cast<double>(j * (k0 + l)) / (8.0 * n);
                w[l] = static_cast<float>(std::cos(a));
                w[4 + l] = static_cast<float>(-std::sin(a));
            }
        }
    }
    Aligned x(16 * n), streams(16 * n), y(16 * n), work(8 * n);
    for (auto _ : state)
    {
        lv.sub4(x.p, streams.p, n, t.tw.p, table, work.p);
        lv.sub4(x.p + 8, streams.p + 8 * n, n, t.tw.p, table, work.p);
        lv.join(streams.p, y.p, n, static_cast<int64_t>(n), joinTw.p);
        benchmark::DoNotOptimize(y.p);
    }
}
BENCHMARK(BM_FftVariantDecimatedSpan)->Apply(SpanSizes);
// One first-stage call (four n-point streams of an 8n-point span, order =
// log2 of n) at levels 2 and 3; levels 0 and 1 run their complex transform of
// n points four times, the same amount of transform.
void BM_FftVariantFourStreams(benchmark::State& state)
{
    const int level = static_cast<int>(state.range(0));
    const int m = static_cast<int>(state.range(1)) - 3;
    const uint64_t n = uint64_t{1} << m;
    if (level < 2)
    {
        ComplexRun run(kComplex[level], m);
        for (auto _ : state)
        {
            for (int s = 0; s < 4; ++s)
            {
                run();
            }
            benchmark::DoNotOptimize(run.out);
        }
        return;
    }
    const VariantLevel& lv = kVariants[level];
    const Tables t(lv, m);
    const auto* table = reinterpret_cast<const int32_t*>(t.rev.data());
    Aligned x(16 * n), streams(8 * n), work(8 * n);
    for (auto _ : state)
    {
        lv.sub4(x.p, streams.p, n, t.tw.p, table, work.p);
        benchmark::DoNotOptimize(streams.p);
    }
}
BENCHMARK(BM_FftVariantFourStreams)->Apply(SpanSizes);
} // namespace
