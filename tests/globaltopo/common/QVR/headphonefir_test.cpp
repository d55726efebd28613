// The headphone filter against a direct time-domain model of what it
// renders: the stream mix, the surround fold, head filters, the shared tail
// from tap 1024 on, the gain of 2 and the 255-sample bypass of the
// crosstalk-cancellation stage; the stage itself against its two convolutions.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "globaltopo/common/QVR/headphonefir.h"
#include "platform/kernel/emu.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
using qvrtest::TestBank;
constexpr int N = HEADPHONEFIR_N;
constexpr int kBypassDelay = 255;

using Signals = std::vector<std::vector<float>>; // [channel][sample]

// Runs whole blocks of the channels through the filter; returns both outputs.
Signals Render(CHeadphoneFir& fir, const Signals& in, int blocks)
{
    const int channels = (int)in.size();
    Signals out(2, std::vector<float>(blocks * N));
    std::vector<std::vector<float>> block(channels, std::vector<float>(N));
    std::vector<float*> inPtr(channels);
    float* outPtr[2];
    for (int b = 0; b < blocks; ++b)
    {
        for (int c = 0; c < channels; ++c)
        {
            std::copy(in[c].begin() + b * N, in[c].begin() + (b + 1) * N, block[c].begin());
            inPtr[c] = block[c].data();
        }
        outPtr[0] = out[0].data() + b * N;
        outPtr[1] = out[1].data() + b * N;
        fir.HeadphoneFirProcess(outPtr, 2, inPtr.data(), channels, N);
    }
    return out;
}

// The streams of the input layout, in double: fronts with channel 3, centre,
// and the surrounds with the side pair folded in.
std::vector<std::vector<double>> Streams(const Signals& x)
{
    const size_t n = x[0].size();
    std::vector<std::vector<double>> s(x.size() == 2 ? 2 : 5, std::vector<double>(n));
    const bool sides = x.size() == 8;
    for (size_t i = 0; i < n && x.size() == 2; ++i)
        s[0][i] = x[0][i], s[1][i] = x[1][i];
    for (size_t i = 0; i < n && x.size() > 2; ++i)
    {
        s[0][i] = (double)x[0][i] + x[3][i];
        s[1][i] = (double)x[1][i] + x[3][i];
        s[2][i] = x[2][i];
        s[3][i] = sides ? 0.871 * x[4][i] + x[6][i] + 0.49 * x[5][i] : x[4][i];
        s[4][i] = sides ? 0.49 * x[4][i] + x[7][i] + 0.871 * x[5][i] : x[5][i];
    }
    return s;
}

// Direct convolution over the non-zero taps of each filter, then the bypass.
std::vector<std::vector<double>> Reference(const float* head, const float* tail, int tailLen,
                                           const Signals& x)
{
    const auto s = Streams(x);
    const int n = (int)x[0].size();
    std::vector<double> sum(n, 0.0);
    for (const auto& stream : s)
        for (int i = 0; i < n; ++i)
            sum[i] += stream[i];
    std::vector<std::vector<double>> y(2, std::vector<double>(n, 0.0));
    for (int e = 0; e < 2; ++e)
    {
        for (size_t k = 0; k < s.size(); ++k)
        {
            const float* h = head + (2 * k + e) * 1024;
            for (int m = 0; m < 1024; ++m)
                for (int i = m; h[m] != 0.0f && i < n; ++i)
                    y[e][i] += 2.0 * h[m] * s[k][i - m];
        }
        const float* g = tail + e * tailLen;
        for (int m = 0; m < tailLen; ++m)
            for (int i = m + 1024; g[m] != 0.0f && i < n; ++i)
                y[e][i] += 2.0 * g[m] * sum[i - 1024 - m];
    }
    std::vector<std::vector<double>> out(2, std::vector<double>(n, 0.0));
    for (int e = 0; e < 2; ++e)
        for (int i = kBypassDelay; i < n; ++i)
            out[e][i] = y[e][i - kBypassDelay];
    return out;
}

// Sparse random filters: a few dozen taps anywhere in every filter, so every
// partition of the head and the tail is exercised and the model stays cheap.
void FillSparse(TestBank& bank, int room, int angle, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> headTap(0, 1023),
        tailTap(0, qvrtest::FindRun(room, angle).tailLen - 1);
    std::uniform_real_distribution<float> value(-0.5f, 0.5f);
    for (int f = 0; f < 10; ++f)
        for (int t = 0; t < 24; ++t)
            bank.Head(room, angle, f)[headTap(gen)] = value(gen);
    for (int e = 0; e < 2; ++e)
        for (int t = 0; t < 24; ++t)
            bank.Tail(room, angle, e)[tailTap(gen)] = value(gen);
}

