// The built-in coefficient bank against what the engine is promised of it:
// the quoted values, the symmetries of the angle families, the timing of the
// direct and cross filters, the crosstalk-cancellation peaks, and tails that
// carry the head filters' decay on.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
using namespace qvrtest;
const float* const kBank = HeadphoneCoefficientBank;

const float* Head(int room, int angle, int f)
{
    return kBank + HeadIndex(room, angle, f);
}

int Peak(const float* taps, int n)
{
    int peak = 0;
    for (int i = 1; i < n; ++i)
        peak = std::fabs(taps[i]) > std::fabs(taps[peak]) ? i : peak;
    return peak;
}

double Rms(const float* taps, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i)
        sum += (double)taps[i] * taps[i];
    return std::sqrt(sum / n);
}

TEST(QvrCoefficientBank, QuotedValues)
{
    const float head[] = {0.04126f, 0.002777f, -0.148865f, 0.069702f};
    const float tail[] = {0.004303f, 0.003998f, -0.000732f, -0.003387f};
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(kBank[i], head[i]) << i;
        EXPECT_EQ(kBank[163840 / 4 + i], tail[i]) << i;
    }
}

TEST(QvrCoefficientBank, FamilyAIsMirrorSymmetricAndTheOthersAreNot)
{
    const int pairs[][2] = {{0, 3}, {1, 2}, {4, 5}, {6, 9}, {7, 8}};
    for (const BankRun& run : kRuns)
    {
        for (int a = 0; a < run.angles; ++a)
        {
            const int angle = run.firstAngle + 5 * a;
            bool mirrored = true;
            for (const auto& p : pairs)
                mirrored = mirrored && std::equal(Head(run.room, angle, p[0]),
                                                  Head(run.room, angle, p[0]) + 1024,
                                                  Head(run.room, angle, p[1]));
            EXPECT_EQ(mirrored, run.firstAngle == 24) << run.room << " " << angle;
        }
    }
}

TEST(QvrCoefficientBank, OnlyTheFrontFiltersFollowTheAngle)
{
    for (const BankRun& run : kRuns)
    {
        if (run.angles != 4)
            continue;
        for (int f = 0; f < 10; ++f)
        {
            double diff = 0.0;
            for (int a = 1; a < 4; ++a)
                for (int i = 0; i < 1024; ++i)
                    diff = std::max(
                        diff, (double)std::fabs(Head(run.room, run.firstAngle, f)[i] -
                                                Head(run.room, run.firstAngle + 5 * a, f)[i]));
            if (f < 4)
                EXPECT_GT(diff, 1e-3) << run.room << " " << run.firstAngle << " " << f;
            else if (run.firstAngle == 24)
                EXPECT_EQ(diff, 0.0) << run.room << " " << f;
            else
                EXPECT_LE(diff, 6.1e-05) << run.room << " " << f;
        }
    }
}

TEST(QvrCoefficientBank, DirectAndCrossFilterTiming)
{
    for (const BankRun& run : kRuns)
    {
        int previous = 0;
        for (int a = 0; a < run.angles; ++a)
        {
            const int angle = run.firstAngle + 5 * a;
            EXPECT_LT(Peak(Head(run.room, angle, 0), 1024), 10) << run.room << " " << angle;
            EXPECT_LT(Peak(Head(run.room, angle, 3), 1024), 10) << run.room << " " << angle;
            const int cross = Peak(Head(run.room, angle, 1), 1024);
            EXPECT_GT(cross, previous) << run.room << " " << angle;
            previous = cross;
        }
    }
    const int expected[] = {15, 17, 19, 20};
    for (int a = 0; a < 4; ++a)
    {
        EXPECT_EQ(Peak(Head(3, 24 + 5 * a, 1), 1024), expected[a]);
        EXPECT_EQ(Peak(Head(3, 24 + 5 * a, 2), 1024), expected[a]);
    }
}

TEST(QvrCoefficientBank, CrosstalkPairsPeakNearTap115)
{
    for (int angle : kCtcAngles)
    {
        const int a = Peak(kBank + CtcIndex(angle, 0), 256);
        const int b = Peak(kBank + CtcIndex(angle, 1), 256);
        EXPECT_GE(a, 112) << angle;
        EXPECT_LE(a, 119) << angle;
        EXPECT_GE(b, 113) << angle;
        EXPECT_LE(b, 125) << angle;
    }
}

// The late part of the head filters and the start of the tails lie on one
// decay: the tail's first 256 taps lie within a few dB of the head filters'
// last 256 (the fastest room decays by about 5 dB between the two windows).
TEST(QvrCoefficientBank, TailsContinueTheHeadFilters)
{
    for (const BankRun& run : kRuns)
    {
        for (int e = 0; e < 2; ++e)
        {
            double late = 0.0;
            for (int f = e; f < 10; f += 2)
                late += Rms(Head(run.room, run.firstAngle, f) + 768, 256) / 5;
            const double start = Rms(kBank + TailIndex(run.room, run.firstAngle, e), 256);
            const double db = 20 * std::log10(start / late);
            EXPECT_GT(db, -7.0) << run.room << " " << run.firstAngle << " " << e;
            EXPECT_LT(db, 3.0) << run.room << " " << run.firstAngle << " " << e;
            const float* tail = kBank + TailIndex(run.room, run.firstAngle, e);
            EXPECT_LT(Rms(tail + run.tailLen - 512, 512), start / 100) << run.room;
        }
    }
}
} // namespace
