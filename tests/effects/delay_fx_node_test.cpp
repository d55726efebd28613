// The delay effect node in a chain: the pseudo control's side (GUID, no
// values, the switch and its change flag, the registry), the paths by channel
// count and on/off value, the 2k + 2k crossfade at every rate (across chunk
// and call boundaries where it is longer than one), float streams, allocation
// failures, and that Process asks the pool for nothing.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "tests/framework/settings_rig.h"
#include "tests/effects/effect_node_rig.h"

namespace
{
constexpr float kOffset = 1e-12f;

struct DelayRig
{
    SettingsRig Settings;
    EffectUnitScript Script;
    CUacUnit* Unit;
    EffectNodeRef<CDelayFxNode> Node{5u};
    explicit DelayRig(UCHAR deviceValue = 0)
    {
        Script.DeviceValue = deviceValue;
        Unit = MakeEffectUnit(&Script);
        EXPECT_EQ(STATUS_SUCCESS,
                  Node->DelayFxNodeInit(Unit, UAC_PSEUDO_DELAY_SELECTOR, Settings.Fdo()));
    }
    ~DelayRig() { Unit->Release(); }
    NTSTATUS Start(WAVEFORMATEXTENSIBLE& format) { return Node->SetFormat(&format.Format); }
};

// Old signal out over [0, 2k), new in over [2k, 4k), in float as the node.
float FadeGain(ULONG i, ULONG k, bool oldSignal)
{
    const float span = (float)(2 * k - 1);
    if (oldSignal)
        return i < 2 * k ? 1.0f - (float)i / span : 0.0f;
    return i < 2 * k ? 0.0f : i < 4 * k ? (float)(i - 2 * k) / span : 1.0f;
}
} // namespace

TEST(DelayFxNode, IsAPseudoControlWithoutValues)
{
    DelayRig rig(1);
    PEFFECTPSEUDOCONTROL control = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->QueryInterface(IID_IEffectPseudoControl, (PVOID*)&control));
    ULONG count = 9, values[2] = {};
    EXPECT_EQ(STATUS_SUCCESS, control->GetEffectValueCount(&count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->ReadValues(0, 0, values));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->WriteValues(0, 1, values));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->GetValue(nullptr));
    control->Release();
    // The chain node's reserved slots and the pseudo shape's answer apart.
    EXPECT_EQ(STATUS_SUCCESS, static_cast<IChainNode*>(rig.Node.Node)->Reserved1());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, static_cast<IPseudoControl*>(rig.Node.Node)->Reserved1());
    EXPECT_TRUE(rig.Node->IsOn()); // the device's value, nothing kept yet
}

// Two channels pass with the offset; a switch dips them, old level out over
// 2k frames and back in over the next 2k, k a millisecond of the rate; at
// 176400 and 192000 Hz the fade runs on into the next call, at 128000 Hz it
// ends exactly with the first.
TEST(DelayFxNode, StereoSwitchDipsOver2kPlus2k)
{
    const ULONG rates[][2] = {{44100, 44},   {48000, 48},   {96000, 96},
                              {128000, 128}, {176400, 176}, {192000, 192}};
    for (const auto& [rate, k] : rates)
    {
        DelayRig rig;
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(2, rate);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        EXPECT_EQ(k, rig.Node->FadeUnit());
        ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(1));
        std::vector<float> left, right;
        for (int call = 0; call < 3; ++call)
        {
            EffectBlock block;
            block.Fill(0, 0.5f);
            block.Fill(1, -0.25f);
            block.Fill(2, 7.0f); // not the stream's: untouched
            ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
            left.insert(left.end(), block.Data[0].begin(), block.Data[0].end());
            right.insert(right.end(), block.Data[1].begin(), block.Data[1].end());
            EXPECT_EQ(7.0f, block.Data[2][0]);
            EXPECT_EQ(512u * (call + 1u) >= 4 * k, rig.Node->CrossfadeState() == EFFECT_FADE_NONE)
                << rate << " " << call;
        }
        for (ULONG i = 0; i < left.size(); ++i)
        {
            const float gain = FadeGain(i, k, true) + FadeGain(i, k, false);
            ASSERT_FLOAT_EQ(gain * (0.5f + kOffset), left[i]) << rate << " " << i;
            ASSERT_FLOAT_EQ(gain * (-0.25f + kOffset), right[i]) << rate << " " << i;
        }
        EXPECT_EQ(EFFECT_FADE_NONE, rig.Node->CrossfadeState());
    }
}

