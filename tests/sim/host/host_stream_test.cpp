// Sound in, sound out through the driver as the host program runs it: a file
// played to the class 1.0 reference speaker arrives bit-exact on the wire, the
// reference microphone's sine arrives bit-exact in the recording, a long play
// keeps its position on the device clock, and a device pulled out mid-play
// ends the run cleanly. WAV files go through libsndfile unchanged.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/ramp_source.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// A temporary file name that is removed with the object.
class TempPath
{
  public:
    TempPath()
    {
        char name[] = "/tmp/lthost-wav-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        m_Path = name;
    }
    ~TempPath() { std::remove(m_Path.c_str()); }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

// 16-bit stereo at 48 kHz: a 997 Hz cosine, the right channel its negative,
// so the first frame is not silent.
HostAudio Cosine48k(ULONG frames)
{
    HostAudio a{48000, 2, 16, std::vector<UCHAR>(frames * 4)};
    for (ULONG i = 0; i < frames; ++i)
    {
        const SHORT left = (SHORT)std::lround(20000.0 * std::cos(2 * M_PI * 997.0 * i / 48000.0));
        const SHORT right = (SHORT)-left;
        memcpy(&a.Data[4 * i], &left, 2);
        memcpy(&a.Data[4 * i + 2], &right, 2);
    }
    return a;
}

struct WavCase
{
    USHORT Channels;
    USHORT Bits;
    ULONG Rate;
};
} // namespace

// Every sample width a pin takes goes to the file and back unchanged: the
// bytes are a counting pattern, so any swap, sign change or shift shows.
TEST(HostWav, EveryWidthRoundTripsByteExact)
{
    const WavCase cases[] = {{1, 8, 8000}, {2, 16, 48000}, {2, 24, 96000}, {6, 32, 192000}};
    for (const WavCase& c : cases)
    {
        HostAudio out{c.Rate, c.Channels, c.Bits, {}};
        for (ULONG i = 0; i < 1000 * out.FrameBytes(); ++i)
            out.Data.push_back((UCHAR)(i * 7 + 3));
        TempPath file;
        std::string error;
        ASSERT_TRUE(HostWriteWav(file.Path(), out, &error)) << error;
        HostAudio in;
        ASSERT_TRUE(HostReadWav(file.Path(), &in, &error)) << error;
        EXPECT_EQ(c.Rate, in.Rate);
        EXPECT_EQ(c.Channels, in.Channels);
        EXPECT_EQ(c.Bits, in.BitsPerSample);
        EXPECT_EQ(1000u, in.Frames());
        EXPECT_EQ(out.Data, in.Data) << c.Bits << " bits";
    }
}

TEST(HostWav, RefusesWhatIsNotIntegerPcmWav)
{
    std::string error;
    HostAudio in;
    EXPECT_FALSE(HostReadWav("/nonexistent/in.wav", &in, &error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent/in.wav"));

    // A float WAV file, written by the library itself.
    TempPath file;
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(file.Path().c_str(), SFM_WRITE, &info);
    ASSERT_NE(nullptr, f);
    const float samples[4] = {0.5f, -0.5f, 0.25f, 0};
    sf_write_float(f, samples, 4);
    sf_close(f);
    error.clear();
    EXPECT_FALSE(HostReadWav(file.Path(), &in, &error));
    EXPECT_NE(std::string::npos, error.find("integer PCM"));

    // Widths between the whole bytes have no encoding.
    error.clear();
    EXPECT_FALSE(HostWriteWav(file.Path(), HostAudio{48000, 2, 12, {}}, &error));
    EXPECT_NE(std::string::npos, error.find("12 bits"));
}

// Before the start, no wave filter: the run is refused, nothing opened.
TEST(HostStream, NoWaveFilterBeforeTheStart)
{
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error));
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    HostStream stream(host);
    HostAudio received;
    HostStreamSummary summary;
    EXPECT_EQ(STATUS_NOT_FOUND, stream.Play(Cosine48k(480), {}, &received, &summary));
    EXPECT_EQ("the device has no render wave filter", stream.Error());
    EXPECT_EQ(STATUS_NOT_FOUND, stream.Record(100, {}, &received, &summary));
    EXPECT_EQ("the device has no capture wave filter", stream.Error());
}

