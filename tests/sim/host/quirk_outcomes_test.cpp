// Devices of other makers, as their descriptor files describe them (no model
// strings, no mute, read-only controls, paths through mixers, composite
// functions), through the whole host program: each starts with the wave
// filters and volume nodes its descriptors call for, plays what its render
// filter offers and records what its capture filter offers bit-exact, or is
// refused with a debug line that says why; each is removed with nothing left
// behind.
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
    NTSTATUS Start;
    const char* WaveFilters;    // the wave filters the start installs, in order
    size_t Volumes;             // volume nodes of the topology filter
    USHORT PlayChannels;        // 0: no render filter to play to
    USHORT RecordChannels;      // 0: no capture filter to record from
    const char* Said = nullptr; // the start of a debug line the start leaves
};

constexpr const char* kLoopbackUnnamed = "UsbAudio: AudioStreaming interface 3 records nothing: "
                                         "no wave filter, as no input terminal on its path names "
                                         "an endpoint";
constexpr const char* kClassThree =
    "SelectDeviceClass: AudioControl interface 2 has protocol 0x30, neither audio class 1.0 "
    "(0x00) nor 2.0 (0x20): the device is refused";

const Outcome kOutcomes[] = {
    {"headset-no-strings.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2, 2, 1},
    {"missing-strings.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"six-channel-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 6, 0},
    // Class requests reach the audio function's interface, not the MIDI one.
    {"midi-first-controller.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"implicit-feedback.txt", STATUS_SUCCESS, "RecIn00Wave", 0, 0, 2},
    {"extension-unit-recorder.txt", STATUS_SUCCESS, "MicIn00Wave", 1, 0, 2},
    {"control-interfaces-of-two-versions.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"headset-volume-only.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 1, 2, 1},
    {"headset-volume-only-no-strings.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 1, 2, 1},
    {"uac2-mixer-path.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"uac2-extension-unit-read-only-mute.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    // The line, the mixer's first named input, names the recording; the
    // playback stream mixed in adds no node to it. The recording of the
    // playback alone has no named input.
    {"dj-controller-mixer-capture.txt", STATUS_SUCCESS, "SPKOut00Wave LineIn00Wave", 0, 2, 2,
     kLoopbackUnnamed},
    {"uac2-extension-unit-microphone.txt", STATUS_SUCCESS, "MicIn00Wave", 0, 0, 2},
    // The microphone's only volume is on its last (and only) channel.
    {"headset-mono-mic-channel-volume.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2,
     2, 1},
    // The second function's streaming interface is not the driver's.
    {"two-audio-functions.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"midi-first-uac3-function.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, kClassThree},
};

std::string WaveFilters(const HostHarness& host, size_t* volumes)
{
    std::string names;
    *volumes = 0;
    for (const HostFilter& f : host.Filters())
    {
        if (f.WaveCyclic)
            names += (names.empty() ? "" : " ") + f.Name;
        else
            *volumes += (size_t)std::count(f.Nodes.begin(), f.Nodes.end(), "volume");
    }
    return names;
}

// Whether a debug line from index `from` on begins with `start`.
bool DriverSaid(size_t from, const char* start)
{
    const std::vector<std::string>& lines = EmuDbgOutput();
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].compare(0, strlen(start), start) == 0)
            return true;
    return false;
}

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
            const size_t said = EmuDbgOutput().size();
            const NTSTATUS status = host.StartDevice();
            ASSERT_EQ(o.Start, status) << host.ExplainStart(status).Cause;
            // A refusal names the protocol of the function the driver chose.
            if (!NT_SUCCESS(status))
            {
                EXPECT_EQ("device-class choice", host.ExplainStart(status).Step);
            }
            size_t volumes = 0;
            EXPECT_EQ(o.WaveFilters, WaveFilters(host, &volumes));
            EXPECT_EQ(o.Volumes, volumes);
            if (o.Said != nullptr)
            {
                EXPECT_TRUE(DriverSaid(said, o.Said)) << o.Said;
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
