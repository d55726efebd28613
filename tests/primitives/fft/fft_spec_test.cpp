// FFT specification records: sizes, header, table layout and contents,
// create/free and their failures.
#include <gtest/gtest.h>

#include <cmath>
#include <bit>
#include <cstring>
#include <vector>

#include "platform/kernel/emu.h"
#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftSpec.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
struct Sizes
{
    int32_t spec, init, work;
};

// Aligned caller memory with room for the record.
struct SpecMemory
{
    explicit SpecMemory(size_t bytes, size_t offset = 0) : raw(bytes + 64 + offset, 0xA5)
    {
        auto a = (reinterpret_cast<uintptr_t>(raw.data()) + 31) & ~uintptr_t{31};
        base = reinterpret_cast<uint8_t*>(a) + offset;
    }
    std::vector<uint8_t> raw;
    uint8_t* base;
};

Sizes QuerySizes(int32_t order, int32_t flag = 2)
{
    Sizes s{-1, -1, -1};
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(order, flag, 0, &s.spec, &s.init, &s.work), DspStsNoErr)
        << order;
    return s;
}

size_t Offset(const void* rec, const void* p)
{
    return static_cast<size_t>(static_cast<const uint8_t*>(p) - static_cast<const uint8_t*>(rec));
}
} // namespace

TEST(FftSpecSize, GenericSizesForEveryOrder)
{
    const Sizes expected[] = {
        {168, 0, 0},
        {168, 0, 0},
        {168, 0, 0},
        {168, 0, 0},
        {384, 0, 0},
        {512, 0, 0},
        {800, 0, 0},
        {1344, 0, 0},
        {2432, 0, 0},
        {4608, 0, 0},
        {8960, 0, 0},
        {17664, 2112, 0},
        {30976, 4160, 0},
        {53504, 8256, 0},
        {141856, 17536, 1056},
        {281376, 34976, 2080},
        {560416, 69856, 4128},
        {1118496, 139616, 8224},
        {2234656, 270688, 8224},
        {4466976, 532832, 8224},
        {8925472, 1082464, 32800},
        {17842464, 2131040, 32800},
        {35672352, 4228192, 32800},
        {71328032, 8422496, 32800},
        {142873920, 16790016, 8224},
        {285743424, 33571456, 8224},
        {570699072, 67147008, 32800},
        {1141387584, 134260096, 32800},
    };
    for (int32_t order = 0; order <= 27; ++order)
    {
        for (int32_t flag : {1, 2, 4, 8})
        {
            Sizes s = QuerySizes(order, flag);
            EXPECT_EQ(s.spec, expected[order].spec) << order;
            EXPECT_EQ(s.init, expected[order].init) << order;
            EXPECT_EQ(s.work, expected[order].work) << order;
        }
    }
}

TEST(FftSpecSize, ChecksInOrderAndWritesNothingOnError)
{
    int32_t a = 7, b = 7, c = 7;
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(-1, 3, 0, nullptr, nullptr, nullptr), DspStsFftOrderErr);
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(31, 2, 0, &a, &b, &c), DspStsFftOrderErr);
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(10, 3, 0, nullptr, &b, &c), DspStsNullPtrErr);
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(10, 2, 0, &a, nullptr, &c), DspStsNullPtrErr);
    EXPECT_EQ(DspFftSpecSizeR32f_Gen(10, 2, 0, &a, &b, nullptr), DspStsNullPtrErr);
    for (int32_t flag : {0, 3, 5, 16, -1})
    {
        EXPECT_EQ(DspFftSpecSizeR32f_Gen(10, flag, 0, &a, &b, &c), DspStsFftFlagErr);
    }
    // Sizes past 32 bits are refused rather than truncated.
    for (int32_t order : {28, 29, 30})
    {
        EXPECT_EQ(DspFftSpecSizeR32f_Gen(order, 2, 0, &a, &b, &c), DspStsMemAllocErr);
    }
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 7);
    EXPECT_EQ(c, 7);
}

