// The headphone effect node: engine rates, the two values (bounds without
// overflow, only accepted values kept and written, the engine told at the
// next block boundary), the restored values, mono and stereo streams, the
// k = n / 5 crossfade, the block resampler's bounds, allocation failures,
// and latency and gain of both paths with a bank of unit impulses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/kernel/emu.h"
#include "tests/framework/settings_rig.h"
#include "tests/effects/effect_node_rig.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
struct QvrRig
{
    SettingsRig Settings;
    EffectUnitScript Script;
    CUacUnit* Unit;
    EffectNodeRef<CQvrFxNode> Node;
    explicit QvrRig(UCHAR deviceValue = 0, const float* bank = HeadphoneCoefficientBank,
                    bool init = true)
        : Node(6u, bank)
    {
        Script.DeviceValue = deviceValue;
        Unit = MakeEffectUnit(&Script);
        if (init)
            Init();
    }
    void Init()
    {
        EXPECT_EQ(STATUS_SUCCESS,
                  Node->QvrFxNodeInit(Unit, UAC_PSEUDO_HEADPHONE_SELECTOR, Settings.Fdo()));
    }
    ~QvrRig() { Unit->Release(); }
    NTSTATUS Start(WAVEFORMATEXTENSIBLE& format) { return Node->SetFormat(&format.Format); }
    bool Stored(ULONG index, ULONG* value)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        if (!Settings.Value(u"", u"Unit06_" + std::u16string(1, char16_t(u'0' + index)), &type,
                            &data) ||
            data.size() != 4)
            return false;
        memcpy(value, data.data(), 4);
        return true;
    }
};

std::vector<UCHAR> Word(ULONG value)
{
    return Bytes(
        {int(value & 0xFF), int(value >> 8 & 0xFF), int(value >> 16 & 0xFF), int(value >> 24)});
}
} // namespace

// Without kept values the node reports the engine's headphone room and
// flag; kept ones are taken and reach the engine, a kept room above 2 is not.
TEST(QvrFxNode, ValuesAtCreation)
{
    struct Case
    {
        LONG Room, Flag; // -1: nothing kept
        ULONG ReadRoom, ReadFlag;
    } cases[] = {{-1, -1, 1, 0}, {2, 5, 2, 5}, {0, 0, 0, 0}, {3, 1, 1, 1}, {-1, 1, 1, 1}};
    for (const Case& c : cases)
    {
        QvrRig rig(0, HeadphoneCoefficientBank, false);
        if (c.Room >= 0)
            EmuRegistrySetBinary(rig.Settings.SettingsPath(), u"Unit06_0", Word(c.Room));
        if (c.Flag >= 0)
            EmuRegistrySetBinary(rig.Settings.SettingsPath(), u"Unit06_1", Word(c.Flag));
        rig.Init();
        ULONG values[2] = {9, 9};
        ASSERT_EQ(STATUS_SUCCESS, rig.Node->ReadValues(0, 2, values));
        EXPECT_EQ(c.ReadRoom, values[0]) << c.Room;
        EXPECT_EQ(c.ReadFlag, values[1]) << c.Flag;
        EXPECT_EQ((int32_t)c.ReadRoom, rig.Node->Engine()->QvrGetHeadphoneRoom());
        EXPECT_EQ(c.ReadFlag != 0 ? 1 : 0, rig.Node->Engine()->QvrGetHeadphoneFlag());
        EXPECT_EQ(c.ReadFlag != 0 ? 1 : 0, rig.Node->Engine()->QvrGetSpeakerFlag());
    }
}

