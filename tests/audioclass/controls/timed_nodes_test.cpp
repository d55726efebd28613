// The timed volume node's gains: 10^(level / 20 dB) for at most eight
// levels, against the double-precision power.
#include <gtest/gtest.h>

#include <cmath>

#include "audioclass/controls/chain_nodes.h"

TEST(TimedNodes, VolumeGainsAgainstThePower)
{
    const LONG levels[9] = {0,     -1310720,    1310720, -6 * 65536, -393216 / 4,
                            65536, -96 * 65536, 1,       -1};
    float gains[9];
    for (float& g : gains)
        g = 42.0f;
    ASSERT_TRUE(ComputeVolumeGains(levels, 9, gains));
    EXPECT_FLOAT_EQ(1.0f, gains[0]);
    EXPECT_NEAR(0.1f, gains[1], 1e-6f);
    EXPECT_NEAR(10.0f, gains[2], 1e-5f);
    for (ULONG i = 0; i < 8; ++i)
        EXPECT_NEAR(std::pow(10.0, levels[i] / 1310720.0), gains[i],
                    1e-5 * std::pow(10.0, levels[i] / 1310720.0))
            << i;
    EXPECT_EQ(42.0f, gains[8]); // a ninth channel is not computed
}

TEST(TimedNodes, VolumeGainsEdges)
{
    const LONG levels[8] = {-1310720, -1310720, -1310720, -1310720,
                            -1310720, -1310720, -1310720, -1310720};
    float gains[8] = {};
    for (ULONG count : {0u, 1u, 7u, 8u})
    {
        for (float& g : gains)
            g = 5.0f;
        ASSERT_TRUE(ComputeVolumeGains(levels, count, gains)) << count;
        for (ULONG i = 0; i < 8; ++i)
            EXPECT_NEAR(i < count ? 0.1f : 5.0f, gains[i], 1e-6f) << count << " " << i;
    }
    EXPECT_FALSE(ComputeVolumeGains(nullptr, 1, gains));
    EXPECT_FALSE(ComputeVolumeGains(levels, 1, nullptr));
}
