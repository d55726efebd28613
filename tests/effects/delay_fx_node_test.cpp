// The delay effect node in a chain: the pseudo control's side (GUID, no
// values, the switch and its change flag, the registry), the paths by channel
// count and on/off value, the 2k + 2k crossfade at every rate (across chunk
// and call boundaries where it is longer than one), float streams, allocation
// failures, and that Process asks the pool for nothing.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "tests/driver/settings_rig.h"
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
                  Node->DelayFxNodeInit(Unit, CHIP_EFFECT_DELAY_SELECTOR, Settings.Fdo()));
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
    GUID guid = {};
    PEFFECTPSEUDOCONTROL control = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->QueryInterface(IID_IEffectPseudoControl, (PVOID*)&control));
    EXPECT_EQ(STATUS_SUCCESS, control->GetNodeGuid(&guid));
    EXPECT_TRUE(IsEqualGUID(guid, DELAY_FX_NODE_GUID));
    ULONG count = 9, values[2] = {};
    EXPECT_EQ(STATUS_SUCCESS, control->GetEffectValueCount(&count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->ReadValues(0, 0, values));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->WriteValues(0, 1, values));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->GetValueItem(0, values));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, control->GetValue(nullptr));
    UCHAR on = 0;
    EXPECT_EQ(STATUS_SUCCESS, control->GetValue(&on));
    EXPECT_EQ(1, on); // the device's value, no registry value yet
    control->Release();
    PCHAINNODE node = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->QueryInterface(IID_IChainNode, (PVOID*)&node));
    EXPECT_EQ(STATUS_SUCCESS, node->Reserved1());
    node->Release();
    PPSEUDOCONTROL pseudo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->QueryInterface(IID_IPseudoControl, (PVOID*)&pseudo));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pseudo->Reserved1()); // the pseudo shape's slot
    EXPECT_EQ(STATUS_SUCCESS, pseudo->GetIdentity(&guid));
    EXPECT_TRUE(IsEqualGUID(guid, DELAY_FX_NODE_GUID));
    pseudo->Release();
    EXPECT_EQ(CONTROL_KIND_PSEUDO, rig.Node->GetKind());
    EXPECT_TRUE(rig.Node->HasEngine());
}

// The kept on/off byte wins over the device's at creation; a set the device
// takes is kept and written, a refused one is not, and both raise the flag.
TEST(DelayFxNode, SwitchIsKeptWhenTheDeviceTakesIt)
{
    SettingsRig settings;
    EmuRegistrySetBinary(settings.SettingsPath(), u"Unit05_", Bytes({1}));
    EffectUnitScript script;
    CUacUnit* unit = MakeEffectUnit(&script);
    {
        EffectNodeRef<CDelayFxNode> node(5u);
        ASSERT_EQ(STATUS_SUCCESS,
                  node->DelayFxNodeInit(unit, CHIP_EFFECT_DELAY_SELECTOR, settings.Fdo()));
        EXPECT_TRUE(node->IsOn());
        script.SetStatus = STATUS_UNSUCCESSFUL;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, node->SetValue(0));
        EXPECT_TRUE(node->IsOn());
        EXPECT_EQ(1, node->Changed());
        script.SetStatus = STATUS_SUCCESS;
        EXPECT_EQ(STATUS_SUCCESS, node->SetValue(0));
        EXPECT_FALSE(node->IsOn());
        ULONG type = 0;
        std::vector<UCHAR> data;
        ASSERT_TRUE(settings.Value(u"", u"Unit05_", &type, &data));
        EXPECT_EQ(Bytes({0}), data);
        EXPECT_EQ((std::vector<std::string>{"139 0 0", "139 0 0"}), script.Sets);
    }
    unit->Release();
}

// Two channels pass with the offset; a switch dips them, old level out over
// 2k frames and back in over the next 2k, k a millisecond of the rate; at
// 176400 and 192000 Hz the fade runs on into the next call.
TEST(DelayFxNode, StereoSwitchDipsOver2kPlus2k)
{
    const ULONG rates[][2] = {{44100, 44}, {48000, 48}, {96000, 96}, {176400, 176}, {192000, 192}};
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

// Six channels, effect on: the network's output doubled, as a second
// network run beside it gives; the other channels go silent.
TEST(DelayFxNode, NetworkOutputIsDoubled)
{
    for (ULONG channels : {6u, 8u})
    {
        DelayRig rig(1);
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(channels, 48000);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        CDelayFxEngine* reference = new CDelayFxEngine();
        reference->DelayFxReset();
        reference->DelayFxSetRate(48000, channels - 1);
        for (int call = 0; call < 3; ++call)
        {
            EffectBlock block, expected;
            for (ULONG c = 0; c < channels; ++c)
                for (ULONG i = 0; i < 512; ++i)
                    block.Data[c][i] = expected.Data[c][i] =
                        0.1f * std::sin(0.01f * (float)(i + 512 * call) * (float)(c + 1));
            for (ULONG c = 0; c < channels; ++c)
                for (float& x : expected.Data[c])
                    x += kOffset;
            reference->DelayFxProcess(expected.Table, expected.Table, 512);
            ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, block.Table, 512));
            for (ULONG i = 0; i < 512; ++i)
            {
                ASSERT_EQ(2.0f * expected.Data[0][i], block.Data[0][i]) << i;
                ASSERT_EQ(2.0f * expected.Data[1][i], block.Data[1][i]) << i;
            }
            for (ULONG c = 2; c < channels; ++c)
                EXPECT_EQ(0.0f, block.Data[c][100]) << c;
        }
        delete reference;
    }
}

