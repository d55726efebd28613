// Volume arithmetic against an independent reference (the C library's pow)
// and the listed values: tables, rounding, powers, the software gain and the
// chip's volume curve both ways.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "usbaudio/volume_arithmetic.h"

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
    } cases[] = {{2.5, 3},         {-2.5, -3},          {2.4999, 2},      {-2.4999, -2},
                 {0.5, 1},         {-0.5, -1},          {0.0, 0},         {-0.0, 0},
                 {199.5, 200},     {1e12, 0x7FFFFFFF},  {-1e12, (LONG)0x80000000},
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

// The curve as the chip reports it, row by row (reported, device in 1/256 dB).
TEST(VolumeArithmetic, CurveRows)
{
    const SHORT rows[38][2] = {
        {0, 0},           {-62, -256},      {-128, -512},     {-192, -768},     {-263, -1024},
        {-331, -1280},    {-402, -1536},    {-477, -1792},    {-556, -2048},    {-638, -2304},
        {-717, -2560},    {-804, -2816},    {-894, -3072},    {-989, -3328},    {-1088, -3584},
        {-1188, -3840},   {-1298, -4096},   {-1411, -4352},   {-1529, -4608},   {-1657, -4864},
        {-1785, -5120},   {-1920, -5376},   {-2082, -5632},   {-2240, -5888},   {-2420, -6144},
        {-2612, -6400},   {-2816, -6656},   {-3072, -6912},   {-3303, -7168},   {-3584, -7424},
        {-3917, -7680},   {-4301, -7936},   {-4788, -8192},   {-5402, -8448},   {-6221, -8704},
        {-7578, -8960},   {-8500, -9216},   {-32768, -9472}};
    for (ULONG i = 0; i < VOLUME_CURVE_ROWS; ++i)
    {
        EXPECT_EQ(rows[i][0], VolumeCurve[i].Reported) << i;
        EXPECT_EQ(rows[i][1], VolumeCurve[i].Device) << i;
        // Each reported value sends its own row's device value.
        EXPECT_EQ(rows[i][1], CurveReportedToDevice((LONG)rows[i][0] * 256)) << i;
    }
    // Every device step but the last reports its row.
    for (ULONG i = 0; i + 1 < VOLUME_CURVE_ROWS; ++i)
        EXPECT_EQ(rows[i][0], CurveDeviceToReported(rows[i][1])) << i;
}

TEST(VolumeArithmetic, CurveLookups)
{
    const struct
    {
        LONG Device;
        LONG Reported;
    } toReported[] = {{-300, -62}, {-257, -62}, {-255, 0}, {0, 0}, {100, 0},
                      {-9216, -8500}, {-9300, -8500}, {-9472, -9472}, {-10000, -10000}};
    for (const auto& c : toReported)
        EXPECT_EQ(c.Reported, CurveDeviceToReported(c.Device)) << c.Device;
    const struct
    {
        LONG Level; // 1/65536 dB
        SHORT Device;
    } toDevice[] = {{-128 * 256, -512},       {-127 * 256, -512},     {-129 * 256, -768},
                    {0, 0},                   {1, 0},                 {5 << 16, 0},
                    {-62 * 256, -256},        {-61 * 256, -256},      {-8501 * 256, -9472},
                    {LEVEL_MINUS_INFINITY, -32768},
                    // Quieter than the curve's last row: its quietest step.
                    {-40000 * 256, -9472}};
    for (const auto& c : toDevice)
        EXPECT_EQ(c.Device, CurveReportedToDevice(c.Level)) << c.Level;
}
