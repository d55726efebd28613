// The block paths of interleave and de-interleave (two channels, and channel
// counts that are multiples of four) against the index definition, bit for
// bit, at every level: lengths 1 to 40, each channel at its own float offset
// from a 16-byte boundary, special values and NaN payloads, guards intact.
#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "vector_test_util.h"

namespace
{
const uint32_t Specials[] = {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u,
                             0x7FC00001u, 0xFFBFFFFFu, 0x00000001u, 0x7F7FFFFFu};

// A word no other position of the same test holds.
uint32_t Word(int c, int i)
{
    return i % 7 == 3 ? Specials[(c + i) % std::size(Specials)] ^ static_cast<uint32_t>(c << 4)
                      : 0x3F000000u + static_cast<uint32_t>(c * 4096 + i);
}

struct Case
{
    int channels;
};

class InterleaveBlocks : public ::testing::TestWithParam<Case>
{
};

TEST_P(InterleaveBlocks, MatchDefinitionAtEveryLevelLengthAndOffset)
{
    const int ch = GetParam().channels;
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (int shift = 0; shift < 4; ++shift)
            {
                std::vector<std::unique_ptr<GuardedFloats>> chans, outs;
                std::vector<const float*> in;
                std::vector<float*> out;
                for (int c = 0; c < ch; ++c)
                {
                    // Each channel at its own offset, so blocks see every mix.
                    const size_t offset = 4 * static_cast<size_t>((c + shift) % 4);
                    chans.push_back(std::make_unique<GuardedFloats>(len, offset));
                    outs.push_back(std::make_unique<GuardedFloats>(len, 4 * (3 - (c + shift) % 4)));
                    for (int i = 0; i < len; ++i)
                        (*chans.back())[i] = std::bit_cast<float>(Word(c, i));
                    in.push_back(chans.back()->Data());
                    out.push_back(outs.back()->Data());
                }
                GuardedFloats inter(static_cast<size_t>(ch) * len, 4 * static_cast<size_t>(shift));
                // With two channels or more some channel is off a 16-byte boundary.
                const DspStatus want = DspStsMisalignedBuf;
                ASSERT_EQ(want, DspInterleave32f(in.data(), ch, len, inter.Data()));
                ASSERT_TRUE(inter.GuardsIntact());
                for (int i = 0; i < len; ++i)
                    for (int c = 0; c < ch; ++c)
                        ASSERT_EQ(Word(c, i),
                                  std::bit_cast<uint32_t>(inter[static_cast<size_t>(i) * ch + c]))
                            << "level " << level << " ch " << ch << " len " << len << " frame " << i
                            << " channel " << c;
                ASSERT_EQ(want, DspDeinterleave32f(inter.Data(), ch, len, out.data()));
                for (int c = 0; c < ch; ++c)
                {
                    ASSERT_TRUE(outs[c]->GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(Word(c, i), std::bit_cast<uint32_t>((*outs[c])[i]))
                            << "level " << level << " ch " << ch << " len " << len << " frame " << i
                            << " channel " << c;
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(ChannelCounts, InterleaveBlocks,
                         ::testing::Values(Case{2}, Case{4}, Case{8}, Case{12}, Case{16}));
} // namespace
