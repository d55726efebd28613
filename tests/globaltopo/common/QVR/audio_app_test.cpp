// Block framing of the headphone engine: rates and block lengths, the fill
// and the one-block delay, independence from chunk lengths, and the
// configuration's allocation failures.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "globaltopo/common/QVR/AudioApp.h"
#include "platform/kernel/emu.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
using qvrtest::TestBank;

using AppPtr = std::unique_ptr<CAudioApp>;
using Channels = qvrtest::ChannelSet;

struct ConfigCase
{
    int32_t rate;
    int32_t in;
    int32_t out;
    int32_t result;
    int32_t direction;
    int32_t factor;
    int32_t blockLen;
};

TEST(QvrAudioApp, RatesChannelCountsAndBlockLengths)
{
    const ConfigCase cases[] = {
        {44100, 8, 2, 1, 0, 1, 512},  {48000, 8, 2, 1, 1, 1, 512},   {88200, 8, 2, 1, 1, 2, 1024},
        {96000, 6, 2, 1, 1, 2, 1024}, {32000, 2, 2, 1, -1, 1, 512},  {22050, 8, 2, 1, -1, 2, 256},
        {14700, 8, 2, 1, -1, 3, 170}, {132300, 8, 2, 0, 1, 3, 1536}, {176400, 8, 2, 0, 1, 4, 2048},
        {11025, 8, 2, 0, -1, 4, 128}, {0, 8, 2, 0, 0, 1, 512},       {44100, 0, 2, 0, 0, 1, 512},
        {44100, 9, 2, 0, 0, 1, 512},  {44100, 8, 0, 0, 0, 1, 512},   {44100, 8, 9, 0, 0, 1, 512},
        {44100, 1, 8, 1, 0, 1, 512},
    };
    AppPtr app(new CAudioApp());
    ASSERT_TRUE(app);
    EXPECT_TRUE(app->AudioAppIsReady()); // 44100 Hz, 6 in, 2 out from the start
    for (const ConfigCase& c : cases)
    {
        EXPECT_EQ(app->AudioAppConfigure(c.rate, c.in, c.out), c.result) << c.rate << " " << c.in;
        EXPECT_EQ(app->AudioAppIsReady(), c.result == 1);
        EXPECT_EQ(app->SrcDirection(), c.direction) << c.rate;
        EXPECT_EQ(app->SrcFactor(), c.factor) << c.rate;
        EXPECT_EQ(app->RealDataLen(), c.blockLen) << c.rate;
    }
}

// 1000 frames at 44100 Hz complete one block and leave 488 gathered: the
// first 512 frames out are silence, the next 488 the start of the processed
// block (twice channels 0 and 3 through the unit filters, 255 samples late).
TEST(QvrAudioApp, ThousandFramesCompleteOneBlock)
{
    TestBank bank = TestBank::Direct();
    AppPtr app(new CAudioApp(bank.data.data()));
    ASSERT_EQ(app->AudioAppConfigure(44100, 8, 2), 1);
    Channels in(8, 1000, 3);
    std::vector<float> out0(1000, 9.0f), out1(1000, 9.0f);
    float* out[2] = {out0.data(), out1.data()};
    EXPECT_EQ(app->AudioAppProcess(out, 2, in.At(0), 8, 1000), 1);
    EXPECT_EQ(app->FillPos(), 488);
    for (int i = 0; i < 512 + 255; ++i)
        ASSERT_EQ(out0[i], 0.0f) << i;
    for (int t = 255; t < 488; ++t)
    {
        const double x0 = in.data[0][t - 255] + 1e-10, x3 = in.data[3][t - 255] + 1e-10;
        const double x1 = in.data[1][t - 255] + 1e-10;
        ASSERT_NEAR(out0[512 + t], 2 * (x0 + x3), 2e-6) << t;
        ASSERT_NEAR(out1[512 + t], 2 * (x1 + x3), 2e-6) << t;
    }
    EXPECT_EQ(app->AudioAppProcess(out, 2, in.At(0), 8, 0), 0);
    EXPECT_EQ(app->FillPos(), 488);
    EXPECT_EQ(app->AudioAppProcess(out, 2, in.At(0), 8, 24), 1); // 488 + 24
    EXPECT_EQ(app->FillPos(), 0);
}

// The result depends on the frames only, not on how they are cut into
// chunks; input and output lists may be the same buffers. Processing runs at
// DISPATCH_LEVEL and allocates nothing.
TEST(QvrAudioApp, ChunkLengthsDoNotMatter)
{
    for (int32_t rate : {44100, 48000, 88200, 22050})
    {
        const size_t total = 6000;
        Channels whole(8, total, 17), pieces(8, total, 17);
        AppPtr a(new CAudioApp()), b(new CAudioApp());
        ASSERT_EQ(a->AudioAppConfigure(rate, 8, 2), 1);
        ASSERT_EQ(b->AudioAppConfigure(rate, 8, 2), 1);
        a->AudioAppProcess(whole.At(0), 2, whole.At(0), 8, total);
        const uint32_t chunks[] = {1, 479, 480, 512, 513, 1024, 7, 1000};
        const unsigned long long allocations = EmuPoolAllocationCount();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        size_t done = 0;
        for (int i = 0; done < total; ++i)
        {
            const uint32_t n = (uint32_t)std::min<size_t>(chunks[i % 8], total - done);
            b->AudioAppProcess(pieces.At(done), 2, pieces.At(done), 8, n);
            done += n;
        }
        KeLowerIrql(old);
        EXPECT_EQ(EmuPoolAllocationCount(), allocations);
        EXPECT_EQ(whole.data[0], pieces.data[0]) << rate;
        EXPECT_EQ(whole.data[1], pieces.data[1]) << rate;
    }
}

// Each allocation of a configuration failing in turn: the configuration says
// so, processing passes the input through, and a later configuration works.
TEST(QvrAudioApp, EveryAllocationFailureIsReported)
{
    AppPtr app(new CAudioApp());
    const unsigned long long before = EmuPoolAllocationCount(QVR_POOL_TAG);
    ASSERT_EQ(app->AudioAppConfigure(48000, 8, 2), 1);
    const ULONG allocations = (ULONG)(EmuPoolAllocationCount(QVR_POOL_TAG) - before);
    // Blocks in and out, eight converters of 18 blocks each, engine buffers.
    EXPECT_EQ(allocations, 8u + 2u + 8u * 18u + 8u + 8u);
    Channels in(8, 600, 9);
    for (ULONG skip = 0; skip < allocations; ++skip)
    {
        EmuPoolInjectFailure(QVR_POOL_TAG, skip);
        EXPECT_EQ(app->AudioAppConfigure(48000, 8, 2), 0) << skip;
        EmuPoolClearInjection();
        EXPECT_FALSE(app->AudioAppIsReady());
        std::vector<float> out0(600), out1(600);
        float* out[2] = {out0.data(), out1.data()};
        EXPECT_EQ(app->AudioAppProcess(out, 2, in.At(0), 8, 600), 0);
        EXPECT_EQ(out0, in.data[0]) << skip;
        EXPECT_EQ(out1, in.data[1]) << skip;
    }
    EXPECT_EQ(app->AudioAppConfigure(48000, 8, 2), 1);
}

} // namespace
