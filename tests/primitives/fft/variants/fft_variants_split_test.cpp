// The split real/imaginary FFT kernels of levels 1 to 3: the gather form
// against a double-precision DFT, the in-place form against the gather form,
// the levels against each other, and calls outside the contract.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/emu.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "primitives/fft/DspFftVariants.h"
#include "tests/primitives/fft/fft_variants_util.h"

namespace
{
using fftvar::Floats;
using GatherFn = void (*)(const float*, const float*, float*, float*, int32_t, const float*,
                          const uint32_t*, float*);
using InPlaceFn = void (*)(float*, float*, int64_t, const float*, float*);

struct SplitLevel
{
    const char* name;
    GatherFn gather[2]; // forward, inverse
    InPlaceFn inPlace[2];
    uint8_t* (*twiddleTable)(int32_t, const float*, int32_t, float*);
};
const SplitLevel kLevels[] = {
    {"Sse3",
     {DspFftSplitFwdSmall_Sse3, DspFftSplitInvSmall_Sse3},
     {DspFftSplitFwdPasses_Sse3, DspFftSplitInvPasses_Sse3},
     DspFftTwiddleTable_Sse3},
    {"Ssse3",
     {DspFftSplitFwdSmall_Ssse3, DspFftSplitInvSmall_Ssse3},
     {DspFftSplitFwdPasses_Ssse3, DspFftSplitInvPasses_Ssse3},
     DspFftTwiddleTable_Ssse3},
    {"Sse4",
     {DspFftSplitFwdSmall_Sse4, DspFftSplitInvSmall_Sse4},
     {DspFftSplitFwdPasses_Sse4, DspFftSplitInvPasses_Sse4},
     DspFftTwiddleTable_Ssse3},
};

// Result of one gather call on arrays placed at the given float offsets.
struct Result
{
    std::vector<float> re, im;
};
Result Gather(const SplitLevel& lv, bool inv, int m, const std::vector<float>& re,
              const std::vector<float>& im, size_t offset, bool inPlace)
{
    const size_t n = size_t{1} << m;
    const fftvar::Tables t(m, lv.twiddleTable, DspFftBitRevTable_Ssse3);
    Floats sr(n + offset), si(n + offset), dr(n + offset), di(n + offset), work(2 * n);
    std::copy(re.begin(), re.end(), sr.data() + offset);
    std::copy(im.begin(), im.end(), si.data() + offset);
    float* outRe = inPlace ? sr.data() + offset : dr.data() + offset;
    float* outIm = inPlace ? si.data() + offset : di.data() + offset;
    // Eight points read neither table nor the work buffer.
    const bool eight = n == 8;
    lv.gather[inv](sr.data() + offset, si.data() + offset, outRe, outIm, static_cast<int32_t>(n),
                   eight ? nullptr : t.tw.data(), eight ? nullptr : t.rev.data(),
                   eight ? nullptr : work.data());
    return {{outRe, outRe + n}, {outIm, outIm + n}};
}
} // namespace

TEST(FftSplitKernels, GatherMatchesTheDftInPlaceAndAtEveryAlignment)
{
    for (const SplitLevel& lv : kLevels)
    {
        for (int m = 3; m <= fftvar::kMaxOrder; ++m)
        {
            const size_t n = size_t{1} << m;
            const auto re = fftref::RandomSignal(n, m);
            const auto im = fftref::RandomSignal(n, 100 + m);
            for (bool inv : {false, true})
            {
                const Result r = Gather(lv, inv, m, re, im, 0, false);
                const auto ref =
                    fftref::Transform(fftvar::FromArrays(re.data(), im.data(), n), inv);
                EXPECT_LT(
                    fftref::RelativeError(fftvar::FromArrays(r.re.data(), r.im.data(), n), ref),
                    4 * fftref::ErrorBound(m))
                    << lv.name << " m " << m << " inverse " << inv;
                for (size_t offset : {1u, 2u, 3u})
                {
                    const Result u = Gather(lv, inv, m, re, im, offset, offset == 2);
                    EXPECT_EQ(u.re, r.re) << lv.name << " m " << m << " offset " << offset;
                    EXPECT_EQ(u.im, r.im) << lv.name << " m " << m << " offset " << offset;
                }
            }
        }
    }
}