// first <= 2 and count <= 2 - first, written so that no sum wraps.
TEST(QvrFxNode, ValueBounds)
{
    QvrRig rig;
    struct Case
    {
        ULONG First, Count;
        NTSTATUS Read, Write;
    } cases[] = {
        {0, 0, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {0, 2, STATUS_SUCCESS, STATUS_SUCCESS},
        {1, 1, STATUS_SUCCESS, STATUS_SUCCESS},
        {1, 2, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {2, 0, STATUS_SUCCESS, STATUS_INVALID_PARAMETER},
        {3, 0, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {0xFFFFFFFF, 2, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {2, 0xFFFFFFFE, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases)
    {
        ULONG values[2] = {1, 0};
        EXPECT_EQ(c.Read, rig.Node->ReadValues(c.First, c.Count, values))
            << c.First << " " << c.Count;
        EXPECT_EQ(c.Write, rig.Node->WriteValues(c.First, c.Count, values))
            << c.First << " " << c.Count;
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Node->ReadValues(0, 1, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Node->WriteValues(0, 1, nullptr));
}

// Only what is taken is kept and written: a room above 2 is refused even
// beside a flag that is taken (the pair then reads back with the old room).
TEST(QvrFxNode, OnlyAcceptedValuesAreKept)
{
    QvrRig rig;
    const ULONG refused[] = {3}, pair[] = {3, 1};
    ULONG stored = 0, values[2] = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Node->WriteValues(0, 1, refused));
    EXPECT_EQ(STATUS_SUCCESS, rig.Node->WriteValues(0, 2, pair));
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->ReadValues(0, 2, values));
    EXPECT_EQ(1u, values[0]);
    EXPECT_EQ(1u, values[1]);
    EXPECT_FALSE(rig.Stored(0, &stored));
    ASSERT_TRUE(rig.Stored(1, &stored));
    EXPECT_EQ(1u, stored);
}

// A new room or flag reaches the engine's filters between blocks, in
// Process under the stream engine's lock, not in the set.
TEST(QvrFxNode, ValuesReachTheEngineAtTheNextBlock)
{
    QvrRig rig;
    WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
    const ULONG values[] = {0, 1};
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->WriteValues(0, 2, values));
    EXPECT_EQ(1, rig.Node->Engine()->QvrGetHeadphoneRoom());
    EXPECT_EQ(0, rig.Node->Engine()->QvrGetHeadphoneFlag());
    EffectBlock block;
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
    EXPECT_EQ(0, rig.Node->Engine()->QvrGetHeadphoneRoom());
    EXPECT_EQ(1, rig.Node->Engine()->QvrGetHeadphoneFlag());
    EXPECT_EQ(1, rig.Node->Engine()->QvrGetSpeakerFlag());
    // A stream that is not running gets them when it starts.
    const ULONG room[] = {2};
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->WriteValues(0, 1, room));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
    EXPECT_EQ(2, rig.Node->Engine()->QvrGetHeadphoneRoom());
}

// The engine's working format has at least two channels, so a mono stream
// has its second output.
TEST(QvrFxNode, WorkingFormatOfEachStream)
{
    QvrRig rig(1);
    const ULONG cases[][3] = {{1, 48000, 2}, {1, 176400, 2}, {6, 96000, 6}, {8, 44100, 8}};
    for (const auto& [channels, rate, working] : cases)
    {
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(channels, rate);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        EXPECT_TRUE(rig.Node->IsConfigured()) << channels << " " << rate;
        EXPECT_EQ(working, rig.Node->WorkingFormat().nChannels);
        EXPECT_EQ(CQvrFxNode::EngineRate(rate), rig.Node->WorkingFormat().nSamplesPerSec);
        EffectBlock block;
        block.Fill(0, 0.25f);
        ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
    }
}

// Two channels take the plain path whether the node is on or off: the
// same samples either way.
TEST(QvrFxNode, StereoTakesThePlainPath)
{
    QvrRig on(1), off(0);
    WAVEFORMATEXTENSIBLE format = EffectPcmFormat(2, 48000);
    ASSERT_EQ(STATUS_SUCCESS, on.Start(format));
    ASSERT_EQ(STATUS_SUCCESS, off.Start(format));
    std::vector<std::vector<float>> input(2, std::vector<float>(2048));
    for (size_t i = 0; i < 2048; ++i)
    {
        input[0][i] = 0.3f * std::sin(0.02f * (float)i);
        input[1][i] = 0.2f * std::cos(0.05f * (float)i);
    }
    const EffectRun a = RunChain({on.Node.Node}, format, input);
    const EffectRun b = RunChain({off.Node.Node}, format, input);
    EXPECT_EQ(a.Left, b.Left);
    EXPECT_EQ(a.Right, b.Right);
    // The plain path is the stage's 128 frames behind the input.
    for (size_t i = 128; i < 2048; i += 97)
        EXPECT_NEAR(input[0][i - 128], a.Left[i], 1e-6) << i;
}

// A switch fades over 2k + 2k frames of the block, k = n / 5: at 48000 and
// 44100 Hz the block keeps its length, so the ramps land on the stream's
// frames as they are.
TEST(QvrFxNode, SwitchFadesOverFourFifthsOfTheBlock)
{
    const ULONG cases[][3] = {
        {48000, 512, 102}, {44100, 512, 102}, {48000, 480, 96}, {44100, 441, 88}, {48000, 4, 0}};
    for (const auto& [rate, frames, k] : cases)
    {
        QvrRig rig;
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(2, rate);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        for (int call = 0; call < 3; ++call) // past the stage's latency
        {
            EffectBlock block;
            block.Fill(0, 0.25f);
            ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
        }
        ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(1));
        EffectBlock block;
        block.Fill(0, 0.25f);
        ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, frames));
        const float span = (float)(2 * k - 1);
        for (ULONG i = 0; i < frames; ++i)
        {
            const float gain = i < 2 * k   ? 1.0f - (float)i / span
                               : i < 4 * k ? (float)(i - 2 * k) / span
                                           : 1.0f;
            ASSERT_NEAR(gain * 0.25f, block.Data[0][i], 1e-6) << rate << " " << frames << " " << i;
        }
        EXPECT_EQ(EFFECT_FADE_NONE, rig.Node->CrossfadeState());
    }
}

