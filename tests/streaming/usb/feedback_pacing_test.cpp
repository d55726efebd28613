// The feedback values of an asynchronous device: decoding both formats with
// the snapped 44.1 kHz family, the rate of a value against an exact rational
// reference, and the averaging window with its doubled deviation; and what
// the class 2.0 streams ask of the device beside their data.
#include <gtest/gtest.h>

#include <vector>

#include "streaming/usb/feedback_pacing.h"
#include "streaming/usb/uac2_stream_requests.h"
#include "tests/streaming/usb/usb_stream_rig.h"

namespace
{
// floor(value x packets / 65536) in exact integer arithmetic.
ULONG ReferenceRate(ULONG value, ULONG packetsPerSecond)
{
    return (ULONG)(((unsigned __int128)value * packetsPerSecond) >> 16);
}

std::vector<UCHAR> Bytes(ULONG value, ULONG count)
{
    std::vector<UCHAR> b;
    for (ULONG i = 0; i < count; ++i)
        b.push_back((UCHAR)(value >> (8 * i)));
    return b;
}
} // namespace

TEST(FeedbackPacing, DecodesBothFormatsAndSnapsTheTruncatedFamily)
{
    struct Case
    {
        ULONG Raw;
        ULONG Bytes;
        ULONG Expected; // 16.16
    } cases[] = {
        // 10.14 values are read as 16.16 by four.
        {0x0B0640, 3, 0x2C199A}, // 44.1 per frame, truncated
        {0x0AE640, 3, 0x2B99A0}, // 43.6
        {0x0B2640, 3, 0x2C99A0}, // 44.6
        {0x160CC0, 3, 0x583338}, // 88.2
        {0x15ECC0, 3, 0x57B338},
        {0x162CC0, 3, 0x58B338},
        {0x2C1980, 3, 0xB06668}, // 176.4
        {0x2BF980, 3, 0xAFE668},
        {0x2C3980, 3, 0xB0E668},
        {0x0B0641, 3, 0x2C1904}, // one unit off: as read
        {0x0C0000, 3, 0x300000}, // 48 per frame
        {0x00FFFFFF, 3, 0x03FFFFFC},
        // 16.16 values per microframe.
        {0x58380, 4, 0x58334}, // 5.5125
        {0x57380, 4, 0x57334},
        {0x59380, 4, 0x59334},
        {0xB0640, 4, 0xB0667}, // 11.025
        {0xAF640, 4, 0xAF667},
        {0xB1640, 4, 0xB1667},
        {0x160C60, 4, 0x160CCD}, // 22.05
        {0x15FC60, 4, 0x15FCCD},
        {0x161C60, 4, 0x161CCD},
        {0x2C1900, 4, 0x2C1900}, // the 3-byte family is not snapped in 16.16
        {0x60000, 4, 0x60000},   // 6 per microframe
        {0xFFFFFFFF, 4, 0xFFFFFFFF},
    };
    for (const Case& c : cases)
    {
        const std::vector<UCHAR> b = Bytes(c.Raw, c.Bytes);
        EXPECT_EQ(c.Expected, FeedbackSixteenSixteen(b.data(), c.Bytes)) << std::hex << c.Raw;
    }
    const UCHAR five[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0u, FeedbackSixteenSixteen(five, 2));
    EXPECT_EQ(0u, FeedbackSixteenSixteen(five, 5));
}

TEST(FeedbackPacing, RateOfAValueAgainstTheExactQuotient)
{
    // The worked full-speed example: 0x0B0640 gives 44100 Hz.
    const std::vector<UCHAR> worked = Bytes(0x0B0640, 3);
    EXPECT_EQ(44100u, FeedbackRateHz(FeedbackSixteenSixteen(worked.data(), 3), 1000));
    for (ULONG packets : {1000u, 2000u, 4000u, 8000u})
        for (ULONG value : {0u, 1u, 0xFFFFu, 0x10000u, 0x2C199Au, 0x60000u, 0x60001u, 0x5FFFFu,
                            0x58334u, 0x7FFFFFFFu, 0xFFFFFFFFu / packets})
            EXPECT_EQ(ReferenceRate(value, packets), FeedbackRateHz(value, packets))
                << packets << " " << value;
}

TEST(FeedbackPacing, AverageWindowAndDoubledDeviation)
{
    struct Case
    {
        const char* What;
        std::vector<ULONG> Rates;
        ULONG Nominal;
        ULONG Ms;
        bool Changed;
        ULONG Expected;
    } cases[] = {
        {"exact", {44100, 44100}, 44100, 10, true, 44100},
        {"50 above at 10 ms doubles", {48050, 48050}, 48000, 10, true, 48100},
        {"50 below at 10 ms doubles", {47950}, 48000, 10, true, 47900},
        {"49 above stays", {48049}, 48000, 10, true, 48049},
        {"51 above stays", {48051}, 48000, 10, true, 48051},
        {"100 above at 5 ms doubles", {48100, 48100, 48100, 48100, 48100}, 48000, 5, true, 48200},
        {"100 below at 5 ms doubles", {47900}, 48000, 5, true, 47800},
        {"100 above at 10 ms stays", {48100}, 48000, 10, true, 48100},
        {"500 at 1 ms doubles", {48500}, 48000, 1, true, 49000},
        {"1000 above counts", {49000, 48000}, 48000, 10, true, 48500},
        {"1000 below counts", {47000, 48000}, 48000, 10, true, 47500},
        {"1001 above ignored", {49001, 48000}, 48000, 10, true, 48000},
        {"1001 below ignored", {46999, 48002}, 48000, 10, true, 48002},
        {"all outside", {49001, 46999, 0}, 48000, 10, false, 0},
        {"none", {}, 48000, 10, false, 0},
        {"signed average truncates", {48001, 48002}, 48000, 10, true, 48001},
        {"average below nominal", {47998, 47997}, 48000, 10, true, 47997},
    };
    for (const Case& c : cases)
    {
        FeedbackAverage average = {c.Nominal, 0, 0};
        ULONG inside = 0;
        for (ULONG r : c.Rates)
            inside += AddFeedbackRate(&average, r) ? 1 : 0;
        EXPECT_EQ(inside, average.Count) << c.What;
        ULONG rate = 0;
        EXPECT_EQ(c.Changed, AverageFeedbackRates(average, c.Ms, &rate)) << c.What;
        if (c.Changed)
        {
            EXPECT_EQ(c.Expected, rate) << c.What;
        }
    }
}

