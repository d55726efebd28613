// The members behind the level transforms, each on its own: the one-piece
// kernels and the pass kernels against a double-precision DFT, the split and
// merge steps against level 0, and the tables the level's set-up writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "tests/primitives/fft/fft_reference.h"

namespace
{
struct KernelLevel
{
    const char* name;
    int smallBelow; // complex orders of the one-piece kernel
    uint8_t* (*bitRevTable)(int32_t, uint32_t*);
    uint8_t* (*twiddleTable)(int32_t, const float*, int32_t, float*);
    void (*fwdSmall)(const float*, float*, int32_t, const float*, const uint32_t*, uint8_t*);
    void (*invSmall)(const float*, float*, int32_t, const float*, const uint32_t*, uint8_t*);
    void (*fwdPasses)(float*, int32_t, const float*, uint8_t*, int32_t);
    void (*invPasses)(float*, int32_t, const float*, uint8_t*, int32_t);
    void (*bitRevCopy)(const float*, float*, int64_t, const uint32_t*);
    DspFftSizeFn sizeR;
    DspFftInitFn initR;
    void (*postSplit)(float*, int32_t, int32_t, const float*);
    void (*preSplit)(const float*, float*, int32_t, int32_t, const float*);
    void (*tiledTable)(int32_t, int32_t, uint32_t*);
};

#define KERNEL_LEVEL(S, below)                                                                     \
    KernelLevel                                                                                    \
    {                                                                                              \
#S, below, DspFftBitRevTable_##S, DspFftTwiddleTable_##S, DspFftCplxFwdSmall_##S,          \
            DspFftCplxInvSmall_##S, DspFftCplxFwdPasses_##S, DspFftCplxInvPasses_##S,              \
            DspBitRevCopy64_##S, DspFftSpecSizeR32f_##S, DspFftSpecInitR32f_##S,                   \
            DspFftRealFwdPostSplit_##S, DspFftRealInvPreSplit_##S, DspFftTiledBitRevTable_##S      \
    }
const KernelLevel kKernelLevels[] = {KERNEL_LEVEL(Sse3, 16), KERNEL_LEVEL(Ssse3, 17),
                                     KERNEL_LEVEL(Sse4, 17)};

#ifdef __OPTIMIZE__ // every order of the kernels in optimised builds only
constexpr int kMaxKernelOrder = 15;
#else
constexpr int kMaxKernelOrder = 10;
#endif

// The quarter-wave table of the built-in order 10 or computed for order m.
std::vector<float> Sine(int order)
{
    std::vector<float> s((size_t{1} << order) / 4 + 1);
    DspFftSineTable_Gen(s.data(), order);
    return s;
}

std::vector<fftref::cd> Points(const float* f, size_t n)
{
    std::vector<fftref::cd> out(n);
    for (size_t i = 0; i < n; ++i)
    {
        out[i] = {f[2 * i], f[2 * i + 1]};
    }
    return out;
}

// The split layout back into interleaved pairs.
std::vector<float> Interleave(const std::vector<float>& split)
{
    std::vector<float> out(split.size());
    for (size_t b = 0; b < split.size() / 8; ++b)
    {
        for (int l = 0; l < 4; ++l)
        {
            out[8 * b + 2 * l] = split[8 * b + l];
            out[8 * b + 2 * l + 1] = split[8 * b + 4 + l];
        }
    }
    return out;
}

struct Tables
{
    Tables(const KernelLevel& lv, int m)
        : sine(Sine(m > 10 ? m : 10)), rev((size_t{1} << m) / 4 + 16), tw(2 * (size_t{1} << m) + 16)
    {
        lv.bitRevTable(m, rev.data());
        lv.twiddleTable(m, sine.data(), m > 10 ? m : 10, tw.data());
    }
    std::vector<float> sine;
    std::vector<uint32_t> rev;
    std::vector<float> tw;
};
} // namespace

