// A play and a recording through the software mutes of a path of terminals,
// on while the run starts and turned off mid-stream: a frame the driver took
// after the change is held to the file's (the device's) own, however soon
// after the change it reaches the device (the file). The device's capture
// engine is its second: a recording names its own path's mute, not the
// render path's.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_asio_compare.h"
#include "sim/host/harness/host_stream.h"

namespace
{
constexpr char kTerminals[] = "uac2-32-bit-terminals-only-headset.txt";

void Start(HostHarness& host)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + kTerminals, &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}

// Sets every mute of the topology.
void Mute(HostHarness& host, ULONG mute)
{
    AudioEngineClient client(host.Fdo());
    PFILE_OBJECT topology = nullptr;
    std::vector<GUID> types;
    ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"GlobalTopo", &topology));
    ASSERT_EQ(STATUS_SUCCESS, client.GetNodeTypes(topology, &types));
    for (ULONG node = 0; node < types.size(); ++node)
    {
        if (IsEqualGUID(types[node], KSNODETYPE_MUTE))
        {
            ASSERT_EQ(STATUS_SUCCESS, client.SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                          KSPROPERTY_AUDIO_MUTE, 0, &mute, 4));
        }
    }
}
} // namespace

// 32-bit stereo: 200 ms of silence, then frames that never repeat. The
// mute goes off as the device receives file frame 8640, 20 ms before the
// sound; the sound's second frame, or one 10 ms on, has a bit flipped on
// the wire: no level makes that.
TEST(HostPathWatch, AFaultAfterTheMuteWentOffFailsAPlay)
{
    constexpr ULONG kFrame = 8, kLead = 720, kSound = 9600;
    HostAudio file{48000, 2, 32, std::vector<UCHAR>(2 * kSound * kFrame)};
    for (ULONG k = kSound; k < 2 * kSound; ++k)
        AsioClientFrame(k, kFrame, &file.Data[(size_t)k * kFrame]);
    for (const ULONGLONG fault : {kSound + 1, kSound + 480})
    {
        SCOPED_TRACE(fault);
        HostHarness host;
        Start(host);
        Mute(host, 1);
        HostStreamOptions options;
        bool unmuted = false;
        options.Tap = [&](ULONGLONG before, std::vector<UCHAR>& bytes)
        {
            if (!unmuted && before >= (kLead + kSound - 960) * kFrame)
            {
                Mute(host, 0);
                unmuted = true;
            }
            const ULONGLONG at = (kLead + fault) * kFrame + 1;
            if (at >= before && at < before + bytes.size())
                bytes[at - before] ^= 0x01;
        };
        HostStream stream(host);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(file, options, &received, &summary));
        ASSERT_TRUE(unmuted);
        EXPECT_EQ(HostWire::Other, summary.Wire);
        EXPECT_EQ(fault, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 5", summary.Processing);
    }
}

// The mute on as the recording starts and off as its first frames come:
// the first frame of sound the driver delivered after that, or one 5 ms
// on, has a bit flipped.
TEST(HostPathWatch, AFaultAfterTheMuteWentOffFailsARecording)
{
    for (const ULONGLONG after : {0u, 240u})
    {
        SCOPED_TRACE(after);
        HostHarness host;
        Start(host);
        Mute(host, 1);
        HostStreamOptions options;
        // The driver records the device's 32-bit stereo.
        const ULONGLONG frameBytes = 8;
        ULONGLONG sound = ~0ull;
        options.Tap = [&](ULONGLONG before, std::vector<UCHAR>& bytes)
        {
            if (before == 0)
                Mute(host, 0);
            for (size_t at = 0; sound == ~0ull && at + frameBytes <= bytes.size(); at += frameBytes)
                if (std::any_of(&bytes[at], &bytes[at] + frameBytes, [](UCHAR b) { return b; }))
                    sound = (before + at) / frameBytes;
            const ULONGLONG flip = (sound + after) * frameBytes + 2;
            if (sound != ~0ull && flip >= before && flip < before + bytes.size())
                bytes[flip - before] ^= 0x01;
        };
        HostStream stream(host);
        HostAudio recorded;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Record(300, options, &recorded, &summary));
        ASSERT_EQ(8u, recorded.FrameBytes());
        ASSERT_NE(~0ull, sound);
        EXPECT_EQ(HostWire::Broken, summary.Wire);
        EXPECT_EQ(sound + after, summary.ChangedAtFrame);
        EXPECT_EQ("mute on control 6", summary.Processing);
    }
}
