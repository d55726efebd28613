// The FFT at processor levels 1 to 3: bit reversal against the permutation,
// the kernels against a double-precision reference, the levels against level
// 0, the worked sizes of the large path, and the complex interface.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "primitives/dsp.h"
#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "tests/primitives/fft/fft_reference.h"

namespace
{
#ifdef __OPTIMIZE__ // the large sizes run in optimised builds only
constexpr int kMaxBitRevOrder = 17;
constexpr int kMaxRealOrder = 21;
constexpr int kSampledLargeOrder = 0;
#else
constexpr int kMaxBitRevOrder = 13;
constexpr int kMaxRealOrder = 15;
// One order of the large path (complex order 17) in the sanitized build.
constexpr int kSampledLargeOrder = 18;
#endif

std::vector<int> RealOrders()
{
    std::vector<int> orders;
    for (int order = 0; order <= kMaxRealOrder; ++order)
    {
        orders.push_back(order);
    }
    if (kSampledLargeOrder != 0)
    {
        orders.push_back(kSampledLargeOrder);
    }
    return orders;
}

struct Level
{
    const char* name;
    void (*bitRevCopy)(const float*, float*, int64_t, const uint32_t*);
    void (*bitRevInPlace)(float*, int64_t, const uint32_t*);
    uint8_t* (*bitRevTable)(int32_t, uint32_t*);
    void (*tiled)(float*, int32_t, const uint32_t*, uint8_t*);
    void (*tiledTable)(int32_t, int32_t, uint32_t*);
    DspFftSizeFn sizeR;
    DspFftInitFn initR;
    DspFftSizeFn sizeC;
    DspFftInitFn initC;
    DspStatus (*fwdR)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
    DspStatus (*invR)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
    DspStatus (*fwdC)(const float*, float*, const DspFftSpecC32f*, uint8_t*);
    void (*workSize)(int32_t, int64_t*, int64_t*, int64_t*);
    void (*pairs)(const float*, float*, int32_t);
};

#define LEVEL(S)                                                                                   \
    Level                                                                                          \
    {                                                                                              \
#S, DspBitRevCopy64_##S, DspBitRevInPlace64_##S, DspFftBitRevTable_##S,                    \
            DspBitRevTiled64_##S, DspFftTiledBitRevTable_##S, DspFftSpecSizeR32f_##S,              \
            DspFftSpecInitR32f_##S, DspFftSpecSizeC32f_##S, DspFftSpecInitC32f_##S,                \
            DspFftFwdRToPacked32f_##S, DspFftInvPackedToR32f_##S, DspFftFwdC32f_##S,               \
            DspFftWorkSize_##S, DspMulPackedPairs_##S                                              \
    }
const Level kLevels[] = {LEVEL(Sse3), LEVEL(Ssse3), LEVEL(Sse4)};

uint32_t Reverse(uint32_t v, int bits)
{
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
    {
        r |= ((v >> b) & 1u) << (bits - 1 - b);
    }
    return r;
}

// A record in plain memory built by the given size and init members.
struct Record
{
    Record(DspFftSizeFn size, DspFftInitFn init, int order, int flag)
    {
        int32_t s = 0, i = 0, w = 0;
        status = size(order, flag, 0, &s, &i, &w);
        if (status != DspStsNoErr)
        {
            return;
        }
        spec.resize(s);
        initBuf.resize(i);
        work.resize(w);
        status =
            init(&rec, order, flag, 0, spec.data(), initBuf.empty() ? nullptr : initBuf.data());
    }
    DspStatus status;
    std::vector<uint8_t> spec, initBuf, work;
    DspFftSpecR32f* rec = nullptr;
};

constexpr float kGuard = -12345.0f;

// The points at float offset off inside guard floats on both sides.
struct Guarded
{
    Guarded(size_t floats, int off) : buf(floats + 16, kGuard), offset(8 + off) {}
    float* data() { return buf.data() + offset; }
    bool GuardsIntact(size_t floats) const
    {
        for (size_t i = 0; i < buf.size(); ++i)
        {
            if ((i < offset || i >= offset + floats) && buf[i] != kGuard)
            {
                return false;
            }
        }
        return true;
    }
    std::vector<float> buf;
    size_t offset;
};

// One transform with the source and the destination at the given float
// offsets from a 16-byte boundary, in place when they are equal; the guards
// around both must stay.
template <class Spec>
std::vector<float> AtOffsets(DspStatus (*fft)(const float*, float*, const Spec*, uint8_t*),
                             const Spec* spec, const std::vector<float>& x, int srcOff, int dstOff)
{
    Guarded src(x.size(), srcOff), dst(x.size(), dstOff);
    memcpy(src.data(), x.data(), 4 * x.size());
    float* out = srcOff == dstOff ? src.data() : dst.data();
    EXPECT_EQ(fft(src.data(), out, spec, nullptr), DspStsNoErr);
    EXPECT_TRUE(src.GuardsIntact(x.size()) && dst.GuardsIntact(x.size()));
    return {out, out + x.size()};
}
} // namespace

