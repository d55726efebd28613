// Devices of the generic audio classes built the way ordinary products are
// (no mute, read-only controls, paths through mixers): each starts with the
// driver's own tables, plays or records bit-exact, and leaves nothing behind.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/host/harness/HostStream.h"

namespace
{
enum class Run
{
    Play,
    Record
};

struct ClassDevice
{
    const char* File;
    Run What;
    USHORT Channels; // of the file played, or of the recording
};

const ClassDevice kDevices[] = {
    {"headset-volume-only.txt", Run::Play, 2},
    {"headset-volume-only.txt", Run::Record, 1},
    {"headset-volume-only-no-strings.txt", Run::Play, 2},
    {"uac2-mixer-path.txt", Run::Play, 2},
    {"uac2-extension-unit-read-only-mute.txt", Run::Play, 2},
};

// 16-bit 48 kHz, every sample non-zero: a ramp of odd values from channel
// to channel, so a dropped, doubled or crossed sample shows.
HostAudio Ramp(ULONG frames, USHORT channels)
{
    HostAudio a{48000, channels, 16, std::vector<UCHAR>((size_t)frames * 2 * channels)};
    for (size_t i = 0; i < (size_t)frames * channels; ++i)
    {
        const SHORT v = (SHORT)(((i * 7919) % 30000) * 2 + 1 - 30000);
        memcpy(&a.Data[i * 2], &v, 2);
    }
    return a;
}

// The simulated microphone's sine, computed here on its own.
SHORT MicSine(ULONGLONG k)
{
    return (SHORT)std::llround(HostStream::kSineAmplitude *
                               std::sin(2.0 * M_PI * HostStream::kSineHz * (double)k / 48000.0) *
                               32767.0);
}

// What the device received is the file, whole and in order, after the 15 ms
// the first transfers carry ahead of the copy offset, and silence after it.
void ExpectPlayedBitExact(const HostAudio& in, const HostAudio& received)
{
    ASSERT_EQ(in.Channels, received.Channels);
    ASSERT_EQ(in.BitsPerSample, received.BitsPerSample);
    const size_t preRoll = 15 * 48 * 2 * (size_t)in.Channels;
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.end(), received.Data.begin() + preRoll));
    for (size_t i = preRoll + in.Data.size(); i < received.Data.size(); ++i)
        ASSERT_EQ(0, received.Data[i]) << "byte " << i;
}

// Every channel of every frame after the silent start is the device's
// sine, from one phase on.
void ExpectRecordedBitExact(const HostAudio& recorded, USHORT channels)
{
    ASSERT_EQ(channels, recorded.Channels);
    ASSERT_EQ(16u, recorded.BitsPerSample);
    std::vector<SHORT> s(recorded.Data.size() / 2);
    memcpy(s.data(), recorded.Data.data(), s.size() * 2);
    size_t first = 0;
    while (first < s.size() && s[first] == 0)
        ++first;
    first -= first % channels;
    ASSERT_LT(first, 48u * 20 * channels);
    int phases = 0;
    for (ULONGLONG phase = 0; phase < 48; ++phase)
    {
        size_t i = first;
        while (i < s.size() && s[i] == MicSine(phase + (i - first) / channels))
            ++i;
        phases += i == s.size();
    }
    EXPECT_EQ(1, phases);
}
} // namespace

TEST(ClassDevices, StartPlayOrRecordAndLeaveNothing)
{
    for (const ClassDevice& d : kDevices)
    {
        SCOPED_TRACE(d.File);
        {
            HostHarness host;
            std::string error;
            ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
            ASSERT_EQ(STATUS_SUCCESS,
                      host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + d.File, &error))
                << error;
            ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
            const NTSTATUS started = host.StartDevice();
            ASSERT_EQ(STATUS_SUCCESS, started) << host.ExplainStart(started).Cause;
            HostStream stream(host);
            HostAudio out;
            HostStreamSummary summary;
            if (d.What == Run::Play)
            {
                const HostAudio in = Ramp(4800, d.Channels);
                ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &out, &summary)) << stream.Error();
                ExpectPlayedBitExact(in, out);
            }
            else
            {
                ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &out, &summary)) << stream.Error();
                ExpectRecordedBitExact(out, d.Channels);
            }
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}
