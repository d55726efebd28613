// Real FFT in the packed layout: fixed kernels, the complex path against a
// double-precision reference, scaling per flag, in place against out of place,
// work buffers and failures, and the packed-spectrum multiply.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/kernel/emu.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/DspFftSpec.h"
#include "tests/primitives/fft/fft_reference.h"

using fftref::cd;

namespace
{
// A library-owned record freed at scope end.
struct Spec
{
    Spec(int32_t order, int32_t flag)
    {
        EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, order, flag, 0), DspStsNoErr);
    }
    ~Spec()
    {
        if (rec != nullptr && rec->kind == DspFftKindReal)
        {
            DspFftSpecFreeR32f_Gen(rec);
        }
    }
    DspFftSpecR32f* rec = nullptr;
};

std::vector<float> Forward(const std::vector<float>& x, const DspFftSpecR32f* rec)
{
    std::vector<float> out(x.size(), -99.0f);
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(x.data(), out.data(), rec, nullptr), DspStsNoErr);
    return out;
}

std::vector<float> Inverse(const std::vector<float>& x, const DspFftSpecR32f* rec)
{
    std::vector<float> out(x.size(), -99.0f);
    EXPECT_EQ(DspFftInvPackedToR32f_Gen(x.data(), out.data(), rec, nullptr), DspStsNoErr);
    return out;
}

std::vector<cd> ToComplex(const std::vector<float>& x)
{
    return std::vector<cd>(x.begin(), x.end());
}

double MaxAbsDiff(const std::vector<float>& a, const std::vector<float>& b, double scale = 1.0)
{
    double m = 0;
    for (size_t i = 0; i < a.size(); ++i)
    {
        m = std::max(m, std::fabs(a[i] - scale * b[i]));
    }
    return m;
}
} // namespace

TEST(FftRealKernels, SmallOrderVectors)
{
    Spec o0(0, 8), o0s(0, 1), o1(1, 8), o2(2, 8);
    float out[8];
    float x0[] = {2.5f};
    ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x0, out, o0.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(out[0], 2.5f);
    ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x0, out, o0s.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(out[0], 2.5f);

    float x1[] = {1.0f, 2.0f};
    ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x1, out, o1.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(out[0], 3.0f);
    EXPECT_EQ(out[1], -1.0f);
    ASSERT_EQ(DspFftInvPackedToR32f_Gen(x1, out, o1.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(out[0], 3.0f);
    EXPECT_EQ(out[1], -1.0f);

    float x2[] = {1.0f, 0.0f, 0.0f, 0.0f};
    ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x2, out, o2.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{1, 1, 1, 0}));
    float spectrum[] = {1.0f, 1.0f, 1.0f, 0.0f};
    ASSERT_EQ(DspFftInvPackedToR32f_Gen(spectrum, out, o2.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{4, 0, 0, 0}));
}

TEST(FftRealKernels, OrdersZeroToThreeMatchReferenceForEveryFlag)
{
    for (int32_t order = 0; order <= 3; ++order)
    {
        const size_t n = size_t{1} << order;
        for (int32_t flag : {1, 2, 4, 8})
        {
            Spec spec(order, flag);
            const auto x = fftref::RandomSignal(n, 10 + order);
            const double fwdScale = flag == 1 ? 1.0 / n : flag == 4 ? 1.0 / std::sqrt(n) : 1.0;
            const double invScale = flag == 2 ? 1.0 / n : flag == 4 ? 1.0 / std::sqrt(n) : 1.0;
            const auto ref = fftref::Pack(fftref::Dft(ToComplex(x), false));
            const auto fwd = Forward(x, spec.rec);
            EXPECT_LT(MaxAbsDiff(fwd, ref, fwdScale), 1e-6) << order << " " << flag;
            // In place reads each input before writing it.
            auto inPlace = x;
            ASSERT_EQ(DspFftFwdRInPlace32f_Gen(inPlace.data(), spec.rec, nullptr), DspStsNoErr);
            EXPECT_EQ(inPlace, fwd);

            const auto back = Inverse(fwd, spec.rec);
            const double round = fwdScale * invScale * n;
            EXPECT_LT(MaxAbsDiff(back, x, round), 2e-6 * n) << order << " " << flag;
            auto inPlaceBack = fwd;
            ASSERT_EQ(DspFftInvRInPlace32f_Gen(inPlaceBack.data(), spec.rec, nullptr), DspStsNoErr);
            EXPECT_EQ(inPlaceBack, back);
        }
    }
}