TEST(FftSplitKernels, InPlaceOnReversedArraysEqualsTheGatherBitForBit)
{
    for (const SplitLevel& lv : kLevels)
    {
        for (int m = 6; m <= fftvar::kMaxOrder; ++m)
        {
            const size_t n = size_t{1} << m;
            const fftvar::Tables t(m, lv.twiddleTable, DspFftBitRevTable_Ssse3);
            const auto re = fftref::RandomSignal(n, 7 * m);
            const auto im = fftref::RandomSignal(n, 7 * m + 1);
            Floats rr(n + 1), ri(n + 1), work(2 * n);
            for (size_t p = 0; p < n; ++p)
            {
                rr.data()[1 + p] = re[fftvar::Reverse(p, m)];
                ri.data()[1 + p] = im[fftvar::Reverse(p, m)];
            }
            for (bool inv : {false, true})
            {
                Floats a = fftvar::FromVector(rr.Copy());
                Floats b = fftvar::FromVector(ri.Copy());
                lv.inPlace[inv](a.data() + 1, b.data() + 1, static_cast<int64_t>(n), t.tw.data(),
                                work.data());
                const Result g = Gather(lv, inv, m, re, im, 0, false);
                EXPECT_EQ(std::vector<float>(a.data() + 1, a.data() + 1 + n), g.re)
                    << lv.name << " m " << m << " inverse " << inv;
                EXPECT_EQ(std::vector<float>(b.data() + 1, b.data() + 1 + n), g.im)
                    << lv.name << " m " << m << " inverse " << inv;
            }
        }
    }
}

// SSSE3 and SSE4.1 share their code; SSE3 shares it only where both plans
// run the same radices.
TEST(FftSplitKernels, LevelsAgreeBitForBitWhereTheirPlansAgree)
{
    for (int m = 3; m <= fftvar::kMaxOrder; ++m)
    {
        const size_t n = size_t{1} << m;
        const auto re = fftref::RandomSignal(n, 3 * m);
        const auto im = fftref::RandomSignal(n, 3 * m + 2);
        const Result a = Gather(kLevels[0], false, m, re, im, 0, false);
        const Result b = Gather(kLevels[1], false, m, re, im, 0, false);
        const Result c = Gather(kLevels[2], false, m, re, im, 0, false);
        EXPECT_EQ(b.re, c.re) << "m " << m;
        EXPECT_EQ(b.im, c.im) << "m " << m;
        const bool samePlan = m <= 6 || m == 11 || m == 14 || m == 16;
        EXPECT_EQ(a.re == b.re && a.im == b.im, samePlan) << "m " << m;
    }
}

TEST(FftSplitKernels, InverseOfConjugatedInputIsTheConjugatedForward)
{
    for (const SplitLevel& lv : kLevels)
    {
        for (int m : {3, 5, 7, 10})
        {
            const size_t n = size_t{1} << m;
            const auto re = fftref::RandomSignal(n, m + 11);
            auto im = fftref::RandomSignal(n, m + 12);
            const Result f = Gather(lv, false, m, re, im, 0, false);
            for (float& v : im)
            {
                v = -v;
            }
            Result i = Gather(lv, true, m, re, im, 0, false);
            for (float& v : i.im)
            {
                v = -v;
            }
            EXPECT_EQ(i.re, f.re) << lv.name << " m " << m;
            EXPECT_EQ(i.im, f.im) << lv.name << " m " << m;
        }
    }
}

TEST(FftSplitKernels, SizesOutsideTheContractAreReportedAndTouchNothing)
{
    struct Case
    {
        int64_t n;
        bool gather;
    };
    const Case cases[] = {{4, true},   {12, true}, {131072 * 2, true}, {32, false},
                          {96, false}, {0, false}, {131072 * 2, false}};
    for (const SplitLevel& lv : kLevels)
    {
        const fftvar::Tables t(6, lv.twiddleTable, DspFftBitRevTable_Ssse3);
        for (const Case& c : cases)
        {
            Floats re(64, 1.5f), im(64, 2.5f), work(128, 3.5f);
            EmuExpectFailures failures;
            if (c.gather)
            {
                lv.gather[0](re.data(), im.data(), re.data(), im.data(), static_cast<int32_t>(c.n),
                             t.tw.data(), t.rev.data(), work.data());
            }
            else
            {
                lv.inPlace[1](re.data(), im.data(), c.n, t.tw.data(), work.data());
            }
            EXPECT_TRUE(failures.Contains("ASSERT")) << lv.name << " n " << c.n;
            EXPECT_EQ(re.Copy(), std::vector<float>(64, 1.5f)) << lv.name << " n " << c.n;
            EXPECT_EQ(im.Copy(), std::vector<float>(64, 2.5f)) << lv.name << " n " << c.n;
            EXPECT_EQ(work.Copy(), std::vector<float>(128, 3.5f)) << lv.name << " n " << c.n;
        }
        // A missing work buffer is refused as well; eight points need none.
        Floats re(64, 1.5f), im(64, 2.5f);
        EmuExpectFailures failures;
        lv.inPlace[0](re.data(), im.data(), 64, t.tw.data(), nullptr);
        EXPECT_TRUE(failures.Contains("ASSERT")) << lv.name;
        EXPECT_EQ(re.Copy(), std::vector<float>(64, 1.5f)) << lv.name;
    }
}
