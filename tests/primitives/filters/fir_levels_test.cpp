// The FIR block filter of levels 1 to 3 through the dispatch rows, each level
// building its own states: single-rate (direct and FFT) and multirate against
// level 0 and the definitions, across tap counts, alignments and call splits;
// the direct-form kernel of each level by itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/dsp.h"
#include "primitives/filters/DspFirState.h"
#include "tests/primitives/filters/fir_reference.h"

namespace
{
struct LevelCase
{
    int32_t level;
    int32_t cpuType; // the DspSetCpuLevel code that selects it
    bool available;
};
const LevelCase Levels[] = {{1, 32, __builtin_cpu_supports("sse3") != 0},
                            {2, 33, __builtin_cpu_supports("ssse3") != 0},
                            {3, 35, __builtin_cpu_supports("sse4.1") != 0}};

float SumAbs(const std::vector<float>& h)
{
    float s = 0;
    for (float v : h)
        s += std::fabs(v);
    return s;
}

// A stream through one state of the current level, cut into calls of the
// given lengths (each call's count is in input blocks), with source and
// destination shifted by the given number of floats from a 16-byte boundary.
struct Stream
{
    int32_t up = 1, upPhase = 0, down = 1, downPhase = 0;
    int32_t srcShift = 0, dstShift = 0;

    std::vector<float> Run(const std::vector<float>& h, const std::vector<float>& x,
                           const std::vector<int32_t>& calls) const
    {
        const auto n = static_cast<int32_t>(h.size());
        int32_t size = 0;
        EXPECT_EQ(DspFirMultirateStateSize32f(n, up, down, &size), DspStsNoErr);
        std::vector<uint8_t> memory(static_cast<size_t>(size));
        DspFirState32f* st = nullptr;
        EXPECT_EQ(DspFirMultirateInit32f(&st, h.data(), n, up, upPhase, down, downPhase, nullptr,
                                         memory.data()),
                  DspStsNoErr);
        std::vector<float> y;
        size_t at = 0;
        for (int32_t len : calls)
        {
            alignas(16) static float in[8192], out[8192];
            std::memcpy(in + srcShift, x.data() + at, sizeof(float) * size_t(len) * size_t(down));
            EXPECT_EQ(DspFirFilter32f(in + srcShift, out + dstShift, len, st), DspStsNoErr);
            y.insert(y.end(), out + dstShift, out + dstShift + size_t(len) * size_t(up));
            at += size_t(len) * size_t(down);
        }
        return y;
    }
};

class FirLevels : public testing::TestWithParam<LevelCase>
{
  protected:
    void SetUp() override
    {
        if (!GetParam().available)
            GTEST_SKIP() << "processor lacks level " << GetParam().level;
    }
    void TearDown() override { DspSetCpuLevel(0); }