// Switching a six-channel stream off: the doubled network output fades out,
// the plain fold fades in and stays; a four-channel stream runs the network
// only through its switch.
TEST(DelayFxNode, SwitchesBetweenNetworkAndFold)
{
    struct Case
    {
        ULONG Channels;
        UCHAR From, To;
    } cases[] = {{6, 1, 0}, {6, 0, 1}, {4, 0, 1}, {4, 1, 0}};
    for (const Case& c : cases)
    {
        DelayRig rig(c.From);
        WAVEFORMATEXTENSIBLE format = EffectPcmFormat(c.Channels, 48000);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(format));
        // Two twins that never switch give the old and the new signal.
        DelayRig oldTwin(c.From), newTwin(c.To);
        ASSERT_EQ(STATUS_SUCCESS, oldTwin.Start(format));
        ASSERT_EQ(STATUS_SUCCESS, newTwin.Start(format));
        ASSERT_EQ(STATUS_SUCCESS, rig.Node->SetValue(c.To));
        const bool toEffect = c.To != 0;
        for (int call = 0; call < 2; ++call)
        {
            EffectBlock blocks[3];
            for (EffectBlock& b : blocks)
                for (ULONG ch = 0; ch < c.Channels; ++ch)
                    for (ULONG i = 0; i < 512; ++i)
                        b.Data[ch][i] =
                            0.2f * std::cos(0.003f * (float)((i + 512 * call) * (ch + 2)));
            ASSERT_EQ(STATUS_SUCCESS,
                      ProcessAtDispatch(rig.Node.Node, format, blocks[0].Table, 512));
            ASSERT_EQ(STATUS_SUCCESS,
                      ProcessAtDispatch(oldTwin.Node.Node, format, blocks[1].Table, 512));
            ASSERT_EQ(STATUS_SUCCESS,
                      ProcessAtDispatch(newTwin.Node.Node, format, blocks[2].Table, 512));
            // The network of a four-channel stream is heard only in the fade
            // and it restarts from silence: compare the fold side only.
            const bool networkTwin = c.Channels == 6;
            for (ULONG i = 0; i < 512; ++i)
            {
                const ULONG at = i + 512 * call;
                const float oldGain = FadeGain(at, 48, true), newGain = FadeGain(at, 48, false);
                const float oldSignal = blocks[1].Data[0][i], newSignal = blocks[2].Data[0][i];
                if (networkTwin || !toEffect)
                {
                    const float expected = toEffect ? oldGain * oldSignal : newGain * newSignal;
                    const float heard = toEffect ? newGain : oldGain;
                    if (heard == 0.0f)
                    {
                        ASSERT_NEAR(expected, blocks[0].Data[0][i], 1e-6)
                            << c.Channels << " " << at;
                    }
                }
                if (networkTwin && at >= 192)
                {
                    ASSERT_EQ(newSignal, blocks[0].Data[0][i]) << at;
                }
                if (!networkTwin && at >= 512) // the rest of the switching call is the network's
                {
                    ASSERT_EQ(blocks[1].Data[0][i], blocks[0].Data[0][i]) << at; // the fold again
                }
            }
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
                      node->DelayFxNodeInit(unit, CHIP_EFFECT_DELAY_SELECTOR, settings.Fdo()));
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
    EffectBlock loud;
    for (ULONG c = 0; c < 6; ++c)
        loud.Fill(c, 0.5f);
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, loud.Table, 512));
    EffectBlock quiet;
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, quiet.Table, 512));
    EXPECT_GT(std::fabs(quiet.Data[0][0]), 1e-3f); // the network's tail
    ASSERT_EQ(STATUS_SUCCESS, rig.Node->Flush(&format.Format, nullptr, 0));
    EffectBlock after;
    ASSERT_EQ(STATUS_SUCCESS, ProcessAtDispatch(rig.Node.Node, format, after.Table, 512));
    for (ULONG i = 0; i < 512; ++i)
        ASSERT_LT(std::fabs(after.Data[0][i]), 1e-4f) << i;
}
