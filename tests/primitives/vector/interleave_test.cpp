// Interleave and de-interleave at every level: every channel count up to 8 and
// length up to 40, aligned and misaligned buffers, bit-exact sample moves, and
// checks that leave every buffer untouched.
#include <gtest/gtest.h>

#include <memory>

#include "vector_test_util.h"

namespace
{
uint32_t Pattern(int c, int i)
{
    return 0x7F800001u + static_cast<uint32_t>(c * 1000 + i);
}

struct Channels
{
    std::vector<std::unique_ptr<GuardedFloats>> buffers;
    std::vector<float*> pointers;
    Channels(int count, int len, bool misalignLast)
    {
        for (int c = 0; c < count; ++c)
        {
            const size_t off = (misalignLast && c == count - 1) ? 4 : 0;
            buffers.push_back(std::make_unique<GuardedFloats>(static_cast<size_t>(len), off));
            pointers.push_back(buffers.back()->Data());
        }
    }
    bool Intact() const
    {
        for (const auto& b : buffers)
            if (!b->GuardsIntact())
                return false;
        return true;
    }
};

TEST(Interleave, EveryShapeAtEveryLevel)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int ch = 1; ch <= 8; ++ch)
            for (int len = 1; len <= 40; ++len)
                for (int variant = 0; variant < 3; ++variant)
                {
                    // 0: all aligned; 1: the interleaved vector misaligned; 2: the last channel.
                    const DspStatus expected = variant == 0 ? 0 : DspStsMisalignedBuf;
                    Channels src(ch, len, variant == 2);
                    for (int c = 0; c < ch; ++c)
                        for (int i = 0; i < len; ++i)
                            src.pointers[c][i] =
                                std::bit_cast<float>(Pattern(c, i) ^ (i % 2 ? 0x80000000u : 0));
                    GuardedFloats inter(static_cast<size_t>(ch) * len, variant == 1 ? 8 : 0);
                    std::vector<const float*> in(src.pointers.begin(), src.pointers.end());
                    ASSERT_EQ(expected, DspInterleave32f(in.data(), ch, len, inter.Data()));
                    ASSERT_TRUE(inter.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        for (int c = 0; c < ch; ++c)
                            ASSERT_EQ(
                                Pattern(c, i) ^ (i % 2 ? 0x80000000u : 0),
                                std::bit_cast<uint32_t>(inter[static_cast<size_t>(i) * ch + c]))
                                << level << " ch " << ch << " len " << len;

                    Channels out(ch, len, variant == 2);
                    ASSERT_EQ(expected,
                              DspDeinterleave32f(inter.Data(), ch, len, out.pointers.data()));
                    ASSERT_TRUE(out.Intact());
                    for (int c = 0; c < ch; ++c)
                        for (int i = 0; i < len; ++i)
                            ASSERT_EQ(std::bit_cast<uint32_t>(src.pointers[c][i]),
                                      std::bit_cast<uint32_t>(out.pointers[c][i]));
                }
    }
}

TEST(Interleave, TwoChannelDeinterleaveSplitsEvenAndOdd)
{
    alignas(16) float in[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    alignas(16) float left[5], right[5];
    float* out[2] = {left, right};
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        ASSERT_EQ(0, DspDeinterleave32f(in, 2, 5, out));
        for (int i = 0; i < 5; ++i)
        {
            EXPECT_EQ(2.0f * i, left[i]);
            EXPECT_EQ(2.0f * i + 1, right[i]);
        }
    }
}

TEST(Interleave, ChecksWriteNothing)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        alignas(16) float a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
        alignas(16) float dst[12] = {};
        const float* src[3] = {a, b, nullptr};
        EXPECT_EQ(DspStsNullPtrErr, DspInterleave32f(src, 3, 4, dst));
        EXPECT_EQ(DspStsNullPtrErr, DspInterleave32f(nullptr, 0, 4, dst));
        EXPECT_EQ(DspStsNullPtrErr, DspInterleave32f(src, 2, 4, nullptr));
        EXPECT_EQ(DspStsNumChannelsErr, DspInterleave32f(src, 0, 0, dst));
        EXPECT_EQ(DspStsSizeErr, DspInterleave32f(src, 2, 0, dst));
        for (float v : dst)
            EXPECT_EQ(0.0f, v);
        float* outs[3] = {a, b, nullptr};
        EXPECT_EQ(DspStsNullPtrErr, DspDeinterleave32f(dst, 3, 4, outs));
        EXPECT_EQ(DspStsNullPtrErr, DspDeinterleave32f(nullptr, 2, 4, outs));
        EXPECT_EQ(DspStsNumChannelsErr, DspDeinterleave32f(dst, -1, 4, outs));
        EXPECT_EQ(DspStsSizeErr, DspDeinterleave32f(dst, 2, -1, outs));
        EXPECT_EQ(1.0f, a[0]);
        EXPECT_EQ(8.0f, b[3]);
    }
}
} // namespace
