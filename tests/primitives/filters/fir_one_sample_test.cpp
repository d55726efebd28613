// One-sample FIR over the caller's doubled delay line.
#include <gtest/gtest.h>

#include <vector>

#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

TEST(FirOneSample, ImpulseResponseAndIndex)
{
    const float h[4] = {1.5f, -2.0f, 3.25f, 4.0f};
    std::vector<float> delay(8, 0.0f);
    int32_t index = 0;
    const float x[5] = {1, 0, 0, 0, 0};
    const float expected[5] = {1.5f, -2.0f, 3.25f, 4.0f, 0.0f};
    const int32_t indices[5] = {1, 2, 3, 0, 1};
    for (int i = 0; i < 5; ++i)
    {
        float y = -1.0f;
        ASSERT_EQ(DspFirOneSample32f_Gen(x[i], &y, h, 4, delay.data(), &index), DspStsNoErr);
        EXPECT_EQ(y, expected[i]) << i;
        EXPECT_EQ(index, indices[i]) << i;
    }
}

TEST(FirOneSample, OneTapAndWrap)
{
    float delay[2] = {0, 0};
    int32_t index = 0;
    float y = 0;
    const float h = 0.25f;
    ASSERT_EQ(DspFirOneSample32f_Gen(8.0f, &y, &h, 1, delay, &index), DspStsNoErr);
    EXPECT_EQ(y, 2.0f);
    EXPECT_EQ(delay[0], 8.0f);
    EXPECT_EQ(delay[1], 8.0f);
    EXPECT_EQ(index, 0);

    // Index n-1 writes n-1 and 2n-1, wraps to 0, window 0..n-1.
    const float taps[3] = {1.0f, 10.0f, 100.0f};
    float line[6] = {5, 6, 0, 5, 6, 0};
    index = 2;
    ASSERT_EQ(DspFirOneSample32f_Gen(7.0f, &y, taps, 3, line, &index), DspStsNoErr);
    EXPECT_EQ(line[2], 7.0f);
    EXPECT_EQ(line[5], 7.0f);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(y, 100.0f * 5 + 10.0f * 6 + 1.0f * 7);
}

TEST(FirOneSample, MatchesDoubleSumOfSingleProducts)
{
    for (int32_t n : {20, 24})
    {
        const auto h = firref::Signal(static_cast<size_t>(n), 3);
        const auto x = firref::Signal(500, 4);
        std::vector<float> delay(static_cast<size_t>(2 * n), 0.0f);
        int32_t index = 0;
        for (size_t t = 0; t < x.size(); ++t)
        {
            float y = 0;
            ASSERT_EQ(DspFirOneSample32f_Gen(x[t], &y, h.data(), n, delay.data(), &index),
                      DspStsNoErr);
            double sum = 0;
            for (int32_t k = n - 1; k >= 0; --k) // oldest sample first
            {
                const int64_t j = static_cast<int64_t>(t) - k;
                const float s = j >= 0 ? x[static_cast<size_t>(j)] : 0.0f;
                sum += static_cast<double>(h[static_cast<size_t>(k)] * s);
            }
            ASSERT_EQ(y, static_cast<float>(sum)) << t;
        }
    }
}

TEST(FirOneSample, ChecksInOrderWriteNothing)
{
    const float h[2] = {1, 2};
    float delay[4] = {1, 2, 3, 4};
    int32_t index = 1;
    float y = 9;
    EXPECT_EQ(DspFirOneSample32f_Gen(1, nullptr, nullptr, 0, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFirOneSample32f_Gen(1, &y, nullptr, 0, delay, &index), DspStsNullPtrErr);
    EXPECT_EQ(DspFirOneSample32f_Gen(1, &y, h, 0, nullptr, nullptr), DspStsFirLenErr);
    EXPECT_EQ(DspFirOneSample32f_Gen(1, &y, h, 2, nullptr, &index), DspStsNullPtrErr);
    EXPECT_EQ(DspFirOneSample32f_Gen(1, &y, h, 2, delay, nullptr), DspStsNullPtrErr);
    // An index outside the delay line is refused instead of writing past it.
    for (int32_t bad : {-1, 2, 1000})
    {
        index = bad;
        EXPECT_EQ(DspFirOneSample32f_Gen(1, &y, h, 2, delay, &index), DspStsSizeErr);
        EXPECT_EQ(index, bad);
    }
    EXPECT_EQ(y, 9.0f);
    EXPECT_EQ(delay[0], 1.0f);
    EXPECT_EQ(delay[3], 4.0f);
}