    // The same stream at level 0 and at the level under test.
    std::pair<std::vector<float>, std::vector<float>> Both(const Stream& s,
                                                           const std::vector<float>& h,
                                                           const std::vector<float>& x,
                                                           const std::vector<int32_t>& calls)
    {
        DspSetCpuLevel(0);
        auto gen = s.Run(h, x, calls);
        DspSetCpuLevel(GetParam().cpuType);
        auto lvl = s.Run(h, x, calls);
        DspSetCpuLevel(0);
        return {gen, lvl};
    }
};

struct SingleCase
{
    int32_t taps;
    std::vector<int32_t> calls;
    bool exact;      // the level-0 sums, in the level-0 order
    float tolerance; // else, times the sum of |h|
};

TEST_P(FirLevels, SingleRateMatchesLevelZeroAndTheDefinition)
{
    const SingleCase cases[] = {
        {1, {1, 3, 5, 6, 40}, true, 0},
        {2, {4, 5, 9, 1, 33}, true, 0},
        {3, {5, 4, 6, 100}, true, 0},
        {4, {5, 6, 3, 100}, false, 2e-7f},
        {5, {9, 10, 1, 77}, false, 2e-7f},
        {8, {9, 10, 2, 60}, false, 2e-7f},
        {20, {21, 22, 48, 480, 7}, false, 4e-7f},
        {24, {25, 26, 48, 1}, false, 4e-7f},
        {63, {64, 65, 511, 512, 600}, false, 4e-7f},
        {64, {511, 512, 1, 7, 600, 900}, false, 2e-6f},
        {101, {512, 1000, 101, 102}, false, 2e-6f},
        {300, {512, 713, 1500, 2}, false, 2e-6f},
    };
    for (const SingleCase& c : cases)
        for (int32_t shift = 0; shift < 4; ++shift)
        {
            Stream s;
            s.dstShift = shift;
            s.srcShift = (shift + 1) % 4;
            const auto h = firref::Signal(size_t(c.taps), 11 + uint32_t(c.taps));
            int64_t total = 0;
            for (int32_t len : c.calls)
                total += len;
            const auto x = firref::Signal(size_t(total), 3);
            const auto [gen, lvl] = Both(s, h, x, c.calls);
            const auto ref = firref::Convolve(h, x, {});
            ASSERT_EQ(lvl.size(), ref.size());
            const float tol = c.exact ? 0.0f : c.tolerance * SumAbs(h);
            for (size_t i = 0; i < ref.size(); ++i)
            {
                if (c.exact)
                {
                    ASSERT_EQ(lvl[i], gen[i]) << "taps " << c.taps << " shift " << shift;
                }
                ASSERT_NEAR(lvl[i], gen[i], tol) << "taps " << c.taps << " at " << i;
                ASSERT_NEAR(lvl[i], ref[i], 2 * tol + 1e-6f) << "taps " << c.taps << " at " << i;
            }
        }
}

struct MultirateCase
{
    int32_t taps, up, upPhase, down, downPhase;
    std::vector<int32_t> calls;
    bool exact;
};

TEST_P(FirLevels, MultirateMatchesLevelZeroAndTheDefinition)
{
    const MultirateCase cases[] = {
        {66, 2, 0, 1, 0, {10, 40, 41, 5, 300}, false}, // kind 1, converter stage
        {132, 4, 0, 1, 0, {40, 41, 3, 200}, false},    // kind 1
        {66, 1, 0, 2, 0, {43, 44, 1, 240}, false},     // kind 1, decimator
        {132, 1, 0, 4, 0, {60, 1, 100}, false},        // kind 1
        {2, 5, 1, 1, 0, {1, 9, 30, 2}, true},          // kind 1, Q = 1
        {2, 3, 2, 1, 0, {1, 9, 30, 2}, true},          // kind 1, Q = 2
        {6, 1, 0, 2, 1, {3, 20, 50, 1}, false},        // kind 2, T = 6
        {4, 1, 0, 2, 1, {3, 20, 50, 1}, false},        // kind 2, T = 4: one step of four
        {8, 1, 0, 3, 2, {3, 20, 50, 1}, false},        // kind 2, T = 8: two steps of four
        {3, 1, 0, 3, 2, {3, 20, 50, 1}, true},         // kind 2, T = 3
        {20, 3, 1, 20, 7, {2, 9, 30, 1}, false},       // kind 3, T = 7
        {8, 2, 1, 7, 3, {2, 9, 30, 1}, false},         // kind 3, T = 4
        {16, 2, 0, 13, 5, {2, 9, 30, 1}, false},       // kind 3, T = 8
        {4, 2, 1, 4, 3, {2, 9, 30, 1}, true},          // kind 3, T = 2
        {9, 2, 0, 7, 0, {2, 9, 30, 1}, false},         // r = 0.3: kind 1
    };
    for (const MultirateCase& c : cases)
        for (int32_t shift = 0; shift < 4; ++shift)
        {
            Stream s{c.up, c.upPhase, c.down, c.downPhase, (shift + 2) % 4, shift};
            const auto h = firref::Signal(size_t(c.taps), 5 + uint32_t(c.taps));
            int64_t total = 0;
            for (int32_t len : c.calls)
                total += len;
            const auto x = firref::Signal(size_t(total * c.down), 9);
            const auto [gen, lvl] = Both(s, h, x, c.calls);
            const auto ref = firref::Multirate(h, x, c.up, c.upPhase, c.down, c.downPhase, {});
            ASSERT_EQ(lvl.size(), ref.size());
            const float tol = 3e-7f * SumAbs(h);
            for (size_t i = 0; i < ref.size(); ++i)
            {
                if (c.exact)
                {
                    ASSERT_EQ(lvl[i], gen[i]) << "taps " << c.taps << " at " << i;
                }
                ASSERT_NEAR(lvl[i], ref[i], tol)
                    << "taps " << c.taps << " U " << c.up << " at " << i;
            }
        }
}

TEST_P(FirLevels, StatesOfTheLevelAndTheirChecks)
{
    DspSetCpuLevel(0);
    int32_t gen = 0, lvl = 0;
    ASSERT_EQ(DspFirStateSize32f(9, &gen), DspStsNoErr);
    DspSetCpuLevel(GetParam().cpuType);
    ASSERT_EQ(DspFirStateSize32f(9, &lvl), DspStsNoErr);
    EXPECT_EQ(lvl, gen + 64 * 3); // four copies of every tap, rounded to four taps
    ASSERT_EQ(DspFirMultirateStateSize32f(9, 1, 1, &lvl), DspStsNoErr);
    EXPECT_EQ(lvl, gen + 64 * 3); // a single-rate state of the same level
    EXPECT_EQ(DspFirStateSize32f(0, &lvl), DspStsFirLenErr);
    EXPECT_EQ(DspFirStateSize32f(1, nullptr), DspStsNullPtrErr);

    std::vector<uint8_t> memory(size_t(gen + 64 * 3));
    const auto h = firref::Signal(9, 1);
    DspFirState32f* st = nullptr;
    ASSERT_EQ(DspFirInit32f(&st, h.data(), 9, nullptr, memory.data()), DspStsNoErr);
    ASSERT_NE(st->tapVectors, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(st->tapVectors) % 16, 0u);
    for (int32_t k = 0; k < 9; ++k)
        for (int32_t lane = 0; lane < 4; ++lane)
            ASSERT_EQ(st->tapVectors[4 * k + lane], h[size_t(k)]);

    float x[8] = {1, 2, 3, 4, 5, 6, 7, 8}, y[8] = {};
    EXPECT_EQ(DspFirFilter32f(x, y, 0, st), DspStsSizeErr);
    EXPECT_EQ(DspFirFilter32f(x, nullptr, 8, st), DspStsNullPtrErr);
    // A level-0 state has no tap vectors; the level refuses it.
    DspSetCpuLevel(0);
    std::vector<uint8_t> plain(static_cast<size_t>(gen));
    DspFirState32f* st0 = nullptr;
    ASSERT_EQ(DspFirInit32f(&st0, h.data(), 9, nullptr, plain.data()), DspStsNoErr);
    DspSetCpuLevel(GetParam().cpuType);
    EXPECT_EQ(DspFirFilter32f(x, y, 8, st0), DspStsContextMatchErr);
    st->kind = 0x49493031; // "II01"
    EXPECT_EQ(DspFirFilter32f(x, y, 8, st), DspStsContextMatchErr);
    EXPECT_EQ(y[0], 0.0f);

    int32_t size = 0;
    ASSERT_EQ(DspFirMultirateStateSize32f(66, 2, 1, &size), DspStsNoErr);
    memory.assign(size_t(size), 0);
    ASSERT_EQ(DspFirMultirateInit32f(&st, h.data(), 9, 2, 0, 1, 0, nullptr, memory.data()),
              DspStsNoErr);
    for (int32_t bad : {0, 4})
    {
        st->multirateKind = bad;
        EXPECT_EQ(DspFirFilter32f(x, y, 8, st), DspStsContextMatchErr);
        EXPECT_EQ(y[0], 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, FirLevels, testing::ValuesIn(Levels));

using KernelFn = void (*)(const float*, const float*, float*, int32_t, int32_t, int32_t);
const KernelFn Kernels[] = {DspFirDirectKernel_Sse3, DspFirDirectKernel_Ssse3,
                            DspFirDirectKernel_Sse4};

// The kernel by itself: every tap count up to 13 and output counts up to 37
// from each input and output alignment. Outputs before the first 16-byte
// boundary of y, and every output of 3 taps or fewer, are the oldest-first
// single-precision sums exactly.
TEST(FirLevelDirectKernel, EveryTapCountCountAndAlignment)
{
    for (size_t l = 0; l < 3; ++l)
    {
        if (!Levels[l].available)
            continue;
        for (int32_t t = 1; t <= 13; ++t)
        {
            const auto h = firref::Signal(size_t(t), 20 + uint32_t(t));
            alignas(16) float tv[64];
            for (int32_t k = 0; k < t; ++k)
                for (int32_t lane = 0; lane < 4; ++lane)
                    tv[4 * k + lane] = h[size_t(k)];
            const auto x = firref::Signal(64, 4);
            for (int32_t n = 1; n <= 37; ++n)
                for (int32_t xs = 0; xs < 4; ++xs)
                    for (int32_t ys = 0; ys < 4; ++ys)
                    {
                        alignas(16) float in[64 + 4], out[48];
                        std::memcpy(in + xs, x.data(), sizeof(float) * size_t(n + t - 1));
                        out[ys + n] = 99.0f;
                        Kernels[l](tv, in + xs, out + ys, n, t, 0);
                        ASSERT_EQ(out[ys + n], 99.0f); // nothing past n
                        const int32_t prologue = (4 - ys) % 4;
                        for (int32_t i = 0; i < n; ++i)
                        {
                            float want = 0;
                            for (int32_t k = 0; k < t; ++k)
                                want += in[xs + i + k] * h[size_t(t - 1 - k)];
                            if (t <= 3 || i < prologue)
                            {
                                ASSERT_EQ(out[ys + i], want) << t << " " << n << " " << i;
                            }
                            else
                            {
                                ASSERT_NEAR(out[ys + i], want, 3e-7f * SumAbs(h));
                            }
                        }
                    }
        }
    }
}
} // namespace