TEST(FftLevelKernels, OnePieceKernelsMatchTheDftBothWaysInAndOutOfPlace)
{
    for (const KernelLevel& lv : kKernelLevels)
    {
        for (int m = 3; m <= kMaxKernelOrder && m < lv.smallBelow; ++m)
        {
            const Tables t(lv, m);
            const int32_t n = 1 << m;
            const auto x = fftref::RandomSignal(2 * n, m);
            std::vector<uint8_t> work(8 * n + 32);
            for (bool inv : {false, true})
            {
                auto kernel = inv ? lv.invSmall : lv.fwdSmall;
                std::vector<float> y(2 * n);
                kernel(x.data(), y.data(), n, t.tw.data(), t.rev.data(), work.data());
                auto z = x;
                kernel(z.data(), z.data(), n, t.tw.data(), t.rev.data(), work.data());
                const auto ref = fftref::Transform(Points(x.data(), n), inv);
                EXPECT_LT(fftref::RelativeError(Points(y.data(), n), ref),
                          4 * fftref::ErrorBound(m))
                    << lv.name << " m " << m << " inverse " << inv;
                EXPECT_EQ(y, z) << lv.name << " m " << m << " in place";
                // Any 4-byte alignment, out of place and in place.
                fftref::Shifted src(x, 1), dst(x, 3);
                kernel(src.at, dst.at, n, t.tw.data(), t.rev.data(), work.data());
                kernel(src.at, src.at, n, t.tw.data(), t.rev.data(), work.data());
                EXPECT_EQ(dst.Values(), y) << lv.name << " m " << m << " at offsets";
                EXPECT_EQ(src.Values(), y) << lv.name << " m " << m << " in place at an offset";
            }
        }
    }
}

TEST(FftLevelKernels, PassKernelsLeaveInterleavedOrSplitResults)
{
    for (const KernelLevel& lv : kKernelLevels)
    {
        for (int m = 3; m <= kMaxKernelOrder; ++m)
        {
            const Tables t(lv, m);
            const int32_t n = 1 << m;
            const auto x = fftref::RandomSignal(2 * n, 40 + m);
            std::vector<float> reversed(2 * n);
            lv.bitRevCopy(x.data(), reversed.data(), n, t.rev.data());
            for (bool inv : {false, true})
            {
                auto passes = inv ? lv.invPasses : lv.fwdPasses;
                auto top = reversed;
                auto split = reversed;
                passes(top.data(), n, t.tw.data(), nullptr, 1);
                passes(split.data(), n, t.tw.data(), nullptr, 0);
                const auto ref = fftref::Transform(Points(x.data(), n), inv);
                EXPECT_LT(fftref::RelativeError(Points(top.data(), n), ref),
                          4 * fftref::ErrorBound(m))
                    << lv.name << " m " << m << " inverse " << inv;
                EXPECT_EQ(Interleave(split), top) << lv.name << " m " << m;
                std::vector<uint8_t> work(8 * n + 32);
                uint8_t* w = work.data() + (-reinterpret_cast<uintptr_t>(work.data()) & 15);
                fftref::Shifted shifted(reversed, 1);
                passes(shifted.at, n, t.tw.data(), w, 1);
                EXPECT_EQ(shifted.Values(), top) << lv.name << " m " << m << " at 4 bytes";
            }
        }
    }
}

// An impulse at point 1 transforms to e^(-+2 pi i k / n); at k = n / 8 the last
// radix-8 stage forms it as (1 -+ i) times its constant and nothing else, so
// the result is that constant to the last bit: one unit in the last place
// above the float nearest 1/sqrt(2).
TEST(FftLevelKernels, LastRadixEightStageGivesItsConstantToTheLastBit)
{
    struct Case
    {
        int level; // index into kKernelLevels
        int m;
        bool passes; // else the one-piece kernel
    };
    // The 8-point path and plan 8/4; plan B's passes 4 4 8 and both plans' 4 8 8 8.
    const Case cases[] = {{0, 3, false}, {1, 3, false}, {2, 3, false}, {0, 5, false},
                          {1, 5, false}, {2, 5, false}, {1, 7, true},  {2, 7, true},
                          {0, 11, true}, {1, 11, true}, {2, 11, true}};
    const float c = std::bit_cast<float>(0x3F3504F4u);
    for (const Case& k : cases)
    {
        const KernelLevel& lv = kKernelLevels[k.level];
        const Tables t(lv, k.m);
        const int32_t n = 1 << k.m;
        std::vector<float> x(2 * n), y(2 * n);
        std::vector<uint8_t> work(8 * n + 32);
        x[2] = 1.0f;
        for (bool inv : {false, true})
        {
            if (k.passes)
            {
                std::fill(y.begin(), y.end(), 0.0f);
                y[n] = 1.0f; // point 1 lies at point n / 2 in bit-reversed order
                (inv ? lv.invPasses : lv.fwdPasses)(y.data(), n, t.tw.data(), nullptr, 1);
            }
            else
            {
                (inv ? lv.invSmall : lv.fwdSmall)(x.data(), y.data(), n, t.tw.data(), t.rev.data(),
                                                  work.data());
            }
            EXPECT_EQ(y[n / 4], c) << lv.name << " m " << k.m << " inverse " << inv;
            EXPECT_EQ(y[n / 4 + 1], inv ? c : -c) << lv.name << " m " << k.m;
        }
    }
}

