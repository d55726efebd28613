// Complex FFT engine: bit reversal from the swap lists, the radix-4 routine,
// the radix-2 joins and the large-order block scheme, against the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftSpec.h"
#include "tests/primitives/fft/fft_reference.h"

using fftref::cd;

namespace
{
uint32_t Reverse(uint32_t v, int bits)
{
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
    {
        r |= ((v >> b) & 1u) << (bits - 1 - b);
    }
    return r;
}

// Record of real order m + 1, whose tables serve complex order m.
struct Spec
{
    Spec(int32_t m, int32_t flag)
    {
        EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, m + 1, flag, 0), DspStsNoErr);
    }
    ~Spec() { DspFftSpecFreeR32f_Gen(rec); }
    DspFftSpecR32f* rec = nullptr;
};

std::vector<float> Interleave(const std::vector<cd>& x)
{
    std::vector<float> out(2 * x.size());
    for (size_t i = 0; i < x.size(); ++i)
    {
        out[2 * i] = static_cast<float>(x[i].real());
        out[2 * i + 1] = static_cast<float>(x[i].imag());
    }
    return out;
}

std::vector<cd> ToComplex(const std::vector<float>& x)
{
    std::vector<cd> out(x.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
    {
        out[i] = cd(x[2 * i], x[2 * i + 1]);
    }
    return out;
}

// Relative error of a spectrum against s * (W^(k p1) + 0.5j W^(k p2)), the
// transform of two impulses.
FFTREF_FAST double TwoImpulseError(const std::vector<float>& y, int64_t n, int64_t p1, int64_t p2,
                                   double s)
{
    double err = 0;
    double norm = 0;
    for (int64_t k = 0; k < n; ++k)
    {
        const double a1 = -2.0 * M_PI * static_cast<double>((k * p1) % n) / n;
        const double a2 = -2.0 * M_PI * static_cast<double>((k * p2) % n) / n;
        const double re = s * (cos(a1) - 0.5 * sin(a2));
        const double im = s * (sin(a1) + 0.5 * cos(a2));
        err += (y[2 * k] - re) * (y[2 * k] - re) + (y[2 * k + 1] - im) * (y[2 * k + 1] - im);
        norm += re * re + im * im;
    }
    return std::sqrt(err / norm);
}

std::vector<cd> RandomComplex(size_t n, uint32_t seed)
{
    return ToComplex(fftref::RandomSignal(2 * n, seed));
}

// Whole transform of complex order m through the engine of the record.
std::vector<float> Engine(const Spec& spec, int32_t m, const std::vector<float>& in, bool inverse,
                          bool inPlace)
{
    const int32_t n = 1 << m;
    std::vector<float> out(in.size());
    std::vector<uint8_t> work(spec.rec->workBytes + 32);
    auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(work.data()) + 31) &
                                               ~uintptr_t{31});
    const float* src = in.data();
    if (inPlace)
    {
        out = in;
        src = out.data();
    }
    if (m <= 10)
    {
        if (inPlace)
        {
            DspBitRevInPlace64_Gen(out.data(), n, spec.rec->bitRevList);
        }
        else
        {
            DspBitRevCopy64_Gen(src, out.data(), n, spec.rec->bitRevList);
        }
        (inverse ? DspFftRadix4Inv_Gen : DspFftRadix4Fwd_Gen)(out.data(), n,
                                                              spec.rec->radix4Twiddles);
    }
    else
    {
        (inverse ? DspFftCplxInvLarge_Gen : DspFftCplxFwdLarge_Gen)(spec.rec, src, out.data(), m,
                                                                    aligned);
    }
    return out;
}
} // namespace

TEST(FftBitReversal, CopyAndInPlaceArePlainReversal)
{
    for (int m = 2; m <= 13; ++m)
    {
        const uint32_t n = 1u << m;
        std::vector<uint32_t> list(n / 4 + 8);
        DspFftBitRevSwapList(m, list.data());
        std::vector<float> src(2 * n);
        for (uint32_t k = 0; k < n; ++k)
        {
            src[2 * k] = static_cast<float>(k);
            src[2 * k + 1] = -static_cast<float>(k) - 0.5f;
        }
        std::vector<float> copy(2 * n, -1.0f);
        DspBitRevCopy64_Gen(src.data(), copy.data(), static_cast<int32_t>(n), list.data());
        for (uint32_t k = 0; k < n; ++k)
        {
            const uint32_t r = Reverse(k, m);
            ASSERT_EQ(copy[2 * r], src[2 * k]) << m << " " << k;
            ASSERT_EQ(copy[2 * r + 1], src[2 * k + 1]) << m << " " << k;
        }
        auto inPlace = src;
        DspBitRevInPlace64_Gen(inPlace.data(), static_cast<int32_t>(n), list.data());
        EXPECT_EQ(inPlace, copy) << m;
        DspBitRevInPlace64_Gen(inPlace.data(), static_cast<int32_t>(n), list.data());
        EXPECT_EQ(inPlace, src) << m;
    }
}