TEST(FftLevels, BitReversalEqualsThePermutationAtEveryAlignment)
{
    for (const Level& lv : kLevels)
    {
        for (int m = 3; m <= kMaxBitRevOrder; ++m)
        {
            const int32_t n = 1 << m;
            std::vector<uint32_t> table((n / 4) + 16);
            lv.bitRevTable(m, table.data());
            const auto x = fftref::RandomSignal(2 * n, m);
            for (int off = 0; off < 4; ++off)
            {
                Guarded copy(2 * n, off);
                Guarded inPlace(2 * n, off);
                memcpy(inPlace.data(), x.data(), 8 * n);
                lv.bitRevCopy(x.data(), copy.data(), n, table.data());
                lv.bitRevInPlace(inPlace.data(), n, table.data());
                for (int32_t i = 0; i < n; ++i)
                {
                    const uint32_t r = Reverse(i, m);
                    ASSERT_EQ(copy.data()[2 * i], x[2 * r]) << lv.name << " m " << m << " i " << i;
                    ASSERT_EQ(copy.data()[2 * i + 1], x[2 * r + 1]);
                    ASSERT_EQ(inPlace.data()[2 * i], x[2 * r]) << lv.name << " m " << m;
                    ASSERT_EQ(inPlace.data()[2 * i + 1], x[2 * r + 1]);
                }
                EXPECT_TRUE(copy.GuardsIntact(2 * n)) << lv.name << " m " << m;
                EXPECT_TRUE(inPlace.GuardsIntact(2 * n)) << lv.name << " m " << m;
            }
        }
    }
}

TEST(FftLevels, TiledBitReversalEqualsThePermutation)
{
    std::vector<uint8_t> work(65536 + 64);
    for (const Level& lv : kLevels)
    {
        for (int m = 12; m <= kMaxBitRevOrder; ++m)
        {
            const int32_t n = 1 << m;
            std::vector<uint32_t> table((1 << (m - 12)) + 1100);
            lv.tiledTable(m, 6, table.data());
            const auto x = fftref::RandomSignal(2 * n, m);
            Guarded data(2 * n, m % 4);
            memcpy(data.data(), x.data(), 8 * n);
            lv.tiled(data.data(), n, table.data(), work.data());
            for (int32_t i = 0; i < n; ++i)
            {
                const uint32_t r = Reverse(i, m);
                ASSERT_EQ(data.data()[2 * i], x[2 * r]) << lv.name << " m " << m << " i " << i;
            }
            EXPECT_TRUE(data.GuardsIntact(2 * n));
        }
    }
}