TEST(FftLevelKernels, SplitAndMergeGiveLevelZerosValues)
{
    for (const KernelLevel& lv : kKernelLevels)
    {
        for (int order = 4; order <= 12; ++order)
        {
            int32_t s = 0, i = 0, w = 0;
            std::vector<uint8_t> levelMem(1 << 20), genMem(1 << 20), init(1 << 16);
            DspFftSpecR32f* rec = nullptr;
            DspFftSpecR32f* gen = nullptr;
            ASSERT_EQ(lv.sizeR(order, DspFftScaleNone, 0, &s, &i, &w), DspStsNoErr);
            ASSERT_EQ(lv.initR(&rec, order, DspFftScaleNone, 0, levelMem.data(), init.data()),
                      DspStsNoErr);
            ASSERT_EQ(
                DspFftSpecInitR32f_Gen(&gen, order, DspFftScaleNone, 0, genMem.data(), init.data()),
                DspStsNoErr);
            const int32_t n = 1 << (order - 1);
            const auto x = fftref::RandomSignal(2 * n, order);
            auto a = x;
            auto b = x;
            lv.postSplit(a.data(), n, 1, rec->splitTable);
            DspFftRealFwdPostSplit_Gen(b.data(), n, 1, gen->splitTable);
            // The middle bin's sign is flipped by its bit, the rest computed alike.
            EXPECT_EQ(a[n + 1], -x[n + 1]);
            a[n + 1] = b[n + 1];
            EXPECT_EQ(a, b) << lv.name << " order " << order;
            std::vector<float> c(2 * n, 7.0f), d(2 * n, 7.0f);
            lv.preSplit(x.data(), c.data(), n, -1, rec->mergeTable);
            DspFftRealInvPreSplit_Gen(x.data(), d.data(), n, -1, gen->mergeTable);
            EXPECT_EQ(c, d) << lv.name << " order " << order;
        }
    }
}

TEST(FftLevelKernels, IndexAndTileTablesHoldTheReversals)
{
    for (const KernelLevel& lv : kKernelLevels)
    {
        for (int m = 2; m <= 12; ++m)
        {
            const uint32_t q = 1u << (m - 2);
            std::vector<uint32_t> t(q + 16, 0xFFFFFFFFu);
            auto* end = lv.bitRevTable(m, t.data());
            for (uint32_t k = 0; k < q; ++k)
            {
                uint32_t r = 0;
                for (int b = 0; b < m - 2; ++b)
                {
                    r |= ((k >> b) & 1u) << (m - 3 - b);
                }
                ASSERT_EQ(t[k], 2 * r) << lv.name << " m " << m << " k " << k;
            }
            EXPECT_EQ(t[q], 0u);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(end) % 32, 0u);
            EXPECT_GE(end, reinterpret_cast<uint8_t*>(t.data() + q + 1));
        }
        // Tile table of order 14: 64 x rev2(t), then the order-12 swap list.
        std::vector<uint32_t> tiled(4 + 1100), list(1100);
        lv.tiledTable(14, 6, tiled.data());
        EXPECT_EQ(std::vector<uint32_t>(tiled.begin(), tiled.begin() + 4),
                  (std::vector<uint32_t>{0, 128, 64, 192}));
        DspFftBitRevSwapList(12, list.data());
        EXPECT_EQ(0, memcmp(tiled.data() + 4, list.data(), 4 * 1025)) << lv.name;
    }
}

