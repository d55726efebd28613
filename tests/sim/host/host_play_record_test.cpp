// Play and record through the started class 1.0 reference device, as the
// host program runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/clients/asio_client.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/mic_sine.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// 16-bit at `rate`: a 997 Hz cosine on the first channel, its negative on the
// second, so the first frame is not silent.
HostAudio Cosine(ULONG frames, USHORT channels = 2, ULONG rate = 48000)
{
    HostAudio a{rate, channels, 16, std::vector<UCHAR>((size_t)frames * 2 * channels)};
    for (ULONG i = 0; i < frames; ++i)
    {
        const SHORT v = (SHORT)std::lround(20000.0 * std::cos(2 * M_PI * 997.0 * i / rate));
        for (USHORT c = 0; c < channels; ++c)
        {
            const SHORT s = (c & 1) ? (SHORT)-v : v;
            memcpy(&a.Data[((size_t)i * channels + c) * 2], &s, 2);
        }
    }
    return a;
}

void Start(HostHarness& host, const char* device = "Uac1SpeakerMic")
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference(device, &error)) << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}

// After a run that pulled the device out: the driver was told, removes the
// device, and nothing leaks.
void ExpectRemovedCleanly(HostHarness& host)
{
    EXPECT_FALSE(host.DevicePresent());
    EXPECT_EQ(STATUS_SUCCESS, host.SurpriseRemoval());
    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    host.Unplug();
    host.UnloadDriver();
    EXPECT_EQ("", EmuCheckClean(false));
}

} // namespace

// A 1 s stereo sine at 48 kHz 16-bit reaches the device's speaker
// bit-exact: the 15 ms pre-roll as silence, every byte of the file in order,
// and nothing but silence after it.
namespace
{
// The ASIO test client as `lthost --asio` runs it: a sine for `ms`, stopped
// and unmapped.
void RunAsioSession(HostHarness& host, ULONG ms)
{
    AsioTestClient client(host.Fdo());
    ULONG sizes[4] = {}, rate = 0;
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    ASSERT_EQ(STATUS_SUCCESS, client.GetSampleRate(&rate));
    ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
    client.WriteSine(1000.0, rate);
    ASSERT_EQ(STATUS_SUCCESS, client.Start());
    client.Run(ms);
    EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    EXPECT_EQ(STATUS_SUCCESS, client.Unmap());
    client.Close();
}

void PlaySineBitExact(const char* device, ULONG asioMs)
{
    HostHarness host;
    Start(host, device);
    if (asioMs != 0)
        RunAsioSession(host, asioMs);
    HostStream stream(host);
    const HostAudio in = Cosine(48000);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    EXPECT_EQ("", stream.Error());
    EXPECT_EQ(48000u, received.Rate);
    EXPECT_EQ(2u, received.Channels);
    EXPECT_EQ(16u, received.BitsPerSample);
    const size_t preRoll = 15 * 192;
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    for (size_t i = 0; i < preRoll; ++i)
        ASSERT_EQ(0, received.Data[i]) << "byte " << i;
    for (size_t i = 0; i < in.Data.size(); ++i)
        ASSERT_EQ(in.Data[i], received.Data[preRoll + i]) << "byte " << i;
    for (size_t i = preRoll + in.Data.size(); i < received.Data.size(); ++i)
        ASSERT_EQ(0, received.Data[i]) << "byte " << i;
    EXPECT_EQ(48000u, summary.Frames);
    EXPECT_LE(std::fabs(summary.DriftMs), 1.0);
    EXPECT_EQ(0u, summary.MissingPackets);
    EXPECT_EQ(0u, summary.Underruns);
    EXPECT_EQ(0u, summary.Overruns);
    EXPECT_FALSE(summary.Unplugged);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
    EXPECT_EQ(preRoll / 4, summary.FileAtFrame);
}
} // namespace