TEST(FftLevels, ComplexForwardMatchesTheDoubleReference)
{
    for (const Level& lv : kLevels)
    {
        for (int order = 0; order <= kMaxRealOrder - 1; ++order)
        {
            Record r(lv.sizeC, lv.initC, order, DspFftScaleNone);
            ASSERT_EQ(r.status, DspStsNoErr) << lv.name << " order " << order;
            const size_t n = size_t{1} << order;
            const auto x = fftref::RandomSignal(2 * n, order + 7);
            std::vector<float> y(2 * n);
            auto* spec = static_cast<DspFftSpecC32f*>(r.rec);
            ASSERT_EQ(lv.fwdC(x.data(), y.data(), spec, r.work.data()), DspStsNoErr);
            std::vector<fftref::cd> in(n), out(n);
            for (size_t i = 0; i < n; ++i)
            {
                in[i] = {x[2 * i], x[2 * i + 1]};
                out[i] = {y[2 * i], y[2 * i + 1]};
            }
            const auto ref = fftref::Transform(in, false);
            EXPECT_LT(fftref::RelativeError(out, ref), 4 * fftref::ErrorBound(order))
                << lv.name << " order " << order;
            // In place, and at 4-byte offsets, gives the same values.
            auto z = x;
            ASSERT_EQ(lv.fwdC(z.data(), z.data(), spec, nullptr), DspStsNoErr);
            EXPECT_EQ(z, y) << lv.name << " order " << order;
            EXPECT_EQ(AtOffsets(lv.fwdC, spec, x, 1, 3), y) << lv.name << " order " << order;
            EXPECT_EQ(AtOffsets(lv.fwdC, spec, x, 3, 3), y) << lv.name << " order " << order;
        }
    }
}

namespace
{
// A transform of `floats` floats out of place (the destination 4 bytes off
// a 16-byte boundary) and in place: equal bit for bit, guards intact.
template <class Transform> bool OutOfPlaceIsInPlace(size_t floats, int seed, Transform transform)
{
    const auto x = fftref::RandomSignal(floats, seed);
    Guarded out(floats, 1);
    auto z = x;
    transform(x.data(), out.data());
    transform(z.data(), z.data());
    return memcmp(out.data(), z.data(), 4 * floats) == 0 && out.GuardsIntact(floats);
}
} // namespace

// In place and out of place permute by different members (the block copy,
// the tiled gather, a copy and the tiled reversal) before the same passes,
// at the complex orders where they part (the real transforms one above).
TEST(FftLevels, OutOfPlaceEqualsInPlaceBitForBitWhereThePermutationsPart)
{
    for (const Level& lv : kLevels)
    {
        for (int order : {16, 17, 19, 20})
        {
            Record c(lv.sizeC, lv.initC, order, DspFftScaleNone);
            Record r(lv.sizeR, lv.initR, order + 1, DspFftScaleNone);
            ASSERT_EQ(c.status, DspStsNoErr);
            ASSERT_EQ(r.status, DspStsNoErr);
            auto* spec = static_cast<DspFftSpecC32f*>(c.rec);
            const size_t floats = size_t{2} << order;
            EXPECT_TRUE(OutOfPlaceIsInPlace(floats, order,
                                            [&](const float* s, float* d)
                                            { lv.fwdC(s, d, spec, c.work.data()); }))
                << lv.name << " complex order " << order;
            EXPECT_TRUE(OutOfPlaceIsInPlace(floats, order,
                                            [&](const float* s, float* d)
                                            { lv.fwdR(s, d, r.rec, r.work.data()); }))
                << lv.name << " real order " << order + 1;
        }
    }
}