// The resampler of a block refuses what it cannot run, stops at its
// capacity and when a pass moves nothing.
TEST(QvrFxNode, ResampleBlockBounds)
{
    auto src = std::make_unique<CDspNonInterleaveSrc>();
    ASSERT_TRUE(src->CreateStages());
    WAVEFORMATEXTENSIBLE in = EffectFloatFormat(2, 48000);
    EffectBlock input, output;
    output.Data[0].assign(600, -1.0f);
    output.Table[0] = output.Data[0].data();
    input.Fill(0, 0.5f);
    auto run = [&](ULONG frames, float** inputs, ULONG capacity, PULONG produced)
    {
        return CQvrFxNode::ResampleBlock(src.get(), frames, produced, in, in, inputs, output.Table,
                                         capacity, true);
    };
    ULONG produced = 77;
    EXPECT_EQ(STATUS_SUCCESS, run(512, input.Table, 512, &produced)); // not set up: no pass moves
    EXPECT_EQ(0u, produced);
    ASSERT_TRUE(src->SetFormat(in, in));
    produced = 77;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, run(0, input.Table, 512, &produced));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, run(512, input.Table, 0, &produced));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, run(512, nullptr, 512, &produced));
    EXPECT_EQ(77u, produced);
    for (ULONG capacity : {99u, 100u, 101u, 512u})
    {
        EXPECT_EQ(STATUS_SUCCESS, run(512, input.Table, capacity, &produced));
        EXPECT_EQ(capacity, produced);
        EXPECT_EQ(-1.0f, output.Data[0][capacity]) << capacity;
    }
    src->DestroyStages();
}

// Any part that cannot be made leaves a node without an engine, which
// passes the stream through; nothing is left behind.
TEST(QvrFxNode, AllocationFailuresPassThrough)
{
    const ULONG tags[] = {EFFECT_NODE_POOL_TAG, QVR_FX_POOL_TAG, STAGE_DSP_POOL_TAG, QVR_POOL_TAG};
    for (ULONG tag : tags)
    {
        ULONG made = 0; // the tag's allocations of a whole Init
        {
            QvrRig rig(1, HeadphoneCoefficientBank, false);
            const unsigned long long before = EmuPoolAllocationCount(tag);
            rig.Init();
            made = (ULONG)(EmuPoolAllocationCount(tag) - before);
        }
        ASSERT_GT(made, 0u) << EmuTagName(tag);
        for (ULONG skip : {0u, made / 2, made - 1})
        {
            QvrRig rig(1, HeadphoneCoefficientBank, false);
            EmuPoolInjectFailure(tag, skip);
            rig.Init();
            EmuPoolClearInjection();
            EXPECT_FALSE(rig.Node->HasEngine()) << EmuTagName(tag) << " " << skip;
            WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
            EXPECT_EQ(STATUS_SUCCESS, rig.Start(format));
            EffectBlock block;
            block.Fill(2, 0.3f);
            block.Fill(0, 0.1f);
            ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
            EXPECT_EQ(0.3f, block.Data[2][10]);
            EXPECT_EQ(0.1f, block.Data[0][10]);
            ULONG values[2] = {};
            EXPECT_EQ(STATUS_SUCCESS, rig.Node->ReadValues(0, 2, values));
            EXPECT_EQ(STATUS_SUCCESS, rig.Node->WriteValues(0, 2, values));
        }
    }
}