TEST(FftSpecInit, HeaderFieldsPerFlag)
{
    SpecMemory mem(8960);
    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 2, 77, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(static_cast<void*>(rec), mem.base);
    EXPECT_EQ(rec->kind, 6u);
    EXPECT_EQ(rec->order, 10);
    EXPECT_EQ(rec->forwardScaled, 0u);
    EXPECT_EQ(rec->inverseScaled, 1u);
    EXPECT_EQ(rec->scale, 1.0f / 1024.0f);
    EXPECT_EQ(rec->hint, 77u);
    EXPECT_EQ(rec->workBytes, 0);
    EXPECT_EQ(rec->libraryOwned, 0u);
    EXPECT_EQ(rec->reserved, 0u);
    EXPECT_EQ(rec->joinTwiddles, nullptr);
    EXPECT_EQ(rec->chunkJoinTwiddles, nullptr);
    for (int d = 0; d < 3; ++d)
    {
        EXPECT_EQ(rec->columnTwiddles[d], nullptr);
        EXPECT_EQ(rec->crossTwiddles[d], nullptr);
    }

    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 4, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(rec->forwardScaled, 1u);
    EXPECT_EQ(rec->inverseScaled, 1u);
    EXPECT_EQ(rec->scale, 0.03125f);

    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 8, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(rec->forwardScaled, 0u);
    EXPECT_EQ(rec->inverseScaled, 0u);
    EXPECT_EQ(rec->scale, 0.0f);

    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 7, 1, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(rec->forwardScaled, 1u);
    EXPECT_EQ(rec->inverseScaled, 0u);
    EXPECT_EQ(rec->scale, 1.0f / 128.0f);

    // 1/sqrt(N) of an odd order, rounded from double.
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 9, 4, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(rec->scale, static_cast<float>(1.0 / std::sqrt(512.0)));
}

TEST(FftSpecInit, SmallOrdersWriteOnlyTheHeader)
{
    for (int32_t order = 0; order <= 3; ++order)
    {
        SpecMemory mem(168, 8); // misaligned: the record moves up to the boundary
        DspFftSpecR32f* rec = nullptr;
        ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, order, 2, 0, mem.base, nullptr), DspStsNoErr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % 32, 0u);
        EXPECT_EQ(Offset(mem.base, rec), 24u);
        EXPECT_EQ(rec->bitRevList, nullptr);
        EXPECT_EQ(rec->radix4Twiddles, nullptr);
        EXPECT_EQ(rec->splitTable, nullptr);
        const uint8_t* after = reinterpret_cast<const uint8_t*>(rec) + DspFftHeaderBytes;
        for (int i = 0; i < 32; ++i)
        {
            EXPECT_EQ(after[i], 0xA5) << i;
        }
    }
}

TEST(FftSpecInit, Order10TableOffsets)
{
    SpecMemory mem(8960);
    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 2, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(Offset(rec, rec->bitRevList), 136u);
    EXPECT_EQ(Offset(rec, rec->radix4Twiddles), 672u);
    EXPECT_EQ(Offset(rec, rec->splitTable), 3776u);
    EXPECT_EQ(Offset(rec, rec->mergeTable), 5824u);
    EXPECT_EQ(mem.base[7872], 0xA5); // nothing written past the merge table
    EXPECT_NE(mem.base[7871], 0xA5);
}

