// Render pacing against an exact reference: after n packets at a constant
// rate r the stream has sent trunc(n x r / P) sample frames, P being the
// packets per second; no packet outgrows the share its data buffer has.
#include <gtest/gtest.h>

#include <vector>

#include "streaming/usb/iso_pacing.h"

namespace
{
struct PacingCase
{
    ULONG Rate;
    ULONG Nominal;
    ULONG PacketsPerFrame;
    ULONG BlockAlign;
    ULONG ExpectedBase;
    ULONG RateUsed; // after the window around nominal
};

// Sample frames sent after n packets, by exact integer arithmetic.
LONGLONG ReferenceTotal(ULONG rate, ULONG base, ULONG perSecond, ULONGLONG n)
{
    const LONGLONG step = (LONGLONG)rate - (LONGLONG)base * perSecond;
    return (LONGLONG)(n * base) + (LONGLONG)n * step / (LONGLONG)perSecond; // truncates toward 0
}

class PacingTest : public testing::TestWithParam<PacingCase>
{
};

TEST_P(PacingTest, MatchesTheExactTotalPacketByPacket)
{
    const PacingCase& c = GetParam();
    const ULONG base = PacingBaseSamples(c.Nominal, c.PacketsPerFrame);
    ASSERT_EQ(c.ExpectedBase, base);
    const ULONG perSecond = c.PacketsPerFrame * 1000;
    const ULONG perUrb = 10 * c.PacketsPerFrame;
    RenderPacing pacing = {c.Rate, c.Nominal, 0, 0, 0};
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets(perUrb);
    ULONGLONG sent = 0;
    LONGLONG samples = 0;
    // Two seconds of URBs: the fraction carries from one URB to the next.
    for (ULONG urb = 0; urb < 200; ++urb)
    {
        const ULONG bytes = PaceRenderPackets(&pacing, base, c.PacketsPerFrame, c.BlockAlign,
                                              packets.data(), perUrb);
        ULONG offset = 0;
        for (ULONG i = 0; i < perUrb; ++i)
        {
            ASSERT_EQ(offset, packets[i].Offset);
            ASSERT_EQ(0u, packets[i].Length % c.BlockAlign);
            ASSERT_LE(packets[i].Length, PacingMaxSamplesPerPacket(base) * c.BlockAlign);
            offset += packets[i].Length;
            samples += packets[i].Length / c.BlockAlign;
            ++sent;
            ASSERT_EQ(ReferenceTotal(c.RateUsed, base, perSecond, sent), samples)
                << "packet " << sent;
        }
        ASSERT_EQ(offset, bytes);
    }
    EXPECT_EQ(samples - (LONGLONG)(sent * base), (LONGLONG)pacing.ExtraSamples);
}

INSTANTIATE_TEST_SUITE_P(Rates, PacingTest,
                         testing::Values(PacingCase{48000, 48000, 1, 4, 48, 48000},
                                         PacingCase{44100, 44100, 1, 4, 44, 44100},
                                         PacingCase{44100, 44100, 8, 4, 5, 44100},
                                         PacingCase{96000, 96000, 4, 6, 24, 96000},
                                         PacingCase{192000, 192000, 8, 8, 24, 192000},
                                         // feedback at the edges of the window, and past them
                                         PacingCase{45100, 44100, 1, 4, 44, 45100},
                                         PacingCase{43100, 44100, 1, 4, 44, 43100},
                                         PacingCase{49000, 48000, 1, 6, 48, 49000},
                                         PacingCase{49001, 48000, 1, 6, 48, 49000},
                                         PacingCase{60000, 48000, 1, 6, 48, 49000},
                                         PacingCase{46999, 48000, 1, 4, 48, 47000},
                                         PacingCase{45100, 44100, 8, 4, 5, 45100}));

TEST(Pacing, FortyEightKilohertzIsFortyEightEveryPacket)
{
    RenderPacing pacing = {48000, 48000, 0, 0, 0};
    USBD_ISO_PACKET_DESCRIPTOR packets[10];
    EXPECT_EQ(1920u, PaceRenderPackets(&pacing, 48, 1, 4, packets, 10));
    for (const auto& p : packets)
        EXPECT_EQ(192u, p.Length);
    EXPECT_EQ(0, pacing.Accumulator);
    EXPECT_EQ(0, pacing.ExtraSamples);
}

TEST(Pacing, FortyFourOneIsNineOfFortyFourThenOneOfFortyFive)
{
    RenderPacing pacing = {44100, 44100, 0, 0, 0};
    USBD_ISO_PACKET_DESCRIPTOR packets[10];
    for (int urb = 0; urb < 3; ++urb)
    {
        EXPECT_EQ(441u * 4, PaceRenderPackets(&pacing, 44, 1, 4, packets, 10));
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(176u, packets[i].Length) << i;
        EXPECT_EQ(180u, packets[9].Length);
        EXPECT_EQ(0, pacing.Accumulator);
    }
    EXPECT_EQ(3, pacing.ExtraSamples);
}

// Feedback above what the endpoint carries cuts each packet to the endpoint;
// a bound the rate never reaches changes nothing.
TEST(Pacing, APacketNeverOutgrowsTheEndpoint)
{
    struct Case
    {
        ULONG Rate, MaxSamples;
        std::vector<ULONG> Samples; // of ten packets at 44.1 kHz nominal, full speed
    } cases[] = {
        {45100, 45, std::vector<ULONG>(10, 45)},
        {45100, 46, {45, 45, 45, 45, 45, 45, 45, 45, 45, 46}},
        {44100, 45, {44, 44, 44, 44, 44, 44, 44, 44, 44, 45}},
        {44100, 44, std::vector<ULONG>(10, 44)},
    };
    for (const Case& c : cases)
    {
        RenderPacing pacing = {c.Rate, 44100, 0, 0, c.MaxSamples};
        USBD_ISO_PACKET_DESCRIPTOR packets[10];
        ULONG total = 0;
        for (ULONG s : c.Samples)
            total += s;
        EXPECT_EQ(total * 4, PaceRenderPackets(&pacing, 44, 1, 4, packets, 10)) << c.Rate;
        for (ULONG i = 0; i < 10; ++i)
            EXPECT_EQ(c.Samples[i] * 4, packets[i].Length) << c.Rate << " " << i;
        EXPECT_EQ((LONG)(total - 440), pacing.ExtraSamples) << c.Rate;
    }
}

TEST(Pacing, BaseSamplesOfNoPacketsIsZero)
{
    EXPECT_EQ(0u, PacingBaseSamples(48000, 0));
    EXPECT_EQ(48u, PacingBaseSamples(48999, 1));
    EXPECT_EQ(49u, PacingBaseSamples(49000, 1));
}
} // namespace