namespace
{
std::vector<std::vector<float>> Impulse(ULONG channels, ULONG channel, size_t at, float value,
                                        size_t frames)
{
    std::vector<std::vector<float>> input(channels, std::vector<float>(frames, 0.0f));
    input[channel][at] = value;
    return input;
}

// The converter pair alone, stream rate to engine rate and back, in blocks
// of 512 frames: what becomes of an impulse.
std::vector<float> ConverterPairResponse(ULONG rate, size_t at, float value, size_t frames)
{
    WAVEFORMATEXTENSIBLE stream = EffectFloatFormat(2, rate), engine = stream;
    engine.Format.nSamplesPerSec = CQvrFxNode::EngineRate(rate);
    engine.Format.nAvgBytesPerSec = engine.Format.nSamplesPerSec * engine.Format.nBlockAlign;
    auto down = std::make_unique<CDspNonInterleaveSrc>();
    auto up = std::make_unique<CDspNonInterleaveSrc>();
    EXPECT_TRUE(down->CreateStages() && up->CreateStages());
    EXPECT_TRUE(down->SetFormat(stream, engine) && up->SetFormat(engine, stream));
    std::vector<float> in(frames, 0.0f), out;
    in[at] = value;
    for (size_t done = 0; done < frames; done += 512)
    {
        EffectBlock block, middle, back;
        std::copy(in.begin() + done, in.begin() + done + 512, block.Data[0].begin());
        ULONG n = 0, m = 0;
        CQvrFxNode::ResampleBlock(down.get(), 512, &n, stream, engine, block.Table, middle.Table,
                                  512, false);
        CQvrFxNode::ResampleBlock(up.get(), n, &m, engine, stream, middle.Table, back.Table, 512,
                                  false);
        out.insert(out.end(), back.Data[0].begin(), back.Data[0].begin() + m);
    }
    down->DestroyStages();
    up->DestroyStages();
    return out;
}

// The headphone engine alone with the node's settings and working format.
std::vector<float> EngineResponse(const float* bank, ULONG channels, ULONG rate, size_t at,
                                  float value, size_t frames)
{
    std::unique_ptr<CQvrEngine> engine(new (NonPagedPool, QVR_FX_POOL_TAG) CQvrEngine(bank));
    const WAVEFORMATEX working = {WAVE_FORMAT_IEEE_FLOAT,
                                  (WORD)channels,
                                  rate,
                                  rate * 4 * channels,
                                  (WORD)(4 * channels),
                                  32,
                                  0};
    EXPECT_EQ(1, engine->QvrConfigure(&working));
    engine->QvrSetEnable(1);
    engine->QvrSetSpeakerMode(0);
    engine->QvrSetSpeakerRoom(1);
    engine->QvrSetHeadphoneRoom(1);
    engine->QvrSetHeadphoneAngle(3);
    engine->QvrSetSpeakerAngle(3);
    engine->QvrSetCtcAngle(0);
    std::vector<float> out;
    for (size_t done = 0; done < frames; done += 512)
    {
        EffectBlock block;
        if (at >= done && at < done + 512)
            block.Data[0][at - done] = value;
        engine->QvrProcess(block.Table, 512);
        out.insert(out.end(), block.Data[0].begin(), block.Data[0].end());
    }
    return out;
}

constexpr size_t kStageDelay = CStageDspEngine::BlockFrames; // engine-rate frames

// The effect path predicted from its parts. Every engine-rate frame sits
// `factor` stream frames apart, so the up-converter turns the engine's tap i
// (and the stage's delay) into the same tap `factor` times further out: the
// path is the pair's response through those stretched taps.
std::vector<float> EffectPathFromParts(const std::vector<float>& pair,
                                       const std::vector<float>& engine, size_t at, float value,
                                       ULONG factor)
{
    std::vector<float> out(pair.size(), 0.0f);
    for (size_t i = at; i < engine.size(); ++i)
    {
        const size_t shift = (i - at + kStageDelay) * factor;
        for (size_t n = shift; n < out.size() && engine[i] != 0.0f; ++n)
            out[n] += engine[i] / value * pair[n - shift];
    }
    return out;
}
} // namespace

