// The resampler's pieces: the recursive section against the difference
// equation, the Butterworth designs against their specification, the
// forward-backward filter's zero phase and delay, the converter's rates and
// levels, and every allocation failure down to the filter sections.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "globaltopo/common/QVR/SRC.h"
#include "platform/kernel/emu.h"
#include "tests/globaltopo/common/QVR/qvr_test_bank.h"

namespace
{
const double kPi = 3.14159265358979323846;

// |H(e^jw)| of one pass of a design, from its coefficients.
double PassGain(const SrcFilterDesign& d, double w)
{
    std::complex<double> num = 0.0, den = 0.0;
    for (int k = 0; k < 4; ++k)
    {
        const std::complex<double> z = std::polar(1.0, -w * k);
        num += (double)d.b[k] * z;
        den += (double)d.a[k] * z;
    }
    return std::abs(num / den);
}

// Amplitude of the component at w over a whole number of periods.
double Amplitude(const float* y, int n, double w)
{
    double s = 0.0, c = 0.0;
    for (int i = 0; i < n; ++i)
    {
        s += y[i] * std::sin(w * i);
        c += y[i] * std::cos(w * i);
    }
    return 2.0 * std::hypot(s, c) / n;
}

// Runs blocks of a sine through a fresh linear-phase filter of a design and
// returns the amplitude of the last block.
double SteadyStateGain(const SrcFilterDesign& d, double w)
{
    CLinearPhaseIIR filter(64);
    EXPECT_TRUE(filter.LinearPhaseIirSetCoefficients(d.b, 4, d.a, 4));
    const int len = 504; // whole periods of 4, 6 and 8 samples
    std::vector<float> in(len), out(len);
    for (int block = 0; block < 8; ++block)
    {
        for (int i = 0; i < len; ++i)
            in[i] = (float)std::sin(w * (block * len + i));
        filter.LinearPhaseIirProcess(out.data(), in.data(), len);
    }
    return Amplitude(out.data(), len, w);
}

TEST(QvrIirFilter, MatchesTheDifferenceEquation)
{
    const float b[] = {0.2f, -0.3f, 0.4f};
    const float a[] = {1.0f, -0.5f, 0.25f, -0.125f};
    CIirFilter filter(b, 3, a, 4);
    ASSERT_TRUE(filter.IirComplete());
    const std::vector<float> x = qvrtest::RandomSignal(300, 7);
    std::vector<float> y(x.size());
    filter.IirProcess(y.data(), x.data(), 100);
    filter.IirProcess(y.data() + 100, x.data() + 100, 200); // state carries over
    std::vector<double> ref(x.size());
    for (size_t n = 0; n < x.size(); ++n)
    {
        double acc = 0.0;
        for (size_t k = 0; k < 3 && k <= n; ++k)
            acc += b[k] * (double)x[n - k];
        for (size_t k = 1; k < 4 && k <= n; ++k)
            acc -= a[k] * ref[n - k];
        ref[n] = acc;
        EXPECT_NEAR(y[n], ref[n], 1e-5) << n;
    }
    filter.IirReset();
    std::vector<float> again(1);
    filter.IirProcess(again.data(), x.data(), 1);
    EXPECT_FLOAT_EQ(again[0], b[0] * x[0]);
}

// The direct form in single precision, in its order, bit for bit: the
// feed-forward sum from 0.0 newest input first, then each feedback product
// subtracted newest output first; over coefficient counts from two, each side
// alone, and calls of any length.
TEST(QvrIirFilter, DirectFormBitForBitInItsOrder)
{
    struct
    {
        int32_t Nb, Na;
    } const rows[] = {{2, 2}, {3, 4}, {4, 3}, {7, 7}, {5, 0}, {0, 6}};
    const std::vector<float> coefficients = qvrtest::RandomSignal(8, 11, 0.5f);
    const std::vector<float> x = qvrtest::RandomSignal(400, 13);
    for (const auto& r : rows)
    {
        CIirFilter filter(r.Nb > 0 ? coefficients.data() : nullptr, r.Nb,
                          r.Na > 0 ? coefficients.data() : nullptr, r.Na);
        std::vector<float> y(x.size());
        for (size_t done = 0, len = 1; done < x.size(); done += len, len = len * 3 % 97 + 1)
        {
            len = std::min(len, x.size() - done);
            filter.IirProcess(y.data() + done, x.data() + done, (int32_t)len);
        }
        std::vector<float> ref(x.size());
        for (size_t n = 0; n < x.size(); ++n)
        {
            float acc = r.Nb > 0 ? 0.0f : x[n];
            for (size_t k = 0; k < (size_t)r.Nb; ++k)
                acc += (k <= n ? x[n - k] : 0.0f) * coefficients[k];
            for (size_t k = 1; k < (size_t)r.Na; ++k)
                acc = acc - (k <= n ? ref[n - k] : 0.0f) * coefficients[k];
            ref[n] = acc;
        }
        EXPECT_EQ(0, memcmp(y.data(), ref.data(), y.size() * sizeof(float)))
            << "nb " << r.Nb << " na " << r.Na;
    }
}

// A run of filters side by side against the same filters alone.
struct LaneRun
{
    int32_t count;
    IirLaneOrder order;
    bool inPlace;          // the lanes write over their inputs
    bool singleEveryThird; // every third call takes the single path instead
};

// Calls of the given lengths, each over inputs signal(call, filter, len),
// through IirProcessLanes and through each filter alone on its samples in
// the run's order; expects the same outputs bit for bit.
template <typename Make, typename Signal>
void ExpectLanesAsAlone(const LaneRun& r, const std::vector<int32_t>& lengths, Make make,
                        Signal signal)
{
    const bool reverseIn = r.order != IirLaneOrder::Forward,
               reverseOut = r.order == IirLaneOrder::ReversedInOut;
    std::vector<std::unique_ptr<CIirFilter>> lanes, alone;
    std::vector<std::vector<float>> y(r.count), ref(r.count);
    for (int32_t c = 0; c < r.count; ++c)
    {
        lanes.push_back(make(c));
        alone.push_back(make(c));
    }
    for (size_t call = 0; call < lengths.size(); ++call)
    {
        const int32_t len = lengths[call];
        const bool single = r.singleEveryThird && call % 3 == 2;
        CIirFilter* filters[IIR_MAX_LANES];
        std::vector<std::vector<float>> x, out(r.count, std::vector<float>(len));
        float* outs[IIR_MAX_LANES];
        const float* ins[IIR_MAX_LANES];
        for (int32_t c = 0; c < r.count; ++c)
        {
            x.push_back(signal(call, c, len));
            std::vector<float> sequence(len);
            for (int32_t t = 0; t < len; ++t)
                sequence[t] = x[c][reverseIn ? len - 1 - t : t];
            alone[c]->IirProcess(sequence.data(), sequence.data(), len);
            for (int32_t t = 0; t < len; ++t)
                ref[c].push_back(sequence[reverseOut ? len - 1 - t : t]);
            if (r.inPlace)
                out[c] = x[c];
            filters[c] = lanes[c].get();
            outs[c] = out[c].data();
            ins[c] = r.inPlace ? out[c].data() : x[c].data();
            if (single)
                lanes[c]->IirProcess(outs[c], ins[c], len);
        }
        if (!single)
            CIirFilter::IirProcessLanes(filters, r.count, outs, ins, len, r.order);
        for (int32_t c = 0; c < r.count; ++c)
            y[c].insert(y[c].end(), out[c].begin(), out[c].end());
    }
    for (int32_t c = 0; c < r.count; ++c)
        EXPECT_EQ(0, memcmp(y[c].data(), ref[c].data(), y[c].size() * sizeof(float)))
            << r.count << " lanes, order " << (int)r.order << ", filter " << c;
}

// Filters run side by side give what each gives alone, bit for bit, over
// lane counts that leave spare lanes, lengths that leave single samples, the
// reversed orders, forward calls alternating with the single path on the
// same state, and shapes the lanes do not run.
TEST(QvrIirFilter, LanesGiveWhatEachFilterGivesAlone)
{
    using Order = IirLaneOrder;
    const struct
    {
        int32_t count, nb, na;
        Order order;
    } rows[] = {{1, 4, 4, Order::Forward},       {2, 4, 4, Order::Forward},
                {3, 4, 4, Order::ReversedIn},    {4, 4, 4, Order::Forward},
                {5, 4, 4, Order::ReversedInOut}, {8, 4, 4, Order::Forward},
                {8, 4, 4, Order::ReversedIn},    {3, 3, 4, Order::ReversedInOut}};
    for (const auto& r : rows)
    {
        SCOPED_TRACE("nb " + std::to_string(r.nb));
        ExpectLanesAsAlone(
            {r.count, r.order, false, r.order == Order::Forward}, {1, 5, 64, 3, 130, 7, 2, 0, 255},
            [&](int32_t c)
            {
                const std::vector<float> k = qvrtest::RandomSignal(8, 40 + c, 0.4f);
                return std::make_unique<CIirFilter>(k.data(), r.nb, k.data() + 4, r.na);
            },
            [](size_t call, int32_t c, int32_t len)
            { return qvrtest::RandomSignal(len, 50 + 10 * (uint32_t)call + c); });
    }
}

enum class LaneInput
{
    Random,
    SignedZeros,
    Subnormal,
    NaNAt50,
    Overflow,
};

std::vector<float> LaneSignal(LaneInput kind, size_t n, uint32_t seed)
{
    std::vector<float> v = qvrtest::RandomSignal(n, seed);
    for (size_t t = 0; t < n; ++t)
    {
        const float sign = t % 2 != 0 ? -1.0f : 1.0f;
        if (kind == LaneInput::SignedZeros)
            v[t] = t % 11 == 5 ? sign : sign * 0.0f;
        else if (kind == LaneInput::Subnormal)
            v[t] = (float)(t % 3) * sign * 1e-40f;
        else if (kind == LaneInput::NaNAt50 && t == 50)
            v[t] = std::nanf("");
        else if (kind == LaneInput::Overflow && t >= 40 && t < 43)
            v[t] = 3.4e38f;
    }
    return v;
}

// Feedback with a[1] and a[3] zero, as in the factor-1 low-pass, runs a
// shorter recursion while the outputs stay finite. Bit for bit what each
// filter gives alone: over silence of both signs, subnormals, a NaN and an
// overflow to infinity (each left in the state for the calls after it),
// zeros of either sign as coefficients, short calls, and a call in place.
TEST(QvrIirFilter, ZeroOddFeedbackLanesGiveWhatEachFilterGivesAlone)
{
    using Order = IirLaneOrder;
    const struct
    {
        LaneRun run;
        LaneInput input;
        float a1, a3;
    } rows[] = {{{1, Order::Forward, false, false}, LaneInput::Random, -0.0f, -0.0f},
                {{2, Order::Forward, false, false}, LaneInput::SignedZeros, -0.0f, -0.0f},
                {{3, Order::ReversedIn, false, false}, LaneInput::Subnormal, 0.0f, -0.0f},
                {{4, Order::Forward, false, false}, LaneInput::NaNAt50, -0.0f, -0.0f},
                {{5, Order::ReversedInOut, false, false}, LaneInput::Overflow, -0.0f, 0.0f},
                {{8, Order::ReversedIn, false, false}, LaneInput::Random, -0.0f, -0.0f},
                {{8, Order::ReversedInOut, false, false}, LaneInput::SignedZeros, 0.0f, 0.0f},
                {{2, Order::Forward, true, false}, LaneInput::Overflow, -0.0f, -0.0f}};
    const float b[] = {0.166666672f, 0.5f, 0.5f, 0.166666672f};
    for (const auto& r : rows)
    {
        SCOPED_TRACE("input " + std::to_string((int)r.input));
        ExpectLanesAsAlone(
            r.run, {131, 1, 64, 2, 3},
            [&](int32_t c)
            {
                const float a[] = {1.0f, r.a1, 0.333333343f - 0.03f * (float)c, r.a3};
                return std::make_unique<CIirFilter>(b, 4, a, 4);
            },
            [&](size_t call, int32_t c, int32_t len) {
                return LaneSignal(call == 0 ? r.input : LaneInput::Random, len,
                                  70 + 10 * (uint32_t)call + c);
            });
    }
}

// A call that ends in an infinity or a NaN leaves no trace in the histories:
// the next call gives, bit for bit, what a filter that got 0 there gives,
// alone or in the lanes beside it.
TEST(QvrIirFilter, ANonFiniteLastSampleLeavesZeroInTheHistories)
{
    // The first call's last sample; the filters alone or in the lanes.
    const std::pair<float, bool> rows[] = {
        {INFINITY, false}, {NAN, false}, {-INFINITY, true}, {NAN, true}};
    const std::vector<float> k = qvrtest::RandomSignal(8, 41, 0.4f);
    const std::vector<float> next = qvrtest::RandomSignal(64, 42);
    for (const auto& [last, lanes] : rows)
    {
        SCOPED_TRACE(std::to_string(last) + (lanes ? " in the lanes" : " alone"));
        CIirFilter hit(k.data(), 4, k.data() + 4, 4), zero(k.data(), 4, k.data() + 4, 4);
        CIirFilter* filters[] = {&hit, &zero};
        std::vector<float> runs[2][2] = {{{0, 0, 0, 0, 0, last}, std::vector<float>(6)},
                                         {next, next}};
        for (std::vector<float>* run : runs)
        {
            float* outs[] = {run[0].data(), run[1].data()};
            const int32_t len = (int32_t)run[0].size();
            if (lanes)
                CIirFilter::IirProcessLanes(filters, 2, outs, outs, len);
            else
                for (int32_t c = 0; c < 2; ++c)
                    filters[c]->IirProcess(outs[c], outs[c], len);
        }
        EXPECT_EQ(0, memcmp(runs[1][0].data(), runs[1][1].data(), next.size() * sizeof(float)));
    }
}

// Each design is a third-order Butterworth low-pass: unit gain at DC and
// -3 dB at its cut-off (1/2, 1/3, 1/4 of Nyquist), falling steeply above.
TEST(QvrButterworth, DesignsHaveUnitDcGainAndHalfPowerAtCutOff)
{
    for (int entry = 0; entry < SRC_MAX_FACTOR; ++entry)
    {
        const SrcFilterDesign& d = SrcFilterDesigns[entry];
        const double cutOff = kPi / (entry + 2);
        EXPECT_NEAR(PassGain(d, 0.0), 1.0, 1e-6) << entry;
        EXPECT_NEAR(20 * std::log10(PassGain(d, cutOff)), -3.0103, 0.01) << entry;
        // Third order: 18 dB per octave well above the cut-off.
        EXPECT_LT(PassGain(d, std::min(2 * cutOff, kPi * 0.999)), 0.2) << entry;
    }
}

TEST(QvrButterworth, ForwardBackwardSquaresTheMagnitude)
{
    for (int entry = 0; entry < SRC_MAX_FACTOR; ++entry)
    {
        const SrcFilterDesign& d = SrcFilterDesigns[entry];
        const double cutOff = kPi / (entry + 2);
        EXPECT_NEAR(SteadyStateGain(d, cutOff), 0.5, 0.005) << entry; // -6 dB
        EXPECT_NEAR(SteadyStateGain(d, cutOff / 4), std::pow(PassGain(d, cutOff / 4), 2), 0.005)
            << entry;
    }
}

TEST(QvrLinearPhaseIir, ImpulseAt100PeaksAt164Symmetrically)
{
    for (int entry = 0; entry < SRC_MAX_FACTOR; ++entry)
    {
        CLinearPhaseIIR filter(64);
        const SrcFilterDesign& d = SrcFilterDesigns[entry];
        ASSERT_TRUE(filter.LinearPhaseIirSetCoefficients(d.b, 4, d.a, 4));
        std::vector<float> in(512, 0.0f), out(512);
        in[100] = 1.0f;
        filter.LinearPhaseIirProcess(out.data(), in.data(), 512);
        int peak = 0;
        for (int i = 0; i < 512; ++i)
            peak = std::fabs(out[i]) > std::fabs(out[peak]) ? i : peak;
        EXPECT_EQ(peak, 164) << entry;
        for (int k = 1; k < 60; ++k)
            EXPECT_NEAR(out[164 - k], out[164 + k], 2e-4) << entry << " " << k;
        double sum = 0.0;
        for (float v : out)
            sum += v;
        EXPECT_NEAR(sum, 1.0, 1e-3) << entry;
    }
}

TEST(QvrLinearPhaseIir, ShortBlocksAndTheLengthLimit)
{
    const SrcFilterDesign& d = SrcFilterDesigns[1];
    CLinearPhaseIIR whole(64), pieces(64);
    whole.LinearPhaseIirSetCoefficients(d.b, 4, d.a, 4);
    pieces.LinearPhaseIirSetCoefficients(d.b, 4, d.a, 4);
    // A constant settles at the DC gain whatever the block lengths, blocks
    // shorter than the look-ahead included.
    std::vector<float> ones(2048, 1.0f), out(2048);
    for (int i = 0; i < 4; ++i)
        whole.LinearPhaseIirProcess(out.data(), ones.data(), 512);
    EXPECT_NEAR(out[511], 1.0f, 1e-4);
    for (int i = 0; i < 64; ++i)
        pieces.LinearPhaseIirProcess(out.data(), ones.data(), 32);
    EXPECT_NEAR(out[31], 1.0f, 1e-4);
    // One above the limit: the excess is silence, no buffer is overrun.
    std::vector<float> big(1025, 1.0f), result(1025, 5.0f);
    whole.LinearPhaseIirProcess(result.data(), big.data(), 1025);
    EXPECT_NEAR(result[1023], 1.0f, 1e-4);
    EXPECT_EQ(result[1024], 0.0f);
}

TEST(QvrSrc, FactorOneFiltersAndDelaysBy64InBothDirections)
{
    for (int32_t rate : {48000, 32000})
    {
        CSrc src(rate, 44100);
        std::vector<float> in(512, 0.0f), down(512), up(512);
        in[100] = 1.0f;
        src.SrcDecimate(down.data(), in.data(), 512);
        src.SrcInterpolate(up.data(), in.data(), 512);
        std::vector<float> ref(512);
        CLinearPhaseIIR filter(64);
        filter.LinearPhaseIirSetCoefficients(SrcFilterDesigns[0].b, 4, SrcFilterDesigns[0].a, 4);
        filter.LinearPhaseIirProcess(ref.data(), in.data(), 512);
        EXPECT_EQ(down, ref) << rate;
        EXPECT_EQ(up, ref) << rate;
    }
}

TEST(QvrSrc, InterpolationByTwoKeepsTheLevel)
{
    CSrc src(22050, 44100);
    std::vector<float> in(256, 1.0f), out(512);
    for (int i = 0; i < 4; ++i)
        src.SrcInterpolate(out.data(), in.data(), 256);
    for (int i = 0; i < 512; ++i)
        EXPECT_NEAR(out[i], 1.0f, 1e-3) << i;
}

TEST(QvrSrc, DecimationByTwoKeepsALowSine)
{
    CSrc src(88200, 44100);
    const double w = 2 * kPi / 64; // 1378 Hz at 88200 Hz
    std::vector<float> in(1024), out(512);
    for (int block = 0; block < 4; ++block)
    {
        for (int i = 0; i < 1024; ++i)
            in[i] = (float)std::sin(w * (block * 1024 + i));
        src.SrcDecimate(out.data(), in.data(), 1024);
    }
    // The output is the sine at twice the normalised frequency, 32 output
    // samples (64 input samples) late, at the squared pass gain.
    const double gain = std::pow(PassGain(SrcFilterDesigns[1], w), 2);
    for (int k = 0; k < 512; ++k)
        EXPECT_NEAR(out[k], gain * std::sin(w * (3 * 1024 + 2 * k - 64)), 2e-3) << k;
}

// Covers the linear-phase filters' and their sections' allocations too.
TEST(QvrSrc, EveryAllocationFailureLeavesAnUnreadyConverter)
{
    EXPECT_FALSE(CSrc(176400, 44100).SrcReady()); // factor 4 has no design
    EXPECT_FALSE(CSrc(0, 44100).SrcReady());
    const unsigned long long before = EmuPoolAllocationCount(QVR_POOL_TAG);
    {
        CSrc probe(88200, 44100);
    }
    const ULONG allocations = (ULONG)(EmuPoolAllocationCount(QVR_POOL_TAG) - before);
    // Per filter: the object, its buffers, two sections of an object and two
    // arrays each; then the work buffer.
    ASSERT_EQ(allocations, 17u);
    for (ULONG skip = 0; skip < allocations; ++skip)
    {
        EmuPoolInjectFailure(QVR_POOL_TAG, skip);
        CSrc src(88200, 44100);
        EmuPoolClearInjection();
        EXPECT_FALSE(src.SrcReady()) << skip;
        std::vector<float> in(1024, 1.0f), out(1024, 3.0f);
        src.SrcDecimate(out.data(), in.data(), 1024);
        src.SrcInterpolate(out.data(), in.data(), 512);
        EXPECT_EQ(out, std::vector<float>(1024, 0.0f)) << skip;
    }
}
} // namespace