Signals RandomChannels(int channels, int samples, uint32_t seed)
{
    return qvrtest::ChannelSet(channels, samples, seed).data;
}

TEST(QvrHeadphoneFir, PartitionedConvolutionEqualsDirectConvolution)
{
    const struct
    {
        int channels, room, angle;
    } cases[] = {{8, 3, 24}, {6, 2, 35}, {2, 1, 31}, {8, 3, 40}};
    for (const auto& c : cases)
    {
        TestBank bank;
        FillSparse(bank, c.room, c.angle, 100 + c.room * 7 + c.angle);
        auto fir = std::make_unique<CHeadphoneFir>(bank.data.data());
        ASSERT_TRUE(fir->HeadphoneFirReady());
        fir->HeadphoneFirSelectFilters(c.room, c.angle);
        const int blocks = 24; // past the longest tail of 7168 taps
        const Signals x = RandomChannels(c.channels, blocks * N, c.angle);
        const Signals out = Render(*fir, x, blocks);
        const auto ref = Reference(bank.Head(c.room, c.angle, 0), bank.Tail(c.room, c.angle, 0),
                                   qvrtest::FindRun(c.room, c.angle).tailLen, x);
        for (int e = 0; e < 2; ++e)
            for (int i = 0; i < blocks * N; ++i)
                ASSERT_NEAR(out[e][i], ref[e][i], 2e-4) << c.channels << " " << e << " " << i;
    }
}

// With the bank as built: an impulse on channel 0 of eight comes out as twice
// head filters 0 and 1, then twice the tails, 255 samples late.
TEST(QvrHeadphoneFir, ImpulseOnFrontLeftRendersTheBankResponses)
{
    auto fir = std::make_unique<CHeadphoneFir>();
    EXPECT_EQ(fir->HeadphoneFirRoom(), 1); // the filter's own start-up selection
    EXPECT_EQ(fir->HeadphoneFirAngle(), 29);
    const int blocks = 10;
    Signals x(8, std::vector<float>(blocks * N, 0.0f));
    x[0][0] = 1.0f;
    const Signals out = Render(*fir, x, blocks);
    const float* bank = HeadphoneCoefficientBank;
    for (int e = 0; e < 2; ++e)
    {
        const float* head = bank + qvrtest::HeadIndex(1, 29, e);
        const float* tail = bank + qvrtest::TailIndex(1, 29, e);
        for (int i = 0; i < blocks * N; ++i)
        {
            const int t = i - kBypassDelay;
            const float expected = t < 0      ? 0.0f
                                   : t < 1024 ? 2 * head[t]
                                   : t < 4096 ? 2 * tail[t - 1024]
                                              : 0.0f;
            ASSERT_NEAR(out[e][i], expected, 2e-6) << e << " " << i;
        }
    }
}

// A filter change applies to the signal already gathered: from the block of
// the change on, the convolution is that of a filter that had the new set all
// along (it leaves the stage 255 samples later), with tails of the same or of
// another length.
TEST(QvrHeadphoneFir, SwitchingFiltersKeepsTheHistory)
{
    const int32_t cases[][4] = {// first room code, angle; then room index, angle of the switch
                                {3, 24, 0, 39},
                                {3, 24, 1, 24},
                                {1, 25, 0, 31},
                                {2, 30, 1, 25}};
    const Signals x = RandomChannels(6, 20 * N, 5);
    Signals head(6), rest(6);
    for (int c = 0; c < 6; ++c)
    {
        head[c].assign(x[c].begin(), x[c].begin() + 15 * N);
        rest[c].assign(x[c].begin() + 15 * N, x[c].end());
    }
    for (const auto& c : cases)
    {
        auto steady = std::make_unique<CHeadphoneFir>();
        auto switched = std::make_unique<CHeadphoneFir>();
        steady->HeadphoneFirSetRoomAndAngle(c[2], c[3]);
        switched->HeadphoneFirSelectFilters(c[0], c[1]);
        const Signals first = Render(*steady, x, 20);
        Render(*switched, head, 15);
        switched->HeadphoneFirSetRoomAndAngle(c[2], c[3]);
        const Signals after = Render(*switched, rest, 5);
        for (int e = 0; e < 2; ++e)
            for (int i = kBypassDelay; i < 5 * N; ++i)
                ASSERT_EQ(after[e][i], first[e][15 * N + i]) << c[0] << " " << c[1] << " " << i;
    }
}

