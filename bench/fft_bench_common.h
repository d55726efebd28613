// What the FFT benchmarks share: a record in plain memory, so that no
// emulated pool is needed, the signal every transform runs on, and the loop
// of an out-of-place real transform.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/fft/DspFftSpec.h"

// A record of `order` built by one level's size and init routines (inverse
// scaled), with 32 bytes to spare in every buffer.
struct FftBenchRecord
{
    FftBenchRecord(DspFftSizeFn size, DspFftInitFn init, int order)
    {
        int32_t specBytes = 0, initBytes = 0, workBytes = 0;
        size(order, DspFftScaleInverse, 0, &specBytes, &initBytes, &workBytes);
        spec.resize(specBytes + 32);
        initBuf.resize(initBytes + 32);
        work.resize(workBytes + 32);
        init(&rec, order, DspFftScaleInverse, 0, spec.data(), initBuf.data());
    }
    std::vector<uint8_t> spec, initBuf, work;
    DspFftSpecR32f* rec = nullptr;
};

inline std::vector<float> FftBenchSignal(size_t n)
{
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i)
    {
        x[i] = static_cast<float>(std::sin(0.01 * i) + 0.5 * std::cos(0.37 * i));
    }
    return x;
}

// `routine` (forward or inverse) from 2^order points of the signal into a
// buffer of its own, counting the points. Always inlined, so that a routine
// named at the call is called directly, as it would be written out.
template <class Routine>
[[gnu::always_inline]] inline void RunRealFft(benchmark::State& state, FftBenchRecord& r, int order,
                                              Routine routine)
{
    const auto x = FftBenchSignal(size_t{1} << order);
    std::vector<float> y(x.size());
    for (auto _ : state)
    {
        routine(x.data(), y.data(), r.rec, r.work.data());
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(x.size()));
}
