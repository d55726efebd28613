// The real and complex FFT at each processor level (0 generic, 1 SSE3,
// 2 SSSE3, 3 SSE4.1) at orders 6 to 16, each on a record built by its own
// level; FFTW's plans of the same transforms run beside them in
// primitives_fft.cpp.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/fft_bench_common.h"
#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
using RealFn = DspStatus (*)(const float*, float*, const DspFftSpecR32f*, uint8_t*);

struct LevelFft
{
    DspFftSizeFn sizeR;
    DspFftInitFn initR;
    DspFftSizeFn sizeC;
    DspFftInitFn initC;
    RealFn fwdR;
    RealFn invR;
    DspStatus (*fwdC)(const float*, float*, const DspFftSpecC32f*, uint8_t*);
};
#define LEVEL_FFT(S)                                                                               \
    LevelFft                                                                                       \
    {                                                                                              \
        DspFftSpecSizeR32f_##S, DspFftSpecInitR32f_##S, DspFftSpecSizeC32f_##S,                    \
            DspFftSpecInitC32f_##S, DspFftFwdRToPacked32f_##S, DspFftInvPackedToR32f_##S,          \
            DspFftFwdC32f_##S                                                                      \
    }
const LevelFft kLevels[4] = {LEVEL_FFT(Gen), LEVEL_FFT(Sse3), LEVEL_FFT(Ssse3), LEVEL_FFT(Sse4)};

void Orders(benchmark::internal::Benchmark* b)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order = 6; order <= 16; ++order)
        {
            b->Args({level, order});
        }
    }
}

// The level's real transform `routine` (forward or inverse) at the order.
void RealAtLevel(benchmark::State& state, RealFn LevelFft::*routine)
{
    const LevelFft& lv = kLevels[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    FftBenchRecord r(lv.sizeR, lv.initR, order);
    RunRealFft(state, r, order, lv.*routine);
}

void BM_FftLevelRealForward(benchmark::State& state)
{
    RealAtLevel(state, &LevelFft::fwdR);
}
BENCHMARK(BM_FftLevelRealForward)->Apply(Orders);

void BM_FftLevelRealInverse(benchmark::State& state)
{
    RealAtLevel(state, &LevelFft::invR);
}
BENCHMARK(BM_FftLevelRealInverse)->Apply(Orders);

void BM_FftLevelComplexForward(benchmark::State& state)
{
    const LevelFft& lv = kLevels[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    FftBenchRecord r(lv.sizeC, lv.initC, order);
    const auto x = FftBenchSignal(size_t{2} << order);
    std::vector<float> y(x.size());
    const auto* spec = static_cast<const DspFftSpecC32f*>(r.rec);
    for (auto _ : state)
    {
        lv.fwdC(x.data(), y.data(), spec, r.work.data());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * (int64_t{1} << order));
}
BENCHMARK(BM_FftLevelComplexForward)->Apply(Orders);

// The permutation before the passes, 8-byte points: level 0's swap-list
// routines against each level's block members (table, in place, copy).
struct LevelBitRev
{
    uint8_t* (*table)(int32_t, uint32_t*);
    void (*inPlace)(float*, int64_t, const uint32_t*);
    void (*copy)(const float*, float*, int64_t, const uint32_t*);
};
const LevelBitRev kBitRev[4] = {
    {DspFftBitRevSwapList,
     [](float* d, int64_t n, const uint32_t* t)
     { DspBitRevInPlace64_Gen(d, static_cast<int32_t>(n), t); },
     [](const float* s, float* d, int64_t n, const uint32_t* t)
     { DspBitRevCopy64_Gen(s, d, static_cast<int32_t>(n), t); }},
    {DspFftBitRevTable_Sse3, DspBitRevInPlace64_Sse3, DspBitRevCopy64_Sse3},
    {DspFftBitRevTable_Ssse3, DspBitRevInPlace64_Ssse3, DspBitRevCopy64_Ssse3},
    {DspFftBitRevTable_Sse4, DspBitRevInPlace64_Sse4, DspBitRevCopy64_Sse4}};

// Both copy strategies: scattered writes up to 65536 points, gathered reads
// above.
void BitRevOrders(benchmark::internal::Benchmark* b)
{
    for (int level = 0; level < 4; ++level)
    {
        for (int order : {8, 12, 16, 17, 20})
        {
            b->Args({level, order});
        }
    }
}

void BM_FftLevelBitRev(benchmark::State& state, bool inPlace)
{
    const LevelBitRev& lv = kBitRev[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    const int64_t n = int64_t{1} << order;
    std::vector<uint32_t> table(n / 4 + 16);
    lv.table(order, table.data());
    const auto x = FftBenchSignal(static_cast<size_t>(2 * n));
    std::vector<float> y(x);
    for (auto _ : state)
    {
        inPlace ? lv.inPlace(y.data(), n, table.data())
                : lv.copy(x.data(), y.data(), n, table.data());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK_CAPTURE(BM_FftLevelBitRev, InPlace, true)->Apply(BitRevOrders);
BENCHMARK_CAPTURE(BM_FftLevelBitRev, Copy, false)->Apply(BitRevOrders);
} // namespace
