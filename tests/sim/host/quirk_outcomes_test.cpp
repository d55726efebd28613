// Devices of other makers, as their descriptor files describe them (no model
// strings, no mute, read-only controls, paths through mixers, composite
// functions, 8-bit samples of either sign), through the whole host program:
// each starts, plays what its render filter offers and records what its
// capture filter offers bit-exact, and is removed with nothing left behind.
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
    USHORT Bits = 16;      // of both directions' samples
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
    {"eight-bit-headset.txt", 2, 1, 8},
    {"eight-bit-unsigned-headset.txt", 2, 1, 8},
    {"continuous-range-speaker.txt", 2, 0, 16, 1},
    // The microphone's packets carry none of its formats: the headset plays.
    {"small-microphone-endpoint.txt", 2, 0, 16, 1},
};

// 48 kHz, 16-bit or 8-bit (unsigned, as in a file): a 997 Hz cosine, each
// channel at its own level so that a crossed channel shows.
HostAudio Cosine(ULONG frames, USHORT channels, USHORT bits)
{
    const size_t bytes = bits / 8;
    const double full = bits == 8 ? 127.0 : 32767.0;
    HostAudio a{48000, channels, bits, std::vector<UCHAR>((size_t)frames * bytes * channels)};
    for (ULONG i = 0; i < frames; ++i)
        for (USHORT c = 0; c < channels; ++c)
        {
            const SHORT s = (SHORT)std::lround((0.6 - 0.06 * c) * full *
                                               std::cos(2 * M_PI * 997.0 * i / 48000.0));
            const SHORT stored = bits == 8 ? (SHORT)(s + 0x80) : s;
            memcpy(&a.Data[((size_t)i * channels + c) * bytes], &stored, bytes);
        }
    return a;
}

// What the device received, as the device means it, is the pre-roll's 15 ms
// of silence, the file whole and in order, and silence after it.
void ExpectPlaysBitExact(HostHarness& host, USHORT channels, USHORT bits)
{
    HostStream stream(host);
    const HostAudio in = Cosine(4800, channels, bits);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    ASSERT_EQ(channels, received.Channels);
    ASSERT_EQ(bits, received.BitsPerSample);
    const UCHAR silence = bits == 8 ? 0x80 : 0x00;
    const auto silent = [silence](UCHAR b) { return b == silence; };
    const size_t preRoll = 15 * 48 * (bits / 8) * (size_t)channels;
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    const auto data = received.Data.begin() + (ptrdiff_t)preRoll;
    EXPECT_TRUE(std::all_of(received.Data.begin(), data, silent));
    EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.end(), data));
    EXPECT_TRUE(std::all_of(data + (ptrdiff_t)in.Data.size(), received.Data.end(), silent));
    EXPECT_EQ(4800u, summary.Frames);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
}

// The recording's signal-to-noise ratio against the unrounded sine at the
// phase that fits it best, from its first sample that is not silent on.
double SineSnrDb(const std::vector<SHORT>& samples, size_t channels, int bits)
{
    const size_t first = MicSineStart(samples, channels);
    double best = -1e9;
    for (int phase = 0; phase < 48; ++phase)
    {
        double signal = 0, noise = 0;
        for (size_t i = first; i < samples.size(); ++i)
        {
            const double x = MicSineExact(phase + (double)((i - first) / channels), bits);
            signal += x * x;
            noise += (samples[i] - x) * (samples[i] - x);
        }
        best = std::max(best, 10 * std::log10(signal / std::max(noise, 1e-12)));
    }
    return best;
}

// Every channel carries the device's sine from one phase on, after the
// silent start; 8-bit samples come unsigned (silence 0x80), and the sine
// keeps the rounding's signal-to-noise ratio.
void ExpectRecordsBitExact(HostHarness& host, USHORT channels, USHORT bits)
{
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &recorded, &summary)) << stream.Error();
    ASSERT_EQ(48000u, recorded.Rate);
    ASSERT_EQ(channels, recorded.Channels);
    ASSERT_EQ(bits, recorded.BitsPerSample);
    std::vector<SHORT> samples(recorded.Data.size() / (bits / 8));
    if (bits == 8)
        std::transform(recorded.Data.begin(), recorded.Data.end(), samples.begin(),
                       [](UCHAR b) { return (SHORT)(b - 0x80); });
    else
        memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    ASSERT_GT(samples.size(), 48u * 150 * channels);
    EXPECT_EQ(1, MicSinePhases(samples, channels, bits));
    EXPECT_GT(SineSnrDb(samples, channels, bits), bits == 8 ? 40.0 : 80.0);
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
                ExpectPlaysBitExact(host, o.PlayChannels, o.Bits);
            if (o.RecordChannels != 0)
                ExpectRecordsBitExact(host, o.RecordChannels, o.Bits);
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