// Samples moved between containers keep their value: an 8-bit one is
// unsigned (128 is silence), a wider one two's complement, and the top byte
// carries the value either way. Each width both ways, and a wider move that
// keeps the sign.
TEST(HostRepack, SamplesKeepTheirValueAcrossContainers)
{
    const auto sample = [](int value, USHORT bits)
    {
        std::vector<UCHAR> bytes(bits / 8, 0);
        bytes.back() = (UCHAR)(bits == 8 ? value + 128 : value);
        return bytes;
    };
    for (const auto& [from, to] : {std::pair<USHORT, USHORT>{8, 16},
                                   {8, 24},
                                   {8, 32},
                                   {16, 8},
                                   {24, 8},
                                   {32, 8},
                                   {16, 32},
                                   {32, 24}})
    {
        HostAudio in{48000, 1, from, {}};
        std::vector<UCHAR> expected;
        // The top byte's values, signed: silence, the extremes, a step.
        for (int v : {0, 8, 16, -128, 127, -1})
        {
            const std::vector<UCHAR> a = sample(v, from), b = sample(v, to);
            in.Data.insert(in.Data.end(), a.begin(), a.end());
            expected.insert(expected.end(), b.begin(), b.end());
        }
        const HostAudio out = HostRepack(in, to);
        EXPECT_EQ(to, out.BitsPerSample);
        EXPECT_EQ(expected, out.Data) << from << " bits into " << to;
    }
}

// A class 1.0 synch endpoint carries no samples, whether a data endpoint
// names it or it only has a refresh rate: a speaker whose data endpoint is
// paired with one (its feedback endpoint without the usage bits, which
// class 1.0 has not) has that data endpoint only.
TEST(HostStream, SynchEndpointsAreNoDataEndpoints)
{
    const std::string speaker =
        ReadAll(std::string(LT_QUIRKS_DIR) + "/synchronous-data-with-feedback.txt");
    // The data endpoint, with its synch address; the synch one, with its refresh.
    for (const auto& [data, synch] :
         {std::pair{"09 05 01 0D C0 00 01 00 81", "09 05 81 01 03 00 01 00 00"},
          {"09 05 01 0D C0 00 01 00 00", "09 05 81 01 03 00 01 05 00"}})
    {
        SCOPED_TRACE(synch);
        std::string text = speaker, error;
        text.replace(text.find("09 05 01 0D"), strlen(data), data);
        text.replace(text.find("09 05 81 11"), strlen(synch), synch);
        const auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
        ASSERT_NE(nullptr, device) << error;
        EXPECT_EQ(std::vector<UCHAR>{}, HostDataEndpoints(*device, true));
        EXPECT_EQ(std::vector<UCHAR>{0x01}, HostDataEndpoints(*device, false));
    }
}

// A run that may pass 4 GB writes RF64 from its start, cut short or not: a
// play of a file of 4.8 GB, a recording of 13.9 hours, each pulled out after
// 50 ms. The play reads its file no further ahead than the client queue's
// four periods and the block being handed on, and the period the port holds.
TEST(HostStream, ALongRunsBoundsAreItsFilesAndItsQueues)
{
    for (const bool record : {false, true})
    {
        ScratchFolder w;
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        HostWavWriter out(w / "out.wav");
        HostStreamOptions options;
        options.UnplugAfterMs = 50;
        options.KeepReceived = false;
        options.Out = &out;
        HostStream stream(host);
        HostAudio moved;
        HostStreamSummary summary;
        RampSource file(1200000000);
        EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
                  record ? stream.Record(50000000, options, &moved, &summary)
                         : stream.Play(file, options, &moved, &summary));
        ASSERT_TRUE(out.Close(&error)) << error;
        EXPECT_EQ("RF64", ReadAll(w / "out.wav").substr(0, 4)) << record;
        EXPECT_LE(file.Ahead(), (LONGLONG)(5 * summary.PeriodFrames + 4096)) << file.Ahead();
    }
}
