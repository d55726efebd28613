// The direct-form kernel against the four-sums loop it replaced; a long FIR
// (1024 taps) by both paths: blocks of 511 samples run in direct form, blocks
// of 512 and more by FFT overlap-save; and the converter stages' multirate
// filters on a 480-frame block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/filters/DspFirDirect.h"
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

// The direct form as it was: four scalar sums sharing each tap load. Kept as
// the yardstick of the kernel's speed.
void ReferenceOutputs(const float* taps, int32_t n, const float* s, float* dst, int64_t last)
{
    int64_t t = 0;
    for (; t + 4 <= last; t += 4)
    {
        float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
        const float* x = s + t;
        for (int32_t k = 0; k < n; ++k)
        {
            const float h = taps[k];
            a0 += h * x[k];
            a1 += h * x[k + 1];
            a2 += h * x[k + 2];
            a3 += h * x[k + 3];
        }
        dst[t] = a0;
        dst[t + 1] = a1;
        dst[t + 2] = a2;
        dst[t + 3] = a3;
    }
    for (; t < last; ++t)
    {
        float a = 0.0f;
        for (int32_t k = 0; k < n; ++k)
        {
            a += taps[k] * s[t + k];
        }
        dst[t] = a;
    }
}

// One 1 ms period at 192 kHz per iteration; the argument is the tap count.
constexpr int64_t DirectBlock = 192;

template <bool Reference> void BM_FirDirectForm(benchmark::State& state)
{
    const auto taps = static_cast<int32_t>(state.range(0));
    const auto h = Signal(static_cast<size_t>(taps), 0.013);
    const auto x = Signal(static_cast<size_t>(DirectBlock + taps), 0.21);
    std::vector<float> y(static_cast<size_t>(DirectBlock));
    int64_t block = DirectBlock; // a run-time length, as the filter sees it
    benchmark::DoNotOptimize(block);
    for (auto _ : state)
    {
        if (Reference)
        {
            ReferenceOutputs(h.data(), taps, x.data(), y.data(), block);
        }
        else
        {
            DspFirDirectOutputs32f(h.data(), taps, x.data(), y.data(), 0, block);
        }
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * DirectBlock);
}
void BM_FirDirectReference(benchmark::State& state)
{
    BM_FirDirectForm<true>(state);
}
void BM_FirDirect(benchmark::State& state)
{
    BM_FirDirectForm<false>(state);
}
BENCHMARK(BM_FirDirectReference)->RangeMultiplier(2)->Range(32, 1024);
BENCHMARK(BM_FirDirect)->RangeMultiplier(2)->Range(32, 1024);

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
