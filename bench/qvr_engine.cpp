// The headphone engine per 480-frame chunk (10 ms at 48000 Hz, eight channels
// to two) as the headphone node runs it, in headphone mode and in speaker mode
// with crosstalk cancellation; the plain two-channel mix of a disabled engine
// is the reference in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "globaltopo/common/QVR/QvrEngine.h"

namespace
{
constexpr uint32_t kFrames = 480;

struct EngineRig
{
    explicit EngineRig(int32_t enable, int32_t speakerMode)
        : engine(new CQvrEngine()), source(8, std::vector<float>(kFrames)),
          channels(8, std::vector<float>(kFrames))
    {
        WAVEFORMATEX format = {};
        format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
        format.nChannels = 2;
        format.nSamplesPerSec = 48000;
        engine->QvrConfigure(&format);
        engine->QvrSetEnable(enable);
        engine->QvrSetSpeakerMode(speakerMode);
        engine->QvrSetHeadphoneRoom(0); // the longest tail
        for (int c = 0; c < 8; ++c)
        {
            for (uint32_t i = 0; i < kFrames; ++i)
                source[c][i] = (float)((i * 7919 + c * 131) % 2001 - 1000) / 4000.0f;
            pointers[c] = channels[c].data();
        }
    }
    ~EngineRig() { delete engine; }
    void Run(benchmark::State& state)
    {
        for (auto _ : state)
        {
            // The engine works in place: without fresh input its outputs would
            // feed back into the next chunk, grow past the float range within
            // a few chunks and leave every later chunk timing NaNs.
            for (int c = 0; c < 8; ++c)
                std::copy(source[c].begin(), source[c].end(), channels[c].begin());
            engine->QvrProcess(pointers, kFrames);
            benchmark::DoNotOptimize(pointers[0][0]);
        }
        for (int c = 0; c < 2; ++c)
            for (float v : channels[c])
                if (!std::isfinite(v))
                    state.SkipWithError("the engine's output is not finite");
        state.SetItemsProcessed(state.iterations() * kFrames);
        // Seconds of work per second of audio: one chunk's work over its 10 ms.
        state.counters["core_share"] =
            benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / 48000.0,
                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }
    CQvrEngine* engine;
    std::vector<std::vector<float>> source;
    std::vector<std::vector<float>> channels;
    float* pointers[8];
};

void BM_QvrPlainMix(benchmark::State& state)
{
    EngineRig(0, 0).Run(state);
}
BENCHMARK(BM_QvrPlainMix);

void BM_QvrHeadphoneMode(benchmark::State& state)
{
    EngineRig(1, 0).Run(state);
}
BENCHMARK(BM_QvrHeadphoneMode);

void BM_QvrSpeakerMode(benchmark::State& state)
{
    EngineRig(1, 1).Run(state);
}
BENCHMARK(BM_QvrSpeakerMode);
} // namespace