// Also after an ASIO session on the device: the play is what a device that
// never had one gets.
TEST(HostPlayRecord, SineArrivesBitExactAtTheSpeaker)
{
    const struct
    {
        const char* Device;
        ULONG AsioMs;
    } rows[] = {{"Uac1SpeakerMic", 0}, {"Uac1Surround71", 0},   {"Uac2HighSpeed", 0},
                {"Uac2Spdif", 0},      {"Uac2HighSpeed", 1000}, {"Uac2Spdif", 100}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " after " + std::to_string(row.AsioMs) +
                     " ms of ASIO");
        PlaySineBitExact(row.Device, row.AsioMs);
    }
}

// Chip model C plays eight channels to a two-channel setting: what the
// device receives is in its own format, the file's first two channels of
// each frame after the same pre-roll, and the position keeps to the device.
TEST(HostPlayRecord, EightChannelsReachTheChipModelCDeviceAsTheirFirstTwo)
{
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("ChipModelC", &error)) << error;
    // Without its effect-control table the playback unit puts no effect
    // node on the path: the samples reach the device as the stream packs them.
    host.Device()->Audio().SetMemory(2, {});
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
    HostStream stream(host);
    const HostAudio in = Cosine(4800, 8);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    EXPECT_EQ(2u, received.Channels);
    EXPECT_EQ(16u, received.BitsPerSample);
    const size_t preRoll = 15 * 192;
    ASSERT_GE(received.Data.size(), preRoll + 4800 * 4);
    for (size_t f = 0; f < 4800; ++f)
        ASSERT_EQ(0, memcmp(&in.Data[f * 16], &received.Data[preRoll + f * 4], 4)) << f;
    EXPECT_EQ(4800u, summary.Frames);
    EXPECT_LE(std::fabs(summary.DriftMs), 1.0);
    EXPECT_EQ(0u, summary.MissingPackets);
}

// A format the speaker does not take is refused with the status the driver
// gives the same range itself; one it takes plays.
TEST(HostPlayRecord, FormatsAreTheDriversToRefuse)
{
    HostHarness host;
    Start(host);
    const struct
    {
        USHORT Channels;
        ULONG Rate;
        bool Plays;
    } cases[] = {{2, 44100, true}, {1, 48000, false}, {2, 32000, false}, {3, 48000, false}};
    for (const auto& c : cases)
    {
        HostStream stream(host);
        HostAudio received;
        HostStreamSummary summary;
        const NTSTATUS status =
            stream.Play(Cosine(c.Rate / 10, c.Channels, c.Rate), {}, &received, &summary);
        if (c.Plays)
        {
            EXPECT_EQ(STATUS_SUCCESS, status) << c.Rate;
            EXPECT_EQ(c.Rate / 10, summary.Frames);
            continue;
        }
        // The driver's own answer to the same request.
        AudioEngineClient client(host.Fdo());
        PFILE_OBJECT filter = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"SPKOut00Wave", &filter));
        const KSDATARANGE_AUDIO r =
            AudioClientRange(KSDATAFORMAT_SUBTYPE_PCM, c.Channels, 16, 16, c.Rate, c.Rate);
        std::vector<UCHAR> format;
        NTSTATUS driver = client.Intersect(filter, 0, &r.DataRange, &format);
        if (NT_SUCCESS(driver))
        {
            // The driver offers fewer channels; the pin is asked for the file's.
            KSDATAFORMAT_WAVEFORMATEX f;
            ASSERT_GE(format.size(), sizeof(f));
            memcpy(&f, format.data(), sizeof(f));
            EXPECT_LT(f.WaveFormatEx.nChannels, c.Channels);
            f.WaveFormatEx.nChannels = c.Channels;
            f.WaveFormatEx.nBlockAlign = (USHORT)(2 * c.Channels);
            f.WaveFormatEx.nAvgBytesPerSec = c.Rate * 2 * c.Channels;
            memcpy(format.data(), &f, sizeof(f));
            PFILE_OBJECT pin = nullptr;
            driver = client.OpenPin(filter, 0, format.data(), (ULONG)format.size(), &pin);
        }
        EXPECT_FALSE(NT_SUCCESS(driver));
        EXPECT_EQ(driver, status) << c.Channels << " " << c.Rate;
        EXPECT_NE(std::string::npos, stream.Error().find("refused")) << stream.Error();
    }
}

