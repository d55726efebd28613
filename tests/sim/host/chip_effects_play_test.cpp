// Chip model C plays through both effect nodes of its playback feature unit:
// eight channels reach the device as the headphone node's plain path (the
// fold, 128 frames behind), and switching the delay effect on through the
// topology's pseudo-control node puts the delay network's signal on the wire.
#include <gtest/gtest.h>

#include <cmath>

#include "effects/DelayFxNode.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_stream.h"
#include "usbaudio/topology/properties.h"

namespace
{
// 16-bit, eight channels at 48 kHz: a rising chirp in the front left only,
// so that it lines up with its copy at one place only.
HostAudio FrontLeft(ULONG frames)
{
    HostAudio a{48000, 8, 16, std::vector<UCHAR>((size_t)frames * 16, 0)};
    for (ULONG i = 0; i < frames; ++i)
    {
        const double t = (double)i / 48000;
        const SHORT v = (SHORT)std::lround(8000.0 * std::sin(2 * M_PI * (200.0 + 20000.0 * t) * t));
        memcpy(&a.Data[(size_t)i * 16], &v, 2);
    }
    return a;
}

// The device's two channels on the wire, whatever the pin's format said.
constexpr ULONG kWireChannels = 2;

SHORT Sample(const HostAudio& a, size_t frame, ULONG channel, ULONG channels = kWireChannels)
{
    SHORT s = 0;
    memcpy(&s, &a.Data[(frame * channels + channel) * 2], 2);
    return s;
}

// Switches the delay effect on through the topology filter's pseudo node
// that names the delay node.
void SwitchDelayOn(HostHarness& host)
{
    AudioEngineClient client(host.Fdo());
    PFILE_OBJECT filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"GlobalTopo", &filter));
    std::vector<GUID> types;
    ASSERT_EQ(STATUS_SUCCESS, client.GetNodeTypes(filter, &types));
    for (ULONG node = 0; node < types.size(); ++node)
    {
        GUID identity = {};
        ULONG returned = 0;
        if (IsEqualGUID(types[node], KSNODETYPE_DEV_SPECIFIC) &&
            NT_SUCCESS(client.GetNodeValue(filter, node, KSPROPSETID_PseudoControl, 1, 0, &identity,
                                           sizeof(identity), &returned)) &&
            IsEqualGUID(identity, DELAY_FX_NODE_GUID))
        {
            const ULONG on = 1;
            EXPECT_EQ(STATUS_SUCCESS,
                      client.SetNodeValue(filter, node, KSPROPSETID_Audio,
                                          KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, &on, sizeof(on)));
            return;
        }
    }
    ADD_FAILURE() << "no pseudo node names the delay node";
}

HostAudio PlayOnModelC(bool delayOn)
{
    HostHarness host;
    std::string error;
    HostAudio received;
    EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver());
    EXPECT_EQ(STATUS_SUCCESS, host.PlugReference("ChipModelC", &error)) << error;
    EXPECT_EQ(STATUS_SUCCESS, host.AddDevice());
    EXPECT_EQ(STATUS_SUCCESS, host.StartDevice());
    if (delayOn)
        SwitchDelayOn(host);
    HostStream stream(host);
    HostStreamSummary summary;
    EXPECT_EQ(STATUS_SUCCESS, stream.Play(FrontLeft(4800), {}, &received, &summary))
        << stream.Error();
    EXPECT_EQ(4800u, summary.Frames);
    EXPECT_EQ(0u, summary.Underruns);
    return received;
}

} // namespace

// The stream's first URBs carry 15 ms ahead of the data, and the headphone
// node's plain path holds the stage's 128 frames.
constexpr size_t kLag = 15 * 48 + 128;

TEST(ChipEffectsPlay, EightChannelsPlayThroughBothEffects)
{
    const HostAudio in = FrontLeft(4800);
    const HostAudio plain = PlayOnModelC(false);
    ASSERT_GE(plain.Data.size() / (2 * kWireChannels), kLag + 4800);
    // Both effects off: the front left arrives as it was sent, nothing
    // reaches the right.
    for (size_t i = 0; i < 4800; ++i)
    {
        ASSERT_NEAR(Sample(in, i, 0, 8), Sample(plain, kLag + i, 0), 1) << i;
        ASSERT_EQ(0, Sample(plain, kLag + i, 1)) << i;
    }
    // With the delay effect on, the network's signal is what the device gets.
    const HostAudio delayed = PlayOnModelC(true);
    ASSERT_EQ(plain.Data.size(), delayed.Data.size());
    int differing = 0;
    for (size_t i = 192; i < 4800; ++i)
        differing += Sample(delayed, kLag + i, 0) != Sample(plain, kLag + i, 0) ? 1 : 0;
    EXPECT_GT(differing, 4000);
}
