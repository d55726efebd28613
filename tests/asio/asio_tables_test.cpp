// The ASIO arithmetic: latencies and buffer sizes per mode, rate and index,
// the URB split of a buffer, which rates a mode takes, the sample types of
// stream formats and the formats the rings ask for. Expected values are
// worked out by hand from the latency steps 2, 4, 6, 8, 10, 20, 30, 40, 50 ms.
#include <gtest/gtest.h>

#include "asio/asio_tables.h"
#include "platform/ks/ksmedia.h"

namespace
{
struct LatencyCase
{
    ULONG Mode, Rate, Index, Input, Output;
};

TEST(AsioTables, LatenciesPerModeRateAndIndex)
{
    const LatencyCase cases[] = {
        {ASIO_MODE_PCM, 48000, 4, 480, 960},       {ASIO_MODE_PCM, 44100, 0, 88, 176},
        {ASIO_MODE_PCM, 192000, 8, 9600, 19200},   {ASIO_MODE_DSD, 2822400, 0, 5632, 11264},
        {ASIO_MODE_DSD, 3072000, 4, 30720, 61440}, {ASIO_MODE_DSD, 1411200, 1, 11264, 22528},
    };
    for (const LatencyCase& c : cases)
    {
        ULONG latencies[2] = {};
        ASSERT_TRUE(AsioLatencies(c.Mode, c.Rate, c.Index, latencies)) << c.Rate;
        EXPECT_EQ(c.Input, latencies[0]) << c.Rate << " index " << c.Index;
        EXPECT_EQ(c.Output, latencies[1]) << c.Rate << " index " << c.Index;
    }
    // The table has nine steps: index 8 is the last.
    ULONG latencies[2] = {7, 7};
    EXPECT_TRUE(AsioLatencies(ASIO_MODE_PCM, 48000, 8, latencies));
    EXPECT_FALSE(AsioLatencies(ASIO_MODE_PCM, 48000, 9, latencies));
    EXPECT_FALSE(AsioLatencies(ASIO_MODE_PCM, 48000, 0xFFFFFFFF, latencies));
}

TEST(AsioTables, BufferSizesPerMode)
{
    ULONG sizes[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, AsioBufferSizes(ASIO_MODE_PCM, 48000, 4, sizes));
    EXPECT_EQ((std::vector<ULONG>{96, 2400, 480, 1}), std::vector<ULONG>(sizes, sizes + 4));
    // DSD: index 0 is raised to 1 for the preferred size.
    ASSERT_EQ(STATUS_SUCCESS, AsioBufferSizes(ASIO_MODE_DSD, 2822400, 0, sizes));
    EXPECT_EQ((std::vector<ULONG>{11264, 140800, 11264, 64}), std::vector<ULONG>(sizes, sizes + 4));
    ASSERT_EQ(STATUS_SUCCESS, AsioBufferSizes(ASIO_MODE_DSD, 6144000, 5, sizes));
    EXPECT_EQ((std::vector<ULONG>{4 * 128 * 48, 50 * 128 * 48, 20 * 128 * 48, 128}),
              std::vector<ULONG>(sizes, sizes + 4));
    // DSD rates below the lowest, or of neither family, and indexes past the table.
    for (ULONG rate : {1411200u, 2822399u, 2822401u})
        EXPECT_EQ(STATUS_INVALID_PARAMETER, AsioBufferSizes(ASIO_MODE_DSD, rate, 1, sizes)) << rate;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AsioBufferSizes(ASIO_MODE_PCM, 48000, 9, sizes));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AsioBufferSizes(ASIO_MODE_DSD, 2822400, 9, sizes));
}

struct SplitCase
{
    ULONG Mode, Rate, Frames, Ms, Count;
};

TEST(AsioTables, UrbSplitOfTheBuffer)
{
    const SplitCase cases[] = {
        {ASIO_MODE_PCM, 48000, 480, 2, 4},     // 10 ms: 5 URBs lowered by one
        {ASIO_MODE_PCM, 48000, 96, 1, 2},      // 2 ms
        {ASIO_MODE_PCM, 48000, 48, 1, 2},      // 1 ms is raised to 2
        {ASIO_MODE_PCM, 48000, 0, 1, 2},       // no buffer at all
        {ASIO_MODE_PCM, 48000, 144, 1, 2},     // 3 ms: 3 lowered by one
        {ASIO_MODE_PCM, 48000, 336, 1, 6},     // 7 ms
        {ASIO_MODE_PCM, 48000, 384, 2, 3},     // 8 ms
        {ASIO_MODE_PCM, 48000, 720, 2, 6},     // 15 ms
        {ASIO_MODE_PCM, 48000, 768, 4, 3},     // 16 ms
        {ASIO_MODE_PCM, 48000, 912, 4, 3},     // 19 ms
        {ASIO_MODE_PCM, 48000, 960, 5, 3},     // 20 ms
        {ASIO_MODE_PCM, 48000, 2400, 5, 4},    // 50 ms: at most 5, lowered
        {ASIO_MODE_PCM, 0, 480, 1, 2},         // no rate: no division by zero
        {ASIO_MODE_DSD, 2822400, 11264, 5, 4}, // 44 frames a millisecond
    };
    for (const SplitCase& c : cases)
    {
        AsioUrbSplit split = AsioSplitBuffer(c.Mode, c.Rate, c.Frames);
        EXPECT_EQ(c.Ms, split.MsPerUrb) << c.Frames << " at " << c.Rate;
        EXPECT_EQ(c.Count, split.UrbCount) << c.Frames << " at " << c.Rate;
    }
}