// The summary says whether the device received the file's samples as they
// are, judged here on its own by looking for the file in what it received:
// the first listed timed device's levels change them.
TEST(HostPlayRecord, TheSummarySaysWhetherTheDeviceGotTheFileAsItIs)
{
    int exact = 0, changed = 0;
    for (const char* name : {"Uac1SpeakerMic", "TimedChipListed"})
    {
        HostHarness host;
        Start(host, name);
        HostStream stream(host);
        const HostAudio in = Cosine(4800);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << name;
        const bool found = std::search(received.Data.begin(), received.Data.end(), in.Data.begin(),
                                       in.Data.end()) != received.Data.end();
        EXPECT_EQ(found ? HostWire::Exact : HostWire::Changed, summary.Wire) << name;
        // What changed them, in the driver's words; nothing where nothing did.
        EXPECT_EQ(found ? "" : "the jack node's attenuation to a quarter", summary.Processing);
        ++(found ? exact : changed);
    }
    EXPECT_EQ(1, exact);
    EXPECT_EQ(1, changed);
}

// Where nothing on the path could change a sample, one changed on its way
// is a fault, named at its frame, both ways.
TEST(HostPlayRecord, WhereNothingOnThePathCouldChangeSamplesAChangedOneFails)
{
    const struct
    {
        bool Record;
        ULONGLONG At; // the file frame whose first sample changes
        HostWire Verdict;
    } rows[] = {{false, 1000, HostWire::Other}, {true, 2000, HostWire::Broken}};
    for (const auto& row : rows)
    {
        HostHarness host;
        Start(host);
        HostStream stream(host);
        HostStreamOptions options;
        // A play's file starts on the wire after the path's 15 ms of silence.
        const ULONG frame = row.Record ? 2 : 4, lead = row.Record ? 0 : 720;
        const ULONGLONG at = (row.At + lead) * frame;
        options.Tap = [at](ULONGLONG before, std::vector<UCHAR>& bytes)
        {
            if (at >= before && at + 1 < before + bytes.size())
                bytes[at - before + 1] ^= 0x01;
        };
        HostAudio out;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, row.Record ? stream.Record(100, options, &out, &summary)
                                             : stream.Play(Cosine(4800), options, &out, &summary));
        EXPECT_EQ(row.Verdict, summary.Wire) << row.Record;
        EXPECT_EQ(row.At, summary.ChangedAtFrame) << row.Record;
        EXPECT_EQ("", summary.Processing);
    }
}

namespace
{
// Each sample's value: its top byte as two's complement (an 8-bit sample,
// unsigned, less 128).
std::vector<int> Values(const HostAudio& a)
{
    const size_t bytes = a.BitsPerSample / 8;
    std::vector<int> values;
    for (size_t at = bytes - 1; at < a.Data.size(); at += bytes)
        values.push_back(bytes == 1 ? a.Data[at] - 128 : (int)(signed char)a.Data[at]);
    return values;
}
} // namespace

