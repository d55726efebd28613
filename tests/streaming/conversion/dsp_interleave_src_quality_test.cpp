// Quality of the rate conversion, measured end to end: sine sweeps through
// the converter and the spectrum of what comes out. Passband tones (20 Hz to
// 20 kHz) give the passband gain and ripple, and every other component of
// their output (images, aliases) gives the stopband attenuation; for a lower
// output rate, tones that would alias into 0..20 kHz are swept too. The limits sit just
// under what the checked-in tables reach, so a worse table fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "streaming/conversion/dsp_interleave_src.h"
#include "tests/streaming/conversion/src_test_util.h"

namespace
{
constexpr size_t kBlock = 8192;  // spectrum length, output samples
constexpr size_t kSettle = 1024; // output samples skipped while the filters fill
constexpr double kAmplitude = 0.5;
constexpr size_t kToneGuard = 12;     // bins around a tone that belong to it
constexpr double kPassEdge = 20000.0; // the flat band of every pair

// Every passband tone comes out within this of its own level.
constexpr double kMaxGainDb = 0.5;

struct Figures
{
    double RippleDb = 0.0; // largest minus smallest passband gain
    double GainDb = 0.0;   // largest passband gain away from 0 dB, either way
    double StopDb = 1e9;   // weakest attenuation of anything else
};

size_t Bin(double freq, double rate)
{
    return (size_t)std::lround(freq * (double)kBlock / rate);
}

// The spectrum of the converted tone, from output sample kSettle on.
std::vector<double> ToneSpectrum(CDspInterleaveSrc& src, ULONG inRate, ULONG outRate, double freq)
{
    src.ResetConverter();
    const size_t inputs = (size_t)((double)(kBlock + kSettle) * inRate / outRate) + 256;
    const std::vector<float> out =
        ConvertFloat(src, Sine(inRate, freq, kAmplitude, inputs), 1, 4096);
    EXPECT_GE(out.size(), kBlock + kSettle);
    std::vector<float> block(out.begin() + kSettle, out.begin() + kSettle + kBlock);
    return AmplitudeSpectrum(block);
}

Figures Measure(ULONG inRate, ULONG outRate)
{
    CDspInterleaveSrc src;
    EXPECT_TRUE(src.CreateConverterStages());
    EXPECT_TRUE(src.SetFormat(FloatFormat(1, inRate), FloatFormat(1, outRate)));
    Figures fig;
    double low = 1e9, high = -1e9;
    const double passTones[] = {20,    100,   400,   1000,  2500,  5000,  7500, 10000,
                                12500, 15000, 17000, 18500, 19300, 19700, 20000};
    for (double f : passTones)
    {
        const size_t k = Bin(f, outRate);
        if (k < 2 * kToneGuard)
        {
            continue; // too near 0 Hz for the spectrum to tell it from its mirror
        }
        const std::vector<double> s = ToneSpectrum(src, inRate, outRate, f);
        const size_t first = k > kToneGuard ? k - kToneGuard : 0;
        const double gain = Db(PeakIn(s, first, k + kToneGuard) / kAmplitude);
        low = std::min(low, gain);
        high = std::max(high, gain);
        const double spur = std::max(first > 0 ? PeakIn(s, 0, first - 1) : 0.0,
                                     PeakIn(s, k + kToneGuard + 1, s.size() - 1));
        fig.StopDb = std::min(fig.StopDb, -Db(spur / kAmplitude));
    }
    fig.RippleDb = high - low;
    fig.GainDb = std::max(high, -low);
    // Input tones that fold into the flat band at the output rate.
    const double lowest = (double)outRate - kPassEdge;
    const double highest = 0.98 * inRate / 2.0;
    for (int i = 0; i <= 12 && lowest < highest; ++i)
    {
        const double f = lowest + (highest - lowest) * i / 12.0;
        const std::vector<double> s = ToneSpectrum(src, inRate, outRate, f);
        const double leak = PeakIn(s, 0, Bin(kPassEdge, outRate));
        fig.StopDb = std::min(fig.StopDb, -Db(leak / kAmplitude));
    }
    return fig;
}

struct QualityCase
{
    ULONG InRate;
    ULONG OutRate;
    double MaxRippleDb;
    double MinStopDb;
};

// Limits per pair: measured figures less half a decibel of stopband and plus
// 0.01 dB of ripple. Equal rates measure the measurement itself.
// Single-stage pairs measure one stage each: 44.1 -> 88.2 and 88.2 -> 44.1
// the half-band stage, 44.1 -> 176.4 and 176.4 -> 44.1 the quarter-band
// stage, 44.1 -> 48 and 48 -> 44.1 the two banks of the fractional stage.
const QualityCase c_QualityCases[] = {
    {44100, 44100, 0.02, 92.4},  {44100, 48000, 0.33, 33.9},   {44100, 88200, 0.07, 49.5},
    {44100, 96000, 0.30, 35.3},  {44100, 176400, 0.08, 49.6},  {44100, 192000, 0.30, 35.4},
    {48000, 44100, 0.23, 45.9},  {48000, 48000, 0.02, 93.5},   {48000, 88200, 0.18, 45.8},
    {48000, 96000, 0.07, 49.4},  {48000, 176400, 0.19, 45.8},  {48000, 192000, 0.07, 49.7},
    {88200, 44100, 0.07, 49.5},  {88200, 48000, 0.27, 33.9},   {88200, 88200, 0.02, 92.7},
    {88200, 96000, 0.11, 47.0},  {88200, 176400, 0.07, 49.8},  {88200, 192000, 0.14, 47.0},
    {96000, 44100, 0.21, 42.7},  {96000, 48000, 0.07, 49.5},   {96000, 88200, 0.09, 50.3},
    {96000, 96000, 0.02, 92.9},  {96000, 176400, 0.11, 49.8},  {96000, 192000, 0.07, 49.5},
    {176400, 44100, 0.07, 49.7}, {176400, 48000, 0.27, 33.9},  {176400, 88200, 0.07, 49.9},
    {176400, 96000, 0.15, 47.0}, {176400, 176400, 0.03, 90.8}, {176400, 192000, 0.10, 48.6},
    {192000, 44100, 0.21, 42.9}, {192000, 48000, 0.07, 49.7},  {192000, 88200, 0.12, 50.1},
    {192000, 96000, 0.07, 49.8}, {192000, 176400, 0.08, 53.0}, {192000, 192000, 0.02, 91.9},
};

class DspInterleaveSrcQuality : public testing::TestWithParam<QualityCase>
{
};

TEST_P(DspInterleaveSrcQuality, MeetsItsRippleAndStopband)
{
    const QualityCase& c = GetParam();
    const Figures fig = Measure(c.InRate, c.OutRate);
    std::printf("%6u -> %6u: passband ripple %.4f dB, gain within %.4f dB, stopband %.1f dB\n",
                c.InRate, c.OutRate, fig.RippleDb, fig.GainDb, fig.StopDb);
    EXPECT_LE(fig.RippleDb, c.MaxRippleDb);
    EXPECT_LE(fig.GainDb, kMaxGainDb);
    EXPECT_GE(fig.StopDb, c.MinStopDb);
}

INSTANTIATE_TEST_SUITE_P(Pairs, DspInterleaveSrcQuality, testing::ValuesIn(c_QualityCases),
                         [](const testing::TestParamInfo<QualityCase>& info) {
                             return std::to_string(info.param.InRate) + "to" +
                                    std::to_string(info.param.OutRate);
                         });
} // namespace
