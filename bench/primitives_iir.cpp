// The IIR filter of each processor level side by side with level 0 on period
// sizes (48, 192 and 480 samples) and one full chunk, for a direct-form
// filter of order 2, 4 and 8; each level filters a state it built itself.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/filters/DspIirState.h"

namespace
{
using FilterFn = DspStatus (*)(float*, int32_t, DspIirState32f*);
using InitFn = DspStatus (*)(DspIirState32f**, const float*, int32_t, const float*, uint8_t*);
using SizeFn = DspStatus (*)(int32_t, int32_t*);

struct Level
{
    FilterFn filter;
    InitFn init;
    SizeFn size;
};
constexpr Level Levels[4] = {
    {DspIirFilterInPlace32f_Gen, DspIirInit32f_Gen, DspIirStateSize32f_Gen},
    {DspIirFilterInPlace32f_Sse3, DspIirInit32f_Sse3, DspIirStateSize32f_Sse3},
    {DspIirFilterInPlace32f_Ssse3, DspIirInit32f_Ssse3, DspIirStateSize32f_Ssse3},
    {DspIirFilterInPlace32f_Sse4, DspIirInit32f_Sse4, DspIirStateSize32f_Ssse3}};

// Real poles at radius 0.6 and below: stays bounded however long it runs.
std::vector<float> Coefficients(int32_t n)
{
    std::vector<double> a{1.0};
    for (int32_t p = 0; p < n; ++p)
    {
        const double r = 0.6 * std::cos(0.9 * p);
        a.push_back(0.0);
        for (size_t k = a.size() - 1; k > 0; --k)
            a[k] -= r * a[k - 1];
    }
    std::vector<float> c(static_cast<size_t>(n) + 1, 1.0f / static_cast<float>(n + 1));
    for (double v : a)
        c.push_back(static_cast<float>(v));
    return c;
}

// Arguments: level, order, block length.
void BM_IirFilter(benchmark::State& state)
{
    const Level& level = Levels[state.range(0)];
    const auto order = static_cast<int32_t>(state.range(1));
    const auto len = static_cast<int32_t>(state.range(2));
    int32_t size = 0;
    level.size(order, &size);
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    const std::vector<float> c = Coefficients(order);
    DspIirState32f* st = nullptr;
    level.init(&st, c.data(), order, nullptr, memory.data());
    std::vector<float> x(static_cast<size_t>(len));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    for (auto _ : state)
    {
        level.filter(x.data(), len, st);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(state.iterations() * len);
}
BENCHMARK(BM_IirFilter)->ArgsProduct({{0, 1, 2, 3}, {2, 4, 8}, {48, 192, 480, 1024}});
} // namespace