// 8-bit samples keep their value wherever they go: an 8-bit file into 2-,
// 3- and 4-byte subslots of a speaker whose one usable setting is 8 bits in
// them (legal: the resolution need not fill its subslot), and 8 valid bits in
// 2 to 4 bytes into 1-byte subslots of either sign; the device receives the
// file's values in order, as the verdict says.
TEST(HostPlayRecord, EightBitSamplesPlayByValueInEveryContainer)
{
    const struct
    {
        const char* Device;
        int Subslot; // the speaker's 8-bit subslot; 0: a headset's 1
        USHORT FileBits;
    } rows[] = {
        {"uac2-impossible-subslots-speaker.txt", 2, 8},
        {"uac2-impossible-subslots-speaker.txt", 3, 8},
        {"uac2-impossible-subslots-speaker.txt", 4, 8},
        {"eight-bit-headset.txt", 0, 16},
        {"eight-bit-headset.txt", 0, 24},
        {"eight-bit-unsigned-headset.txt", 0, 32},
        {"eight-bit-unsigned-headset.txt", 0, 16},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " " + std::to_string(row.Subslot) + " " +
                     std::to_string(row.FileBits));
        std::string text = ReadAll(std::string(LT_QUIRKS_DIR) + "/" + row.Device), error;
        if (row.Subslot != 0)
            text.replace(text.find("06 24 02 01 02 10"), 17,
                         "06 24 02 01 0" + std::to_string(row.Subslot) + " 08");
        HostHarness host;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
        ASSERT_NE(nullptr, device) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.PlugDevice(std::move(device), "8-bit"));
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        // A stereo cosine of 8 significant bits (8-bit unsigned, as WAV keeps
        // it; the lower bytes of a wider container zero).
        HostAudio in{48000, 2, row.FileBits, {}, (USHORT)(row.FileBits == 8 ? 0 : 8)};
        std::vector<int> sent;
        for (ULONG i = 0; i < 2 * 4800; ++i)
        {
            sent.push_back((int)std::lround(100.0 * std::cos(2 * M_PI * 997.0 * (i / 2) / 48000)) *
                           (i % 2 ? -1 : 1));
            in.Data.insert(in.Data.end(), row.FileBits / 8 - 1, 0);
            in.Data.push_back((UCHAR)(row.FileBits == 8 ? sent.back() + 128 : sent.back()));
        }
        HostStream stream(host);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
        ASSERT_EQ(row.Subslot != 0 ? 8 * row.Subslot : 8, received.BitsPerSample);
        const std::vector<int> got = Values(received);
        EXPECT_NE(got.end(), std::search(got.begin(), got.end(), sent.begin(), sent.end()));
        EXPECT_EQ(HostWire::Exact, summary.Wire);
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    }
}

// The microphone's sine arrives bit-exact: every sample is the device's
// own, in order, from its first frame on; the verdict finds the device's
// first frame at the recording's first, and no packet slot empty.
TEST(HostPlayRecord, MicrophoneSineArrivesBitExact)
{
    HostHarness host;
    Start(host);
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Record(1000, {}, &recorded, &summary)) << stream.Error();
    ASSERT_EQ(48000u, recorded.Rate);
    ASSERT_EQ(1u, recorded.Channels);
    ASSERT_EQ(16u, recorded.BitsPerSample);
    std::vector<SHORT> samples(recorded.Data.size() / 2);
    memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    // The recording holds the second asked, its latency made up at the end.
    ASSERT_EQ(48000u, samples.size());
    EXPECT_EQ(samples.size(), summary.Frames);
    EXPECT_EQ(48000u, summary.ExpectedFrames);
    EXPECT_LE(std::fabs(summary.DriftMs), 1.0);
    size_t first = 0;
    while (first < samples.size() && samples[first] == 0)
        ++first;
    // The device's first frame, marked, is not silent: the recording starts with it.
    EXPECT_EQ(0u, first);
    EXPECT_EQ(1, MicSinePhases(samples));
    EXPECT_EQ(0u, summary.Overruns);
    EXPECT_EQ(0u, summary.MissingPackets);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
    EXPECT_EQ(0u, summary.FileAtFrame);
    EXPECT_EQ(0u, summary.WireAtFileFrame);
}