// With a bank of unit impulses, an impulse in the left channel arrives where
// the parts put it: the plain path after the converter pair and the stage,
// the effect path as the pair around the engine and its stage, each at the
// level of its parts (the stage passes a level below its limit unchanged).
// The effect path is matched frame by frame to 1e-6 (the float sums differ by
// some 3e-8), so a frame late, lost or out of order shows, and so does a
// converter restarted at a block boundary (some 3e-5 off).
TEST(QvrFxNode, LatencyAndGainOfBothPaths)
{
    qvrtest::TestBank bank = qvrtest::TestBank::Direct();
    const size_t at = 1000, frames = 8192;
    const float value = 0.25f;
    for (ULONG rate : {48000u, 44100u, 96000u, 88200u, 192000u})
    {
        const ULONG factor = rate / CQvrFxNode::EngineRate(rate);
        const std::vector<float> pair = ConverterPairResponse(rate, at, value, frames);
        for (UCHAR on : {0, 1})
        {
            QvrRig rig(on, bank.data.data());
            WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, rate);
            ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
            const EffectRun run =
                RunChain({rig.Node.Node}, format, Impulse(6, 0, at, value, frames));
            const size_t peak = PeakOf(run.Left);
            if (!on)
            {
                EXPECT_EQ(PeakOf(pair) + kStageDelay * factor, peak) << rate;
                EXPECT_NEAR(pair[PeakOf(pair)], run.Left[peak], 1e-4) << rate;
                continue;
            }
            const std::vector<float> engine = EngineResponse(
                bank.data.data(), 6, CQvrFxNode::EngineRate(rate), at, value, frames);
            const std::vector<float> expected =
                EffectPathFromParts(pair, engine, at, value, factor);
            EXPECT_EQ(PeakOf(expected), peak) << rate;
            EXPECT_GT(std::fabs(expected[peak]), 0.05f) << rate;
            for (size_t i = 0; i < frames; ++i)
                ASSERT_NEAR(expected[i], run.Left[i], 1e-6) << rate << " " << i;
        }
    }
}

// The delay node first, the headphone node after it: the delay node hands on
// its two channels alone, so nothing is folded in twice and the pair is not
// rescaled; the headphone node's plain path then only delays it.
TEST(QvrFxNode, BehindTheDelayNode)
{
    const size_t at = 900, frames = 4096;
    SettingsRig settings;
    EffectUnitScript script;
    CUacUnit* unit = MakeEffectUnit(&script);
    for (UCHAR delayOn : {0, 1})
    {
        EffectNodeRef<CDelayFxNode> delay(3u), twin(4u);
        EffectNodeRef<CQvrFxNode> headphone(5u);
        script.DeviceValue = delayOn;
        ASSERT_EQ(STATUS_SUCCESS,
                  delay->DelayFxNodeInit(unit, UAC_PSEUDO_DELAY_SELECTOR, settings.Fdo()));
        ASSERT_EQ(STATUS_SUCCESS,
                  twin->DelayFxNodeInit(unit, UAC_PSEUDO_DELAY_SELECTOR, settings.Fdo()));
        script.DeviceValue = 0;
        ASSERT_EQ(STATUS_SUCCESS,
                  headphone->QvrFxNodeInit(unit, UAC_PSEUDO_HEADPHONE_SELECTOR, settings.Fdo()));
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
        for (IChainNode* node : std::vector<IChainNode*>{delay.Node, twin.Node, headphone.Node})
            ASSERT_EQ(STATUS_SUCCESS, node->SetFormat(&format.Format));
        for (ULONG channel : {0u, 2u, 4u})
        {
            const auto input = Impulse(6, channel, at, 0.25f, frames);
            const EffectRun alone = RunChain({twin.Node}, format, input);
            const EffectRun chained = RunChain({delay.Node, headphone.Node}, format, input);
            for (size_t i = kStageDelay; i < frames; ++i)
            {
                ASSERT_NEAR(alone.Left[i - kStageDelay], chained.Left[i], 1e-5)
                    << int(delayOn) << " " << channel << " " << i;
                ASSERT_NEAR(alone.Right[i - kStageDelay], chained.Right[i], 1e-5) << i;
            }
            if (!delayOn)
            {
                EXPECT_NEAR(channel == 2 ? 0.707f * 0.25f : 0.25f, chained.Left[at + kStageDelay],
                            1e-6);
            }
        }
    }
    unit->Release();
}

