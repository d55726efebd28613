// Devices of other makers, as their descriptor files describe them, through
// the whole host program: each starts, plays what its render filter offers
// and records what its capture filter offers bit-exact, and is removed with
// nothing left behind.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/host/harness/HostStream.h"

namespace
{
struct Outcome
{
    const char* File;
    USHORT PlayChannels; // 0: no render filter to play to
    bool Records;
};

const Outcome kOutcomes[] = {
    {"headset-no-strings.txt", 2, true},
    {"missing-strings.txt", 2, false},
    {"six-channel-speaker.txt", 6, false},
    {"midi-first-controller.txt", 2, false},
    {"implicit-feedback.txt", 0, true},
    {"extension-unit-recorder.txt", 0, true},
    {"control-interfaces-of-two-versions.txt", 2, false},
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

// The device's sine, worked out here: amplitude times 16-bit full scale.
SHORT MicSine(ULONGLONG k)
{
    return (SHORT)std::llround(HostStream::kSineAmplitude *
                               std::sin(2.0 * M_PI * HostStream::kSineHz * (double)k / 48000.0) *
                               32767.0);
}

void ExpectPlaysBitExact(HostHarness& host, USHORT channels)
{
    HostStream stream(host);
    const HostAudio in = Cosine(4800, channels);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    ASSERT_EQ(channels, received.Channels);
    ASSERT_EQ(16u, received.BitsPerSample);
    size_t first = 0;
    while (first < received.Data.size() && received.Data[first] == 0)
        ++first;
    ASSERT_GE(received.Data.size(), first + in.Data.size());
    EXPECT_EQ(0, memcmp(in.Data.data(), &received.Data[first], in.Data.size()));
    EXPECT_EQ(4800u, summary.Frames);
}

// Every channel carries the sine from one phase on, after the silent start.
void ExpectRecordsBitExact(HostHarness& host)
{
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &recorded, &summary)) << stream.Error();
    ASSERT_EQ(48000u, recorded.Rate);
    ASSERT_EQ(16u, recorded.BitsPerSample);
    const size_t channels = recorded.Channels;
    std::vector<SHORT> samples(recorded.Data.size() / 2);
    memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    ASSERT_GT(samples.size(), 48u * 150 * channels);
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0)
        ++first;
    first -= first % channels;
    int phases = 0;
    for (ULONGLONG phase = 0; phase < 48; ++phase)
    {
        size_t i = first;
        while (i < samples.size() && samples[i] == MicSine(phase + (i - first) / channels))
            ++i;
        phases += i == samples.size();
    }
    EXPECT_EQ(1, phases);
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
            if (o.PlayChannels != 0)
                ExpectPlaysBitExact(host, o.PlayChannels);
            if (o.Records)
                ExpectRecordsBitExact(host);
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