TEST(FftLevelKernels, TwiddleTableEndsAndFirstBlocks)
{
    const auto sine = Sine(10);
    for (const KernelLevel& lv : kKernelLevels)
    {
        std::vector<float> tw(2 * 1024 + 64);
        float* dst = tw.data() + (-reinterpret_cast<uintptr_t>(tw.data()) & 31) / 4;
        // Nothing is written up to order 3.
        EXPECT_EQ(lv.twiddleTable(3, sine.data(), 10, dst), reinterpret_cast<uint8_t*>(dst));
        EXPECT_EQ(lv.twiddleTable(10, sine.data(), 10, dst),
                  reinterpret_cast<uint8_t*>(dst + 2 * 1024));
        // The first twiddled stage combines spans of 4 into 16 (radix 4) or 32
        // (radix 8) points: factor j of position k is W_M^(jk).
        const int radix = lv.smallBelow == 16 ? 8 : 4; // m = 10: level 1 4,8,8,4; others 4,4,8,8
        const double bigM = 4.0 * radix;
        for (int j = 1; j < radix; ++j)
        {
            for (int k = 0; k < 4; ++k)
            {
                const double angle = 2 * M_PI * j * k / bigM;
                EXPECT_NEAR(dst[8 * (j - 1) + k], std::cos(angle), 1e-7) << lv.name;
                EXPECT_NEAR(dst[8 * (j - 1) + 4 + k], -std::sin(angle), 1e-7) << lv.name;
            }
        }
    }
}

TEST(FftLevelKernels, SetUpChecksAndPathChoice)
{
    struct Case
    {
        int order, flag;
        DspStatus size;
    };
    const Case cases[] = {{-1, 8, DspStsFftOrderErr}, {31, 8, DspStsFftOrderErr},
                          {4, 3, DspStsFftFlagErr},   {4, 0, DspStsFftFlagErr},
                          {0, 8, DspStsNoErr},        {29, 8, DspStsMemAllocErr}};
    for (const KernelLevel& lv : kKernelLevels)
    {
        for (const Case& c : cases)
        {
            int32_t s = -1, i = -1, w = -1;
            EXPECT_EQ(lv.sizeR(c.order, c.flag, 0, &s, &i, &w), c.size)
                << lv.name << " order " << c.order;
        }
        int32_t s = 0, i = 0, w = 0;
        EXPECT_EQ(lv.sizeR(3, 4, 0, nullptr, &i, &w), DspStsNullPtrErr);
        ASSERT_EQ(lv.sizeR(3, 4, 0, &s, &i, &w), DspStsNoErr);
        EXPECT_EQ(s, 168);
        EXPECT_EQ(w, 0);
        // Order 11 needs its init buffer: -8 and a record that fails kind checks.
        ASSERT_EQ(lv.sizeR(11, 8, 0, &s, &i, &w), DspStsNoErr);
        EXPECT_GT(i, 0);
        std::vector<uint8_t> mem(s);
        DspFftSpecR32f* rec = nullptr;
        EXPECT_EQ(lv.initR(&rec, 11, 8, 0, mem.data(), nullptr), DspStsNullPtrErr);
        // The small path's work is one complex buffer of the half length.
        ASSERT_EQ(lv.sizeR(12, 2, 0, &s, &i, &w), DspStsNoErr);
        EXPECT_EQ(w, 8 * 2048 + 32) << lv.name;
    }
}

TEST(FftLevelKernels, PathOfEachOrderAroundTheLargeThreshold)
{
    struct Case
    {
        int level; // index into kKernelLevels
        int m;     // complex order of a real record of order m + 1
        bool large;
    };
    const Case cases[] = {{0, 16, false}, {0, 17, true},  {1, 17, false},
                          {1, 18, true},  {2, 17, false}, {2, 18, true}};
    for (const Case& c : cases)
    {
        const KernelLevel& lv = kKernelLevels[c.level];
        int32_t s = 0, i = 0, w = 0;
        ASSERT_EQ(lv.sizeR(c.m + 1, DspFftScaleNone, 0, &s, &i, &w), DspStsNoErr);
        std::vector<uint8_t> mem(s), init(i);
        DspFftSpecR32f* rec = nullptr;
        ASSERT_EQ(lv.initR(&rec, c.m + 1, DspFftScaleNone, 0, mem.data(), init.data()),
                  DspStsNoErr);
        // The large path: one depth table behind the leaf twiddles, whose work
        // holds the leaf of order m - 3 (or m - 4); the small path none.
        EXPECT_EQ(rec->crossTwiddles[0] != nullptr, c.large) << lv.name << " m " << c.m;
        EXPECT_EQ(rec->crossTwiddles[1], nullptr);
        EXPECT_EQ(rec->columnTwiddles[0], nullptr);
        EXPECT_EQ(rec->joinTwiddles, nullptr);
        const int leaf = c.large ? c.m - (c.m == 17 ? 3 : 4) : c.m;
        EXPECT_EQ(rec->workBytes, 8 << leaf) << lv.name << " m " << c.m;
        EXPECT_LE(reinterpret_cast<uint8_t*>(rec->mergeTable) + (4 << c.m),
                  mem.data() + mem.size());
    }
}
