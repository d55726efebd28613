// The chain nodes on buffers: soft mute per channel or over the
// interleaved bytes, gains only on the channels the array has, the gated
// nodes' conditions, the quarter and silence modes, and the channel swap.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "tests/audioclass/controls/unit_double.h"
#include "audioclass/controls/chain_nodes.h"
#include "framework/stream_engine.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("UaCn");
constexpr ULONG kFrames = 10;

// Eight channel buffers of 512 floats, each channel filled with its number + 1.
struct Channels
{
    std::vector<std::vector<float>> Data =
        std::vector<std::vector<float>>(8, std::vector<float>(512));
    float* Pointers[8];
    Channels()
    {
        for (int c = 0; c < 8; ++c)
        {
            std::fill(Data[c].begin(), Data[c].end(), (float)(c + 1));
            Pointers[c] = Data[c].data();
        }
    }
    // The value of channel c at frame f, as the node left it.
    float At(int c, ULONG f) const { return Pointers[c][f]; }
};

WAVEFORMATEXTENSIBLE Format(USHORT channels, USHORT tag, bool extensible = false)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
    f.Format.nChannels = channels;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = (USHORT)(channels * 4);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.SubFormat.Data1 = tag;
    return f;
}

template <typename T> T* Made(T* object)
{
    object->AddRef();
    return object;
}

// What a node says it changes in `format` ("": nothing), asked as the
// engine asks; whether it changes samples must agree.
std::string Said(IChainNode* node, WAVEFORMATEXTENSIBLE format)
{
    PCHAINNODEACTIVITY activity = nullptr;
    char said[STREAM_ENGINE_DESCRIPTION_CHARS] = "no activity interface";
    if (!NT_SUCCESS(node->QueryInterface(IID_IChainNodeActivity, (PVOID*)&activity)))
        return said;
    activity->DescribeChange(&format.Format, said, sizeof(said));
    EXPECT_EQ(said[0] != 0, activity->ChangesSamples(&format.Format) != FALSE) << said;
    activity->Release();
    return said;
}
} // namespace

// A muted soft mute node zeroes each channel's frames of a PCM stream and
// nBlockAlign x frames bytes of any other stream's interleaved buffer.
TEST(ChainNodes, SoftMute)
{
    CSoftMuteNode* node = Made(new (NonPagedPool, kTag) CSoftMuteNode(7));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, node->Init(3, 2));
    ASSERT_EQ(STATUS_SUCCESS, node->Init(3, 1));
    for (bool muted : {false, true})
    {
        node->SetValue(0, muted ? 1 : 0);
        Channels pcm;
        WAVEFORMATEXTENSIBLE f = Format(2, WAVE_FORMAT_PCM, true);
        EXPECT_EQ(STATUS_SUCCESS, node->Process(&f.Format, pcm.Pointers, kFrames));
        EXPECT_EQ(muted ? 0.0f : 1.0f, pcm.At(0, kFrames - 1));
        EXPECT_EQ(1.0f, pcm.At(0, kFrames));
        EXPECT_EQ(muted ? 0.0f : 2.0f, pcm.At(1, 0));
        EXPECT_EQ(3.0f, pcm.At(2, 0)); // not a channel of the stream
        std::vector<float> interleaved(512, 1.0f);
        WAVEFORMATEXTENSIBLE floats = Format(2, WAVE_FORMAT_IEEE_FLOAT);
        node->Process(&floats.Format, interleaved.data(), kFrames);
        EXPECT_EQ(muted ? 0.0f : 1.0f, interleaved[2 * kFrames - 1]);
        EXPECT_EQ(1.0f, interleaved[2 * kFrames]);
        for (const WAVEFORMATEXTENSIBLE& format : {f, floats})
            EXPECT_EQ(muted ? "mute on control 7" : "", Said(node, format));
    }
    node->Release();
}