TEST(FftReal, ImpulsesAtOrder4)
{
    Spec spec(4, 8);
    std::vector<float> x(16, 0.0f);
    x[0] = 1.0f;
    auto out = Forward(x, spec.rec);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 1.0f);
    for (int k = 1; k < 8; ++k)
    {
        EXPECT_EQ(out[2 * k], 1.0f) << k;
        EXPECT_EQ(out[2 * k + 1], 0.0f) << k;
    }
    x[0] = 0.0f;
    x[1] = 1.0f;
    out = Forward(x, spec.rec);
    EXPECT_FLOAT_EQ(out[0], 1.0f);
    EXPECT_FLOAT_EQ(out[1], -1.0f);
    for (int k = 1; k < 8; ++k)
    {
        EXPECT_NEAR(out[2 * k], std::cos(2.0 * M_PI * k / 16), 2e-7) << k;
        EXPECT_NEAR(out[2 * k + 1], -std::sin(2.0 * M_PI * k / 16), 2e-7) << k;
    }
}

// Orders 4 to 22 against the double-precision reference, both directions,
// within an error bound that grows like log N.
TEST(FftReal, MatchesReferenceWithinLogBound)
{
    for (int32_t order = 4; order <= 22; ++order)
    {
        const size_t n = size_t{1} << order;
        Spec spec(order, 8);
        ASSERT_NE(spec.rec, nullptr);
        const auto x = fftref::RandomSignal(n, 100 + order);
        const auto ref = fftref::Transform(ToComplex(x), false);
        const auto fwd = Forward(x, spec.rec);
        const double fwdErr = fftref::RelativeError(fftref::Unpack(fwd.data(), n), ref);
        EXPECT_LT(fwdErr, fftref::ErrorBound(order)) << "order " << order;

        // Inverse of an arbitrary (Hermitian) spectrum.
        const auto spectrumIn = fftref::RandomSignal(n, 200 + order);
        const auto full = fftref::Unpack(spectrumIn.data(), n);
        const auto refInv = fftref::Transform(full, true);
        const auto inv = Inverse(spectrumIn, spec.rec);
        const double invErr = fftref::RelativeError(ToComplex(inv), refInv);
        EXPECT_LT(invErr, fftref::ErrorBound(order)) << "order " << order;
    }
}

TEST(FftReal, ReferenceFftAgreesWithDft)
{
    const auto x = ToComplex(fftref::RandomSignal(512, 5));
    EXPECT_LT(fftref::RelativeError(fftref::Fft(x, false), fftref::Dft(x, false)), 1e-12);
    EXPECT_LT(fftref::RelativeError(fftref::Fft(x, true), fftref::Dft(x, true)), 1e-12);
}

TEST(FftReal, RoundTripsPerFlag)
{
    for (int32_t order : {4, 5, 10, 11, 12, 13, 14, 17})
    {
        const size_t n = size_t{1} << order;
        const auto x = fftref::RandomSignal(n, 300 + order);
        for (int32_t flag : {1, 2, 4, 8})
        {
            Spec spec(order, flag);
            const auto fwd = Forward(x, spec.rec);
            const auto back = Inverse(fwd, spec.rec);
            const double gain = flag == 8 ? static_cast<double>(n) : 1.0;
            double err = 0;
            double norm = 0;
            for (size_t i = 0; i < n; ++i)
            {
                err += std::pow(back[i] - gain * x[i], 2);
                norm += std::pow(gain * x[i], 2);
            }
            EXPECT_LT(std::sqrt(err / norm), 2 * fftref::ErrorBound(order)) << order << " " << flag;

            // Parseval on the packed forward result, scaled as the flag says.
            const double fwdScale = flag == 1   ? 1.0 / n
                                    : flag == 4 ? 1.0 / std::sqrt(static_cast<double>(n))
                                                : 1.0;
            double timeEnergy = 0;
            for (float v : x)
            {
                timeEnergy += static_cast<double>(v) * v;
            }
            double freqEnergy = 0;
            for (const cd& v : fftref::Unpack(fwd.data(), n))
            {
                freqEnergy += std::norm(v);
            }
            const double expected = timeEnergy * n * fwdScale * fwdScale;
            EXPECT_NEAR(freqEnergy / expected, 1.0, 4 * fftref::ErrorBound(order));
        }
    }
}