TEST(FftSpecInit, ErrorsAndKindWord)
{
    SpecMemory mem(53504);
    std::vector<uint8_t> init(8256);
    DspFftSpecR32f* rec = nullptr;
    EXPECT_EQ(DspFftSpecInitR32f_Gen(nullptr, 31, 3, 0, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, 31, 2, 0, mem.base, nullptr), DspStsFftOrderErr);
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, -1, 2, 0, nullptr, nullptr), DspStsFftOrderErr);
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, 5, 2, 0, nullptr, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(rec, nullptr);

    // A bad flag leaves a cleared header with kind 0.
    memset(mem.base, 0xFF, 136);
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 3, 0, mem.base, nullptr), DspStsFftFlagErr);
    auto* header = reinterpret_cast<DspFftSpecR32f*>(mem.base);
    EXPECT_EQ(header->kind, 0u);
    EXPECT_EQ(header->order, 10);
    EXPECT_EQ(header->bitRevList, nullptr);
    EXPECT_EQ(rec, nullptr);

    // A large order without its init buffer is refused and its record cannot
    // pass a kind check afterwards.
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, 13, 2, 0, mem.base, nullptr), DspStsNullPtrErr);
    EXPECT_EQ(header->kind, 0u);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(header), DspStsContextMatchErr);
    EXPECT_EQ(rec, nullptr);

    // Orders whose sizes do not fit 32 bits are refused before any write.
    memset(mem.base, 0x5A, 256);
    EXPECT_EQ(DspFftSpecInitR32f_Gen(&rec, 28, 2, 0, mem.base, init.data()), DspStsMemAllocErr);
    for (int i = 0; i < 256; ++i)
    {
        ASSERT_EQ(mem.base[i], 0x5A);
    }
}

TEST(FftSpecTables, BuiltInSineTable)
{
    EXPECT_EQ(std::bit_cast<uint32_t>(DspFftSineTable1024[0]), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(DspFftSineTable1024[128]), 0x3F3504F3u);
    EXPECT_EQ(DspFftSineTable1024[256], 1.0f);
    for (int i = 0; i <= 256; ++i)
    {
        EXPECT_EQ(DspFftSineTable1024[i], static_cast<float>(std::sin(2.0 * M_PI * i / 1024.0)))
            << i;
    }
}

TEST(FftSpecTables, ComputedSineTable)
{
    for (int32_t order : {11, 14})
    {
        const int n = 1 << order;
        std::vector<float> table(n / 4 + 64, -2.0f);
        uint8_t* end = DspFftSineTable_Gen(table.data(), order);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(end) % 32, 0u);
        EXPECT_GE(end, reinterpret_cast<uint8_t*>(table.data() + n / 4 + 1));
        EXPECT_EQ(table[0], 0.0f);
        EXPECT_EQ(table[n / 4], 1.0f);
        for (int i = 0; i <= n / 4; ++i)
        {
            EXPECT_NEAR(table[i], std::sin(2.0 * M_PI * i / n), 6e-8) << i;
        }
    }
}

TEST(FftSpecTables, SwapLists)
{
    uint32_t list[64];
    memset(list, 0xEE, sizeof(list));
    DspFftBitRevSwapList(2, list);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], 0u);

    DspFftBitRevSwapList(4, list);
    const uint32_t four[] = {4, 8, 0, 12, 0};
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(list[i], four[i]) << i;
    }

    // Five middle bits: pairs in increasing order at the front, fixed points
    // (palindromes) from index 31 downwards, each index used exactly once.
    DspFftBitRevSwapList(7, list);
    std::vector<uint32_t> expected;
    std::vector<uint32_t> fixed;
    for (uint32_t i = 1; i < 32; ++i)
    {
        uint32_t r = 0;
        for (int b = 0; b < 5; ++b)
        {
            r |= ((i >> b) & 1u) << (4 - b);
        }
        if (i < r)
        {
            expected.push_back(4 * i);
            expected.push_back(4 * r);
        }
        else if (i == r)
        {
            fixed.push_back(4 * i);
        }
    }
    expected.push_back(0);
    for (auto it = fixed.rbegin(); it != fixed.rend(); ++it)
    {
        expected.push_back(*it);
    }
    expected.push_back(0);
    ASSERT_EQ(expected.size(), 33u);
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(list[i], expected[i]) << i;
    }
    EXPECT_EQ(list[33], 0xEEEEEEEEu);
}