// A value is read per microframe at high speed and per frame at full
// speed; the reading per packet of the data endpoint counts only where it
// alone lies in the window.
TEST(FeedbackPacing, ValuesAreReadPerMicroframeWithThePerPacketFallback)
{
    struct Case
    {
        const char* What;
        ULONG Value; // 16.16
        bool HighSpeed;
        ULONG PacketsPerSecond;
        ULONG Nominal;
        ULONG Expected; // 0: not counted
    } cases[] = {
        {"high speed, every microframe", 0x60000, true, 8000, 48000, 48000},
        {"high speed, bInterval 2", 0x60000, true, 4000, 48000, 48000},
        {"high speed, bInterval 4", 0x60000, true, 1000, 48000, 48000},
        {"high speed, bInterval 4, 44.1 kHz", 0x58334, true, 1000, 44100, 44100},
        {"per packet at bInterval 2", 0xC0000, true, 4000, 48000, 48000},
        {"per packet at bInterval 3", 0x180000, true, 2000, 48000, 48000},
        {"per packet at bInterval 4", 0x300000, true, 1000, 48000, 48000},
        {"neither reading", 0x90000, true, 2000, 48000, 0},
        {"full speed", 0x300000, false, 1000, 48000, 48000},
        {"full speed, per microframe is not read", 0x60000, false, 1000, 48000, 0},
        {"high speed, 96 kHz at bInterval 4", 0xC0000, true, 1000, 96000, 96000},
    };
    for (const Case& c : cases)
    {
        FeedbackAverage average = {c.Nominal, 0, 0};
        AddFeedbackValue(&average, c.Value, c.HighSpeed, c.PacketsPerSecond);
        EXPECT_EQ(c.Expected != 0 ? 1u : 0u, average.Count) << c.What;
        if (c.Expected != 0)
        {
            EXPECT_EQ(c.Expected, (ULONG)average.Sum) << c.What;
        }
    }
}

// Only bitmap bytes that arrived and that bControlSize covers are read; an
// alternate setting past them is not valid (one byte stricter than taking
// bControlSize x 8 as the bound).
TEST(FeedbackPacing, ValidAlternateSettingBitmap)
{
    struct Case
    {
        std::vector<UCHAR> Reply;
        UCHAR Setting;
        BOOLEAN Valid;
    } cases[] = {
        {{1, 0x06}, 1, TRUE},
        {{1, 0x06}, 3, FALSE},
        {{1, 0xFF}, 7, TRUE},
        {{1, 0xFF, 0xFF}, 8, FALSE}, // bControlSize 1 covers settings 0 to 7
        {{1, 0xFF, 0xFF}, 9, FALSE},
        {{2, 0xFF, 0x02}, 9, TRUE},
        {{2, 0xFF, 0x02}, 10, FALSE},
        {{2, 0xFF}, 8, FALSE}, // the second byte never came
        {{4, 0, 0, 0, 0x80}, 31, TRUE},
        {{4, 0, 0, 0, 0x80}, 32, FALSE},
        {{0, 0xFF}, 1, FALSE},
        {{1}, 0, FALSE},
        {{}, 1, FALSE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Valid, AltSettingMarkedValid(c.Reply.data(), (ULONG)c.Reply.size(), c.Setting))
            << (int)c.Setting << " of " << c.Reply.size();
}

// Preparing a class 2.0 stream refuses a missing client or frame number, and
// a stream that is not closed, before it asks for the clock.
TEST(Uac2StreamRequests, ClockStepChecksItsArgumentsFirst)
{
    StreamRig rig;
    ASSERT_TRUE(rig.Ok());
    ClientDouble wave(3, 0x11);
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ULONG frame = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PrepareStreamClock(rig.Stream(), 1, nullptr, &frame));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PrepareStreamClock(rig.Stream(), 1, wave.Record, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, rig.OpenAndStart(&wave));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              PrepareStreamClock(rig.Stream(), 1, wave.Record, &frame));
    rig.Leave(&wave);
}

// The setting query of a stream asks about the stream's own interface, and
// never about setting 0.
TEST(Uac2StreamRequests, SettingQueryAsksAboutTheStreamsOwnInterface)
{
    StreamRig rig(SimCreateReferenceDevice(SimReference::Uac2HighSpeed), false);
    ASSERT_TRUE(rig.Ok());
    const size_t requests = rig.Device()->Log().size();
    EXPECT_TRUE(QueryStreamAlternateSettingValid(rig.Stream(), 0));
    EXPECT_EQ(requests, rig.Device()->Log().size());
    rig.Device()->Audio().SetValidAltSettings(SimRef3::RecInterface, 1, 0x04);
    rig.Device()->Audio().SetValidAltSettings(SimRef3::PlayInterface, 1, 0x02);
    EXPECT_TRUE(QueryStreamAlternateSettingValid(rig.Stream(), 1));
    EXPECT_FALSE(QueryStreamAlternateSettingValid(rig.Stream(), 2)); // marked for the other one
}