TEST(FftReal, LargeOrderRoundTripAndParseval)
{
    const int32_t order = 20;
    const size_t n = size_t{1} << order;
    Spec spec(order, 2);
    auto x = fftref::RandomSignal(n, 7);
    auto data = x;
    ASSERT_EQ(DspFftFwdRInPlace32f_Gen(data.data(), spec.rec, nullptr), DspStsNoErr);
    double timeEnergy = 0;
    for (float v : x)
    {
        timeEnergy += static_cast<double>(v) * v;
    }
    double freqEnergy = 0;
    for (const cd& v : fftref::Unpack(data.data(), n))
    {
        freqEnergy += std::norm(v);
    }
    EXPECT_NEAR(freqEnergy / (timeEnergy * n), 1.0, 4 * fftref::ErrorBound(order));
    ASSERT_EQ(DspFftInvRInPlace32f_Gen(data.data(), spec.rec, nullptr), DspStsNoErr);
    EXPECT_LT(fftref::RelativeError(ToComplex(data), ToComplex(x)), 2 * fftref::ErrorBound(order));
}

TEST(FftReal, InPlaceEqualsOutOfPlaceAndSourceIsKept)
{
    for (int32_t order : {6, 11, 12, 14, 21})
    {
        const size_t n = size_t{1} << order;
        Spec spec(order, 4);
        const auto x = fftref::RandomSignal(n, 400 + order);
        auto src = x;
        std::vector<float> dst(n);
        ASSERT_EQ(DspFftFwdRToPacked32f_Gen(src.data(), dst.data(), spec.rec, nullptr),
                  DspStsNoErr);
        EXPECT_EQ(src, x);
        auto inPlace = x;
        ASSERT_EQ(DspFftFwdRInPlace32f_Gen(inPlace.data(), spec.rec, nullptr), DspStsNoErr);
        EXPECT_EQ(inPlace, dst) << order;

        const auto spectrum = dst;
        std::vector<float> back(n);
        ASSERT_EQ(DspFftInvPackedToR32f_Gen(dst.data(), back.data(), spec.rec, nullptr),
                  DspStsNoErr);
        EXPECT_EQ(dst, spectrum);
        ASSERT_EQ(DspFftInvRInPlace32f_Gen(inPlace.data(), spec.rec, nullptr), DspStsNoErr);
        EXPECT_EQ(inPlace, back) << order;
    }
}

TEST(FftReal, WorkBuffers)
{
    const int32_t order = 14;
    const size_t n = size_t{1} << order;
    int32_t specBytes, initBytes, workBytes;
    ASSERT_EQ(DspFftSpecSizeR32f_Gen(order, 2, 0, &specBytes, &initBytes, &workBytes), DspStsNoErr);
    ASSERT_EQ(workBytes, 1056);
    Spec spec(order, 2);
    const auto x = fftref::RandomSignal(n, 9);
    const auto expected = Forward(x, spec.rec);

    // A caller's buffer at any byte offset is moved up to its 32-byte boundary.
    std::vector<uint8_t> work(workBytes + 8);
    const auto before = EmuPoolAllocationCount(POOL_TAG("DSPL"));
    for (size_t offset : {0, 1, 5})
    {
        std::vector<float> out(n);
        ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x.data(), out.data(), spec.rec, work.data() + offset),
                  DspStsNoErr);
        EXPECT_EQ(out, expected);
    }
    EXPECT_EQ(EmuPoolAllocationCount(POOL_TAG("DSPL")), before);

    // Without one, the call allocates its own and a failed allocation writes
    // nothing to the destination.
    std::vector<float> out(n, 3.0f);
    EmuPoolInjectFailure(POOL_TAG("DSPL"), 0);
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(x.data(), out.data(), spec.rec, nullptr),
              DspStsMemAllocErr);
    EmuPoolInjectFailure(POOL_TAG("DSPL"), 0);
    EXPECT_EQ(DspFftInvPackedToR32f_Gen(x.data(), out.data(), spec.rec, nullptr),
              DspStsMemAllocErr);
    EmuPoolClearInjection();
    for (float v : out)
    {
        ASSERT_EQ(v, 3.0f);
    }
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPL")), 1u); // the record only

    // Records without work size never allocate.
    Spec small(10, 2);
    const auto count = EmuPoolAllocationCount(POOL_TAG("DSPL"));
    std::vector<float> y(1024, 1.0f);
    ASSERT_EQ(DspFftFwdRInPlace32f_Gen(y.data(), small.rec, nullptr), DspStsNoErr);
    EXPECT_EQ(EmuPoolAllocationCount(POOL_TAG("DSPL")), count);
}