TEST(FftLevels, RealTransformsAgreeWithLevelZeroAndTheReference)
{
    for (const Level& lv : kLevels)
    {
        for (int order : RealOrders())
        {
            for (int flag : {DspFftScaleNone, DspFftScaleForward, DspFftScaleInverse})
            {
                Record r(lv.sizeR, lv.initR, order, flag);
                Record g(DspFftSpecSizeR32f_Gen, DspFftSpecInitR32f_Gen, order, flag);
                ASSERT_EQ(r.status, DspStsNoErr);
                const size_t n = size_t{1} << order;
                const auto x = fftref::RandomSignal(n, order);
                std::vector<float> y(n), yg(n);
                ASSERT_EQ(lv.fwdR(x.data(), y.data(), r.rec, r.work.data()), DspStsNoErr);
                ASSERT_EQ(DspFftFwdRToPacked32f_Gen(x.data(), yg.data(), g.rec, g.work.data()),
                          DspStsNoErr);
                const auto spec = fftref::Unpack(y.data(), n);
                const auto specG = fftref::Unpack(yg.data(), n);
                EXPECT_LT(fftref::RelativeError(spec, specG), 8 * fftref::ErrorBound(order))
                    << lv.name << " order " << order << " flag " << flag;
                // Inverse in place returns the signal times N unless scaled once.
                auto back = y;
                ASSERT_EQ(lv.invR(back.data(), back.data(), r.rec, nullptr), DspStsNoErr);
                const double gain = flag == DspFftScaleNone ? static_cast<double>(n) : 1.0;
                std::vector<fftref::cd> a(n), b(n);
                for (size_t i = 0; i < n; ++i)
                {
                    a[i] = back[i];
                    b[i] = gain * x[i];
                }
                EXPECT_LT(fftref::RelativeError(a, b), 8 * fftref::ErrorBound(order))
                    << lv.name << " order " << order << " flag " << flag;
                // The same bits from data at 4-byte offsets.
                EXPECT_EQ(AtOffsets(lv.fwdR, r.rec, x, 1, 3), y) << lv.name << " order " << order;
                EXPECT_EQ(AtOffsets(lv.invR, r.rec, y, 3, 1), back) << lv.name << " " << order;
                EXPECT_EQ(AtOffsets(lv.invR, r.rec, y, 1, 1), back) << lv.name << " " << order;
            }
        }
    }
}

TEST(FftLevels, LevelsTwoAndThreeShareTheirTransformsBitForBit)
{
    for (int order = 4; order <= kMaxRealOrder; ++order)
    {
        Record r2(DspFftSpecSizeR32f_Ssse3, DspFftSpecInitR32f_Ssse3, order, DspFftScaleBoth);
        Record r3(DspFftSpecSizeR32f_Sse4, DspFftSpecInitR32f_Sse4, order, DspFftScaleBoth);
        const size_t n = size_t{1} << order;
        const auto x = fftref::RandomSignal(n, 3 * order);
        std::vector<float> y2(n), y3(n);
        DspFftFwdRToPacked32f_Ssse3(x.data(), y2.data(), r2.rec, r2.work.data());
        DspFftFwdRToPacked32f_Sse4(x.data(), y3.data(), r3.rec, r3.work.data());
        EXPECT_EQ(0, memcmp(y2.data(), y3.data(), 4 * n)) << "order " << order;
    }
}

TEST(FftLevels, LargePathWorkedSizes)
{
    struct Case
    {
        int level; // index into kLevels
        int m;
        int64_t table, work;
    };
    const Case cases[] = {{0, 17, 1179680, 131072},    {0, 20, 8912928, 524288},
                          {0, 22, 33685536, 262144},   {0, 25, 269615136, 262144},
                          {1, 25, 269484064, 1048576}, {2, 25, 269484064, 1048576}};
    for (const Case& c : cases)
    {
        int64_t table = 0, init = 0, work = 0;
        kLevels[c.level].workSize(c.m, &table, &init, &work);
        EXPECT_EQ(table, c.table) << c.level << " m " << c.m;
        EXPECT_EQ(work, c.work) << c.level << " m " << c.m;
    }
    // From the tiled threshold the work size is never below two tiles.
    for (const Level& lv : kLevels)
    {
        int64_t table = 0, init = 0, work = 0;
        lv.workSize(20, &table, &init, &work);
        EXPECT_GE(work, 65536) << lv.name;
    }
}

