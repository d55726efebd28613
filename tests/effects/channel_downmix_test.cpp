// Impulse matrices of every narrowing, the widenings, and the pairs that must
// leave the buffers alone.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "effects/ChannelDownmix.h"

namespace
{
constexpr float Sentinel = 7.0f; // channels beyond the input count
constexpr uint32_t Frames = 3;

using Values = std::vector<float>; // one per channel, the same in every frame

// Eight channels of Frames samples; the values of the first count channels
// given, the rest Sentinel.
struct Buffers
{
    explicit Buffers(const Values& v)
    {
        for (size_t c = 0; c < 8; ++c)
        {
            data[c].assign(Frames, c < v.size() ? v[c] : Sentinel);
            table[c] = data[c].data();
        }
    }
    std::array<std::vector<float>, 8> data;
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
        Values impulse(mc.in, 0.0f);
        impulse[k] = 1.0f;
        Buffers b(impulse);
        Values expected = impulse;
        expected.resize(8, Sentinel);
        for (const Row& r : mc.rows)
        {
            expected[r.channel] = r.weights[k];
        }
        ChannelDownmix(b.table, mc.in, mc.out, Frames, mc.plain);
        EXPECT_EQ(b.data, Buffers(expected).data)
            << mc.in << " to " << mc.out << " plain " << int(mc.plain) << ", impulse on " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Narrowing, DownmixMatrix, ::testing::ValuesIn(MatrixCases));

struct WidenCase
{
    uint32_t in, out;
    Values expected; // from inputs 1, 2, ...
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
        const Values counting = {1, 2, 3, 4, 5, 6, 7, 8};
        Buffers b(Values(counting.begin(), counting.begin() + wc.in));
        ChannelDownmix(b.table, wc.in, wc.out, Frames, 1);
        EXPECT_EQ(b.data, Buffers(wc.expected).data) << wc.in << " to " << wc.out;
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
            const Values before = {0.25f, 0.5f, 0.75f, 1.0f, 1.25f, 1.5f, 1.75f, 2.0f};
            Buffers b(before);
            ChannelDownmix(b.table, in, out, Frames, plain);
            EXPECT_EQ(b.data, Buffers(before).data) << in << " to " << out;
        }
    }
    Buffers b(Values{0.25f, 0.5f, 0.75f, 1.0f, 1.25f, 1.5f});
    const auto before = b.data;
    ChannelDownmix(b.table, 6, 2, 0, 1);
    ChannelDownmix(b.table, 2, 8, 0, 1);
    EXPECT_EQ(b.data, before) << "no frames";
}

// Frames are folded each from its own samples, and only the frame count given.
TEST(ChannelDownmix, FoldsEveryFrameFromItsOwnSamplesUpToTheFrameCount)
{
    Buffers b(Values(6, 0.0f));
    b.data[4][1] = 1.0f;
    b.data[3][2] = 1.0f;
    ChannelDownmix(b.table, 6, 2, 2, 0);
    EXPECT_EQ(b.data[0], (std::vector<float>{0.0f, -0.871f, 0.0f}));
    EXPECT_EQ(b.data[1], (std::vector<float>{0.0f, 0.49f, 0.0f}));
}
} // namespace
