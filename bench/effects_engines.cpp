// Cost of the effect engines per 512-frame chunk, the most the stream engine
// hands them at once: the stage engine (limiter and leveller), the delay
// engine at its smallest and largest memory, and the downmix to two channels.
// Every run copies its eight source channels in first; BM_EffectsReference
// does only that: the floor every engine's time is read against.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "effects/ChannelDownmix.h"
#include "effects/DelayFxEngine.h"
#include "effects/StageDspEngine.h"
#include "primitives/dsp.h"

namespace
{
constexpr uint32_t Frames = 512;
constexpr uint32_t ChannelCount = 8;

// Eight channels of a signal with peaks above full scale now and then.
struct Chunk
{
    Chunk() : data(ChannelCount, std::vector<float>(Frames))
    {
        for (uint32_t c = 0; c < ChannelCount; ++c)
        {
            for (uint32_t i = 0; i < Frames; ++i)
            {
                data[c][i] = 1.2f * std::sin(0.01f * float(i * (c + 1)));
            }
            table[c] = data[c].data();
        }
    }
    std::vector<std::vector<float>> data;
    float* table[ChannelCount];
};

// The engines work in place: each chunk gets the source afresh, as a node's
// period does, so that no output feeds back into the next chunk's input.
void Refill(const Chunk& source, Chunk& work)
{
    for (uint32_t c = 0; c < ChannelCount; ++c)
    {
        DspCopy32f(source.table[c], work.table[c], Frames);
    }
}

void BM_EffectsReference(benchmark::State& state)
{
    Chunk in, out;
    for (auto _ : state)
    {
        Refill(in, out);
        benchmark::DoNotOptimize(out.table[0]);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
}
BENCHMARK(BM_EffectsReference);

// Argument: mode (0 limiter, 1 leveller), two channels as the node runs it.
void BM_StageDspProcess(benchmark::State& state)
{
    auto e = std::make_unique<CStageDspEngine>();
    e->StageDspInit();
    e->StageDspSetMode(static_cast<int32_t>(state.range(0)));
    e->StageDspSetGain(1.0f);
    e->StageDspSetLimit(1.0f);
    WAVEFORMATEXTENSIBLE format{};
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = 48000;
    e->StageDspSetFormat(format);
    Chunk source, chunk;
    for (auto _ : state)
    {
        Refill(source, chunk);
        e->StageDspProcess(chunk.table, Frames);
        benchmark::DoNotOptimize(chunk.table[0]);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
    e->StageDspFree();
}
BENCHMARK(BM_StageDspProcess)->Arg(0)->Arg(1);

// Argument: sample rate; eight channels in, two out, in place.
void BM_DelayFxProcess(benchmark::State& state)
{
    auto e = std::make_unique<CDelayFxEngine>();
    e->DelayFxReset();
    e->DelayFxSetRate(static_cast<int32_t>(state.range(0)), ChannelCount - 1);
    Chunk source, chunk;
    for (auto _ : state)
    {
        Refill(source, chunk);
        e->DelayFxProcess(chunk.table, chunk.table, Frames);
        benchmark::DoNotOptimize(chunk.table[0]);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
    // Seconds of work per second of audio: one chunk's work over its period.
    state.counters["core_share"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * Frames / static_cast<double>(state.range(0)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DelayFxProcess)->Arg(32000)->Arg(48000)->Arg(96000);

void BM_ChannelDownmix(benchmark::State& state)
{
    Chunk source, work;
    for (auto _ : state)
    {
        Refill(source, work);
        ChannelDownmix(work.table, ChannelCount, 2, Frames, 1);
        benchmark::DoNotOptimize(work.table[0]);
    }
    state.SetItemsProcessed(state.iterations() * Frames);
}
BENCHMARK(BM_ChannelDownmix);
} // namespace