TEST(FftLevels, SplitTableOfOrderFourIsOneBlockFromBinOne)
{
    Record r(DspFftSpecSizeR32f_Sse3, DspFftSpecInitR32f_Sse3, 4, DspFftScaleNone);
    const float* t = r.rec->splitTable;
    for (int k = 1; k <= 4; ++k)
    {
        EXPECT_NEAR(t[k - 1], 0.5 * std::cos(2 * M_PI * k / 16), 1e-7) << k;
        EXPECT_NEAR(t[3 + k], 0.5 - 0.5 * std::sin(2 * M_PI * k / 16), 1e-7) << k;
    }
    EXPECT_EQ(t[3], 0.0f);
    EXPECT_EQ(t[7], 0.0f);
}

TEST(FftLevels, PairMultiplyMatchesTheComplexProductAtEveryTail)
{
    for (const Level& lv : kLevels)
    {
        for (int count = 0; count <= 9; ++count)
        {
            const auto a = fftref::RandomSignal(2 * count + 2, count);
            const auto b0 = fftref::RandomSignal(2 * count + 2, count + 50);
            auto b = b0;
            lv.pairs(a.data(), b.data(), count);
            for (int k = 0; k < count; ++k)
            {
                EXPECT_EQ(b[2 * k], a[2 * k] * b0[2 * k] - a[2 * k + 1] * b0[2 * k + 1]);
                EXPECT_EQ(b[2 * k + 1], a[2 * k] * b0[2 * k + 1] + a[2 * k + 1] * b0[2 * k]);
            }
            EXPECT_EQ(b[2 * count], b0[2 * count]) << "past the count";
        }
    }
}

TEST(FftComplexInterface, SmallOrdersAndKindChecks)
{
    DspFftSpecC32f* spec = nullptr;
    ASSERT_EQ(DspFftSpecCreateC32f_Gen(&spec, 0, DspFftScaleNone, 0), DspStsNoErr);
    const float a[2] = {3.0f, -2.0f};
    float y[8] = {};
    ASSERT_EQ(DspFftFwdC32f_Gen(a, y, spec, nullptr), DspStsNoErr);
    EXPECT_EQ(y[0], 3.0f);
    EXPECT_EQ(y[1], -2.0f);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(spec), DspStsContextMatchErr); // a real free refuses it
    EXPECT_EQ(DspFftSpecFreeC32f_Gen(spec), DspStsNoErr);
    // A record in caller memory: freeing clears its kind and frees nothing.
    Record own(DspFftSpecSizeC32f_Gen, DspFftSpecInitC32f_Gen, 6, DspFftScaleNone);
    auto* ownSpec = static_cast<DspFftSpecC32f*>(own.rec);
    EXPECT_EQ(own.rec->kind, DspFftKindComplex);
    EXPECT_EQ(own.rec->splitTable, nullptr);
    EXPECT_EQ(DspFftSpecFreeC32f_Gen(ownSpec), DspStsNoErr);
    EXPECT_EQ(DspFftSpecFreeC32f_Gen(ownSpec), DspStsContextMatchErr);
    EXPECT_EQ(DspFftFwdC32f_Gen(a, y, ownSpec, nullptr), DspStsContextMatchErr);

    ASSERT_EQ(DspFftSpecCreateC32f_Gen(&spec, 1, DspFftScaleNone, 0), DspStsNoErr);
    const float b[4] = {1, 0, 0, 0};
    DspFftFwdC32f_Gen(b, y, spec, nullptr);
    EXPECT_EQ(std::vector<float>(y, y + 4), (std::vector<float>{1, 0, 1, 0}));
    DspFftSpecFreeC32f_Gen(spec);

    ASSERT_EQ(DspFftSpecCreateC32f_Gen(&spec, 2, DspFftScaleNone, 0), DspStsNoErr);
    const float c[8] = {0, 0, 1, 0, 0, 0, 0, 0};
    DspFftFwdC32f_Gen(c, y, spec, nullptr);
    EXPECT_EQ(std::vector<float>(y, y + 8), (std::vector<float>{1, 0, 0, -1, -1, 0, 0, 1}));
    DspFftSpecFreeC32f_Gen(spec);

    DspFftSpecR32f* real = nullptr;
    ASSERT_EQ(DspFftSpecCreateR32f_Gen(&real, 5, DspFftScaleNone, 0), DspStsNoErr);
    EXPECT_EQ(DspFftFwdC32f_Gen(c, y, static_cast<DspFftSpecC32f*>(real), nullptr),
              DspStsContextMatchErr);
    DspFftSpecFreeR32f_Gen(real);
    EXPECT_EQ(DspFftSpecCreateC32f_Gen(&spec, 4, 3, 0), DspStsFftFlagErr);
    EXPECT_EQ(DspFftSpecCreateC32f_Gen(&spec, 31, DspFftScaleNone, 0), DspStsFftOrderErr);
}