// The FIFO: leftovers first, then the new frames; a shortfall starts the
// block with silence; what lies beyond it stays, the oldest first, at most
// 512 frames (511 held and 2 more keep 512).
TEST(QvrFxNode, FifoKeepsOrderAndItsBound)
{
    const ULONG cases[][4] = {// held, produced, frames, left
                              {0, 512, 512, 0},     {0, 514, 512, 2}, {510, 514, 512, 512},
                              {511, 514, 512, 512}, {2, 508, 512, 0}, {0, 0, 512, 0}};
    for (const auto& [fifo, produced, frames, left] : cases)
    {
        std::vector<float> staging(QVR_FX_STAGING_FRAMES), stream(frames, -1.0f);
        for (ULONG i = 0; i < QVR_FX_STAGING_FRAMES; ++i)
            staging[i] = (float)(i + 1);
        const std::vector<float> before = staging;
        float* s[1] = {staging.data()};
        float* out[1] = {stream.data()};
        EXPECT_EQ(left, CQvrFxNode::DeliverStaging(s, fifo, out, 1, frames, produced)) << fifo;
        const ULONG taken = std::min(fifo + produced, frames);
        std::vector<float> expected(frames - taken, 0.0f);
        expected.insert(expected.end(), before.begin(), before.begin() + taken);
        EXPECT_EQ(expected, stream) << fifo << " + " << produced;
        EXPECT_EQ(std::vector<float>(before.begin() + taken, before.begin() + taken + left),
                  std::vector<float>(staging.begin(), staging.begin() + left))
            << fifo << " + " << produced;
    }
}

// Every block it runs is delayed: a change while on, through a switch,
// where more than two channels fold, and once it has run, until the next
// start; off since the start, one or two channels pass it by.
TEST(QvrFxNode, SaysWhenItChangesSamples)
{
    const struct
    {
        ULONG Channels;
        UCHAR On;
        const char* Said;
    } rows[] = {{2, 0, ""},
                {2, 1, "the headphone node's delayed plain path on control 6"},
                {8, 0, "the headphone node's delayed fold of 8 channels to two on control 6"},
                {6, 1, "the headphone effect on control 6"}};
    for (const auto& row : rows)
    {
        QvrRig rig(row.On);
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(row.Channels, 48000);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        EXPECT_EQ(row.Said, SaidBy(rig.Node.Node, format));
        EXPECT_EQ("", SaidBy(rig.Node.Node, EffectFloatFormat(row.Channels, 48000)));
    }
    QvrRig rig;
    WAVEFORMATEXTENSIBLE stereo = EffectPcmFormat(2, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(stereo));
    EffectBlock block;
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, stereo, block.Table, 48));
    EXPECT_EQ("the headphone node's delayed plain path on control 6",
              SaidBy(rig.Node.Node, stereo));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(stereo));
    EXPECT_EQ("", SaidBy(rig.Node.Node, stereo));
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(0));
    EXPECT_EQ("the headphone effect's switch on control 6", SaidBy(rig.Node.Node, stereo));
}