TEST(AsioTables, ModesTakeTheirRates)
{
    struct Case
    {
        ULONG Mode, Rate;
        bool Fits;
    };
    const Case cases[] = {
        {ASIO_MODE_PCM, 7999, false},    {ASIO_MODE_PCM, 8000, true},
        {ASIO_MODE_PCM, 0, false},       {ASIO_MODE_PCM, 2822399, true},
        {ASIO_MODE_PCM, 2822400, false}, {ASIO_MODE_DSD, 2822399, false},
        {ASIO_MODE_DSD, 2822400, true},  {2, 48000, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Fits, AsioModeFitsRate(c.Mode, c.Rate)) << c.Mode << " " << c.Rate;
}

WAVEFORMATEXTENSIBLE Record(USHORT channels, ULONG rate, USHORT bits, USHORT valid, bool dsd)
{
    WAVEFORMATEXTENSIBLE f = {};
    EXPECT_TRUE(AsioBuildFormat(dsd ? ASIO_MODE_DSD : ASIO_MODE_PCM, 0, 16, channels, &f));
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Samples.wValidBitsPerSample = valid;
    return f;
}

TEST(AsioTables, SampleTypesOfFormats)
{
    struct Case
    {
        USHORT Bits, Valid;
        ULONG Type;
    };
    const Case cases[] = {{16, 16, 16}, {24, 24, 17}, {32, 16, 24}, {32, 24, 27},
                          {32, 32, 18}, {32, 20, 18}, {8, 8, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(c.Type, AsioTypeOfFormat(Record(2, 48000, c.Bits, c.Valid, false))) << c.Bits;
}

TEST(AsioTables, DsdRecordsPlayTheirBitRateAndOneChannelRecordsNone)
{
    // 64-bit records: rate / 64 / channel pairs.
    EXPECT_TRUE(AsioFormatPlaysRate(Record(2, 44100, 64, 64, true), ASIO_MODE_DSD, 2822400));
    EXPECT_TRUE(AsioFormatPlaysRate(Record(4, 22050, 64, 64, true), ASIO_MODE_DSD, 2822400));
    EXPECT_FALSE(AsioFormatPlaysRate(Record(2, 44101, 64, 64, true), ASIO_MODE_DSD, 2822400));
    EXPECT_FALSE(AsioFormatPlaysRate(Record(1, 44100, 64, 64, true), ASIO_MODE_DSD, 2822400));
    EXPECT_FALSE(AsioFormatPlaysRate(Record(2, 44100, 0, 0, true), ASIO_MODE_DSD, 2822400));
    // 16-bit records: rate / 16 whatever the channels.
    EXPECT_TRUE(AsioFormatPlaysRate(Record(1, 176400, 16, 16, true), ASIO_MODE_DSD, 2822400));
    // A PCM record plays its own rate only, and never in DSD mode.
    EXPECT_TRUE(AsioFormatPlaysRate(Record(2, 48000, 16, 16, false), ASIO_MODE_PCM, 48000));
    EXPECT_FALSE(AsioFormatPlaysRate(Record(2, 48000, 16, 16, false), ASIO_MODE_PCM, 44100));
    EXPECT_FALSE(AsioFormatPlaysRate(Record(2, 48000, 16, 16, false), ASIO_MODE_DSD, 48000));
}

TEST(AsioTables, RingFormatsPerTypeAndMode)
{
    WAVEFORMATEXTENSIBLE f = {};
    ASSERT_TRUE(AsioBuildFormat(ASIO_MODE_PCM, 48000, 17, 2, &f));
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, f.Format.wFormatTag);
    EXPECT_EQ(2, f.Format.nChannels);
    EXPECT_EQ(48000u, f.Format.nSamplesPerSec);
    EXPECT_EQ(24, f.Format.wBitsPerSample);
    EXPECT_EQ(24, f.Samples.wValidBitsPerSample);
    EXPECT_EQ(6, f.Format.nBlockAlign);
    EXPECT_EQ(22, f.Format.cbSize);
    EXPECT_TRUE(IsEqualGUID(KSDATAFORMAT_SUBTYPE_PCM, f.SubFormat));
    ASSERT_TRUE(AsioBuildFormat(ASIO_MODE_PCM, 96000, 25, 4, &f));
    EXPECT_EQ(32, f.Format.wBitsPerSample);
    EXPECT_EQ(18, f.Samples.wValidBitsPerSample);
    // DSD: 64 bits at the rate / 64, the DSD sub-format.
    ASSERT_TRUE(AsioBuildFormat(ASIO_MODE_DSD, 2822400, 16, 2, &f));
    EXPECT_EQ(44100u, f.Format.nSamplesPerSec);
    EXPECT_EQ(64, f.Format.wBitsPerSample);
    EXPECT_EQ(0x00004C54u, f.SubFormat.Data1);
    // Unknown types and the DSD type outside DSD mode make no format.
    for (ULONG type : {0u, 15u, 19u, 23u, 28u, 33u})
        EXPECT_FALSE(AsioBuildFormat(ASIO_MODE_PCM, 48000, type, 2, &f)) << type;
}
} // namespace
