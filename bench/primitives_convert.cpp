// Conversions on the streaming path: one 512-frame, 8-channel buffer per call.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/memcpy_share.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"

namespace
{
constexpr int Samples = 512 * 8;

std::vector<float> FloatSamples()
{
    std::vector<float> v(Samples);
    for (int i = 0; i < Samples; ++i)
        v[i] = static_cast<float>((i * 7919) % 2001 - 1000) / 1000.0f;
    return v;
}

void BM_Convert16sTo32f(benchmark::State& state)
{
    std::vector<int16_t> src(Samples);
    std::vector<float> dst(Samples);
    for (int i = 0; i < Samples; ++i)
        src[i] = static_cast<int16_t>(i * 31);
    for (auto _ : state)
    {
        DspConvert16sTo32fScaled(src.data(), dst.data(), Samples, 15);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 2 * Samples, 4 * Samples);
}
BENCHMARK(BM_Convert16sTo32f);

void BM_Convert32fTo16s(benchmark::State& state)
{
    const std::vector<float> src = FloatSamples();
    std::vector<int16_t> dst(Samples);
    for (auto _ : state)
    {
        DspConvert32fTo16sScaled(src.data(), dst.data(), Samples, DspRndZero, -15);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 4 * Samples, 2 * Samples);
}
BENCHMARK(BM_Convert32fTo16s);

void BM_Convert24sTo32f(benchmark::State& state)
{
    std::vector<uint8_t> src(3 * Samples);
    std::vector<float> dst(Samples);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint8_t>(i * 13);
    for (auto _ : state)
    {
        // As the chain converts: full scale at 1.0 in the same pass.
        DspConvert24sTo32fFullScale(src.data(), dst.data(), Samples);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 3 * Samples, 4 * Samples);
}
BENCHMARK(BM_Convert24sTo32f);

void BM_Convert32fTo24s(benchmark::State& state)
{
    const std::vector<float> src = FloatSamples();
    std::vector<uint8_t> dst(3 * Samples);
    for (auto _ : state)
    {
        DspConvert32fTo24sScaled(src.data(), dst.data(), Samples, -23);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 4 * Samples, 3 * Samples);
}
BENCHMARK(BM_Convert32fTo24s);

void BM_Convert32sTo32f(benchmark::State& state)
{
    std::vector<int32_t> src(Samples);
    std::vector<float> dst(Samples);
    for (int i = 0; i < Samples; ++i)
        src[i] = i * 524287;
    for (auto _ : state)
    {
        DspConvert32sTo32fScaled(src.data(), dst.data(), Samples, 31);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 4 * Samples, 4 * Samples);
}
BENCHMARK(BM_Convert32sTo32f);

void BM_Convert32fTo32s(benchmark::State& state)
{
    const std::vector<float> src = FloatSamples();
    std::vector<int32_t> dst(Samples);
    for (auto _ : state)
    {
        DspConvert32fTo32sScaled(src.data(), dst.data(), Samples, DspRndZero, -31);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * Samples);
    SetMemcpyShare(state, 4 * Samples, 4 * Samples);
}
BENCHMARK(BM_Convert32fTo32s);
} // namespace
