// The one-sample FIR of each processor level side by side with level 0: one
// period of 48 samples per iteration through 8, 16, 17, 32 and 64 taps.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

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
} // namespace
