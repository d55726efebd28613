// Direct-form FIR kernel against the one-output-at-a-time definition, bit for
// bit: every output count 1..40, every float alignment of source and
// destination, tap counts around the register widths, special values.
#include <gtest/gtest.h>

#include <cmath>
#include <bit>
#include <limits>
#include <vector>

#include "primitives/filters/DspFirDirect.h"
#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
// NaN payloads are not part of the result (which NaN wins an add of two is up
// to the instruction's operand order); every other value must match in bits.
bool SameResult(float a, float b)
{
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

float Definition(const float* taps, int32_t n, const float* s)
{
    float a = 0.0f;
    for (int32_t k = 0; k < n; ++k)
    {
        a += taps[k] * s[k];
    }
    return a;
}

const float Specials[] = {0.0f,
                          -0.0f,
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::denorm_min(),
                          -std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::max(),
                          1e-30f};

struct Case
{
    int32_t taps;
    bool specials;
};
} // namespace

class FirDirectKernel : public ::testing::TestWithParam<Case>
{
};

TEST_P(FirDirectKernel, MatchesDefinitionBitForBit)
{
    const int32_t n = GetParam().taps;
    auto h = firref::Signal(static_cast<size_t>(n), 3);
    for (int32_t count = 1; count <= 40; ++count)
    {
        auto x = firref::Signal(static_cast<size_t>(count + n + 8), static_cast<uint32_t>(count));
        if (GetParam().specials)
        {
            for (size_t i = 0; i < x.size(); i += 5)
            {
                x[i] = Specials[(i / 5) % std::size(Specials)];
            }
            h[static_cast<size_t>(count) % h.size()] = Specials[count % std::size(Specials)];
        }
        for (int32_t so = 0; so < 4; ++so)
        {
            for (int32_t dof = 0; dof < 4; ++dof)
            {
                // Outputs [first, last) with one guard element on each side.
                const int64_t first = 1 + dof;
                std::vector<float> y(static_cast<size_t>(count + 6), -7.0f);
                const float* s = x.data() + 4 + so; // output t reads s[t ..]
                DspFirDirectOutputs32f(h.data(), n, s - first, y.data(), first, first + count);
                EXPECT_EQ(std::bit_cast<uint32_t>(y[static_cast<size_t>(first - 1)]),
                          std::bit_cast<uint32_t>(-7.0f));
                EXPECT_EQ(std::bit_cast<uint32_t>(y[static_cast<size_t>(first + count)]),
                          std::bit_cast<uint32_t>(-7.0f));
                for (int32_t t = 0; t < count; ++t)
                {
                    const float want = Definition(h.data(), n, s + t);
                    ASSERT_TRUE(SameResult(y[static_cast<size_t>(first + t)], want))
                        << "taps " << n << " count " << count << " t " << t << " offsets " << so
                        << "/" << dof;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TapCounts, FirDirectKernel,
                         ::testing::Values(Case{1, false}, Case{2, false}, Case{3, true},
                                           Case{4, false}, Case{5, true}, Case{31, false},
                                           Case{32, true}, Case{33, false}, Case{64, true},
                                           Case{101, false}));

namespace
{
// x through a fresh state of n taps (taps and history from the seed) in the
// given blocks, every output against the definition, bit for bit.
void ExpectStreamMatchesDefinition(int32_t n, uint32_t seed, const std::vector<float>& x,
                                   const std::vector<int32_t>& blocks)
{
    const auto h = firref::Signal(static_cast<size_t>(n), seed);
    const auto history = firref::Signal(static_cast<size_t>(n), seed + 1);
    int32_t size = 0;
    ASSERT_EQ(DspStsNoErr, DspFirStateSize32f_Gen(n, &size));
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    DspFirState32f* st = nullptr;
    ASSERT_EQ(DspStsNoErr, DspFirInit32f_Gen(&st, h.data(), n, history.data(), memory.data()));
    std::vector<float> y(x.size());
    size_t pos = 0;
    for (int32_t len : blocks)
    {
        ASSERT_EQ(DspStsNoErr, DspFirFilter32f_Gen(x.data() + pos, y.data() + pos, len, st));
        pos += static_cast<size_t>(len);
    }
    ASSERT_EQ(pos, x.size());
    const auto want = firref::Convolve(h, x, history);
    for (size_t t = 0; t < x.size(); ++t)
        ASSERT_TRUE(SameResult(want[t], y[t])) << "taps " << n << " t " << t;
}
} // namespace

// Through the filter: every block length 1..40 in one stream, so the block
// kernel meets every start inside the history and the source, and the
// direct path's outputs stay bit for bit those of the definition.
TEST(FirDirectKernelInFilter, StreamOfEveryBlockLengthMatchesDefinition)
{
    std::vector<float> x = firref::Signal(820, 13); // 1 + 2 + ... + 40
    x[5] = std::numeric_limits<float>::infinity();
    x[400] = -0.0f;
    std::vector<int32_t> blocks;
    for (int32_t len = 1; len <= 40; ++len)
        blocks.push_back(len);
    for (int32_t n : {1, 4, 7, 32, 33, 70})
        ExpectStreamMatchesDefinition(n, 11, x, blocks);
}

// Blocks long enough for the broadcast table (two blocks of 32 outputs and
// more) on both sides of the split between the history buffer and the source:
// splits that end inside a block of 32 (33 taps: 36), at one (64 taps: 64),
// and tap counts beyond the table (65, 101); special values across the split.
TEST(FirDirectKernelInFilter, LongBlocksAcrossTheSplitMatchDefinition)
{
    std::vector<float> x = firref::Signal(1675, 23); // the blocks' total
    for (size_t i = 30; i < x.size(); i += 197)
        x[i] = Specials[(i / 197) % std::size(Specials)];
    for (int32_t n : {1, 5, 33, 63, 64, 65, 101})
        ExpectStreamMatchesDefinition(n, 21, x, {128, 129, 160, 192, 255, 300, 511});
}