TEST(FftSpecTables, TwiddleSplitAndMergeValues)
{
    SpecMemory mem(8960);
    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 10, 2, 0, mem.base, nullptr), DspStsNoErr);
    const int n = 512;
    for (int i = 0; i <= n / 4; ++i)
    {
        for (int p = 1; p <= 3; ++p)
        {
            const double angle = -2.0 * M_PI * p * i / n;
            EXPECT_NEAR(rec->radix4Twiddles[6 * i + 2 * (p - 1)], std::cos(angle), 6e-8);
            EXPECT_NEAR(rec->radix4Twiddles[6 * i + 2 * (p - 1) + 1], std::sin(angle), 6e-8);
        }
    }
    // Quadrant signs are exact: W^(n/4) = -j, W^(n/2) = -1, W^(3n/4) = +j.
    EXPECT_EQ(rec->radix4Twiddles[6 * (n / 4) + 1], -1.0f);
    EXPECT_EQ(rec->radix4Twiddles[6 * (n / 4) + 2], -1.0f);
    EXPECT_EQ(rec->radix4Twiddles[6 * (n / 4) + 5], 1.0f);
    for (int i = 0; i < 256; ++i)
    {
        const double a = 2.0 * M_PI * i / 1024.0;
        EXPECT_NEAR(rec->splitTable[2 * i], 0.5 * std::cos(a), 3e-8);
        EXPECT_NEAR(rec->splitTable[2 * i + 1], 0.5 - 0.5 * std::sin(a), 6e-8);
        EXPECT_NEAR(rec->mergeTable[2 * i], std::cos(a), 6e-8);
        EXPECT_NEAR(rec->mergeTable[2 * i + 1], -std::sin(a), 6e-8);
    }
    EXPECT_EQ(rec->splitTable[0], 0.5f);
    EXPECT_EQ(rec->splitTable[1], 0.5f);
    EXPECT_EQ(rec->mergeTable[1], 0.0f);
}

TEST(FftSpecTables, LargeOrderLayoutStaysInsideItsBlock)
{
    for (int32_t order = 11; order <= 20; ++order)
    {
        const Sizes s = QuerySizes(order);
        SpecMemory mem(static_cast<size_t>(s.spec));
        std::vector<uint8_t> init(static_cast<size_t>(s.init));
        DspFftSpecR32f* rec = nullptr;
        ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, order, 2, 0, mem.base, init.data()), DspStsNoErr);
        EXPECT_EQ(rec->kind, 6u);
        EXPECT_EQ(Offset(rec, rec->bitRevList), 136u);
        // The record's own work size plus the 32 spare bytes is the query's.
        EXPECT_EQ(rec->workBytes > 0 ? rec->workBytes + 32 : 0, s.work) << order;
        const int64_t bigN = int64_t{1} << order;
        const size_t end = Offset(rec, rec->mergeTable) + 2 * bigN;
        EXPECT_LE(end, static_cast<size_t>(s.spec)) << order;
        EXPECT_EQ(Offset(rec, rec->splitTable) % 32, 0u);
        const int m = order - 1;
        const int b = DspFftBlockOrderTable[m];
        if (m <= 10)
        {
            EXPECT_EQ(rec->joinTwiddles, nullptr);
            EXPECT_EQ(rec->columnTwiddles[0], nullptr);
        }
        else if (b == 0)
        {
            EXPECT_NE(rec->joinTwiddles, nullptr);
            EXPECT_EQ(rec->columnTwiddles[0], nullptr);
        }
        else
        {
            // Deeper tables lie below the shallower ones.
            EXPECT_LT(rec->radix4Twiddles, rec->columnTwiddles[0]);
            EXPECT_LT(rec->columnTwiddles[0], rec->crossTwiddles[0]);
            EXPECT_LT(reinterpret_cast<uint8_t*>(rec->crossTwiddles[0]) + 8 * (bigN / 2),
                      reinterpret_cast<uint8_t*>(rec->splitTable) + 1);
        }
        EXPECT_EQ(rec->chunkJoinTwiddles, nullptr);
    }
}