TEST(FftReal, ArgumentChecksInOrder)
{
    Spec spec(10, 2);
    std::vector<float> a(1024), b(1024, 5.0f);
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(nullptr, nullptr, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(nullptr, b.data(), spec.rec, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(a.data(), nullptr, spec.rec, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftInvPackedToR32f_Gen(a.data(), nullptr, spec.rec, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftFwdRInPlace32f_Gen(nullptr, spec.rec, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftInvRInPlace32f_Gen(b.data(), nullptr, nullptr), DspStsNullPtrErr);

    // A freed record, or one of the other kind, is refused before the data
    // pointers are looked at.
    DspFftSpecR32f* freed = nullptr;
    ASSERT_EQ(DspFftSpecCreateR32f_Gen(&freed, 10, 2, 0), DspStsNoErr);
    alignas(32) uint8_t copy[DspFftHeaderBytes];
    memcpy(copy, freed, sizeof(copy));
    ASSERT_EQ(DspFftSpecFreeR32f_Gen(freed), DspStsNoErr);
    auto* stale = reinterpret_cast<DspFftSpecR32f*>(copy);
    stale->kind = 0;
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(nullptr, nullptr, stale, nullptr), DspStsContextMatchErr);
    EXPECT_EQ(DspFftInvPackedToR32f_Gen(a.data(), b.data(), stale, nullptr), DspStsContextMatchErr);
    EXPECT_EQ(DspFftFwdRInPlace32f_Gen(b.data(), stale, nullptr), DspStsContextMatchErr);
    EXPECT_EQ(DspFftInvRInPlace32f_Gen(b.data(), stale, nullptr), DspStsContextMatchErr);
    stale->kind = DspFftKindComplex;
    EXPECT_EQ(DspFftFwdRToPacked32f_Gen(a.data(), b.data(), stale, nullptr), DspStsContextMatchErr);
    for (float v : b)
    {
        ASSERT_EQ(v, 5.0f);
    }
}

TEST(FftPackedMultiply, LayoutsAndChecks)
{
    const float src[] = {2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    float d[5];
    auto reset = [&]
    {
        const float init[] = {1.5f, -1.0f, 0.5f, 2.0f, -3.0f};
        memcpy(d, init, sizeof(d));
    };
    reset();
    EXPECT_EQ(DspMulPackedSpectra32f_Gen(nullptr, d, 4), DspStsNullPtrErr);
    EXPECT_EQ(DspMulPackedSpectra32f_Gen(src, nullptr, 0), DspStsNullPtrErr);
    EXPECT_EQ(DspMulPackedSpectra32f_Gen(src, d, 0), DspStsSizeErr);
    EXPECT_EQ(d[0], 1.5f);

    ASSERT_EQ(DspMulPackedSpectra32f_Gen(src, d, 1), DspStsNoErr);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], -1.0f);

    reset();
    ASSERT_EQ(DspMulPackedSpectra32f_Gen(src, d, 2), DspStsNoErr);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], -3.0f);
    EXPECT_EQ(d[2], 0.5f);

    // Length 4: two reals, then (4 + 5j)(0.5 + 2j) = -8 + 10.5j.
    reset();
    ASSERT_EQ(DspMulPackedSpectra32f_Gen(src, d, 4), DspStsNoErr);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], -3.0f);
    EXPECT_EQ(d[2], -8.0f);
    EXPECT_EQ(d[3], 10.5f);
    EXPECT_EQ(d[4], -3.0f);

    // Length 3: one real, then (3 + 4j)(-1 + 0.5j) = -5 - 2.5j from index 1.
    reset();
    ASSERT_EQ(DspMulPackedSpectra32f_Gen(src, d, 3), DspStsNoErr);
    EXPECT_EQ(d[0], 3.0f);
    EXPECT_EQ(d[1], -5.0f);
    EXPECT_EQ(d[2], -2.5f);
    EXPECT_EQ(d[3], 2.0f);
}

TEST(FftPackedMultiply, ProductOfSpectraIsCircularConvolution)
{
    const int32_t order = 9;
    const size_t n = size_t{1} << order;
    Spec spec(order, 2);
    const auto a = fftref::RandomSignal(n, 21);
    const auto b = fftref::RandomSignal(n, 22);
    auto fa = Forward(a, spec.rec);
    auto fb = Forward(b, spec.rec);
    ASSERT_EQ(DspMulPackedSpectra32f_Gen(fa.data(), fb.data(), static_cast<int32_t>(n)),
              DspStsNoErr);
    const auto conv = Inverse(fb, spec.rec);
    for (size_t t = 0; t < n; ++t)
    {
        double ref = 0;
        for (size_t j = 0; j < n; ++j)
        {
            ref += static_cast<double>(a[j]) * b[(t + n - j) % n];
        }
        ASSERT_NEAR(conv[t], ref, 2e-5) << t;
    }
}
