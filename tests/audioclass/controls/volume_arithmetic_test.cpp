// Volume arithmetic against an independent reference (the C library's pow)
// and the listed values: tables, rounding, powers, the software gain and the
// chip's volume curve both ways.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audioclass/controls/volume_arithmetic.h"

TEST(VolumeArithmetic, PowerTables)
{
    for (ULONG k = 0; k < POW_TABLE2_ENTRIES; ++k)
        EXPECT_EQ(std::ldexp(1.0, (int)k), PowTable2[k]) << k;
    for (ULONG k = 0; k < POW_TABLE10_ENTRIES; ++k)
    {
        const double reference = std::pow(10.0, k / 200.0);
        EXPECT_NEAR(reference, PowTable10[k], reference * 4e-16) << k;
    }
    EXPECT_EQ(1.0, PowTable10[0]);
    EXPECT_EQ(3.1622776601683795, PowTable10[100]);
    EXPECT_EQ(10.0, PowTable10[200]);
}

TEST(VolumeArithmetic, RoundHalfAwayFromZero)
{
    const struct
    {
        double X;
        LONG Expected;
    } cases[] = {{2.5, 3},
                 {-2.5, -3},
                 {2.4999, 2},
                 {-2.4999, -2},
                 {0.5, 1},
                 {-0.5, -1},
                 {0.0, 0},
                 {-0.0, 0},
                 {199.5, 200},
                 {1e12, 0x7FFFFFFF},
                 {-1e12, (LONG)0x80000000},
                 {std::numeric_limits<double>::quiet_NaN(), 0}};
    for (const auto& c : cases)
        EXPECT_EQ(c.Expected, RoundHalfAway(c.X)) << c.X;
}

// The listed values exactly; the rest within half a table step of pow.
TEST(VolumeArithmetic, PowerOfTen)
{
    EXPECT_EQ(0.1, PowBase(10, -1.0));
    EXPECT_EQ(PowTable10[140] / 10, PowBase(10, -0.3));
    EXPECT_EQ(10.0, PowBase(10, 0.9975)); // 199.5 rounds up to entry 200
    EXPECT_EQ(PowTable10[199], PowBase(10, 0.997));
    EXPECT_EQ(PowTable10[100] * 10 * 10, PowBase(10, 2.5));
    EXPECT_EQ(PowTable10[100] / 10 / 10 / 10, PowBase(10, -2.5));
    const double halfStep = std::pow(10.0, 1.0 / 400.0) - 1.0;
    for (double x = -6.0; x <= 6.0; x += 0.0371)
    {
        const double reference = std::pow(10.0, x);
        EXPECT_NEAR(reference, PowBase(10, x), reference * (halfStep + 1e-12)) << x;
    }
    // Beyond what a double holds the repeated steps end at 0 or infinity.
    EXPECT_EQ(0.0, PowBase(10, -1000.0));
    EXPECT_EQ(std::numeric_limits<double>::infinity(), PowBase(10, 1000.0));
    EXPECT_EQ(0.0, PowBase(10, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(0.0, PowBase(3, 1.0));
    EXPECT_FLOAT_EQ(0.1f, PowBaseFloat(10.0f, -1.0f));
}

// Base 2 reads its table at the rounded exponent; an exponent that rounds
// outside it gives 0 instead of a read past the table.
TEST(VolumeArithmetic, PowerOfTwo)
{
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(std::ldexp(1.0, k), PowBase(2, k + 0.3)) << k;
    EXPECT_EQ(32768.0, PowBase(2, 15.49));
    EXPECT_EQ(0.0, PowBase(2, 15.5));
    EXPECT_EQ(1.0, PowBase(2, -0.49));
    EXPECT_EQ(0.0, PowBase(2, -0.5));
}

TEST(VolumeArithmetic, SoftwareGain)
{
    const LONG levels[] = {0, -6 << 16, -20 << 16, -96 << 16, 6 << 16, -(3 << 15)};
    for (LONG level : levels)
    {
        const double reference = std::pow(10.0, level / 65536.0 / 20.0);
        EXPECT_NEAR(reference, SoftwareGain(level), reference * 0.006) << level;
    }
    EXPECT_EQ(1.0f, SoftwareGain(0));
    EXPECT_EQ(0.0f, SoftwareGain(LEVEL_MINUS_INFINITY));
}

// The curve: 1 dB of device level a row, the reported values falling with
// it, the listed rows, and each reported value sending its own row's level.
TEST(VolumeArithmetic, CurveRows)
{
    for (ULONG i = 0; i < VOLUME_CURVE_ROWS; ++i)
    {
        EXPECT_EQ(-256 * (LONG)i, VolumeCurve[i].Device) << i;
        if (i > 0)
        {
            EXPECT_LT(VolumeCurve[i].Reported, VolumeCurve[i - 1].Reported) << i;
        }
        EXPECT_EQ(VolumeCurve[i].Device, CurveReportedToDevice(VolumeCurve[i].Reported * 256)) << i;
        if (i + 1 < VOLUME_CURVE_ROWS)
        {
            EXPECT_EQ(VolumeCurve[i].Reported, CurveDeviceToReported(VolumeCurve[i].Device)) << i;
        }
    }
    const SHORT listed[][3] = {{0, 0, 0},          {1, -62, -256},     {4, -263, -1024},
                               {21, -1920, -5376}, {27, -3072, -6912}, {35, -7578, -8960},
                               {36, -8500, -9216}, {37, -32768, -9472}};
    for (const auto& row : listed)
    {
        EXPECT_EQ(row[1], VolumeCurve[row[0]].Reported) << row[0];
        EXPECT_EQ(row[2], VolumeCurve[row[0]].Device) << row[0];
    }
}

TEST(VolumeArithmetic, CurveLookups)
{
    const struct
    {
        LONG Device;
        LONG Reported;
    } toReported[] = {{-300, -62},    {-257, -62},    {-255, 0},      {0, 0},          {100, 0},
                      {-9216, -8500}, {-9300, -8500}, {-9472, -9472}, {-10000, -10000}};
    for (const auto& c : toReported)
        EXPECT_EQ(c.Reported, CurveDeviceToReported(c.Device)) << c.Device;
    const struct
    {
        LONG Level; // 1/65536 dB
        SHORT Device;
    } toDevice[] = {{-128 * 256, -512},
                    {-127 * 256, -512},
                    {-129 * 256, -768},
                    {0, 0},
                    {1, 0},
                    {5 << 16, 0},
                    {-62 * 256, -256},
                    {-61 * 256, -256},
                    {-8501 * 256, -9472},
                    {LEVEL_MINUS_INFINITY, -32768},
                    // Quieter than the curve's last row: its quietest step.
                    {-40000 * 256, -9472}};
    for (const auto& c : toDevice)
        EXPECT_EQ(c.Device, CurveReportedToDevice(c.Level)) << c.Level;
}