TEST(FftSpecTables, CrossTwiddlesOfOrder14)
{
    // Complex order 13: 32 rows of 256 points.
    const Sizes s = QuerySizes(14);
    SpecMemory mem(static_cast<size_t>(s.spec));
    std::vector<uint8_t> init(static_cast<size_t>(s.init));
    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 14, 2, 0, mem.base, init.data()), DspStsNoErr);
    EXPECT_EQ(rec->workBytes, 1024);
    const int rows = 32;
    const int cols = 256;
    const float* cross = rec->crossTwiddles[0];
    for (int g = 0; g < cols / 4; ++g)
    {
        for (int r = 0; r < rows; ++r)
        {
            int rr = 0;
            for (int bit = 0; bit < 5; ++bit)
            {
                rr |= ((r >> bit) & 1) << (4 - bit);
            }
            for (int c = 0; c < 4; ++c)
            {
                const double angle = -2.0 * M_PI * (4 * g + c) * rr / 8192.0;
                const float* v = cross + 2 * ((g * rows + r) * 4 + c);
                ASSERT_NEAR(v[0], std::cos(angle), 1e-7) << g << " " << r << " " << c;
                ASSERT_NEAR(v[1], std::sin(angle), 1e-7) << g << " " << r << " " << c;
            }
        }
    }
}

TEST(FftSpecCreate, CreateAndFree)
{
    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecCreateR32f_Gen(&rec, 10, 2, 0), DspStsNoErr);
    EXPECT_EQ(rec->libraryOwned, 1u);
    EXPECT_EQ(rec->kind, 6u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(rec) % 32, 0u);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPL")), 1u);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsNoErr);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPL")), 0u);

    // The init buffer lives only during creation.
    ASSERT_EQ(DspFftSpecCreateR32f_Gen(&rec, 14, 4, 0), DspStsNoErr);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPL")), 1u);
    EXPECT_EQ(EmuPoolAllocationCount(POOL_TAG("DSPL")), 3u);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsNoErr);
}

TEST(FftSpecCreate, FailuresLeaveNothingAllocated)
{
    DspFftSpecR32f* rec = nullptr;
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(nullptr, 10, 2, 0), DspStsNullPtrErr);
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 31, 2, 0), DspStsFftOrderErr);
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 10, 3, 0), DspStsFftFlagErr);
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 28, 2, 0), DspStsMemAllocErr);
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 30, 8, 0), DspStsMemAllocErr);

    EmuPoolInjectFailure(POOL_TAG("DSPL"), 0);
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 10, 2, 0), DspStsMemAllocErr);
    EmuPoolInjectFailure(POOL_TAG("DSPL"), 1); // the init buffer of order 12
    EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, 12, 2, 0), DspStsMemAllocErr);
    EmuPoolClearInjection();
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPL")), 0u);
}

TEST(FftSpecFree, KindChecksAndCallerMemory)
{
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(nullptr), DspStsNullPtrErr);

    DspFftSpecR32f* rec = nullptr;
    ASSERT_EQ(DspFftSpecCreateR32f_Gen(&rec, 5, 8, 0), DspStsNoErr);
    rec->kind = DspFftKindComplex;
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsContextMatchErr);
    EXPECT_EQ(rec->kind, DspFftKindComplex);
    rec->kind = DspFftKindReal;
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsNoErr);

    // A record in caller memory is invalidated, not freed; a second free fails.
    SpecMemory mem(512);
    ASSERT_EQ(DspFftSpecInitR32f_Gen(&rec, 5, 8, 0, mem.base, nullptr), DspStsNoErr);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsNoErr);
    EXPECT_EQ(rec->kind, 0u);
    EXPECT_EQ(DspFftSpecFreeR32f_Gen(rec), DspStsContextMatchErr);
}

