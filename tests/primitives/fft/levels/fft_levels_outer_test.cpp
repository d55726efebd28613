// The large path's members without a driver call: the radix-2 outer pass
// against a double-precision DFT of the joined halves, and the tile moves
// between separate real and imaginary arrays and the split layout.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "tests/primitives/fft/fft_variants_util.h"

namespace
{
using fftvar::Floats;
struct OuterLevel
{
    const char* name;
    void (*radix2[2])(const float*, float*, int64_t, int64_t, const float*);
    void (*gather)(const float*, const float*, float*, int64_t, int64_t, int64_t);
    void (*scatter)(float*, float*, const float*, int64_t, int64_t, int64_t);
};
#define OUTER_LEVEL(S)                                                                             \
    OuterLevel                                                                                     \
    {                                                                                              \
#S, {DspFftOuterRadix2Fwd_##S, DspFftOuterRadix2Inv_##S }, DspFftTileGatherPlanar_##S,     \
             DspFftTileScatterPlanar_##S                                                           \
    }
const OuterLevel kLevels[] = {OUTER_LEVEL(Sse3), OUTER_LEVEL(Ssse3), OUTER_LEVEL(Sse4)};

// Point p of a split-block buffer.
void Put(float* blocks, size_t p, fftref::cd v)
{
    blocks[8 * (p / 4) + p % 4] = static_cast<float>(v.real());
    blocks[8 * (p / 4) + 4 + p % 4] = static_cast<float>(v.imag());
}
} // namespace

// Each group holds the transforms of the even and the odd samples of its own
// signal; the pass joins them into the transform of the whole signal.
TEST(FftOuterPasses, RadixTwoJoinsEvenAndOddTransforms)
{
    for (const OuterLevel& lv : kLevels)
    {
        for (int64_t span : {4, 16, 256})
        {
            const int64_t groups = 3;
            for (bool inv : {false, true})
            {
                Floats tw(2 * span), in(4 * span * groups), out(4 * span * groups);
                for (int64_t p = 0; p < span; ++p)
                {
                    const double a = M_PI * static_cast<double>(p) / static_cast<double>(span);
                    tw.data()[8 * (p / 4) + p % 4] = static_cast<float>(std::cos(a));
                    tw.data()[8 * (p / 4) + 4 + p % 4] = static_cast<float>(-std::sin(a));
                }
                std::vector<std::vector<fftref::cd>> whole;
                for (int64_t g = 0; g < groups; ++g)
                {
                    const auto x = fftref::RandomSignal(4 * span, static_cast<uint32_t>(g + span));
                    whole.push_back(fftvar::FromInterleaved(x.data(), 2 * span));
                    std::vector<fftref::cd> even(span), odd(span);
                    for (int64_t p = 0; p < span; ++p)
                    {
                        even[p] = whole.back()[2 * p];
                        odd[p] = whole.back()[2 * p + 1];
                    }
                    const auto e = fftref::Dft(even, inv);
                    const auto o = fftref::Dft(odd, inv);
                    for (int64_t p = 0; p < span; ++p)
                    {
                        Put(in.data() + 4 * span * g, p, e[p]);
                        Put(in.data() + 4 * span * g, span + p, o[p]);
                    }
                }
                lv.radix2[inv](in.data(), out.data(), span, groups, tw.data());
                for (int64_t g = 0; g < groups; ++g)
                {
                    const auto got = fftvar::FromSplitBlocks(out.data() + 4 * span * g, 2 * span);
                    EXPECT_LT(fftref::RelativeError(got, fftref::Dft(whole[g], inv)), 1e-6)
                        << lv.name << " span " << span << " group " << g << " inverse " << inv;
                }
            }
        }
    }
}

TEST(FftOuterPasses, PlanarTilesGatherIntoSplitBlocksAndScatterBack)
{
    const int64_t rows = 3, cols = 8, stride = 12;
    for (const OuterLevel& lv : kLevels)
    {
        const Floats re = fftvar::FromVector(fftref::RandomSignal(rows * stride + 1, 1));
        const Floats im = fftvar::FromVector(fftref::RandomSignal(rows * stride + 1, 2));
        Floats tile(2 * rows * cols);
        lv.gather(re.data() + 1, im.data() + 1, tile.data(), stride, rows, cols);
        for (int64_t r = 0; r < rows; ++r)
        {
            for (int64_t c = 0; c < cols; ++c)
            {
                const int64_t p = r * cols + c;
                ASSERT_EQ(tile.data()[8 * (p / 4) + p % 4], re.data()[1 + r * stride + c]);
                ASSERT_EQ(tile.data()[8 * (p / 4) + 4 + p % 4], im.data()[1 + r * stride + c]);
            }
        }
        Floats backRe(rows * stride + 1, 7.0f), backIm(rows * stride + 1, 7.0f);
        lv.scatter(backRe.data() + 1, backIm.data() + 1, tile.data(), stride, rows, cols);
        for (int64_t i = 0; i < rows * stride; ++i)
        {
            const bool inTile = i % stride < cols;
            EXPECT_EQ(backRe.data()[1 + i], inTile ? re.data()[1 + i] : 7.0f) << lv.name << i;
            EXPECT_EQ(backIm.data()[1 + i], inTile ? im.data()[1 + i] : 7.0f) << lv.name << i;
        }
        EXPECT_EQ(backRe.data()[0], 7.0f);
    }
}

TEST(FftOuterPasses, BlocksOutsideTheContractAreReportedAndTouchNothing)
{
    struct Case
    {
        int64_t points, count, stride;
    };
    const Case cases[] = {{0, 1, 8}, {6, 1, 8}, {-4, 1, 8}, {8, -1, 8}, {8, 1, 4}};
    for (const OuterLevel& lv : kLevels)
    {
        for (const Case& c : cases)
        {
            Floats a(64, 1.0f), b(64, 2.0f), t(64, 3.0f);
            EmuExpectFailures failures;
            lv.gather(a.data(), b.data(), t.data(), c.stride, c.count, c.points);
            lv.scatter(a.data(), b.data(), t.data(), c.stride, c.count, c.points);
            if (c.stride >= c.points)
            {
                lv.radix2[0](a.data(), b.data(), c.points, c.count, t.data());
            }
            EXPECT_TRUE(failures.Contains("ASSERT")) << lv.name << " points " << c.points;
            EXPECT_EQ(a.Copy(), std::vector<float>(64, 1.0f));
            EXPECT_EQ(b.Copy(), std::vector<float>(64, 2.0f));
            EXPECT_EQ(t.Copy(), std::vector<float>(64, 3.0f));
        }
    }
}
