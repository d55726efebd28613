// The FIR entry routines through the dispatch rows, as the converter stages
// call them.
#include <gtest/gtest.h>

#include <vector>

#include "primitives/dsp.h"
#include "primitives/filters/DspFirState.h"

TEST(FirDispatch, DecimatorThroughTheEntryRoutines)
{
    // A 2:1 decimator with a two-tap average: y[m] = (x[2m] + x[2m-1]) / 2.
    const float h[2] = {0.5f, 0.5f};
    int32_t size = 0;
    ASSERT_EQ(DspFirMultirateStateSize32f(2, 1, 2, &size), DspStsNoErr);
    std::vector<uint8_t> memory(static_cast<size_t>(size));
    DspFirState32f* st = nullptr;
    ASSERT_EQ(DspFirMultirateInit32f(&st, h, 2, 1, 0, 2, 0, nullptr, memory.data()), DspStsNoErr);
    const float x[8] = {2, 4, 6, 8, 10, 12, 14, 16};
    float y[4] = {};
    ASSERT_EQ(DspFirFilter32f(x, y, 4, st), DspStsNoErr);
    EXPECT_EQ(std::vector<float>(y, y + 4), (std::vector<float>{1, 5, 9, 13}));

    float delay[4] = {};
    int32_t index = 0;
    float out = 0;
    ASSERT_EQ(DspFirOneSample32f(3.0f, &out, h, 2, delay, &index), DspStsNoErr);
    EXPECT_EQ(out, 1.5f);
}