// The quarter and silence modes act on PCM streams only; the swap only on
// eight channels.
TEST(ChainNodes, PlainNodes)
{
    struct Case
    {
        ULONG Mode;
        USHORT Tag;
        float Channel2; // channel 2 (value 2) after the node
        const char* Said;
    } cases[] = {{0, 1, 2.0f, ""},
                 {1, 1, 0.5f, "the jack node's attenuation to a quarter"},
                 {2, 1, 0.0f, "the jack node's silence"},
                 {1, 3, 2.0f, ""},
                 {2, 3, 2.0f, ""},
                 {3, 1, 2.0f, ""}};
    for (const Case& c : cases)
    {
        CChainNode* node = Made(new (NonPagedPool, kTag) CChainNode(c.Mode));
        Channels pcm;
        WAVEFORMATEXTENSIBLE f = Format(2, c.Tag);
        node->Process(&f.Format, pcm.Pointers, kFrames);
        EXPECT_EQ(c.Channel2, pcm.At(1, 0)) << c.Mode << " " << c.Tag;
        EXPECT_EQ(2.0f, pcm.At(1, kFrames));
        EXPECT_EQ(c.Said, Said(node, f)) << c.Mode << " " << c.Tag;
        node->Release();
    }
    CChannelSwapNode* swap = Made(new (NonPagedPool, kTag) CChannelSwapNode());
    for (USHORT channels : {6, 8})
    {
        Channels pcm;
        WAVEFORMATEXTENSIBLE f = Format(channels, WAVE_FORMAT_PCM);
        swap->Process(&f.Format, pcm.Pointers, kFrames);
        const std::vector<float> expected = channels == 8
                                                ? std::vector<float>{1, 2, 3, 4, 7, 8, 5, 6}
                                                : std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8};
        for (int c = 0; c < 8; ++c)
            EXPECT_EQ(expected[c], pcm.At(c, 0)) << channels << " " << c;
        EXPECT_EQ(channels == 8 ? "the channel swap of eight-channel PCM" : "", Said(swap, f));
    }
    EXPECT_EQ("", Said(swap, Format(8, WAVE_FORMAT_IEEE_FLOAT)));
    swap->Release();
}

// Gains multiply only the channels the gain array has.
TEST(ChainNodes, GainsStayWithinTheirArray)
{
    Channels pcm;
    WAVEFORMATEXTENSIBLE f = Format(4, WAVE_FORMAT_PCM);
    const float gains[2] = {0.5f, 2.0f};
    ApplyChannelGains(&f.Format, pcm.Pointers, kFrames, gains, 2);
    EXPECT_EQ((std::vector<float>{0.5f, 4.0f, 3.0f, 4.0f}),
              (std::vector<float>{pcm.At(0, 0), pcm.At(1, 0), pcm.At(2, 0), pcm.At(3, 0)}));
}

