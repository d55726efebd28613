// A long FIR (1024 taps) by both paths: blocks of 511 samples run in direct
// form, blocks of 512 and more by FFT overlap-save; and the converter stages'
// multirate filters on a 480-frame block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/filters/DspFirState.h"

namespace
{
std::vector<float> Signal(size_t n, double f)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
    {
        x[i] = static_cast<float>(std::sin(f * static_cast<double>(i)));
    }
    return x;
}

void BM_FirLong(benchmark::State& state)
{
    const int32_t taps = 1024;
    const auto block = static_cast<int32_t>(state.range(0));
    const auto h = Signal(taps, 0.013);
    int32_t size = 0;
    DspFirStateSize32f_Gen(taps, &size);
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    DspFirState32f* st = nullptr;
    DspFirInit32f_Gen(&st, h.data(), taps, nullptr, memory.data());
    const auto x = Signal(static_cast<size_t>(block), 0.21);
    std::vector<float> y(x.size());
    for (auto _ : state)
    {
        DspFirFilter32f_Gen(x.data(), y.data(), block, st);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * block);
}
// 511: direct form; 512 and up: overlap-save with L = 4096.
BENCHMARK(BM_FirLong)->Arg(511)->Arg(512)->Arg(2048)->Arg(4096);

void BM_FirMultirate(benchmark::State& state)
{
    const auto taps = static_cast<int32_t>(state.range(0));
    const auto up = static_cast<int32_t>(state.range(1));
    const auto down = static_cast<int32_t>(state.range(2));
    const auto h = Signal(static_cast<size_t>(taps), 0.05);
    int32_t size = 0;
    DspFirMultirateStateSize32f_Gen(taps, up, down, &size);
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    DspFirState32f* st = nullptr;
    DspFirMultirateInit32f_Gen(&st, h.data(), taps, up, 0, down, 0, nullptr, memory.data());
    const int32_t len = 480;
    const auto x = Signal(static_cast<size_t>(len * down), 0.3);
    std::vector<float> y(static_cast<size_t>(len * up));
    for (auto _ : state)
    {
        DspFirFilter32f_Gen(x.data(), y.data(), len, st);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * len * up);
}
BENCHMARK(BM_FirMultirate)
    ->Args({66, 2, 1})
    ->Args({66, 1, 2})
    ->Args({132, 4, 1})
    ->Args({132, 1, 4});
} // namespace
