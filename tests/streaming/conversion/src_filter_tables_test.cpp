// The coefficient tables: symmetry, gains, the largest taps and the polyphase
// rows that the resampling stages rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "streaming/conversion/src_filter_tables.h"

namespace
{
struct BandCase
{
    const char* Name;
    const float* Taps;
    int Count;
    double Largest;
};

const BandCase c_BandCases[] = {
    {"HalfBand", g_SrcHalfBandTaps, SRC_HALF_BAND_TAPS, 0.45694},
    {"QuarterBand", g_SrcQuarterBandTaps, SRC_QUARTER_BAND_TAPS, 0.24821},
};

class SrcBandTable : public testing::TestWithParam<BandCase>
{
};

TEST_P(SrcBandTable, IsSymmetricWithItsGainAndPeak)
{
    const BandCase& c = GetParam();
    for (int i = 0; i < c.Count / 2; ++i)
    {
        EXPECT_EQ(c.Taps[i], c.Taps[c.Count - 1 - i]) << "tap " << i;
    }
    const double sum = std::accumulate(c.Taps, c.Taps + c.Count, 0.0);
    EXPECT_NEAR(sum, 1.001, 1e-6);
    const float* largest = std::max_element(c.Taps, c.Taps + c.Count);
    EXPECT_NEAR(*largest, c.Largest, 5e-6);
    // The peak is the pair at the centre.
    EXPECT_EQ(largest - c.Taps, c.Count / 2 - 1);
}

INSTANTIATE_TEST_SUITE_P(Tables, SrcBandTable, testing::ValuesIn(c_BandCases),
                         [](const testing::TestParamInfo<BandCase>& info)
                         { return std::string(info.param.Name); });

template <int Phases, int Taps> void ExpectRowsSumToOne(const float (&bank)[Phases][Taps])
{
    for (int p = 0; p < Phases; ++p)
    {
        const double sum = std::accumulate(bank[p], bank[p] + Taps, 0.0);
        EXPECT_NEAR(sum, 1.0, 1e-6) << "row " << p;
    }
}

TEST(SrcBankTable, EveryRowSumsToOne)
{
    ExpectRowsSumToOne(g_SrcBank44To48);
    ExpectRowsSumToOne(g_SrcBank48To44);
}

TEST(SrcBankTable, FirstRowOf44To48IsTheImpulseAtTap10)
{
    for (int k = 0; k < SRC_BANK_44_TO_48_TAPS; ++k)
    {
        EXPECT_EQ(g_SrcBank44To48[0][k], k == 10 ? 1.0f : 0.0f) << "tap " << k;
    }
}

// Both banks are rows of one linear-phase prototype each: tap p + phases * k
// mirrors around the prototype's centre (1600 for the 160-phase bank, whose
// outermost tap is zero, and 1763.5 for the 147-phase bank).
TEST(SrcBankTable, RowsMirrorTheirPartners)
{
    for (int p = 1; p < SRC_BANK_44_TO_48_PHASES; ++p)
    {
        for (int k = 0; k < SRC_BANK_44_TO_48_TAPS; ++k)
        {
            EXPECT_EQ(
                g_SrcBank44To48[p][k],
                g_SrcBank44To48[SRC_BANK_44_TO_48_PHASES - p][SRC_BANK_44_TO_48_TAPS - 1 - k]);
        }
    }
    for (int p = 0; p < SRC_BANK_48_TO_44_PHASES; ++p)
    {
        for (int k = 0; k < SRC_BANK_48_TO_44_TAPS; ++k)
        {
            EXPECT_EQ(
                g_SrcBank48To44[p][k],
                g_SrcBank48To44[SRC_BANK_48_TO_44_PHASES - 1 - p][SRC_BANK_48_TO_44_TAPS - 1 - k]);
        }
    }
}
} // namespace
