// The stage engine: latency and framing, the limiter's fall, hold and rise,
// the leveller against a side chain computed here, the tap tables' weighting
// and the allocation failures of its set-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

#include "effects/StageDspEngine.h"
#include "platform/kernel/emu.h"

namespace
{
constexpr uint32_t N = CStageDspEngine::BlockFrames;

WAVEFORMATEXTENSIBLE Format(uint16_t channels, uint32_t rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format = {WAVE_FORMAT_EXTENSIBLE,
                channels,
                rate,
                4u * rate * channels,
                static_cast<uint16_t>(4 * channels),
                32,
                WAVEFORMATEXTENSIBLE_EXTRA};
    return f;
}

// An engine that the owner frees as the headphone node does.
struct FreeEngine
{
    void operator()(CStageDspEngine* e) const { e->StageDspFree(), delete e; }
};
using Engine = std::unique_ptr<CStageDspEngine, FreeEngine>;

// Set up as the headphone node does, then in the given mode and format.
Engine MakeEngine(int32_t mode, uint16_t channels, uint32_t rate, float gain = 1.0f)
{
    Engine e(new CStageDspEngine());
    EXPECT_EQ(e->StageDspInit(), 1);
    e->StageDspSetMode(mode);
    e->StageDspSetGain(gain);
    e->StageDspSetLimit(1.0f);
    e->StageDspSetFormat(Format(channels, rate));
    return e;
}

using Channels = std::vector<std::vector<float>>;

// The channels after the engine ran them in chunks cycling through sizes.
Channels Process(CStageDspEngine& e, Channels x, const std::vector<uint32_t>& chunks)
{
    const auto frames = static_cast<uint32_t>(x[0].size());
    size_t k = 0;
    for (uint32_t done = 0; done < frames; k = (k + 1) % chunks.size())
    {
        const uint32_t n = std::min(chunks[k], frames - done);
        float* table[8] = {};
        for (size_t c = 0; c < x.size(); ++c)
        {
            table[c] = x[c].data() + done;
        }
        e.StageDspProcess(table, n);
        done += n;
    }
    return x;
}

// The channels 128 frames later, zeros first.
Channels Delayed(Channels x)
{
    for (auto& ch : x)
    {
        ch.insert(ch.begin(), N, 0.0f);
        ch.resize(ch.size() - N);
    }
    return x;
}

Channels Noise(size_t channels, size_t frames, float amplitude, uint32_t seed)
{
    Channels x(channels, std::vector<float>(frames));
    const auto next = [&] { return float((seed = seed * 1664525u + 1013904223u) >> 8); };
    for (auto& ch : x)
    {
        std::generate(ch.begin(), ch.end(),
                      [&] { return amplitude * (next() / 8388608.0f - 1.0f); });
    }
    return x;
}

TEST(StageDspEngine, DelaysByExactly128FramesBitForBitAtUnityGain)
{
    for (uint32_t chunk : {1u, 100u, 127u, 128u, 129u, 512u})
    {
        const Channels in = Noise(8, 1500, 0.99f, chunk);
        EXPECT_EQ(Process(*MakeEngine(0, 8, 48000), in, {chunk}), Delayed(in)) << "chunk " << chunk;
    }
}

// Peaks above the limit make the limiter work; any split gives one stream.
TEST(StageDspEngine, OutputDoesNotDependOnHowCallsSplitTheStream)
{
    const std::vector<std::vector<uint32_t>> splits = {
        {1}, {512}, {7, 128, 300, 1}, {127, 129}, {64, 0, 448}};
    const Channels in = Noise(2, 6000, 2.5f, 3);
    const Channels reference = Process(*MakeEngine(0, 2, 44100), in, {128});
    for (const auto& split : splits)
    {
        EXPECT_EQ(Process(*MakeEngine(0, 2, 44100), in, split), reference)
            << "first chunk " << split[0];
    }
    EXPECT_NE(reference, Delayed(in)) << "the limiter worked";
}

TEST(StageDspEngine, ConfigureRestartsTheLatencyAndKeepsTheGains)
{
    auto e = MakeEngine(0, 2, 48000);
    Process(*e, Noise(2, 3 * N, 3.0f, 9), {N});
    const float gain = e->CurrentGain(0);
    EXPECT_LT(gain, 1.0f);
    e->StageDspConfigure();
    EXPECT_EQ(e->CurrentGain(0), gain);
    const Channels x = Process(*e, Noise(2, 2 * N, 0.5f, 4), {N});
    EXPECT_EQ(std::vector<float>(x[0].begin(), x[0].begin() + N), std::vector<float>(N, 0.0f));
    EXPECT_NE(x[0][N], 0.0f);
}

// One block per call: each call processes the block it brings.
std::vector<float> Block(float level, size_t spikeAt = 0, float spike = 0.0f)
{
    std::vector<float> b(N, level);
    b[spikeAt] = spike == 0.0f ? level : spike;
    return b;
}

// Pushes the block count times; the output of the last push.
std::vector<float> Push(CStageDspEngine& e, const std::vector<float>& block, int count = 1)
{
    std::vector<float> b;
    for (int k = 0; k < count; ++k)
    {
        b = block;
        float* table[1] = {b.data()};
        e.StageDspProcess(table, N);
    }
    return b;
}

// The ramp as described: sample times gain, then the gain moves one step.
std::vector<float> Ramp(const std::vector<float>& x, float g, float t, float step)
{
    std::vector<float> y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
    {
        y[i] = x[i] * g;
        g = g > t ? std::max(g - step, t) : std::min(g + step, t);
    }
    return y;
}

TEST(StageDspEngine, LimiterFallsInOneBlockHoldsTwentyBlocksThenRisesSlowly)
{
    auto e = MakeEngine(0, 1, 48000);
    Push(*e, Block(0.1f), 3);
    const std::vector<float> peakBlock = Block(0.1f, 40, 2.0f);
    Push(*e, peakBlock);
    EXPECT_EQ(e->TargetGain(0), 0.5f);
    EXPECT_EQ(e->CurrentGain(0), 0.5f);
    EXPECT_EQ(Push(*e, Block(0.1f)), Ramp(peakBlock, 1.0f, 0.5f, 0.5f / 128.0f));
    for (int b = 2; b < 20; ++b) // blocks 1 to 19 after the peak
    {
        Push(*e, Block(0.1f));
        EXPECT_EQ(e->TargetGain(0), 0.5f) << b;
    }
    EXPECT_EQ(e->CurrentGain(0), 0.5f);
    Push(*e, Block(0.1f)); // 20 blocks after the peak: released
    EXPECT_EQ(e->TargetGain(0), 1.0f);
    EXPECT_NEAR(e->CurrentGain(0), 0.5f + N * (0.5f / 10240.0f), 4e-6f); // 128 rounded additions
    EXPECT_EQ(Push(*e, Block(0.25f)), Ramp(Block(0.1f), 0.5f, 1.0f, 0.5f / 10240.0f));
    for (int b = 22; b < 230; ++b) // the peak's slot comes round again at 200
    {
        Push(*e, Block(0.1f));
        ASSERT_EQ(e->TargetGain(0), 1.0f) << b;
    }
    EXPECT_GT(e->CurrentGain(0), 0.9f);
}

struct TargetCase
{
    float gain, peak, target;
};

// Mode 0, limit 1.0: the target is the static gain unless gain x peak would
// pass the limit; a negative target becomes 0. A gain change falls within one
// block.
TEST(StageDspEngine, LimiterTargetsAtTheEdgesOfTheLimit)
{
    const TargetCase cases[] = {{1.0f, 2.0f, 0.5f},        {1.0f, 1.0f, 1.0f},
                                {1.0f, 0.999f, 1.0f},      {1.0f, 1.001f, 1.0f / 1.001f},
                                {0.5f, 1.0f, 0.5f},        {2.0f, 0.5f, 2.0f},
                                {2.0f, 0.6f, 1.0f / 0.6f}, {-1.0f, 0.5f, 0.0f},
                                {0.25f, 3.0f, 0.25f}};
    for (const TargetCase& tc : cases)
    {
        auto e = MakeEngine(0, 1, 48000, tc.gain);
        Push(*e, Block(0.0f, 3, tc.peak));
        EXPECT_EQ(e->TargetGain(0), tc.target) << tc.gain << " x " << tc.peak;
        const float step = std::fabs(tc.target - 1.0f) / N; // may end one step past
        EXPECT_NEAR(e->CurrentGain(0), tc.target, step + 1e-6f) << tc.gain << " x " << tc.peak;
    }
}

// A rise whose step would be below g x 2^-23 moves by g x 2^-23 per sample.
TEST(StageDspEngine, RampNeverStallsBelowTheSmallestStep)
{
    auto e = MakeEngine(0, 1, 48000);
    Push(*e, Block(0.0f, 0, 2.0f)); // gain falls to 0.5
    const float peak = 1.0f / 0.50001024f;
    Push(*e, Block(0.0f, 0, peak), 19); // still held
    ASSERT_EQ(e->CurrentGain(0), 0.5f);
    ASSERT_EQ(e->TargetGain(0), 0.5f);
    Push(*e, Block(0.0f, 0, peak));
    EXPECT_GT(e->TargetGain(0), 0.5f);
    EXPECT_LT((e->TargetGain(0) - 0.5f) / 10240.0f, 0.5f / 8388608.0f);
    EXPECT_EQ(e->CurrentGain(0), 0.5f + N * (0.5f / 8388608.0f));
}

// The side chain computed here: the block through the tap table, history
// kept from the reset, the peak of each block.
std::vector<double> SideChainPeaks(const float* taps, const std::vector<float>& x)
{
    std::vector<double> peaks(x.size() / N, 0.0);
    for (size_t n = 0; n < x.size(); ++n)
    {
        double y = 0.0;
        for (size_t j = 0; j < CStageDspEngine::SideChainTaps && j <= n; ++j)
        {
            y += double(taps[j]) * x[n - j];
        }
        peaks[n / N] = std::max(peaks[n / N], std::fabs(y));
    }
    return peaks;
}

// Mode 1 follows the square-root law on the weighted peak: the side chain
// must run with the rate's taps (the first block's weighted peak is not
// counted). Below the limiter's target, the target is sqrt(limit g^2 / q).
TEST(StageDspEngine, LevellerFollowsTheWeightedPeakAtTheRatesTaps)
{
    for (uint32_t rate : {48000u, 44100u, 96000u})
    {
        auto e = MakeEngine(1, 1, rate);
        std::vector<float> x(30 * N);
        std::generate(x.begin(), x.end(),
                      [&, n = 0.0f]() mutable
                      { return 0.1f * std::sin(2.0f * 3.14159265f * 1000.0f * n++ / rate); });
        const std::vector<double> q = SideChainPeaks(e->SideChainTapTable(), x);
        double held = 0.0, heldPeak = 0.0;
        for (size_t b = 0; b < q.size(); ++b)
        {
            Push(*e, std::vector<float>(x.begin() + b * N, x.begin() + (b + 1) * N));
            held = std::max(held, b == 0 ? 0.0 : q[b]);
            for (size_t i = b * N; i < (b + 1) * N; ++i)
            {
                heldPeak = std::max(heldPeak, std::fabs(double(x[i])));
            }
            const double expected = b == 0 ? 1.0 : std::min(1.0 / heldPeak, std::sqrt(1.0 / held));
            EXPECT_NEAR(e->TargetGain(0), expected, 2e-4 * expected) << rate << " block " << b;
        }
        EXPECT_GT(e->TargetGain(0), 1.5f) << "the weighting lifts 1 kHz";
    }
}

TEST(StageDspEngine, LevellerTargetsSilenceQuietnessAndGainChanges)
{
    auto silent = MakeEngine(1, 1, 48000, 0.5f);
    Push(*silent, Block(0.0f), 3);
    EXPECT_EQ(silent->TargetGain(0), 0.25f) << "silent side chain: the gain squared";

    auto quiet = MakeEngine(1, 1, 44100);
    Push(*quiet, Block(0.0f, 10, 0.001f), 3);
    EXPECT_EQ(quiet->TargetGain(0), 8.0f) << "clamped at the largest gain";

    auto e = MakeEngine(1, 1, 44100);
    Push(*e, Block(0.0f, 20, 0.3f), 40);
    const float before = e->CurrentGain(0);
    e->StageDspSetGain(0.5f);
    Push(*e, Block(0.0f, 5, 0.3f));
    EXPECT_LE(e->TargetGain(0), 0.5f * before);
    EXPECT_NEAR(e->CurrentGain(0), e->TargetGain(0), 1e-5f) << "reached within the block";
}

double ResponseDb(const float* taps, double f, double rate)
{
    std::complex<double> h = 0.0;
    for (int k = 0; k < CStageDspEngine::SideChainTaps; ++k)
    {
        h += double(taps[k]) * std::polar(1.0, -2.0 * std::numbers::pi * f * k / rate);
    }
    return 20.0 * std::log10(std::abs(h));
}

// Doubled, each table weighs low frequencies down by 11 to 13 dB and lifts 2
// to 3 kHz by about 7 dB; at 48000 Hz tap 0 is then 1.0.
TEST(StageDspEngine, SideChainTablesWeighLowsDownAndPresenceUp)
{
    for (uint32_t rate : {48000u, 44100u})
    {
        auto e = MakeEngine(1, 2, rate);
        float taps[CStageDspEngine::SideChainTaps];
        std::copy(e->SideChainTapTable(), e->SideChainTapTable() + 101, taps);
        EXPECT_EQ(taps[0], rate == 48000 ? 1.0f : taps[100]);
        taps[0] = taps[100];
        for (int k = 0; k <= 50; ++k)
        {
            EXPECT_EQ(taps[k], taps[100 - k]) << k;
        }
        for (double f : {20.0, 50.0, 2000.0, 2500.0, 3000.0})
        {
            EXPECT_NEAR(ResponseDb(taps, f, rate), f < 100.0 ? -12.25 : 7.0, f < 100.0 ? 1.25 : 0.5)
                << f;
        }
    }
}

// Formats of more than eight channels are processed on eight.
TEST(StageDspEngine, ProcessesAtMostEightChannels)
{
    const Channels in = Noise(8, 3 * N, 0.5f, 2);
    EXPECT_EQ(Process(*MakeEngine(0, 12, 48000), in, {N}), Delayed(in));
}

class StageDspInitFailure : public ::testing::TestWithParam<ULONG>
{
};

// Allocation k of the 40 (eight side-chain buffers, then per channel a delay
// line, a state buffer and two stagings) fails: set-up reports 0 and the free
// releases what was had.
TEST_P(StageDspInitFailure, ReportsTheFailureAndFreesWhatWasAllocated)
{
    EmuPoolInjectFailure(STAGE_DSP_POOL_TAG, GetParam());
    Engine e(new CStageDspEngine());
    EXPECT_EQ(e->StageDspInit(), 0);
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), GetParam());
    e.reset();
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), 0u);
    EmuPoolClearInjection();
}

INSTANTIATE_TEST_SUITE_P(EachKind, StageDspInitFailure,
                         ::testing::Values(0u, 7u, 8u, 9u, 10u, 11u, 12u, 38u, 39u));

TEST(StageDspEngine, InitAllocatesFortyBuffersOnce)
{
    EmuPoolInjectFailure(STAGE_DSP_POOL_TAG, 40);
    Engine e(new CStageDspEngine());
    EXPECT_EQ(e->StageDspInit(), 1);
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), 40u);
    EmuPoolClearInjection();
    EXPECT_EQ(e->StageDspInit(), 1);
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), 40u);
    e->StageDspFree();
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), 0u);
    EXPECT_EQ(e->StageDspInit(), 1) << "a set-up after the free allocates again";
    EXPECT_EQ(EmuPoolOutstandingCount(STAGE_DSP_POOL_TAG), 40u);
}
} // namespace