// Six channels, effect off: the plain fold, impulse by impulse, at once.
TEST(DelayFxNode, PlainFoldOfSixChannels)
{
    DelayRig rig;
    WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
    // Gains into left and right of an impulse in each input channel.
    const float gains[6][2] = {{1, 0}, {0, 1}, {0.707f, 0.707f}, {0.707f, 0.707f}, {1, 0}, {0, 1}};
    for (ULONG c = 0; c < 6; ++c)
    {
        std::vector<std::vector<float>> input(6, std::vector<float>(1024, 0.0f));
        input[c][700] = 0.5f;
        const EffectRun run = RunChain({rig.Node.Node}, format, input);
        EXPECT_EQ(700u, PeakOf(gains[c][0] != 0 ? run.Left : run.Right)) << c;
        EXPECT_NEAR(0.5f * gains[c][0], run.Left[700], 1e-6) << c;
        EXPECT_NEAR(0.5f * gains[c][1], run.Right[700], 1e-6) << c;
    }
}

// Switching a six-channel stream: the old signal (doubled network or fold)
// fades out over 2k frames, then the new one fades in, as two nodes that
// never switch give them.
TEST(DelayFxNode, SixChannelSwitchFadesBetweenNetworkAndFold)
{
    for (UCHAR to : {0, 1})
    {
        DelayRig rig(!to), oldTwin(!to), newTwin(to);
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
        for (DelayRig* r : {&rig, &oldTwin, &newTwin})
            ASSERT_EQ(STATUS_SUCCESS, r->Start(format));
        ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(to));
        EffectBlock blocks[3];
        for (EffectBlock& b : blocks)
            for (ULONG ch = 0; ch < 6; ++ch)
                for (ULONG i = 0; i < 512; ++i)
                    b.Data[ch][i] = 0.2f * std::cos(0.003f * (float)(i * (ch + 2)));
        ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, blocks[0].Table, 512));
        ASSERT_EQ(STATUS_SUCCESS,
                  ProcessAtDispatch(oldTwin.Node.Node, format, blocks[1].Table, 512));
        ASSERT_EQ(STATUS_SUCCESS,
                  ProcessAtDispatch(newTwin.Node.Node, format, blocks[2].Table, 512));
        for (ULONG i = 0; i < 512; ++i)
        {
            const float expected = FadeGain(i, 48, true) * blocks[1].Data[0][i] +
                                   FadeGain(i, 48, false) * blocks[2].Data[0][i];
            ASSERT_NEAR(expected, blocks[0].Data[0][i], 1e-6) << int(to) << " " << i;
        }
    }
}

// A float stream is left as it is, but the change flag is taken there; the
// next PCM call fades with the fold it builds itself.
TEST(DelayFxNode, FloatStreamTakesTheFlagOnly)
{
    DelayRig rig;
    WAVEFORMATEXTENSIBLE pcm = EffectPcmFormat(2, 48000);
    WAVEFORMATEXTENSIBLE ieee = EffectFloatFormat(2, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(pcm));
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(1));
    EffectBlock block;
    block.Fill(0, 0.5f);
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, ieee, block.Table, 512));
    EXPECT_EQ(0.5f, block.Data[0][0]);
    EXPECT_EQ(0, rig.Node->Changed());
    EXPECT_EQ(EFFECT_FADE_TO_EFFECT, rig.Node->CrossfadeState());
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, pcm, block.Table, 512));
    EXPECT_FLOAT_EQ(0.5f, block.Data[0][0]);  // the fold, faded from full level
    EXPECT_FLOAT_EQ(0.0f, block.Data[0][95]); // to silence at 2k - 1
    EXPECT_FLOAT_EQ(0.5f, block.Data[0][200]);
}

