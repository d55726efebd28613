// Vector basics at the streaming path's sizes: 512-frame channel buffers and
// 8-channel interleaved blocks.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "primitives/dsp.h"

namespace
{
constexpr int Frames = 512;
constexpr int ChannelCount = 8;

struct alignas(32) Buffers
{
    float a[Frames * ChannelCount];
    float b[Frames * ChannelCount];
};

void BM_Copy(benchmark::State& state)
{
    auto* buf = new Buffers();
    const int len = static_cast<int>(state.range(0));
    for (auto _ : state)
    {
        DspCopy32f(buf->a, buf->b, len);
        benchmark::DoNotOptimize(buf->b);
    }
    state.SetBytesProcessed(state.iterations() * len * 4);
    delete buf;
}
BENCHMARK(BM_Copy)->Arg(Frames)->Arg(Frames* ChannelCount);

void BM_Zero(benchmark::State& state)
{
    auto* buf = new Buffers();
    const int len = static_cast<int>(state.range(0));
    for (auto _ : state)
    {
        DspZero32f(buf->a, len);
        benchmark::DoNotOptimize(buf->a);
    }
    state.SetBytesProcessed(state.iterations() * len * 4);
    delete buf;
}
BENCHMARK(BM_Zero)->Arg(Frames)->Arg(Frames* ChannelCount);

void BM_AddInPlace(benchmark::State& state)
{
    auto* buf = new Buffers();
    for (auto _ : state)
    {
        DspAdd32f(buf->a, buf->b, buf->a, Frames);
        benchmark::DoNotOptimize(buf->a);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
    delete buf;
}
BENCHMARK(BM_AddInPlace);

void BM_MulConstInPlace(benchmark::State& state)
{
    auto* buf = new Buffers();
    for (int i = 0; i < Frames; ++i)
        buf->a[i] = 1.0f;
    for (auto _ : state)
    {
        DspMulConstInPlace32f(0.999f, buf->a, Frames);
        benchmark::DoNotOptimize(buf->a);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
    delete buf;
}
BENCHMARK(BM_MulConstInPlace);

void BM_Interleave(benchmark::State& state)
{
    auto* buf = new Buffers();
    const int ch = static_cast<int>(state.range(0));
    const float* channels[ChannelCount];
    for (int c = 0; c < ChannelCount; ++c)
        channels[c] = buf->a + c * Frames;
    DspCpuLevel = static_cast<int32_t>(state.range(1));
    for (auto _ : state)
    {
        DspInterleave32f(channels, ch, Frames, buf->b);
        benchmark::DoNotOptimize(buf->b);
    }
    DspCpuLevel = 0;
    state.SetItemsProcessed(state.iterations() * Frames * ch);
    state.SetBytesProcessed(state.iterations() * Frames * ch * 8); // read and written
    delete buf;
}
BENCHMARK(BM_Interleave)->ArgNames({"ch", "level"})->ArgsProduct({{2, ChannelCount}, {0, 1, 2, 3}});

void BM_Deinterleave(benchmark::State& state)
{
    auto* buf = new Buffers();
    const int ch = static_cast<int>(state.range(0));
    float* channels[ChannelCount];
    for (int c = 0; c < ChannelCount; ++c)
        channels[c] = buf->a + c * Frames;
    DspCpuLevel = static_cast<int32_t>(state.range(1));
    for (auto _ : state)
    {
        DspDeinterleave32f(buf->b, ch, Frames, channels);
        benchmark::DoNotOptimize(buf->a);
    }
    DspCpuLevel = 0;
    state.SetItemsProcessed(state.iterations() * Frames * ch);
    state.SetBytesProcessed(state.iterations() * Frames * ch * 8);
    delete buf;
}
BENCHMARK(BM_Deinterleave)
    ->ArgNames({"ch", "level"})
    ->ArgsProduct({{2, ChannelCount}, {0, 1, 2, 3}});

// The yardstick of both: memcpy of the same 8-channel block.
void BM_InterleaveMemcpy(benchmark::State& state)
{
    auto* buf = new Buffers();
    for (auto _ : state)
    {
        std::memcpy(buf->b, buf->a, sizeof(float) * Frames * ChannelCount);
        benchmark::DoNotOptimize(buf->b);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * Frames * ChannelCount * 8);
    delete buf;
}
BENCHMARK(BM_InterleaveMemcpy);
} // namespace
