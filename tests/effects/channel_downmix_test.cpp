// Impulse matrices of every narrowing, the widenings, and the pairs that must
// leave the buffers alone.
#include <gtest/gtest.h>

#include <vector>

#include "effects/ChannelDownmix.h"

namespace
{
constexpr float Sentinel = 7.0f; // channels beyond the input count
constexpr uint32_t Frames = 3;

struct Buffers
{
    Buffers()
    {
        for (int c = 0; c < 8; ++c)
        {
            data[c].assign(Frames, Sentinel);
            table[c] = data[c].data();
        }
    }
    std::vector<float> data[8];
    float* table[8];
};

struct Row
{
    uint32_t channel;
    std::vector<float> weights; // one per input channel
};

struct MatrixCase
{
    uint32_t in, out;
    uint8_t plain;
    std::vector<Row> rows; // channels that change; every other stays as it was
};

const float C = 0.707f;
const float Mx = 0.871f, Mb = 0.49f;   // matrix weights
const float Hx = 0.4355f, Hb = 0.245f; // halved, 8 channels to 2 and 1
float Avg(float l, float r)
{
    return 0.5f * (l + r);
}

const MatrixCase MatrixCases[] = {
    {2, 1, 1, {{0, {0.5f, 0.5f}}}},
    {4, 2, 1, {{0, {1, 0, -1, 0}}, {1, {0, 1, 0, 1}}}},
    {4, 2, 0, {{0, {1, 0, -Mx, -Mb}}, {1, {0, 1, Mb, Mx}}}},
    {4, 1, 0, {{0, {0.5f, 0.5f, Avg(-Mx, Mb), Avg(-Mb, Mx)}}, {1, {0, 1, Mb, Mx}}}},
    {6, 2, 1, {{0, {1, 0, C, C, 1, 0}}, {1, {0, 1, C, C, 0, 1}}}},
    {6, 2, 0, {{0, {1, 0, C, C, -Mx, -Mb}}, {1, {0, 1, C, C, Mb, Mx}}}},
    {6, 1, 1, {{0, {0.5f, 0.5f, C, C, 0.5f, 0.5f}}, {1, {0, 1, C, C, 0, 1}}}},
    {6, 1, 0, {{0, {0.5f, 0.5f, C, C, Avg(-Mx, Mb), Avg(-Mb, Mx)}}, {1, {0, 1, C, C, Mb, Mx}}}},
    {6,
     4,
     0,
     {{0, {1, 0, C, C, 0, 0}},
      {1, {0, 1, C, C, 0, 0}},
      {2, {0, 0, 0, 0, 1, 0}},
      {3, {0, 0, 0, 0, 0, 1}}}},
    {8, 2, 1, {{0, {1, 0, C, C, 0.5f, 0, 0.5f, 0}}, {1, {0, 1, C, C, 0, 0.5f, 0, 0.5f}}}},
    {8, 2, 0, {{0, {1, 0, C, C, -Hx, -Hb, -Hx, -Hb}}, {1, {0, 1, C, C, Hb, Hx, Hb, Hx}}}},
    {8,
     1,
     0,
     {{0, {0.5f, 0.5f, C, C, Avg(-Hx, Hb), Avg(-Hb, Hx), Avg(-Hx, Hb), Avg(-Hb, Hx)}},
      {1, {0, 1, C, C, Hb, Hx, Hb, Hx}}}},
    {8,
     4,
     1,
     {{0, {1, 0, C, C, 0, 0, 0, 0}},
      {1, {0, 1, C, C, 0, 0, 0, 0}},
      {2, {0, 0, 0, 0, 1, 0, 1, 0}},
      {3, {0, 0, 0, 0, 0, 1, 0, 1}}}},
    {8,
     4,
     0,
     {{2, {0, 0, 0, 0, Mx, Mb, 1, 0}},
      {3, {0, 0, 0, 0, Mb, Mx, 0, 1}},
      {0, {1, 0, C, C, 0, 0, 0, 0}},
      {1, {0, 1, C, C, 0, 0, 0, 0}}}},
    {8, 6, 1, {{4, {0, 0, 0, 0, 1, 0, 1, 0}}, {5, {0, 0, 0, 0, 0, 1, 0, 1}}}},
    {8, 6, 0, {{4, {0, 0, 0, 0, Mx, Mb, 1, 0}}, {5, {0, 0, 0, 0, Mb, Mx, 0, 1}}}},
};

class DownmixMatrix : public ::testing::TestWithParam<MatrixCase>
{
};

// An impulse on each input channel in turn gives one column of the matrix.
TEST_P(DownmixMatrix, ImpulseColumnsMatchTheWeights)
{
    const MatrixCase& mc = GetParam();
    for (uint32_t k = 0; k < mc.in; ++k)
    {
        Buffers b;
        for (uint32_t c = 0; c < mc.in; ++c)
        {
            b.data[c].assign(Frames, c == k ? 1.0f : 0.0f);
        }
        ChannelDownmix(b.table, mc.in, mc.out, Frames, mc.plain);
        for (uint32_t c = 0; c < 8; ++c)
        {
            float expected = c < mc.in ? (c == k ? 1.0f : 0.0f) : Sentinel;
            for (const Row& r : mc.rows)
            {
                expected = r.channel == c ? r.weights[k] : expected;
            }
            EXPECT_EQ(b.data[c], std::vector<float>(Frames, expected))
                << mc.in << " to " << mc.out << " plain " << int(mc.plain) << ", impulse on " << k
                << ", channel " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Narrowing, DownmixMatrix, ::testing::ValuesIn(MatrixCases));

struct WidenCase
{
    uint32_t in, out;
    std::vector<float> expected; // channel values after, from inputs c + 1
};

const float F = ChannelDownmixFill;
const float S = Sentinel;

TEST(ChannelDownmix, WideningMovesTheRearPairAndFillsNewChannels)
{
    const WidenCase cases[] = {
        {2, 3, {1, 2, F, S, S, S, S, S}}, {2, 8, {1, 2, F, F, F, F, F, F}},
        {4, 5, {1, 2, F, F, 3, 4, S, S}}, {4, 6, {1, 2, F, F, 3, 4, S, S}},
        {4, 7, {1, 2, F, F, 3, 4, F, S}}, {4, 8, {1, 2, F, F, 3, 4, F, F}},
        {6, 7, {1, 2, 3, 4, 5, 6, F, S}}, {6, 8, {1, 2, 3, 4, 5, 6, F, F}},
    };
    EXPECT_NE(F, 0.0f);
    for (const WidenCase& wc : cases)
    {
        Buffers b;
        for (uint32_t c = 0; c < wc.in; ++c)
        {
            b.data[c].assign(Frames, float(c + 1));
        }
        ChannelDownmix(b.table, wc.in, wc.out, Frames, 1);
        for (uint32_t c = 0; c < 8; ++c)
        {
            EXPECT_EQ(b.data[c], std::vector<float>(Frames, wc.expected[c]))
                << wc.in << " to " << wc.out << ", channel " << c;
        }
    }
}

// Equal counts, no frames, and pairs no table lists change nothing.
TEST(ChannelDownmix, UnlistedPairsLeaveEveryBufferAlone)
{
    const std::pair<uint32_t, uint32_t> pairs[] = {
        {2, 2}, {6, 6}, {4, 3}, {6, 5}, {8, 7}, {8, 5}, {8, 3}, {6, 3}, {3, 1}, {5, 2},
        {7, 2}, {9, 2}, {1, 2}, {1, 8}, {3, 8}, {5, 8}, {7, 8}, {2, 9}, {4, 9}, {0, 2},
    };
    for (uint8_t plain : {0, 1})
    {
        for (const auto& [in, out] : pairs)
        {
            Buffers b;
            for (uint32_t c = 0; c < 8; ++c)
            {
                b.data[c].assign(Frames, 0.25f * float(c + 1));
            }
            ChannelDownmix(b.table, in, out, Frames, plain);
            for (uint32_t c = 0; c < 8; ++c)
            {
                EXPECT_EQ(b.data[c], std::vector<float>(Frames, 0.25f * float(c + 1)))
                    << in << " to " << out << ", channel " << c;
            }
        }
    }
    Buffers b;
    ChannelDownmix(b.table, 6, 2, 0, 1);
    ChannelDownmix(b.table, 2, 8, 0, 1);
    for (uint32_t c = 0; c < 8; ++c)
    {
        EXPECT_EQ(b.data[c], std::vector<float>(Frames, Sentinel));
    }
}

// Frames are folded each from its own samples, and only the frame count given.
TEST(ChannelDownmix, FoldsEveryFrameFromItsOwnSamplesUpToTheFrameCount)
{
    Buffers b;
    for (uint32_t c = 0; c < 6; ++c)
    {
        b.data[c] = {0.0f, c == 4 ? 1.0f : 0.0f, c == 3 ? 1.0f : 0.0f};
    }
    ChannelDownmix(b.table, 6, 2, 2, 0);
    EXPECT_EQ(b.data[0], (std::vector<float>{0.0f, -0.871f, 0.0f}));
    EXPECT_EQ(b.data[1], (std::vector<float>{0.0f, 0.49f, 0.0f}));
}
} // namespace