TEST(FftHelpers, ZeroBytesAndCheckedCopy)
{
    uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t b[8] = {};
    EXPECT_EQ(DspZeroBytes(nullptr, 4), DspStsNullPtrErr);
    EXPECT_EQ(DspZeroBytes(a, 0), DspStsSizeErr);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(DspZeroBytes(a, 3), DspStsNoErr);
    EXPECT_EQ(a[2], 0);
    EXPECT_EQ(a[3], 4);
    EXPECT_EQ(DspCopyChecked32f(nullptr, b, 4), DspStsNullPtrErr);
    EXPECT_EQ(DspCopyChecked32f(a, nullptr, 4), DspStsNullPtrErr);
    EXPECT_EQ(DspCopyChecked32f(a, b, -1), DspStsSizeErr);
    EXPECT_EQ(b[3], 0);
    EXPECT_EQ(DspCopyChecked32f(a, b, 5), DspStsNoErr);
    EXPECT_EQ(b[3], 4);
    EXPECT_EQ(b[4], 5);
    EXPECT_EQ(b[5], 0);
}

namespace
{
struct SetUpPair
{
    const char* name;
    DspFftSizeFn size;
    DspFftInitFn init;
    int32_t firstTooLarge; // the lowest order whose record 32-bit sizes cannot describe
};
const SetUpPair kSetUpPairs[] = {
    {"real", DspFftSpecSizeR32f_Gen, DspFftSpecInitR32f_Gen, 28},
    {"complex", DspFftSpecSizeC32f_Gen, DspFftSpecInitC32f_Gen, 28},
    {"real SSE3", DspFftSpecSizeR32f_Sse3, DspFftSpecInitR32f_Sse3, 28},
    {"complex SSE3", DspFftSpecSizeC32f_Sse3, DspFftSpecInitC32f_Sse3, 28},
};
} // namespace

// Every size query and initialiser ranks its argument errors the same way,
// and an initialiser refuses exactly the orders its size query refuses.
TEST(FftSpecSetUp, ArgumentChecksRankAlikeAcrossKinds)
{
    struct SizeCase
    {
        int32_t order;
        bool nullResult;
        int flag;
        DspStatus expected;
    };
    const SizeCase sizeCases[] = {
        {-1, true, 3, DspStsFftOrderErr}, {31, true, 3, DspStsFftOrderErr},
        {10, true, 3, DspStsNullPtrErr},  {10, false, 3, DspStsFftFlagErr},
        {10, false, 0, DspStsFftFlagErr}, {10, false, 8, DspStsNoErr},
    };
    for (const SetUpPair& p : kSetUpPairs)
    {
        for (const SizeCase& c : sizeCases)
        {
            int32_t s = -1, i = -1, w = -1;
            EXPECT_EQ(p.size(c.order, c.flag, 0, c.nullResult ? nullptr : &s, &i, &w), c.expected)
                << p.name << " order " << c.order;
        }
        int32_t s = 0, i = 0, w = 0;
        EXPECT_EQ(p.size(p.firstTooLarge - 1, 8, 0, &s, &i, &w), DspStsNoErr) << p.name;
        EXPECT_EQ(p.size(p.firstTooLarge, 8, 0, &s, &i, &w), DspStsMemAllocErr) << p.name;

        SpecMemory mem(4096);
        DspFftSpecR32f* rec = nullptr;
        EXPECT_EQ(p.init(nullptr, 31, 8, 0, nullptr, nullptr), DspStsNullPtrErr) << p.name;
        EXPECT_EQ(p.init(&rec, 31, 8, 0, nullptr, nullptr), DspStsFftOrderErr) << p.name;
        EXPECT_EQ(p.init(&rec, -1, 8, 0, mem.base, nullptr), DspStsFftOrderErr) << p.name;
        EXPECT_EQ(p.init(&rec, 3, 8, 0, nullptr, nullptr), DspStsNullPtrErr) << p.name;
        EXPECT_EQ(p.init(&rec, p.firstTooLarge, 8, 0, mem.base, nullptr), DspStsMemAllocErr)
            << p.name;
        EXPECT_EQ(rec, nullptr) << p.name;
    }
}
