// The IIR kernels for the other sample types at levels 1 to 3 side by side,
// one 48-sample period per iteration, with the 32-bit float filter of level 0
// on the same period as the reference: the 16-bit direct-form step (order 4),
// the 64-bit biquad step (4 sections); and the 16-bit block kernels on a
// 480-sample period beside level 0 on the same period of floats.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/filters/DspIirTypes.h"

namespace
{
constexpr int32_t Period = 48;
constexpr int32_t Order = 4;

// A stable order-4 state of float taps for the 16-bit kernels.
struct FloatDirect
{
    std::vector<float> taps{0.2f, 0.1f, 0.05f, 0.02f, 0.01f, -0.5f, 0.1f, -0.02f, 0.001f};
    std::vector<float> delay = std::vector<float>(Order + 1, 0.0f);
    DspIirState32f st{};
    FloatDirect()
    {
        st.kind = DspIirKindDirect;
        st.taps = taps.data();
        st.delay = delay.data();
        st.order = Order;
    }
};

using Step16 = void (*)(const int16_t*, int16_t*, DspIirState32f*, int32_t);
constexpr Step16 Steps16[3] = {DspIirOneSample16sKernel_Sse3, DspIirOneSample16sKernel_Ssse3,
                               DspIirOneSample16sKernel_Sse4};

void BM_IirOneSample16s(benchmark::State& state)
{
    FloatDirect f;
    std::vector<int16_t> x(Period), y(Period);
    for (int32_t i = 0; i < Period; ++i)
        x[size_t(i)] = int16_t(1000 * std::sin(0.1 * i));
    const Step16 step = Steps16[state.range(0) - 1];
    for (auto _ : state)
    {
        for (int32_t i = 0; i < Period; ++i)
            step(&x[size_t(i)], &y[size_t(i)], &f.st, 0);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * Period);
}
BENCHMARK(BM_IirOneSample16s)->DenseRange(1, 3);

using StepBiquad64 = void (*)(const double*, double*, DspIirState32f*);
constexpr StepBiquad64 Biquads64[3] = {DspBiquadOneSample64fKernel_Sse3,
                                       DspBiquadOneSample64fKernel_Ssse3,
                                       DspBiquadOneSample64fKernel_Sse4};

void BM_BiquadOneSample64f(benchmark::State& state)
{
    constexpr int32_t sections = 4;
    std::vector<double> table, delay(2 * sections, 0.0);
    for (int32_t s = 0; s < sections; ++s)
        table.insert(table.end(), {0.2, 0.2, 0.1, 0.05, 0.5, -0.1});
    DspIirState32f st{};
    st.kind = DspIirKindBiquad;
    st.order = 2 * sections;
    st.sectionCount = sections;
    st.sectionTable = reinterpret_cast<float*>(table.data());
    st.delay = reinterpret_cast<float*>(delay.data());
    std::vector<double> x(Period), y(Period);
    for (int32_t i = 0; i < Period; ++i)
        x[size_t(i)] = std::sin(0.1 * i);
    const StepBiquad64 step = Biquads64[state.range(0) - 1];
    for (auto _ : state)
    {
        for (int32_t i = 0; i < Period; ++i)
            step(&x[size_t(i)], &y[size_t(i)], &st);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetItemsProcessed(state.iterations() * Period);
}
BENCHMARK(BM_BiquadOneSample64f)->DenseRange(1, 3);

using BlockA = void (*)(const int16_t*, float*, int32_t, const float*, int32_t);
using BlockB = void (*)(const float*, float*, int32_t, const float*, int32_t, int16_t*, int32_t);
constexpr BlockA BlocksA[3] = {DspIirBlock16sKernelA_Sse3, DspIirBlock16sKernelA_Ssse3,
                               DspIirBlock16sKernelA_Sse4};
constexpr BlockB BlocksB[3] = {DspIirBlock16sKernelB_Sse3, DspIirBlock16sKernelB_Ssse3,
                               DspIirBlock16sKernelB_Sse4};

// Numerator part and recursion of a 480-sample chunk, the first N outputs given.
void BM_IirBlock16s(benchmark::State& state)
{
    constexpr int32_t len = 480;
    FloatDirect f;
    std::vector<float> num, rec(4 * Order + 12), work(len), y(len + Order);
    for (int32_t k = 0; k <= Order; ++k)
        num.insert(num.end(), 4, f.taps[size_t(k)]);
    DspIirRecursionTable(f.taps.data() + Order + 1, -1.0f, Order, rec.data());
    std::vector<int16_t> x(len + Order), y16(len + Order);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = int16_t(1000 * std::sin(0.1 * double(i)));
    const auto l = static_cast<size_t>(state.range(0) - 1);
    for (auto _ : state)
    {
        BlocksA[l](x.data(), work.data(), len, num.data(), Order);
        BlocksB[l](work.data(), y.data(), len, rec.data(), Order, y16.data(), 0);
        benchmark::DoNotOptimize(y16.data());
    }
    state.SetItemsProcessed(state.iterations() * len);
}
BENCHMARK(BM_IirBlock16s)->DenseRange(1, 3);

// The reference: level 0 filtering the same number of floats in place.
// Argument: samples per call.
void BM_IirLevel0Reference(benchmark::State& state)
{
    FloatDirect f;
    const auto len = static_cast<int32_t>(state.range(0));
    std::vector<float> src(static_cast<size_t>(len)), x(static_cast<size_t>(len));
    for (int32_t i = 0; i < len; ++i)
        src[size_t(i)] = float(1000 * std::sin(0.1 * i));
    for (auto _ : state)
    {
        x = src;
        DspIirFilterInPlace32f_Gen(x.data(), len, &f.st);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(state.iterations() * len);
}
BENCHMARK(BM_IirLevel0Reference)->Arg(Period)->Arg(480);
} // namespace