TEST(FftComplexInterface, LevelZeroMatchesTheReferenceThroughItsOrders)
{
    for (int order = 0; order <= kMaxRealOrder - 1; ++order)
    {
        for (int flag : {DspFftScaleNone, DspFftScaleForward})
        {
            DspFftSpecC32f* spec = nullptr;
            ASSERT_EQ(DspFftSpecCreateC32f_Gen(&spec, order, flag, 0), DspStsNoErr);
            const size_t n = size_t{1} << order;
            const auto x = fftref::RandomSignal(2 * n, order);
            std::vector<float> y(2 * n);
            ASSERT_EQ(DspFftFwdC32f_Gen(x.data(), y.data(), spec, nullptr), DspStsNoErr);
            std::vector<fftref::cd> in(n), out(n);
            const double s = flag == DspFftScaleForward ? 1.0 / static_cast<double>(n) : 1.0;
            for (size_t i = 0; i < n; ++i)
            {
                in[i] = {s * x[2 * i], s * x[2 * i + 1]};
                out[i] = {y[2 * i], y[2 * i + 1]};
            }
            EXPECT_LT(fftref::RelativeError(out, fftref::Transform(in, false)),
                      4 * fftref::ErrorBound(order))
                << "order " << order;
            EXPECT_EQ(DspFftSpecFreeC32f_Gen(spec), DspStsNoErr);
        }
    }
}

TEST(FftLevels, DispatchRowsReachEachLevelsMembers)
{
    const std::vector<float> x = fftref::RandomSignal(1024, 5);
    for (int level = 0; level < 4; ++level)
    {
        DspCpuLevel = level;
        DspFftSpecR32f* real = nullptr;
        DspFftSpecC32f* cplx = nullptr;
        ASSERT_EQ(DspFftSpecCreateR32f(&real, 10, DspFftScaleInverse, 0), DspStsNoErr);
        ASSERT_EQ(DspFftSpecCreateC32f(&cplx, 9, DspFftScaleNone, 0), DspStsNoErr);
        auto y = x;
        std::vector<float> direct(1024), c(1024), cDirect(1024);
        ASSERT_EQ(DspFftFwdRInPlace32f(y.data(), real, nullptr), DspStsNoErr);
        ASSERT_EQ(DspFftFwdC32f(x.data(), c.data(), cplx, nullptr), DspStsNoErr);
        if (level == 0)
        {
            DspFftFwdRToPacked32f_Gen(x.data(), direct.data(), real, nullptr);
            DspFftFwdC32f_Gen(x.data(), cDirect.data(), cplx, nullptr);
        }
        else
        {
            kLevels[level - 1].fwdR(x.data(), direct.data(), real, nullptr);
            kLevels[level - 1].fwdC(x.data(), cDirect.data(), cplx, nullptr);
        }
        EXPECT_EQ(y, direct) << level;
        EXPECT_EQ(c, cDirect) << level;
        ASSERT_EQ(DspFftInvRInPlace32f(y.data(), real, nullptr), DspStsNoErr);
        for (int i = 0; i < 1024; ++i)
        {
            ASSERT_NEAR(y[i], x[i], 2e-6) << level << " " << i;
        }
        EXPECT_EQ(DspFftSpecFreeR32f(real), DspStsNoErr);
        EXPECT_EQ(DspFftSpecFreeC32f(cplx), DspStsNoErr);
    }
    DspCpuLevel = 0;
}
