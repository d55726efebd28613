// The decimated first stage of four streams and the radix-8 join of levels 2
// and 3: two first-stage calls and the join against a double-precision DFT of
// the whole span, the two input and output forms against each other, the
// residues a call must not read, and calls outside the contract.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/kernel/emu.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "primitives/fft/DspFftVariants.h"
#include "tests/primitives/fft/fft_variants_util.h"

namespace
{
using fftvar::Floats;

struct DecimatedLevel
{
    const char* name;
    void (*sub4[2])(const float*, float*, uint64_t, const float*, const int32_t*, float*);
    void (*sub4Split[2])(const float*, const float*, float*, uint64_t, const float*,
                         const int32_t*);
    void (*join[2])(const float*, float*, uint64_t, int64_t, const float*);
    void (*joinSplit[2])(const float*, float*, float*, uint64_t, int32_t, const float*);
};
#define DECIMATED_LEVEL(S)                                                                         \
    DecimatedLevel                                                                                 \
    {                                                                                              \
#S, {DspFftCplxFwdSub4_##S, DspFftCplxInvSub4_##S },                                       \
             {DspFftSplitFwdSub4_##S, DspFftSplitInvSub4_##S },                                    \
              {DspFftCplxFwdRadix8_##S, DspFftCplxInvRadix8_##S },                                 \
        {                                                                                          \
            DspFftSplitFwdRadix8_##S, DspFftSplitInvRadix8_##S                                     \
        }                                                                                          \
    }
const DecimatedLevel kLevels[] = {DECIMATED_LEVEL(Ssse3), DECIMATED_LEVEL(Sse4)};

#ifdef __OPTIMIZE__
constexpr int kMaxStreamOrder = 19;
#else
constexpr int kMaxStreamOrder = 9;
#endif

// The join's twiddles for 8 L points, from double precision: per k-block and
// j = 1 .. 7 four cosines and four -sines of 2 pi j k / (8 L).
Floats JoinTwiddles(size_t L)
{
    Floats tw(14 * L);
    float* w = tw.data();
    for (size_t k0 = 0; k0 < L; k0 += 4)
    {
        for (size_t j = 1; j < 8; ++j, w += 8)
        {
            for (size_t l = 0; l < 4; ++l)
            {
                const double a = 2.0 * M_PI * static_cast<double>(j * (k0 + l)) / (8.0 * L);
                w[l] = static_cast<float>(std::cos(a));
                w[4 + l] = static_cast<float>(-std::sin(a));
            }
        }
    }
    return tw;
}

// The eight streams of an 8n-point span as split blocks: two first-stage
// calls, the second on the span advanced by four points.
Floats Streams(const DecimatedLevel& lv, bool inv, int m, const Floats& span)
{
    const size_t n = size_t{1} << m;
    const fftvar::Tables t(m, DspFftTwiddleTable_Ssse3, DspFftBitRevTable_Ssse3);
    Floats out(16 * n), work(8 * n);
    lv.sub4[inv](span.data(), out.data(), n, t.tw.data(), t.Signed(), work.data());
    lv.sub4[inv](span.data() + 8, out.data() + 8 * n, n, t.tw.data(), t.Signed(), work.data());
    return out;
}
} // namespace

TEST(FftDecimatedKernels, TwoFirstStagesAndTheJoinGiveTheWholeTransform)
{
    for (const DecimatedLevel& lv : kLevels)
    {
        for (int m = 6; m <= fftvar::kMaxOrder; ++m)
        {
            const size_t n = size_t{1} << m;
            const Floats span = fftvar::FromVector(fftref::RandomSignal(16 * n, m));
            const Floats tw = JoinTwiddles(n);
            for (bool inv : {false, true})
            {
                const Floats streams = Streams(lv, inv, m, span);
                Floats out(16 * n);
                lv.join[inv](streams.data(), out.data(), n, static_cast<int64_t>(n), tw.data());
                const auto ref = fftref::Fft(fftvar::FromInterleaved(span.data(), 8 * n), inv);
                EXPECT_LT(fftref::RelativeError(fftvar::FromInterleaved(out.data(), 8 * n), ref),
                          4 * fftref::ErrorBound(m + 3))
                    << lv.name << " m " << m << " inverse " << inv;
            }
        }
    }
}

// Every stream against its own transform, up to the largest stream length;
// the residues 4 to 7 hold NaN and must not reach the output.
TEST(FftDecimatedKernels, EachStreamIsTheTransformOfItsResidues)
{
    for (const DecimatedLevel& lv : kLevels)
    {
        for (int m = 6; m <= kMaxStreamOrder; m += (m < 8 ? 1 : 3))
        {
            const size_t n = size_t{1} << m;
            Floats span = fftvar::FromVector(fftref::RandomSignal(16 * n, 5 * m));
            for (size_t p = 4; p < 8 * n; p += (p % 8 == 7 ? 5 : 1))
            {
                span.data()[2 * p] = std::numeric_limits<float>::quiet_NaN();
            }
            const fftvar::Tables t(m, DspFftTwiddleTable_Ssse3, DspFftBitRevTable_Ssse3);
            Floats out(8 * n), work(8 * n);
            lv.sub4[1](span.data(), out.data(), n, t.tw.data(), t.Signed(), work.data());
            for (size_t s = 0; s < 4; ++s)
            {
                const float* first = span.data() + 2 * s;
                const auto x = fftvar::FromArrays(first, first + 1, n, 16);
                const auto got = fftvar::FromSplitBlocks(out.data() + 2 * s * n, n);
                EXPECT_LT(fftref::RelativeError(got, fftref::Fft(x, true)),
                          4 * fftref::ErrorBound(m))
                    << lv.name << " m " << m << " stream " << s;
            }
        }
    }
}

TEST(FftDecimatedKernels, FormsPlacesAndLevelsAgreeBitForBit)
{
    for (int m : {6, 7, 9, fftvar::kMaxOrder})
    {
        const size_t n = size_t{1} << m;
        const fftvar::Tables t(m, DspFftTwiddleTable_Ssse3, DspFftBitRevTable_Ssse3);
        const Floats span = fftvar::FromVector(fftref::RandomSignal(16 * n, 9 * m));
        Floats re(8 * n + 1), im(8 * n + 1);
        for (size_t p = 0; p < 8 * n; ++p)
        {
            re.data()[1 + p] = span.data()[2 * p];
            im.data()[1 + p] = span.data()[2 * p + 1];
        }
        const Floats joinTw = JoinTwiddles(n);
        const auto ref = Streams(kLevels[0], false, m, span).Copy();
        for (const DecimatedLevel& lv : kLevels)
        {
            EXPECT_EQ(Streams(lv, false, m, span).Copy(), ref) << lv.name << " m " << m;
            // Split input at 4 modulo 16; interleaved output at 8 modulo 16
            // and over its own source.
            Floats split(8 * n), odd(8 * n + 2), work(8 * n);
            lv.sub4Split[0](re.data() + 1, im.data() + 1, split.data(), n, t.tw.data(), t.Signed());
            EXPECT_EQ(split.Copy(), std::vector<float>(ref.begin(), ref.begin() + 8 * n));
            lv.sub4[0](span.data(), odd.data() + 2, n, t.tw.data(), t.Signed(), work.data());
            EXPECT_EQ(std::vector<float>(odd.data() + 2, odd.data() + 2 + 8 * n), split.Copy());
            Floats self = fftvar::FromVector(span.Copy());
            lv.sub4[0](self.data(), self.data(), n, t.tw.data(), t.Signed(), work.data());
            EXPECT_EQ(std::vector<float>(self.data(), self.data() + 8 * n), split.Copy());
            // The join: separate, in place, unaligned, and as two arrays.
            const Floats streams = fftvar::FromVector(ref);
            Floats joined(16 * n), shifted(16 * n + 1), jr(8 * n + 1), ji(8 * n + 1);
            Floats inPlace = fftvar::FromVector(ref);
            lv.join[0](streams.data(), joined.data(), n, static_cast<int64_t>(n), joinTw.data());
            lv.join[0](inPlace.data(), inPlace.data(), n, static_cast<int64_t>(n), joinTw.data());
            lv.join[0](streams.data(), shifted.data() + 1, n, static_cast<int64_t>(n),
                       joinTw.data());
            lv.joinSplit[0](streams.data(), jr.data() + 1, ji.data() + 1, n,
                            static_cast<int32_t>(n), joinTw.data());
            EXPECT_EQ(inPlace.Copy(), joined.Copy()) << lv.name << " m " << m;
            EXPECT_EQ(std::vector<float>(shifted.data() + 1, shifted.data() + 1 + 16 * n),
                      joined.Copy());
            for (size_t p = 0; p < 8 * n; ++p)
            {
                ASSERT_EQ(jr.data()[1 + p], joined.data()[2 * p]) << lv.name << " point " << p;
                ASSERT_EQ(ji.data()[1 + p], joined.data()[2 * p + 1]) << lv.name << " point " << p;
            }
        }
    }
}

// An impulse at x[1]: F_1 all ones, the join gives w^j (forward) or its
// conjugate; count = 4 fills k = 0 .. 3 of each of the eight positions only.
TEST(FftDecimatedKernels, PartialJoinOfAnImpulseWritesOnlyItsBlocks)
{
    const size_t L = 64;
    const Floats tw = JoinTwiddles(L);
    Floats in(16 * L);
    for (size_t b = 0; b < L / 4; ++b)
    {
        for (size_t l = 0; l < 4; ++l)
        {
            in.data()[2 * L + 8 * b + l] = 1.0f; // real parts of F_1
        }
    }
    for (const DecimatedLevel& lv : kLevels)
    {
        for (bool inv : {false, true})
        {
            Floats out(16 * L, 9.0f);
            lv.join[inv](in.data(), out.data(), L, 4, tw.data());
            for (size_t j = 0; j < 8 * L; ++j)
            {
                const bool written = j % L < 4;
                const double a = 2.0 * M_PI * static_cast<double>(j) / (8.0 * L);
                const double re = written ? std::cos(a) : 9.0;
                const double im = written ? (inv ? 1.0 : -1.0) * std::sin(a) : 9.0;
                ASSERT_NEAR(out.data()[2 * j], re, 1e-6) << lv.name << " j " << j;
                ASSERT_NEAR(out.data()[2 * j + 1], im, 1e-6) << lv.name << " j " << j;
            }
        }
    }
}

TEST(FftDecimatedKernels, ArgumentsOutsideTheContractAreReportedAndTouchNothing)
{
    const fftvar::Tables t(6, DspFftTwiddleTable_Ssse3, DspFftBitRevTable_Ssse3);
    const Floats tw = JoinTwiddles(64);
    struct JoinCase
    {
        uint64_t L;
        int64_t count;
        size_t srcOffset;
    };
    const JoinCase joins[] = {{6, 4, 0},   {64, 0, 0}, {64, -4, 0}, {64, 6, 0},
                              {64, 68, 0}, {0, 4, 0},  {64, 64, 1}};
    const uint64_t streamSizes[] = {0, 32, 63, 96, uint64_t{1} << 20};
    for (const DecimatedLevel& lv : kLevels)
    {
        Floats src(1024 + 4, 1.0f), dst(1024, 2.0f), work(512, 3.0f);
        for (const JoinCase& c : joins)
        {
            EmuExpectFailures failures;
            lv.join[0](src.data() + c.srcOffset, dst.data(), c.L, c.count, tw.data());
            lv.joinSplit[1](src.data() + c.srcOffset, dst.data(), dst.data() + 512, c.L,
                            static_cast<int32_t>(c.count), tw.data());
            EXPECT_EQ(failures.Messages().size(), 2u) << lv.name << " L " << c.L;
        }
        for (uint64_t n : streamSizes)
        {
            EmuExpectFailures failures;
            lv.sub4[0](src.data(), dst.data(), n, t.tw.data(), t.Signed(), work.data());
            lv.sub4Split[1](src.data(), src.data() + 8, dst.data(), n, t.tw.data(), t.Signed());
            EXPECT_EQ(failures.Messages().size(), 2u) << lv.name << " n " << n;
        }
        {
            // In place the first stage needs the work buffer.
            EmuExpectFailures failures;
            lv.sub4[0](dst.data(), dst.data(), 64, t.tw.data(), t.Signed(), nullptr);
            EXPECT_TRUE(failures.Contains("ASSERT")) << lv.name;
        }
        EXPECT_EQ(src.Copy(), std::vector<float>(1028, 1.0f)) << lv.name;
        EXPECT_EQ(dst.Copy(), std::vector<float>(1024, 2.0f)) << lv.name;
        EXPECT_EQ(work.Copy(), std::vector<float>(512, 3.0f)) << lv.name;
    }
}
