// The real and complex FFT at each processor level (0 generic, 1 SSE3,
// 2 SSSE3, 3 SSE4.1) at orders 6 to 16, each on a record built by its own
// level; FFTW's plans of the same transforms run beside them in
// primitives_fft.cpp.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
struct LevelFft
{
    DspFftSizeFn sizeR;
    DspFftInitFn initR;
    DspFftSizeFn sizeC;
    DspFftInitFn initC;
    DspStatus (*fwdR)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
    DspStatus (*invR)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
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

struct Record
{
    Record(DspFftSizeFn size, DspFftInitFn init, int order)
    {
        int32_t s = 0, i = 0, w = 0;
        size(order, DspFftScaleInverse, 0, &s, &i, &w);
        spec.resize(s);
        initBuf.resize(i + 32);
        work.resize(w + 32);
        init(&rec, order, DspFftScaleInverse, 0, spec.data(), initBuf.data());
    }
    std::vector<uint8_t> spec, initBuf, work;
    DspFftSpecR32f* rec = nullptr;
};

std::vector<float> Signal(size_t n)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
    {
        x[i] = static_cast<float>(std::sin(0.01 * i) + 0.5 * std::cos(0.37 * i));
    }
    return x;
}

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

void BM_FftLevelRealForward(benchmark::State& state)
{
    const LevelFft& lv = kLevels[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    Record r(lv.sizeR, lv.initR, order);
    const auto x = Signal(size_t{1} << order);
    std::vector<float> y(x.size());
    for (auto _ : state)
    {
        lv.fwdR(x.data(), y.data(), r.rec, r.work.data());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(x.size()));
}
BENCHMARK(BM_FftLevelRealForward)->Apply(Orders);

void BM_FftLevelRealInverse(benchmark::State& state)
{
    const LevelFft& lv = kLevels[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    Record r(lv.sizeR, lv.initR, order);
    const auto x = Signal(size_t{1} << order);
    std::vector<float> y(x.size());
    for (auto _ : state)
    {
        lv.invR(x.data(), y.data(), r.rec, r.work.data());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(x.size()));
}
BENCHMARK(BM_FftLevelRealInverse)->Apply(Orders);

void BM_FftLevelComplexForward(benchmark::State& state)
{
    const LevelFft& lv = kLevels[state.range(0)];
    const int order = static_cast<int>(state.range(1));
    Record r(lv.sizeC, lv.initC, order);
    const auto x = Signal(size_t{2} << order);
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
} // namespace