TEST(QvrHeadphoneFir, CrosstalkCancellationIsTheSymmetricMatrix)
{
    TestBank bank = TestBank::Direct();
    const std::vector<float> a = qvrtest::RandomSignal(256, 11, 0.3f);
    const std::vector<float> b = qvrtest::RandomSignal(256, 12, 0.3f);
    std::copy(a.begin(), a.end(), bank.Ctc(15, 0));
    std::copy(b.begin(), b.end(), bank.Ctc(15, 1));
    auto fir = std::make_unique<CHeadphoneFir>(bank.data.data());
    fir->HeadphoneFirSetCTCAngle(15);
    EXPECT_EQ(fir->HeadphoneFirCTCTaps(), 256);
    const Signals x = RandomChannels(2, 6 * N, 21);
    const Signals out = Render(*fir, x, 6);
    for (int i = 0; i < 6 * N; ++i)
    {
        double l = 0.0, r = 0.0;
        for (int j = 0; j < 256 && j <= i; ++j)
        {
            l += a[j] * 2.0 * x[0][i - j] + b[j] * 2.0 * x[1][i - j];
            r += b[j] * 2.0 * x[0][i - j] + a[j] * 2.0 * x[1][i - j];
        }
        ASSERT_NEAR(out[0][i], l, 1e-4) << i;
        ASSERT_NEAR(out[1][i], r, 1e-4) << i;
    }
}

// Setting the angle it already has keeps the stage's history (the output
// runs on as if nothing happened); a real change clears it.
TEST(QvrHeadphoneFir, RepeatedCtcAngleClearsOnce)
{
    const Signals x = RandomChannels(2, N, 31);
    auto secondBlock = [&](std::initializer_list<int32_t> angles)
    {
        auto fir = std::make_unique<CHeadphoneFir>();
        fir->HeadphoneFirSetCTCAngle(20);
        Render(*fir, x, 1);
        for (int32_t angle : angles)
            fir->HeadphoneFirSetCTCAngle(angle);
        return Render(*fir, x, 1);
    };
    EXPECT_EQ(secondBlock({20}), secondBlock({}));
    EXPECT_NE(secondBlock({10, 20}), secondBlock({}));
}

struct SelectionCase
{
    int32_t roomIndex;
    int32_t angle;
    int32_t room;
    int32_t code;
};

TEST(QvrHeadphoneFir, RoomIndexAndAngleCodeMapping)
{
    const SelectionCase cases[] = {
        {0, 24, 3, 24}, {1, 25, 2, 25},  {2, 40, 1, 40}, {0, 31, 3, 31},
        {1, 39, 2, 39}, {-1, 29, 2, 29}, {3, 30, 2, 30}, {2, -1, 1, 24},
        {0, 26, 3, 24}, {1, 41, 2, 24},  {1, 23, 2, 24},
    };
    auto fir = std::make_unique<CHeadphoneFir>();
    for (const SelectionCase& c : cases)
    {
        EXPECT_EQ(fir->HeadphoneFirSetRoomAndAngle(c.roomIndex, c.angle), 1);
        EXPECT_EQ(fir->HeadphoneFirRoom(), c.room) << c.roomIndex << " " << c.angle;
        EXPECT_EQ(fir->HeadphoneFirAngle(), c.code) << c.roomIndex << " " << c.angle;
    }
    const int32_t tailParts[][3] = {{3, 24, 14}, {2, 24, 6}, {2, 30, 10}, {1, 35, 6}, {2, 31, 12}};
    for (const auto& t : tailParts)
    {
        fir->HeadphoneFirSelectFilters(t[0], t[1]);
        EXPECT_EQ(fir->HeadphoneFirTailParts(), t[2]) << t[0] << " " << t[1];
    }
}

TEST(QvrHeadphoneFir, PairOutsideTheBankContributesNothing)
{
    auto fir = std::make_unique<CHeadphoneFir>();
    EXPECT_EQ(fir->HeadphoneFirSelectFilters(2, 26), 1);
    EXPECT_EQ(fir->HeadphoneFirTailParts(), -1);
    const Signals out = Render(*fir, RandomChannels(8, 4 * N, 41), 4);
    for (int e = 0; e < 2; ++e)
        for (float v : out[e])
            ASSERT_EQ(v, 0.0f);
}

TEST(QvrHeadphoneFir, RefusesShortBlocks)
{
    auto fir = std::make_unique<CHeadphoneFir>();
    // A block of another length, or a single output, would overrun the
    // buffers: the block is left untouched.
    std::vector<float> small(256, 7.0f);
    float* one[2] = {small.data(), small.data()};
    fir->HeadphoneFirProcess(one, 2, one, 2, 256);
    fir->HeadphoneFirProcess(one, 1, one, 2, 512);
    EXPECT_EQ(small, std::vector<float>(256, 7.0f));
}

TEST(QvrHeadphoneFir, FailedFftSpecificationIsReported)
{
    EmuPoolInjectFailure(POOL_TAG("DSPL"), 0);
    auto fir = std::make_unique<CHeadphoneFir>();
    EmuPoolClearInjection();
    EXPECT_FALSE(fir->HeadphoneFirReady());
}
} // namespace