// Ten minutes on virtual time end with the position within 1 ms of what the
// device received.
TEST(HostPlayRecord, LongPlayKeepsThePositionOnTheDeviceClock)
{
    const ULONG seconds = 600;
    HostHarness host;
    Start(host);
    HostStream stream(host);
    HostAudio received;
    HostStreamSummary summary;
    HostStreamOptions options;
    options.KeepReceived = false;
    ULONG reports = 0;
    options.Progress = [&reports](ULONG, ULONG) { ++reports; };
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(Cosine(seconds * 48000), options, &received, &summary));
    EXPECT_TRUE(received.Data.empty());
    EXPECT_EQ(seconds * 48000ull, summary.Frames);
    EXPECT_LE(std::fabs(summary.DriftMs), 1.0);
    EXPECT_EQ(0u, summary.MissingPackets);
    EXPECT_EQ(0u, summary.Underruns);
    EXPECT_EQ(0u, summary.Overruns);
    EXPECT_EQ(seconds, reports); // once a device second (the play-out is under one)
}

namespace
{
// The play's file in memory, read through readers that note how far ahead
// of the emulated clock (from `start`) the furthest of them has read.
struct WatchedSource : HostMemorySource
{
    WatchedSource(const HostAudio& audio, ULONGLONG start, LONGLONG* ahead)
        : HostMemorySource(audio), Audio(audio), From(start), Ahead(ahead)
    {
    }
    ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error) override
    {
        const ULONGLONG got = HostMemorySource::Read(to, frames, error);
        const LONGLONG due = (LONGLONG)((EmuNow() - From) * Audio.Rate / 10000000);
        *Ahead = std::max(*Ahead, (LONGLONG)(Done += got) - due);
        return got;
    }
    std::unique_ptr<HostPlaySource> Again(std::string*) const override
    {
        return std::make_unique<WatchedSource>(Audio, From, Ahead);
    }

    const HostAudio& Audio;
    ULONGLONG From;
    LONGLONG* Ahead;
    ULONGLONG Done = 0;
};
} // namespace

// A minute's play reads its file as it goes: neither the frames handed to
// the pin nor those the device's are compared with are read more than a
// second ahead of the clock, and the play is whole and unchanged.
TEST(HostPlayRecord, APlayReadsItsFileAsItGoes)
{
    HostHarness host;
    Start(host);
    HostStream stream(host);
    const HostAudio in = Cosine(60 * 48000);
    LONGLONG ahead = 0;
    WatchedSource file(in, EmuNow(), &ahead);
    HostAudio received;
    HostStreamSummary summary;
    HostStreamOptions options;
    options.KeepReceived = false;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(file, options, &received, &summary)) << stream.Error();
    EXPECT_EQ(in.Frames(), summary.Frames);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
    EXPECT_GT(ahead, 0);
    EXPECT_LE(ahead, 48000);
}

// Pulled out half a second in: the run ends with the device named gone, the
// driver is told and removes the device, and nothing leaks.
TEST(HostPlayRecord, UnplugMidPlayEndsTheRunCleanly)
{
    HostHarness host;
    Start(host);
    HostStream stream(host);
    HostAudio received;
    HostStreamSummary summary;
    HostStreamOptions options;
    options.UnplugAfterMs = 500;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
              stream.Play(Cosine(48000), options, &received, &summary));
    EXPECT_TRUE(summary.Unplugged);
    EXPECT_EQ("the device was unplugged after 500 ms of play", stream.Error());
    EXPECT_LT(summary.Frames, 48000u);
    ExpectRemovedCleanly(host);
}

// The same half a second into a recording: the frames recorded are those of
// the half second at most.
TEST(HostPlayRecord, UnplugMidRecordEndsTheRunCleanly)
{
    HostHarness host;
    Start(host);
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    HostStreamOptions options;
    options.UnplugAfterMs = 500;
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, stream.Record(1000, options, &recorded, &summary));
    EXPECT_TRUE(summary.Unplugged);
    EXPECT_EQ("the device was unplugged after 500 ms of recording", stream.Error());
    EXPECT_GT(summary.Frames, 0u);
    EXPECT_LE(summary.Frames, 48000u / 2);
    ExpectRemovedCleanly(host);
}
