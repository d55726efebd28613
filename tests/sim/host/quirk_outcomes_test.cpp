// Devices of other makers, as their descriptor files describe them (no model
// strings, no mute, read-only controls, paths through mixers, composite
// functions), through the whole host program: each starts, plays what its
// render filter offers and records what its capture filter offers bit-exact,
// and is removed with nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/mic_sine.h"

namespace
{
struct Outcome
{
    const char* File;
    USHORT PlayChannels;   // 0: no render filter to play to
    USHORT RecordChannels; // 0: no capture filter to record from
    int WaveFilters = -1;  // the wave filters installed; -1: not counted
};

const Outcome kOutcomes[] = {
    {"headset-no-strings.txt", 2, 1},
    {"missing-strings.txt", 2, 0},
    {"six-channel-speaker.txt", 6, 0},
    {"midi-first-controller.txt", 2, 0},
    {"implicit-feedback.txt", 0, 2},
    {"extension-unit-recorder.txt", 0, 2},
    {"control-interfaces-of-two-versions.txt", 2, 0},
    {"headset-volume-only.txt", 2, 1},
    {"headset-volume-only-no-strings.txt", 2, 0},
    {"uac2-mixer-path.txt", 2, 0},
    {"uac2-extension-unit-read-only-mute.txt", 2, 0},
    {"continuous-range-speaker.txt", 2, 0, 1},
    // The microphone's packets carry none of its formats: the headset plays.
    {"small-microphone-endpoint.txt", 2, 0, 1},
};

// 48 kHz 16-bit: a 997 Hz cosine, each channel at its own level so that a
// crossed channel shows.
HostAudio Cosine(ULONG frames, USHORT channels)
{
    HostAudio a{48000, channels, 16, std::vector<UCHAR>((size_t)frames * 2 * channels)};
    for (ULONG i = 0; i < frames; ++i)
        for (USHORT c = 0; c < channels; ++c)
        {
            const SHORT s = (SHORT)std::lround((20000.0 - 2000.0 * c) *
                                               std::cos(2 * M_PI * 997.0 * i / 48000.0));
            memcpy(&a.Data[((size_t)i * channels + c) * 2], &s, 2);
        }
    return a;
}

// What the device received is the pre-roll's 15 ms of silence, the file
// whole and in order, and silence after it.
void ExpectPlaysBitExact(HostHarness& host, USHORT channels)
{
    HostStream stream(host);
    const HostAudio in = Cosine(4800, channels);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    ASSERT_EQ(channels, received.Channels);
    ASSERT_EQ(16u, received.BitsPerSample);
    const size_t preRoll = 15 * 48 * 2 * (size_t)channels;
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    const auto data = received.Data.begin() + (ptrdiff_t)preRoll;
    EXPECT_TRUE(std::all_of(received.Data.begin(), data, [](UCHAR b) { return b == 0; }));
    EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.end(), data));
    EXPECT_TRUE(std::all_of(data + (ptrdiff_t)in.Data.size(), received.Data.end(),
                            [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(4800u, summary.Frames);
}

// Every channel carries the device's sine from one phase on, after the
// silent start.
void ExpectRecordsBitExact(HostHarness& host, USHORT channels)
{
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &recorded, &summary)) << stream.Error();
    ASSERT_EQ(48000u, recorded.Rate);
    ASSERT_EQ(channels, recorded.Channels);
    ASSERT_EQ(16u, recorded.BitsPerSample);
    std::vector<SHORT> samples(recorded.Data.size() / 2);
    memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    ASSERT_GT(samples.size(), 48u * 150 * channels);
    EXPECT_EQ(1, MicSinePhases(samples, channels));
}
} // namespace

TEST(QuirkOutcomes, EachStartsPlaysRecordsAndLeavesNothing)
{
    for (const Outcome& o : kOutcomes)
    {
        SCOPED_TRACE(o.File);
        {
            HostHarness host;
            std::string error;
            ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
            ASSERT_EQ(STATUS_SUCCESS,
                      host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + o.File, &error))
                << error;
            ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
            const NTSTATUS status = host.StartDevice();
            ASSERT_EQ(STATUS_SUCCESS, status) << host.ExplainStart(status).Cause;
            const std::vector<HostFilter> filters = host.Filters();
            if (o.WaveFilters >= 0)
            {
                EXPECT_EQ(o.WaveFilters,
                          std::count_if(filters.begin(), filters.end(),
                                        [](const HostFilter& f) { return f.WaveCyclic; }));
            }
            if (o.PlayChannels != 0)
                ExpectPlaysBitExact(host, o.PlayChannels);
            if (o.RecordChannels != 0)
                ExpectRecordsBitExact(host, o.RecordChannels);
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