TEST(FftRadix4, ImpulsesBothDirections)
{
    for (int m : {3, 4, 5, 9, 10})
    {
        Spec spec(m, 8);
        const int n = 1 << m;
        std::vector<float> x(2 * n, 0.0f);
        x[0] = 1.0f;
        auto y = Engine(spec, m, x, false, false);
        for (int k = 0; k < n; ++k)
        {
            ASSERT_EQ(y[2 * k], 1.0f) << m << " " << k;
            ASSERT_EQ(y[2 * k + 1], 0.0f) << m << " " << k;
        }
        x[0] = 0.0f;
        x[2] = 1.0f;
        for (bool inverse : {false, true})
        {
            y = Engine(spec, m, x, inverse, true);
            for (int k = 0; k < n; ++k)
            {
                const double angle = (inverse ? 2.0 : -2.0) * M_PI * k / n;
                ASSERT_NEAR(y[2 * k], std::cos(angle), 3e-7) << m << " " << k;
                ASSERT_NEAR(y[2 * k + 1], std::sin(angle), 3e-7) << m << " " << k;
            }
        }
    }
}

// Complex orders 3 to 20 cover the radix-4 routine, the 1024-point blocks
// joined by radix-2 passes (11, 12) and the one-depth recursion (13 to 20);
// the real transform of order 22 runs rows that are themselves joined blocks.
TEST(FftComplexEngine, MatchesReferenceBothDirections)
{
    for (int m = 3; m <= 20; ++m)
    {
        Spec spec(m, 8);
        const size_t n = size_t{1} << m;
        const auto x = RandomComplex(n, 500 + m);
        const auto in = Interleave(x);
        for (bool inverse : {false, true})
        {
            const auto ref = fftref::Transform(x, inverse);
            const auto out = Engine(spec, m, in, inverse, false);
            EXPECT_LT(fftref::RelativeError(ToComplex(out), ref), fftref::ErrorBound(m))
                << "order " << m << (inverse ? " inverse" : " forward");
        }
    }
}

TEST(FftComplexEngine, TwoDepthRecursion)
{
    // Complex order 23: 256 rows of 128 x 256, tables at two depths. Two
    // impulses give a spectrum known in closed form, cheap enough at 8M points.
    const int m = 23;
    Spec spec(m, 4);
    ASSERT_NE(spec.rec->crossTwiddles[1], nullptr);
    ASSERT_EQ(spec.rec->workBytes, 32 * 256);
    const int64_t n = int64_t{1} << m;
    const int64_t p1 = 3;
    const int64_t p2 = 5000001;
    std::vector<float> x(2 * n, 0.0f);
    x[2 * p1] = 1.0f;
    x[2 * p2 + 1] = 0.5f; // 0.5j
    // Scaled by the record's factor (1/sqrt of its real length 2n) in each
    // direction, once per element.
    const double s = spec.rec->scale;
    EXPECT_EQ(spec.rec->scale, 1.0f / 4096.0f);
    const auto fwd = Engine(spec, m, x, false, true);
    EXPECT_LT(TwoImpulseError(fwd, n, p1, p2, s), fftref::ErrorBound(m));
    const auto back = Engine(spec, m, fwd, true, false);
    const double gain = static_cast<double>(n) * s * s;
    double err = 0;
    for (int64_t i = 0; i < 2 * n; ++i)
    {
        err += std::pow(back[i] - gain * x[i], 2);
    }
    EXPECT_LT(std::sqrt(err / (1.25 * gain * gain)), 2 * fftref::ErrorBound(m));
}

TEST(FftComplexEngine, UnscaledRoundTripGivesNTimesInput)
{
    for (int m : {9, 12, 13})
    {
        Spec spec(m, 8);
        const size_t n = size_t{1} << m;
        const auto x = RandomComplex(n, 600 + m);
        const auto fwd = Engine(spec, m, Interleave(x), false, true);
        const auto back = ToComplex(Engine(spec, m, fwd, true, true));
        std::vector<cd> expected(x);
        for (auto& v : expected)
        {
            v *= static_cast<double>(n);
        }
        EXPECT_LT(fftref::RelativeError(back, expected), 2 * fftref::ErrorBound(m)) << m;
    }
}

TEST(FftRadix2Join, JoinsTransformedBlocks)
{
    // Two transformed halves of the bit-reversed order joined into one
    // 4096-point transform through the join table of complex order 12.
    const int m = 12;
    Spec spec(m, 8);
    const int n = 1 << m;
    const auto x = RandomComplex(n, 31);
    auto data = Interleave(x);
    DspBitRevInPlace64_Gen(data.data(), n, spec.rec->bitRevList);
    for (int b = 0; b < n / 1024; ++b)
    {
        DspFftRadix4Fwd_Gen(data.data() + 2048 * b, 1024, spec.rec->radix4Twiddles);
    }
    auto inverseData = data;
    DspFftRadix2PassesFwd(data.data(), n, 1024, spec.rec->joinTwiddles, 1, 256);
    EXPECT_LT(fftref::RelativeError(ToComplex(data), fftref::Fft(x, false)), fftref::ErrorBound(m));
    // Fewer than two blocks: nothing moves.
    auto single = inverseData;
    DspFftRadix2PassesInv(single.data(), 1024, 1024, spec.rec->joinTwiddles, 0, 256);
    EXPECT_EQ(single, inverseData);
}
