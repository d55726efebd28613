// The engine's parameters as the headphone node drives them: angle codes,
// crosstalk-cancellation angles, which mode's setters reach the filter, the
// plain mix while disabled or unconfigurable, and the delay through it all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <vector>

#include "globaltopo/common/QVR/QvrEngine.h"
#include "platform/kernel/emu.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
using qvrtest::TestBank;

using EnginePtr = std::unique_ptr<CQvrEngine>;

EnginePtr NewEngine(const float* bank = HeadphoneCoefficientBank)
{
    return EnginePtr(new (NonPagedPool, POOL_TAG("ZELK")) CQvrEngine(bank));
}

// The node's working format: 32-bit float, two channels.
WAVEFORMATEX Format(DWORD rate)
{
    return WAVEFORMATEX{WAVE_FORMAT_IEEE_FLOAT, 2, rate, rate * 8, 8, 32, 0};
}

// The headphone node's start-up sequence.
void StartLikeTheNode(CQvrEngine& engine, DWORD rate)
{
    const WAVEFORMATEX format = Format(rate);
    EXPECT_EQ(engine.QvrConfigure(&format), 1);
    engine.QvrSetEnable(1);
    engine.QvrSetSpeakerMode(0);
    engine.QvrSetSpeakerRoom(1);
    engine.QvrSetHeadphoneRoom(1);
    engine.QvrSetHeadphoneAngle(3);
    engine.QvrSetSpeakerAngle(3);
    engine.QvrSetCtcAngle(0);
}

struct Eight : qvrtest::ChannelSet
{
    explicit Eight(size_t frames, float value = 0.0f) : ChannelSet(8, frames, 0, value) {}
};