// The gated volume acts in the "SPDIF" mode, the pseudo volume 130 while
// the state a device model set equals its index, each with the level's
// software gain 10^(dB/20).
TEST(ChainNodes, GatedGains)
{
    FakeUnitScript script;
    script.Maximum = 0;
    script.Minimum = -60 * 65536;
    script.Resolution = 65536;
    script.Levels = {-6 * 65536, -20 * 65536, 0};
    CUacUnit* unit = MakeFakeUnit(&script);
    const float expected[2] = {(float)std::pow(10.0, -6.0 / 20), (float)std::pow(10.0, -20.0 / 20)};
    const float unity[2] = {1.0f, 1.0f}, secondOnly[2] = {1.0f, 0.1f};

    CGatedVolumeNode* gated = Made(new (NonPagedPool, kTag) CGatedVolumeNode(4));
    CUacPseudo130Control* pseudo = Made(new (NonPagedPool, kTag) CUacPseudo130Control(5));
    ASSERT_EQ(STATUS_SUCCESS, gated->CreateSoftVolumeGains(unit, 2, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, pseudo->CreateSoftVolumeGains(unit, 130, nullptr));
    struct Case
    {
        IChainNode* Node;
        std::function<void()> Arrange;
        const float* Gains; // of channels 0 and 1
        const char* Said = "";
        USHORT Channels = 3;
    } cases[] = {
        {gated, [&] { gated->SetMode(2, nullptr); }, unity},
        {gated, [&] { gated->SetMode(3, nullptr); }, expected,
         "volume -20.0 to -6.0 dB on control 4"},
        {pseudo, [&] { pseudo->SetState(1), pseudo->SetIndex(2); }, unity},
        {pseudo, [&] { pseudo->SetState(2), pseudo->SetIndex(2); }, expected,
         "volume -20.0 to -6.0 dB on control 5"},
        // Channel 0 at unity does not stand for channel 1.
        {gated, [&] { gated->SetValue(0, 0), gated->SetValue(1, -20 * 65536); }, secondOnly,
         "volume -20.0 dB on control 4", 2},
    };
    for (const Case& c : cases)
    {
        c.Arrange();
        Channels pcm;
        WAVEFORMATEXTENSIBLE f = Format(c.Channels, WAVE_FORMAT_PCM);
        c.Node->Process(&f.Format, pcm.Pointers, kFrames);
        for (int ch = 0; ch < 2; ++ch)
            EXPECT_NEAR(c.Gains[ch] * (ch + 1), pcm.At(ch, 0), 1e-3) << ch;
        EXPECT_EQ(3.0f, pcm.At(2, 0)); // the array has two channels' gains and the master's
        EXPECT_EQ(c.Said, Said(c.Node, f));
        EXPECT_EQ("", Said(c.Node, Format(3, WAVE_FORMAT_IEEE_FLOAT))); // no gain's buffer
    }
    // Open gates: a mono stream's one channel at -6 dB; every channel at unity.
    EXPECT_EQ("volume -6.0 dB on control 5", Said(pseudo, Format(1, WAVE_FORMAT_PCM)));
    for (ULONG ch = 0; ch < 2; ++ch)
        ASSERT_EQ(STATUS_SUCCESS, pseudo->SetValue(ch, 0));
    EXPECT_EQ("", Said(pseudo, Format(3, WAVE_FORMAT_PCM)));
    gated->Release();
    pseudo->Release();
    unit->Release();
}

// The gated mute nodes mute in the "SPDIF" mode or in state 3.
TEST(ChainNodes, GatedMutes)
{
    FakeUnitScript script;
    script.Channels = 1;
    CUacUnit* unit = MakeFakeUnit(&script);
    CGatedMuteNode* byMode = Made(new (NonPagedPool, kTag) CGatedMuteNode(1));
    CGatedMuteNodeEx* byState = Made(new (NonPagedPool, kTag) CGatedMuteNodeEx(2));
    CTimedMuteNode* always = Made(new (NonPagedPool, kTag) CTimedMuteNode(3));
    for (CMuteNodeControl* node : std::initializer_list<CMuteNodeControl*>{byMode, byState, always})
    {
        ASSERT_EQ(STATUS_SUCCESS, node->CreateBooleanControl(unit, 1, nullptr));
        node->SetValue(0, 1);
    }
    struct Case
    {
        CMuteNodeControl* Node;
        std::function<void()> Arrange;
        bool Mutes;
    } cases[] = {
        {byMode, [&] { byMode->SetMode(2, nullptr); }, false},
        {byMode, [&] { byMode->SetMode(3, nullptr); }, true},
        {byState, [&] { byState->SetState(2); }, false},
        {byState, [&] { byState->SetState(3); }, true},
        {always, [] {}, true},
    };
    for (const Case& c : cases)
    {
        c.Arrange();
        Channels pcm;
        WAVEFORMATEXTENSIBLE f = Format(1, WAVE_FORMAT_PCM);
        c.Node->Process(&f.Format, pcm.Pointers, kFrames);
        EXPECT_EQ(c.Mutes ? 0.0f : 1.0f, pcm.At(0, 0));
        EXPECT_EQ(c.Mutes ? "mute on control " + std::to_string(c.Node->GetId()) : "",
                  Said(c.Node, f));
    }
    always->SetValue(0, 0); // unmuted, the open gate changes nothing
    EXPECT_EQ("", Said(always, Format(1, WAVE_FORMAT_PCM)));
    PCHAINNODESTATE state = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, byState->QueryInterface(IID_IChainNodeState, (PVOID*)&state));
    state->Release();
    EXPECT_NE(STATUS_SUCCESS, byMode->QueryInterface(IID_IChainNodeState, (PVOID*)&state));
    for (CMuteNodeControl* node : std::initializer_list<CMuteNodeControl*>{byMode, byState, always})
        node->Release();
    unit->Release();
}

// Levels as a person reads them: to the tenth of a decibel, rounded half
// away from zero, signed when not zero; silence as minus infinity.
TEST(ChainNodes, LevelsInWords)
{
    const std::pair<LONG, const char*> rows[] = {
        {-6 * 65536, "-6.0"}, {0, "0.0"},     {7 * 32768, "+3.5"},  {-3276, "0.0"},
        {-3277, "-0.1"},      {3277, "+0.1"}, {-8355840, "-127.5"}, {(LONG)0x80000000, "-inf"}};
    for (const auto& [level, text] : rows)
    {
        char said[16] = "x";
        FormatLevelDb(level, said, sizeof(said));
        EXPECT_STREQ(text, said) << level;
    }
}
