// The one-sample FIR of levels 1 to 3 against a double-precision dot product
// of the window, tap counts 1 to 40 (the plain chain up to 16, vectors from
// 17), with the index walk and the checks of the entry.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
using OneFn = DspStatus (*)(float, float*, const float*, int32_t, float*, int32_t*);
struct LevelCase
{
    const char* feature;
    OneFn one;
};
const LevelCase Levels[] = {{"sse3", DspFirOneSample32f_Sse3},
                            {"ssse3", DspFirOneSample32f_Ssse3},
                            {"sse4.1", DspFirOneSample32f_Sse4}};

bool Has(const char* feature)
{
    const std::string f = feature;
    return f == "sse3"    ? __builtin_cpu_supports("sse3")
           : f == "ssse3" ? __builtin_cpu_supports("ssse3")
                          : __builtin_cpu_supports("sse4.1");
}

TEST(FirOneLevels, MatchesTheWindowDotProduct)
{
    for (const LevelCase& level : Levels)
    {
        if (!Has(level.feature))
            continue;
        for (int32_t n = 1; n <= 40; ++n)
        {
            const auto h = firref::Signal(static_cast<size_t>(n), 5);
            const auto x = firref::Signal(3 * static_cast<size_t>(n) + 7, 6);
            std::vector<float> delay(static_cast<size_t>(2 * n), 0.0f);
            std::vector<double> history(static_cast<size_t>(n), 0.0);
            int32_t index = 0;
            for (size_t t = 0; t < x.size(); ++t)
            {
                float y = 0;
                ASSERT_EQ(level.one(x[t], &y, h.data(), n, delay.data(), &index), DspStsNoErr);
                history.erase(history.begin());
                history.push_back(x[t]);
                double want = 0, scale = 0;
                for (int32_t k = 0; k < n; ++k)
                {
                    want += double(h[static_cast<size_t>(n - 1 - k)]) * history[size_t(k)];
                    scale += std::fabs(double(h[size_t(k)]));
                }
                ASSERT_NEAR(y, want, 4e-7 * scale * n) << level.feature << " n " << n << " t " << t;
                ASSERT_EQ(index, static_cast<int32_t>((t + 1) % static_cast<size_t>(n)));
            }
        }
    }
}

TEST(FirOneLevels, ChecksInTheEntryOrder)
{
    float delay[4] = {}, y = 0;
    const float h[2] = {1, 2};
    for (const LevelCase& level : Levels)
    {
        int32_t index = 0;
        EXPECT_EQ(level.one(1, nullptr, h, 2, delay, &index), DspStsNullPtrErr);
        EXPECT_EQ(level.one(1, &y, nullptr, 0, delay, &index), DspStsNullPtrErr);
        EXPECT_EQ(level.one(1, &y, h, 0, nullptr, &index), DspStsFirLenErr);
        EXPECT_EQ(level.one(1, &y, h, 2, nullptr, &index), DspStsNullPtrErr);
        EXPECT_EQ(level.one(1, &y, h, 2, delay, nullptr), DspStsNullPtrErr);
        for (int32_t bad : {-1, 2})
        {
            index = bad;
            EXPECT_EQ(level.one(1, &y, h, 2, delay, &index), DspStsSizeErr);
            EXPECT_EQ(index, bad);
        }
        index = 1;
        EXPECT_EQ(level.one(3, &y, h, 2, delay, &index), DspStsNoErr);
        EXPECT_EQ(index, 0);
    }
    EXPECT_EQ(delay[0], 0.0f);
}
} // namespace
