// The render chain of 8 channels at 192 kHz, one 1 ms period per iteration, on
// the primitives the stream engine calls: packed 24-bit in de-interleaved, two
// gain stages, a 64-tap FIR per channel, packed 24-bit out interleaved. The
// counter core_share is the time of one period's work over the period itself.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"

namespace
{
constexpr int32_t Channels = 8;
constexpr int32_t Frames = 192; // 1 ms at 192 kHz
constexpr int32_t Samples = Channels * Frames;
constexpr int32_t Taps = 64;
constexpr double PeriodSeconds = 1e-3;

struct Chain
{
    std::vector<uint8_t> in = std::vector<uint8_t>(3 * Samples);
    std::vector<uint8_t> out = std::vector<uint8_t>(3 * Samples);
    std::vector<std::vector<float>> channel, filtered;
    std::vector<std::vector<uint8_t>> stateMemory;
    std::vector<DspFirState32f*> states;
    std::vector<float*> channelPtr, filteredPtr;

    Chain()
    {
        std::vector<float> h(Taps);
        for (int32_t k = 0; k < Taps; ++k)
            h[k] = static_cast<float>(std::sin(0.1 * (k + 1)) / (k + 1));
        int32_t size = 0;
        DspFirStateSize32f(Taps, &size);
        for (int32_t c = 0; c < Channels; ++c)
        {
            channel.emplace_back(Frames);
            filtered.emplace_back(Frames);
            stateMemory.emplace_back(static_cast<size_t>(size));
            DspFirState32f* st = nullptr;
            DspFirInit32f(&st, h.data(), Taps, nullptr, stateMemory.back().data());
            states.push_back(st);
        }
        for (int32_t c = 0; c < Channels; ++c)
        {
            channelPtr.push_back(channel[c].data());
            filteredPtr.push_back(filtered[c].data());
        }
        for (int32_t i = 0; i < Samples; ++i)
        {
            const auto v = static_cast<int32_t>(6000000.0 * std::sin(0.0021 * i));
            in[3 * i] = static_cast<uint8_t>(v);
            in[3 * i + 1] = static_cast<uint8_t>(v >> 8);
            in[3 * i + 2] = static_cast<uint8_t>(v >> 16);
        }
    }

    void Period()
    {
        // Full scale at 1.0 and de-interleaved in the conversion's own pass, as
        // the stream engine converts.
        DspDeinterleave24sTo32fFullScale(in.data(), Channels, Frames, channelPtr.data());
        for (int32_t c = 0; c < Channels; ++c)
        {
            DspMulConstInPlace32f(0.8f, channelPtr[c], Frames);
            DspMulConstInPlace32f(1.1f, channelPtr[c], Frames);
            DspFirFilter32f(channelPtr[c], filteredPtr[c], Frames, states[c]);
        }
        // Interleaved in the conversion's own pass, as the stream engine
        // converts back.
        DspInterleave32fTo24sFullScale(filteredPtr.data(), Channels, Frames, out.data());
    }
};

void RunChain(benchmark::State& state, int32_t level)
{
    // The chain's filter states are built at the level that runs them: a state
    // is valid only at the level that built it.
    DspCpuLevel = level;
    Chain chain;
    for (auto _ : state)
    {
        chain.Period();
        benchmark::DoNotOptimize(chain.out.data());
        benchmark::ClobberMemory();
    }
    DspCpuLevel = 0;
    // Seconds of work per second of audio.
    state.counters["core_share"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * PeriodSeconds,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RenderChain8ch192k(benchmark::State& state)
{
    RunChain(state, 0);
}
BENCHMARK(BM_RenderChain8ch192k);

// The same chain with the processor level forced, beside the level-0 run.
void BM_RenderChain8ch192kAtLevel(benchmark::State& state)
{
    RunChain(state, static_cast<int32_t>(state.range(0)));
}
BENCHMARK(BM_RenderChain8ch192kAtLevel)->ArgName("level")->DenseRange(0, 3);
} // namespace
