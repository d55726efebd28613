// Entry routines continue in slot 4 * row + level of their table; rows whose
// levels share one implementation hold the same routine in those slots.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/cpu/cpu.h"
#include "primitives/convert/DspConvert.h"
#include "primitives/core/DspAlloc.h"
#include "primitives/core/DspDispatch.h"
#include "primitives/vector/DspVector.h"
#include "primitives/vector/kernels/DspVmKernels.h"
#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
class DispatchTest : public testing::Test
{
  protected:
    void TearDown() override { DspCpuLevel = 0; }
};

template <typename F> DspCodePtr Code(F* f)
{
    return reinterpret_cast<DspCodePtr>(f);
}

struct RowExpectation
{
    const DspCodePtr* table;
    int row;
    DspCodePtr levels[4];
};

TEST_F(DispatchTest, ConversionAndAllocationRowsHoldTheirLevelRoutines)
{
    const RowExpectation rows[] = {
        {DspDispatchTable,
         1,
         {Code(DspConvert32fTo16sScaled_Gen), Code(DspConvert32fTo16sScaled_Sse3),
          Code(DspConvert32fTo16sScaled_Ssse3), Code(DspConvert32fTo16sScaled_Sse4)}},
        {DspDispatchTable,
         2,
         {Code(DspConvert32fTo32sScaled_Gen), Code(DspConvert32fTo32sScaled_Sse3),
          Code(DspConvert32fTo32sScaled_Ssse3), Code(DspConvert32fTo32sScaled_Sse4)}},
        {DspDispatchTable,
         3,
         {Code(DspConvert16sTo32fScaled_Gen), Code(DspConvert16sTo32fScaled_Sse3),
          Code(DspConvert16sTo32fScaled_Ssse3), Code(DspConvert16sTo32fScaled_Sse4)}},
        // Levels 0 and 1 share one routine, 2 and 3 another.
        {DspDispatchTable,
         4,
         {Code(DspConvert32sTo32fScaled_Gen), Code(DspConvert32sTo32fScaled_Gen),
          Code(DspConvert32sTo32fScaled_Ssse3), Code(DspConvert32sTo32fScaled_Ssse3)}},
        {DspDispatchTable,
         5,
         {Code(DspConvert24sTo32f_Gen), Code(DspConvert24sTo32f_Sse3),
          Code(DspConvert24sTo32f_Ssse3), Code(DspConvert24sTo32f_Sse4)}},
        {DspDispatchTable,
         6,
         {Code(DspConvert32fTo24sScaled_Gen), Code(DspConvert32fTo24sScaled_Sse3),
          Code(DspConvert32fTo24sScaled_Ssse3), Code(DspConvert32fTo24sScaled_Sse4)}},
        {DspDispatchTable,
         20,
         {Code(DspConvert32sTo32f_Gen), Code(DspConvert32sTo32f_Sse3),
          Code(DspConvert32sTo32f_Ssse3), Code(DspConvert32sTo32f_Sse4)}},
        {DspDispatchTable2,
         10,
         {Code(DspMalloc32f_Gen), Code(DspMalloc32f_Gen), Code(DspMalloc32f_Gen),
          Code(DspMalloc32f_Gen)}},
        {DspDispatchTable2,
         11,
         {Code(DspFree_Gen), Code(DspFree_Gen), Code(DspFree_Gen), Code(DspFree_Gen)}},
    };
    for (const auto& r : rows)
        for (int level = 0; level < 4; ++level)
            EXPECT_EQ(r.levels[level], r.table[4 * r.row + level])
                << "row " << r.row << " level " << level;
    // Rows without shared slots hold four different routines.
    for (int row : {1, 2, 3, 5, 6, 20})
        for (int a = 0; a < 4; ++a)
            for (int b = a + 1; b < 4; ++b)
                EXPECT_NE(DspDispatchTable[4 * row + a], DspDispatchTable[4 * row + b]) << row;
}

