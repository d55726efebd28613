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
