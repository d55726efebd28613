// The real-FFT entry routines as the headphone engine uses them: order 10,
// inverse scaled by 1/1024, in place, through the dispatch rows.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "primitives/dsp.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/DspFftSpec.h"

TEST(FftDispatch, EntryRoutinesRunAtLevelZero)
{
    ASSERT_EQ(DspCpuLevel, 0);
    DspFftSpecR32f* spec = nullptr;
    ASSERT_EQ(DspFftSpecCreateR32f(&spec, 10, 2, 0), DspStsNoErr);
    std::vector<float> x(1024);
    for (int i = 0; i < 1024; ++i)
    {
        x[i] = static_cast<float>(std::sin(0.37 * i) + 0.25 * std::cos(1.9 * i));
    }
    auto data = x;
    ASSERT_EQ(DspFftFwdRInPlace32f(data.data(), spec, nullptr), DspStsNoErr);
    // The DC slot is the plain sum of the samples.
    double sum = 0;
    for (float v : x)
    {
        sum += v;
    }
    EXPECT_NEAR(data[0], sum, 1e-3);
    ASSERT_EQ(DspFftInvRInPlace32f(data.data(), spec, nullptr), DspStsNoErr);
    for (int i = 0; i < 1024; ++i)
    {
        ASSERT_NEAR(data[i], x[i], 2e-6) << i;
    }
    EXPECT_EQ(DspFftSpecFreeR32f(spec), DspStsNoErr);
    EXPECT_EQ(DspFftSpecCreateR32f(nullptr, 10, 2, 0), DspStsNullPtrErr);
    EXPECT_EQ(DspFftFwdRInPlace32f(data.data(), nullptr, nullptr), DspStsNullPtrErr);
}