#define LEVELS4(name)                                                                              \
    {                                                                                              \
        Code(name##_Gen), Code(name##_Sse3), Code(name##_Ssse3), Code(name##_Sse4)                 \
    }
#define SHARED23(name)                                                                             \
    {                                                                                              \
        Code(name##_Gen), Code(name##_Sse3), Code(name##_Ssse3), Code(name##_Ssse3)                \
    }
#define GENERIC4(name)                                                                             \
    {                                                                                              \
        Code(name##_Gen), Code(name##_Gen), Code(name##_Gen), Code(name##_Gen)                     \
    }

TEST_F(DispatchTest, VectorRowsHoldTheirLevelRoutines)
{
    const RowExpectation rows[] = {
        {DspDispatchTable, 0, LEVELS4(DspZero32f)},
        {DspDispatchTable, 7, SHARED23(DspAddInPlace32f)},
        {DspDispatchTable, 8, LEVELS4(DspDivConstInPlace32f)},
        {DspDispatchTable, 9, LEVELS4(DspMove32f)},
        {DspDispatchTable, 10, LEVELS4(DspMulConstInPlace32f)},
        {DspDispatchTable, 21, SHARED23(DspAddConstInPlace32f)},
        {DspDispatchTable, 22, LEVELS4(DspInterleave32f)},
        {DspDispatchTable, 23, LEVELS4(DspDeinterleave32f)},
        {DspDispatchTable, 24, LEVELS4(DspPow32f)},
        {DspDispatchTable2, 0, LEVELS4(DspCopy32f)},
        {DspDispatchTable2, 1, LEVELS4(DspSet32f)},
        {DspDispatchTable2, 2, LEVELS4(DspMulConst32f)},
        {DspDispatchTable2, 4, LEVELS4(DspAbsInPlace32f)},
        {DspDispatchTable2, 5, LEVELS4(DspMax32f)},
        {DspDispatchTable2, 6, LEVELS4(DspMin32f)},
        {DspDispatchTable2, 12, SHARED23(DspMulInPlace32f)},
        {DspDispatchTable2, 13, SHARED23(DspAdd32f)},
        {DspDispatchTable2, 14, SHARED23(DspSub32f)},
        {DspDispatchTable2, 15, SHARED23(DspMul32f)},
        {DspDispatchTable2, 17, LEVELS4(DspSqr32f)},
        {DspDispatchTable2, 18, LEVELS4(DspDiv32f)},
        {DspDispatchTable2, 19, LEVELS4(DspExpInPlace32f)},
        {DspDispatchTable2, 20, LEVELS4(DspLnInPlace32f)},
        // One implementation at every level.
        {DspDispatchTable2, 16, GENERIC4(DspAddProduct32f)},
        {DspDispatchTable2, 3, LEVELS4(DspSqrtInPlace32f)},
        {DspDispatchTable2, 21, LEVELS4(DspSum32f)},
        {DspDispatchTable2, 22, LEVELS4(DspMean32f)},
        {DspDispatchTable2, 23, LEVELS4(DspMinEvery32f)},
        {DspDispatchTable2, 24, LEVELS4(DspMaxEvery32f)},
        {DspDispatchTable2, 25, LEVELS4(DspDotProd32f)},
    };
    for (const auto& r : rows)
        for (int level = 0; level < 4; ++level)
            EXPECT_EQ(r.levels[level], r.table[4 * r.row + level])
                << (r.table == DspDispatchTable ? "table 1" : "table 2") << " row " << r.row
                << " level " << level;
}

// At a level whose maximum search lets a NaN element replace the running value,
// the entry routine shows which slot it reached.
TEST_F(DispatchTest, VectorEntryRoutinesFollowTheLevel)
{
    const float v[3] = {1.0f, std::numeric_limits<float>::quiet_NaN(), 0.5f};
    for (int level = 0; level < 4; ++level)
    {
        DspCpuLevel = level;
        float m = 0;
        ASSERT_EQ(0, DspMax32f(v, 2, &m));
        EXPECT_EQ(level == 0, m == 1.0f) << level;
    }
}

TEST_F(DispatchTest, EveryTableSlotHoldsCode)
{
    for (int i = 0; i < DspDispatchRows * 4; ++i)
        EXPECT_NE(nullptr, DspDispatchTable[i]) << i;
    for (int i = 0; i < DspDispatch2Rows * 4; ++i)
        EXPECT_NE(nullptr, DspDispatchTable2[i]) << i;
}

// The level routines differ from the generic ones where a NaN meets their
// kernels, which shows which slot an entry routine reached.
TEST_F(DispatchTest, EntryRoutinesFollowTheLevel)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int level = 0; level < 4; ++level)
    {
        DspCpuLevel = level;
        int16_t s16 = 99;
        ASSERT_EQ(0, DspConvert32fTo16sScaled(&nan, &s16, 1, DspRndFinancial, 0));
        EXPECT_EQ(level == 0 ? 0 : 32767, s16) << level;
        uint8_t b[3] = {9, 9, 9};
        ASSERT_EQ(0, DspConvert32fTo24sScaled(&nan, b, 1, 0));
        EXPECT_EQ(level == 0 ? 0x00 : 0x80, b[2]) << level;
        const float big = 2147483648.0f;
        int32_t s32 = 0;
        ASSERT_EQ(0, DspConvert32fTo32sScaled(&nan, &s32, 1, DspRndFinancial, 0));
        EXPECT_EQ(level == 0 ? INT32_MIN : INT32_MAX, s32) << level;
        ASSERT_EQ(0, DspConvert32fTo32sScaled(&big, &s32, 1, DspRndZero, 0));
        EXPECT_EQ(INT32_MAX, s32);
    }
}

// Every level gives the generic results on ordinary samples, and restores
// the caller's rounding field.
TEST_F(DispatchTest, LevelRoutinesAgreeWithTheGenericOnOrdinarySamples)
{
    const float src[] = {0.0f, 0.25f, -0.5f, 0.99998f, -1.0f, 1.0f, 2.5e-5f, -0.7f, 0.333f};
    const int n = 9;
    int16_t ref16[n], out16[n];
    int32_t ref32[n], out32[n];
    uint8_t ref24[3 * n], out24[3 * n];
    float refF[n], outF[n];
    int16_t in16[n];
    for (int mode : {0, 1, 2})
    {
        DspCpuLevel = 0;
        ASSERT_EQ(0, DspConvert32fTo16sScaled(src, ref16, n, mode, -15));
        ASSERT_EQ(0, DspConvert32fTo32sScaled(src, ref32, n, mode, -31));
        ASSERT_EQ(0, DspConvert32fTo24sScaled(src, ref24, n, -23));
        ASSERT_EQ(0, DspConvert16sTo32fScaled(ref16, refF, n, 15));
        for (int i = 0; i < n; ++i)
            in16[i] = ref16[i];
        for (int level = 1; level < 4; ++level)
        {
            DspCpuLevel = level;
            const unsigned mxcsr = EmuGetMxcsr();
            ASSERT_EQ(0, DspConvert32fTo16sScaled(src, out16, n, mode, -15));
            ASSERT_EQ(0, DspConvert32fTo32sScaled(src, out32, n, mode, -31));
            ASSERT_EQ(0, DspConvert32fTo24sScaled(src, out24, n, -23));
            ASSERT_EQ(0, DspConvert16sTo32fScaled(in16, outF, n, 15));
            EXPECT_EQ(mxcsr & 0x6000u, EmuGetMxcsr() & 0x6000u);
            EXPECT_EQ(0, memcmp(ref16, out16, sizeof ref16)) << level << " " << mode;
            EXPECT_EQ(0, memcmp(ref32, out32, sizeof ref32)) << level << " " << mode;
            EXPECT_EQ(0, memcmp(ref24, out24, sizeof ref24)) << level << " " << mode;
            EXPECT_EQ(0, memcmp(refF, outF, sizeof refF)) << level << " " << mode;
        }
    }
}

TEST_F(DispatchTest, LevelRoutinesCheckLikeTheGeneric)
{
    float f = 0;
    int16_t s = 0;
    for (int level = 0; level < 4; ++level)
    {
        DspCpuLevel = level;
        EXPECT_EQ(DspStsNullPtrErr, DspConvert32fTo16sScaled(nullptr, &s, 0, 0, 0));
        EXPECT_EQ(DspStsSizeErr, DspConvert32fTo16sScaled(&f, &s, 0, 0, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspConvert24sTo32f(nullptr, &f, 1));
        EXPECT_EQ(DspStsSizeErr, DspConvert32sTo32f(reinterpret_cast<int32_t*>(&f), &f, -1));
    }
}
} // namespace
