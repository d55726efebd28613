// The FIR routines of each processor level side by side with level 0, each
// level filtering states it built itself: the one-sample FIR over one period
// of 48 samples; the block filter on periods of 48, 192 and 480 samples and
// FFT-sized blocks; the direct-form kernel by itself beside the level-0
// direct loops; the multirate converter stages on 480-sample periods.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/filters/DspFirDirect.h"
#include "primitives/filters/DspFirState.h"

namespace
{
using OneFn = DspStatus (*)(float, float*, const float*, int32_t, float*, int32_t*);
constexpr OneFn Levels[4] = {DspFirOneSample32f_Gen, DspFirOneSample32f_Sse3,
                             DspFirOneSample32f_Ssse3, DspFirOneSample32f_Sse4};

// Arguments: level, tap count.
void BM_FirOneSample(benchmark::State& state)
{
    const OneFn one = Levels[state.range(0)];
    const auto n = static_cast<int32_t>(state.range(1));
    std::vector<float> taps(static_cast<size_t>(n)), delay(2 * static_cast<size_t>(n), 0.0f);
    for (size_t i = 0; i < taps.size(); ++i)
        taps[i] = static_cast<float>(std::cos(0.3 * static_cast<double>(i)));
    int32_t index = 0;
    float x = 0.5f, y = 0.0f;
    for (auto _ : state)
    {
        for (int i = 0; i < 48; ++i)
        {
            one(x, &y, taps.data(), n, delay.data(), &index);
            x = -x;
        }
        benchmark::DoNotOptimize(y);
    }
    state.SetItemsProcessed(state.iterations() * 48);
}
BENCHMARK(BM_FirOneSample)->ArgsProduct({{0, 1, 2, 3}, {8, 16, 17, 32, 64}});

using SizeFn = DspStatus (*)(int32_t, int32_t, int32_t, int32_t*);
using InitFn = DspStatus (*)(DspFirState32f**, const float*, int32_t, int32_t, int32_t, int32_t,
                             int32_t, const float*, uint8_t*);
using FilterFn = DspStatus (*)(const float*, float*, int32_t, DspFirState32f*);
struct Level
{
    SizeFn size;
    InitFn init;
    FilterFn filter;
};
constexpr Level BlockLevels[4] = {
    {DspFirMultirateStateSize32f_Gen, DspFirMultirateInit32f_Gen, DspFirFilter32f_Gen},
    {DspFirMultirateStateSize32f_Sse3, DspFirMultirateInit32f_Sse3, DspFirFilter32f_Sse3},
    {DspFirMultirateStateSize32f_Ssse3, DspFirMultirateInit32f_Ssse3, DspFirFilter32f_Ssse3},
    {DspFirMultirateStateSize32f_Sse4, DspFirMultirateInit32f_Sse4, DspFirFilter32f_Sse4}};

// One state of the level; len input blocks per iteration.
void RunFir(benchmark::State& state, int32_t taps, int32_t up, int32_t down, int32_t len)
{
    const Level& level = BlockLevels[state.range(0)];
    int32_t size = 0;
    level.size(taps, up, down, &size);
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    std::vector<float> h(static_cast<size_t>(taps));
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<float>(std::cos(0.3 * static_cast<double>(i)) / taps);
    DspFirState32f* st = nullptr;
    level.init(&st, h.data(), taps, up, 0, down, 0, nullptr, memory.data());
    std::vector<float> x(static_cast<size_t>(len) * static_cast<size_t>(down));
    std::vector<float> y(static_cast<size_t>(len) * static_cast<size_t>(up));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    for (auto _ : state)
    {
        level.filter(x.data(), y.data(), len, st);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * len * up);
}

// Arguments: level, taps, block length (512 and more with 64 taps or more
// take the FFT path).
void BM_FirBlock(benchmark::State& state)
{
    RunFir(state, static_cast<int32_t>(state.range(1)), 1, 1, static_cast<int32_t>(state.range(2)));
}
BENCHMARK(BM_FirBlock)->ArgsProduct({{0, 1, 2, 3}, {3, 20, 24, 101}, {48, 192, 480}});
BENCHMARK(BM_FirBlock)->ArgsProduct({{0, 1, 2, 3}, {101, 300}, {1024, 4096}});

// Arguments: level, taps; 480 outputs from a 16-byte aligned input and output.
void BM_FirDirectKernel(benchmark::State& state)
{
    constexpr int32_t outputs = 480;
    using KernelFn = void (*)(const float*, const float*, float*, int32_t, int32_t, int32_t);
    constexpr KernelFn Kernels[4] = {nullptr, DspFirDirectKernel_Sse3, DspFirDirectKernel_Ssse3,
                                     DspFirDirectKernel_Sse4};
    const auto taps = static_cast<int32_t>(state.range(1));
    alignas(16) static float tv[4 * 128], x[outputs + 128], y[outputs];
    std::vector<float> reversed(static_cast<size_t>(taps));
    for (int32_t k = 0; k < taps; ++k)
    {
        const auto h = static_cast<float>(std::cos(0.3 * k) / taps);
        reversed[size_t(taps - 1 - k)] = h;
        for (int32_t lane = 0; lane < 4; ++lane)
            tv[4 * k + lane] = h;
    }
    for (int32_t i = 0; i < outputs + taps; ++i)
        x[i] = static_cast<float>(std::sin(0.01 * i));
    const KernelFn kernel = Kernels[state.range(0)];
    for (auto _ : state)
    {
        if (kernel == nullptr)
            DspFirDirectOutputs32f(reversed.data(), taps, x, y, 0, outputs);
        else
            kernel(tv, x, y, outputs, taps, 0);
        benchmark::DoNotOptimize(y);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * outputs);
}
BENCHMARK(BM_FirDirectKernel)->ArgsProduct({{0, 1, 2, 3}, {3, 20, 24, 101}});

// Arguments: level, taps, up factor, down factor: the converter stages.
void BM_FirMultirate(benchmark::State& state)
{
    RunFir(state, static_cast<int32_t>(state.range(1)), static_cast<int32_t>(state.range(2)),
           static_cast<int32_t>(state.range(3)), 480 / static_cast<int32_t>(state.range(3)));
}
BENCHMARK(BM_FirMultirate)
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {2}, {1}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {4}, {1}})
    ->ArgsProduct({{0, 1, 2, 3}, {66}, {1}, {2}})
    ->ArgsProduct({{0, 1, 2, 3}, {132}, {1}, {4}})
    ->ArgsProduct({{0, 1, 2, 3}, {20}, {3}, {20}}) // kind 3
    ->ArgsProduct({{0, 1, 2, 3}, {6}, {1}, {2}});  // kind 2
} // namespace