TEST(QvrEngine, AngleCodeTable)
{
    const int32_t cases[][3] = {
        // flag, angle field, code
        {0, 0, 24},  {1, 0, 24 + 1}, {0, 25, 24}, {7, 25, 25}, {0, 1, 29},  {1, 30, 30},
        {0, 2, 34},  {-1, 35, 35},   {0, 3, 39},  {1, 40, 40}, {0, 31, 31}, {1, 31, 31},
        {0, 4, -1},  {1, 4, -1},     {0, 24, -1}, {1, 24, -1}, {0, 29, -1}, {1, 39, -1},
        {0, -1, -1}, {0, 41, -1},    {1, 5, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QvrAngleCode(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST(QvrEngine, CtcAngleIndicesAndCodes)
{
    const int32_t cases[][3] = {
        // value, stored, taps of the filter in speaker mode
        {0, 5, 256},   {1, 10, 256},  {2, 15, 256}, {3, 20, 256}, {4, 30, 256}, {5, 5, 256},
        {20, 20, 256}, {30, 30, 256}, {7, 7, 1},    {-1, -1, 1},  {25, 25, 1},
    };
    EnginePtr engine = NewEngine();
    engine->QvrSetSpeakerMode(1);
    for (const auto& c : cases)
    {
        engine->QvrSetCtcAngle(c[0]);
        EXPECT_EQ(engine->QvrGetCtcAngle(), c[1]) << c[0];
        EXPECT_EQ(engine->AudioApp()->HeadphoneFir().HeadphoneFirCTCTaps(), c[2]) << c[0];
    }
}

TEST(QvrEngine, DefaultsAndTheNodesStartUp)
{
    EnginePtr engine = NewEngine();
    CHeadphoneFir& fir = engine->AudioApp()->HeadphoneFir();
    EXPECT_EQ(engine->QvrGetHeadphoneRoom(), 1);
    EXPECT_EQ(engine->QvrGetSpeakerRoom(), 1);
    EXPECT_EQ(engine->QvrGetHeadphoneFlag(), 0);
    EXPECT_EQ(engine->QvrGetCtcAngle(), 20);
    EXPECT_EQ(fir.HeadphoneFirRoom(), 1); // the defaults are not applied
    EXPECT_EQ(fir.HeadphoneFirAngle(), 29);
    StartLikeTheNode(*engine, 44100);
    EXPECT_EQ(fir.HeadphoneFirRoom(), 2);
    EXPECT_EQ(fir.HeadphoneFirAngle(), 39);
    EXPECT_EQ(fir.HeadphoneFirCTCAngle(), 0);
    EXPECT_EQ(fir.HeadphoneFirCTCTaps(), 1);
}

TEST(QvrEngine, SpeakerModeSwitchesOnlyTheCrosstalkStage)
{
    EnginePtr engine = NewEngine();
    StartLikeTheNode(*engine, 44100);
    CHeadphoneFir& fir = engine->AudioApp()->HeadphoneFir();
    engine->QvrSetCtcAngle(3);
    EXPECT_EQ(fir.HeadphoneFirCTCTaps(), 1); // headphone mode bypasses it
    engine->QvrSetSpeakerRoom(2);
    engine->QvrSetSpeakerFlag(1);
    EXPECT_EQ(engine->QvrGetSpeakerRoom(), 2);
    EXPECT_EQ(engine->QvrGetSpeakerFlag(), 1);
    EXPECT_EQ(fir.HeadphoneFirRoom(), 2); // inactive mode: filter untouched
    EXPECT_EQ(fir.HeadphoneFirAngle(), 39);
    engine->QvrSetSpeakerMode(1);
    EXPECT_EQ(fir.HeadphoneFirCTCAngle(), 20);
    EXPECT_EQ(fir.HeadphoneFirCTCTaps(), 256);
    EXPECT_EQ(fir.HeadphoneFirRoom(), 2); // not reselected by the switch
    EXPECT_EQ(fir.HeadphoneFirAngle(), 39);
    engine->QvrSetSpeakerAngle(1);
    EXPECT_EQ(fir.HeadphoneFirRoom(), 1); // room index 2 is room code 1
    EXPECT_EQ(fir.HeadphoneFirAngle(), 30);
    engine->QvrSetHeadphoneRoom(0); // now the inactive mode
    EXPECT_EQ(fir.HeadphoneFirRoom(), 1);
    EXPECT_EQ(engine->QvrGetHeadphoneRoom(), 0);
    engine->QvrSetSpeakerMode(0);
    EXPECT_EQ(fir.HeadphoneFirCTCTaps(), 1);
    engine->QvrSetHeadphoneAngle(4); // no code: the filter takes 24
    EXPECT_EQ(fir.HeadphoneFirRoom(), 3);
    EXPECT_EQ(fir.HeadphoneFirAngle(), 24);
    engine->QvrSetHeadphoneFlag(1);
    EXPECT_EQ(fir.HeadphoneFirAngle(), 24);
    engine->QvrSetHeadphoneAngle(35);
    EXPECT_EQ(fir.HeadphoneFirAngle(), 35);
}

TEST(QvrEngine, DisabledEngineMixesPlainly)
{
    EnginePtr engine = NewEngine();
    StartLikeTheNode(*engine, 44100);
    engine->QvrSetEnable(0);
    Eight ones(16, 1.0f);
    engine->QvrProcess(ones.At(0), 16);
    for (int i = 0; i < 16; ++i)
    {
        EXPECT_FLOAT_EQ(ones.data[0][i], 2.3535f);
        EXPECT_FLOAT_EQ(ones.data[1][i], 2.3535f);
    }
    // Channels 2 to 7 are left as they were.
    EXPECT_EQ(ones.data[7][0], 1.0f);
}

// Total delay with unit head filters and the stage bypassed: 512 frames of
// framing and 255 of the stage at 44100 Hz, plus 64 for each conversion
// filter at 48000 Hz.
TEST(QvrEngine, DelayThroughTheEngine)
{
    const std::pair<DWORD, int> cases[] = {{44100, 767}, {48000, 895}};
    TestBank bank = TestBank::Direct();
    for (const auto& [rate, delay] : cases)
    {
        EnginePtr engine = NewEngine(bank.data.data());
        StartLikeTheNode(*engine, rate);
        const size_t frames = 480 * 6;
        const size_t impulse = 333;
        Eight x(frames);
        x.data[0][impulse] = 1.0f;
        for (size_t done = 0; done < frames; done += 480)
            engine->QvrProcess(x.At(done), 480);
        size_t peak = 0;
        for (size_t i = 0; i < frames; ++i)
            peak = std::fabs(x.data[0][i]) > std::fabs(x.data[0][peak]) ? i : peak;
        EXPECT_EQ(peak, impulse + delay) << rate;
        EXPECT_GT(x.data[0][peak], 0.5f) << rate;
    }
}

// Where a sample is put: channel, call and frame from the end of that call
// (the last one to three frames of a call are the part after its last whole
// vector).
struct Placement
{
    int channel;
    size_t call, fromEnd;
};

// 441-frame calls end one frame after a whole vector, 442 two, 443 three.
constexpr uint32_t kCallLengths[] = {441, 442, 443, 480};
constexpr Placement kPlacements[] = {{2, 1, 1}, {0, 2, 2}, {7, 3, 3}, {5, 4, 1}, {3, 5, 130}};

// The engine run over frames in calls of one length, with value at p.
qvrtest::ChannelSet RunWith(CQvrEngine& engine, uint32_t call, size_t frames, const Placement& p,
                            float value)
{
    qvrtest::ChannelSet x(8, frames, 11);
    x.data[p.channel][(p.call + 1) * call - p.fromEnd] = value;
    for (size_t done = 0; done < frames; done += call)
        engine.QvrProcess(x.At(done), (uint32_t)std::min<size_t>(call, frames - done));
    return x;
}

// A non-finite sample enters as silence, enabled or mixing plainly, wherever
// it lies in a call: the output is the one of the same input with a 0 in its
// place.
TEST(QvrEngine, NonFiniteSamplesEnterAsSilence)
{
    TestBank bank = TestBank::Direct();
    const float values[] = {INFINITY, -INFINITY, NAN};
    for (const int enable : {1, 0})
        for (size_t row = 0; row < std::size(kPlacements); ++row)
        {
            const uint32_t call = kCallLengths[row % std::size(kCallLengths)];
            const float value = values[row % std::size(values)];
            std::vector<float> out[2][2];
            for (const float sample : {0.0f, value})
            {
                EnginePtr engine = NewEngine(bank.data.data());
                StartLikeTheNode(*engine, 48000);
                engine->QvrSetEnable(enable);
                qvrtest::ChannelSet x = RunWith(*engine, call, 8 * call, kPlacements[row], sample);
                out[sample == 0.0f ? 0 : 1][0] = x.data[0];
                out[sample == 0.0f ? 0 : 1][1] = x.data[1];
            }
            EXPECT_EQ(out[0][0], out[1][0]) << enable << " " << value << " row " << row;
            EXPECT_EQ(out[0][1], out[1][1]) << enable << " " << value << " row " << row;
        }
}

// One finite sample too large for the filters' sums overflows them to
// infinity; the outputs are finite again once the engine's longest response
// has passed (the head and tail filters, the crosstalk stage, two blocks of
// framing and the conversion filters' look-ahead), in both modes, at the
// rate without conversion and at the one with it.
TEST(QvrEngine, OutputsAreFiniteAgainAfterAnOverflowingSample)
{
    constexpr size_t longest = HEADPHONE_HEAD_LEN + HEADPHONE_MAX_TAIL_LEN + HEADPHONE_CTC_TAPS +
                               2 * HEADPHONEFIR_N + 2 * 64;
    const float values[] = {3.4e38f, -1e37f, 3.4e38f};
    for (const DWORD rate : {44100u, 48000u})
        for (const int32_t speaker : {0, 1})
            for (size_t row = 0; row < std::size(kPlacements); ++row)
            {
                const uint32_t call = kCallLengths[row % std::size(kCallLengths)];
                const Placement& p = kPlacements[row];
                const size_t at = (p.call + 1) * call - p.fromEnd;
                EnginePtr engine = NewEngine();
                StartLikeTheNode(*engine, rate);
                engine->QvrSetSpeakerMode(speaker);
                engine->QvrSetCtcAngle(3);
                engine->QvrSetHeadphoneRoom(0); // the longest tail
                engine->QvrSetSpeakerRoom(0);
                const qvrtest::ChannelSet x =
                    RunWith(*engine, call, at + longest + 4 * call, p, values[row % 3]);
                size_t nonFinite = 0, last = 0;
                for (size_t i = at; i < x.data[0].size(); ++i)
                    for (int e = 0; e < 2; ++e)
                        if (!std::isfinite(x.data[e][i]))
                            ++nonFinite, last = i;
                EXPECT_GT(nonFinite, 0u) << "the sample overflows the sums";
                EXPECT_LT(last, at + longest)
                    << rate << " Hz, speaker mode " << speaker << ", row " << row;
            }
}

TEST(QvrEngine, WithoutItsStateTheEngineOnlyStoresAndMixes)
{
    EmuPoolInjectFailure(QVR_POOL_TAG, 0);
    EnginePtr engine = NewEngine();
    EmuPoolClearInjection();
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->AudioApp(), nullptr);
    const WAVEFORMATEX format = Format(44100);
    EXPECT_EQ(engine->QvrConfigure(&format), -1);
    engine->QvrSetEnable(1);
    engine->QvrSetSpeakerMode(1);
    engine->QvrSetHeadphoneRoom(2);
    EXPECT_EQ(engine->QvrGetHeadphoneRoom(), 2);
    Eight ones(8, 1.0f);
    engine->QvrProcess(ones.At(0), 8);
    EXPECT_FLOAT_EQ(ones.data[0][7], 2.3535f);
}

// A configuration that cannot be completed leaves the plain mix running,
// even with the engine enabled, instead of buffers that are not there.
TEST(QvrEngine, FailedConfigurationFallsBackToThePlainMix)
{
    EnginePtr engine = NewEngine();
    engine->QvrSetEnable(1);
    const WAVEFORMATEX unsupported = Format(176400);
    EXPECT_EQ(engine->QvrConfigure(&unsupported), 0);
    EXPECT_EQ(engine->QvrConfigure(nullptr), -1);
    const WAVEFORMATEX format = Format(48000);
    EmuPoolInjectFailure(QVR_POOL_TAG, 20);
    EXPECT_EQ(engine->QvrConfigure(&format), 0);
    EmuPoolClearInjection();
    Eight ones(600, 1.0f);
    engine->QvrProcess(ones.At(0), 600);
    EXPECT_FLOAT_EQ(ones.data[0][599], 2.3535f);
    EXPECT_EQ(engine->QvrConfigure(&format), 1);
}
} // namespace