// Any buffer or the engine that cannot be made leaves a node that passes
// the stream through; nothing is left behind.
TEST(DelayFxNode, AllocationFailuresPassThrough)
{
    for (ULONG skip = 0; skip < 9; ++skip)
    {
        SettingsRig settings;
        EffectUnitScript script;
        CUacUnit* unit = MakeEffectUnit(&script);
        {
            EffectNodeRef<CDelayFxNode> node(3u);
            EmuPoolInjectFailure(EFFECT_NODE_POOL_TAG, skip);
            EXPECT_EQ(STATUS_SUCCESS,
                      node->DelayFxNodeInit(unit, UAC_PSEUDO_DELAY_SELECTOR, settings.Fdo()));
            EmuPoolClearInjection();
            EXPECT_FALSE(node->HasEngine()) << skip;
            WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
            EXPECT_EQ(STATUS_SUCCESS, node->SetFormat(&format.Format));
            EXPECT_EQ(STATUS_SUCCESS, node->SetValue(1));
            EffectBlock block;
            block.Fill(2, 0.3f);
            ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(node.Node, format, block.Table, 512));
            EXPECT_EQ(0.3f, block.Data[2][10]);
            EXPECT_EQ(0.0f, block.Data[0][10]);
            EXPECT_EQ(STATUS_SUCCESS, node->Flush(&format.Format, block.Table, 0));
        }
        unit->Release();
    }
}

// Flush clears the network: after it, silence in gives silence out.
TEST(DelayFxNode, FlushClearsTheNetwork)
{
    DelayRig rig(1);
    WAVEFORMATEXTENSIBLE format = EffectPcmFormat(6, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
    EffectBlock loud, after;
    loud.Fill(0, 0.5f);
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, loud.Table, 512));
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->Flush(&format.Format, nullptr, 0));
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, after.Table, 512));
    for (ULONG i = 0; i < 512; ++i)
        ASSERT_LT(std::fabs(after.Data[0][i]), 1e-4f) << i;
}

// A change through a switch (until its fade's 4k frames end), where more
// than two channels fold (the network on six to eight, on), and on 32-bit
// containers, whose truncation its 1e-12 guard reaches; one or two 16- or
// 24-bit channels pass as they came, on or off, and so does a float stream.
TEST(DelayFxNode, SaysWhenItChangesSamples)
{
    const struct
    {
        ULONG Channels;
        USHORT Bits; // 0: float
        UCHAR On;
        const char* Said;
    } rows[] = {{2, 16, 0, ""},
                {1, 24, 1, ""},
                {8, 0, 1, ""},
                {2, 32, 0, "the delay node's denormal guard on control 5"},
                {3, 16, 1, "the delay node's fold of 3 channels to two on control 5"},
                {8, 24, 1, "the delay effect on control 5"}};
    for (const auto& row : rows)
    {
        DelayRig rig(row.On);
        WAVEFORMATEXTENSIBLE format = row.Bits != 0 ? EffectPcmFormat(row.Channels, 48000)
                                                    : EffectFloatFormat(row.Channels, 48000);
        format.Format.wBitsPerSample = row.Bits != 0 ? row.Bits : 32;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        EXPECT_EQ(row.Said, SaidBy(rig.Node.Node, format));
    }
    DelayRig rig;
    WAVEFORMATEXTENSIBLE stereo = EffectPcmFormat(2, 48000);
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(stereo));
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(1));
    EffectBlock block;
    for (ULONG frames : {191u, 1u})
    {
        EXPECT_EQ("the delay effect's switch on control 5", SaidBy(rig.Node.Node, stereo));
        ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, stereo, block.Table, frames));
    }
    EXPECT_EQ("", SaidBy(rig.Node.Node, stereo));
}
