// Vector basics at every processor level: exact lengths at every alignment with
// guard bytes, the constant shortcuts, moves with overlap, and the large
// copies, clears and fills that take the non-temporal paths.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/cpu/cpu.h"
#include "primitives/vector/DspVector.h"
#include "vector_test_util.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

float Sample(int i)
{
    return static_cast<float>(i * 37 % 101) - 50.25f;
}

TEST(VectorBasics, ZeroSetCopyWriteExactlyLenElementsAtEveryAlignment)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats d(static_cast<size_t>(len), off);
                for (int i = 0; i < len; ++i)
                    d[i] = 7.0f;
                ASSERT_EQ(0, DspZero32f(d.Data(), len));
                ASSERT_TRUE(d.GuardsIntact()) << level << " " << len << " " << off;
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(0u, std::bit_cast<uint32_t>(d[i]));

                ASSERT_EQ(0, DspSet32f(-0.0f, d.Data(), len));
                ASSERT_TRUE(d.GuardsIntact());
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(0x80000000u, std::bit_cast<uint32_t>(d[i]));

                for (size_t srcOff = 0; srcOff < 16; srcOff += 4)
                {
                    GuardedFloats s(static_cast<size_t>(len), srcOff);
                    for (int i = 0; i < len; ++i)
                        s[i] = Sample(i);
                    ASSERT_EQ(0, DspCopy32f(s.Data(), d.Data(), len));
                    ASSERT_TRUE(d.GuardsIntact()) << level << " " << len << " " << off;
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(Sample(i), d[i]);
                }
            }
    }
}

// Lengths past the small-copy limits, sources at byte offsets too, at every level.
TEST(VectorBasics, LongerCopiesAndFillsAtOddOffsets)
{
    const int lens[] = {63, 64, 65, 100, 257, 1024, 4099};
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len : lens)
            for (size_t dOff : {0u, 4u, 8u, 12u})
                for (size_t sByte : {0u, 1u, 4u, 8u, 12u, 6u})
                {
                    std::vector<uint8_t> raw(4u * len + 64);
                    auto* s = reinterpret_cast<float*>(
                        ((reinterpret_cast<uintptr_t>(raw.data()) + 15) & ~uintptr_t(15)) + sByte);
                    for (int i = 0; i < len; ++i)
                    {
                        const float v = Sample(i);
                        memcpy(reinterpret_cast<uint8_t*>(s) + 4 * i, &v, 4);
                    }
                    GuardedFloats d(static_cast<size_t>(len), dOff);
                    ASSERT_EQ(0, DspCopy32f(s, d.Data(), len));
                    ASSERT_TRUE(d.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(Sample(i), d[i]) << level << " " << len << " " << sByte;
                    ASSERT_EQ(0, DspSet32f(1.5f, d.Data(), len));
                    ASSERT_TRUE(d.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(1.5f, d[i]);
                    ASSERT_EQ(0, DspZero32f(d.Data(), len));
                    ASSERT_TRUE(d.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(0.0f, d[i]);
                }
    }
}

// With a known cache of 512 KB the level kernels take their non-temporal paths
// for a 2.5 MB copy, clear and fill; the data must still arrive whole.
TEST(VectorBasics, NonTemporalPathsKeepTheData)
{
    EmuCpuidHideReal(true);
    EmuCpuidOverride(0, 4, 0x756E6547, 0x6C65746E, 0x49656E69);
    EmuCpuidOverride(2, 0x00220001, 0, 0, 0); // 512 KB
    EmuCpuidOverride(4, 1u << 26, 0, 0, 0);   // two cores
    const int len = 655360 + 13;
    std::vector<float> src(len + 8), dst(len + 8);
    for (int i = 0; i < len + 8; ++i)
        src[i] = static_cast<float>(i);
    for (int level = 1; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int sOff : {0, 1})
        {
            std::fill(dst.begin(), dst.end(), -1.0f);
            ASSERT_EQ(0, DspCopy32f(src.data() + sOff, dst.data() + 1, len));
            EXPECT_EQ(-1.0f, dst[0]);
            EXPECT_EQ(-1.0f, dst[len + 1]);
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(static_cast<float>(i + sOff), dst[i + 1]) << level << " " << i;
        }
        ASSERT_EQ(0, DspSet32f(2.0f, dst.data() + 1, len));
        EXPECT_EQ(-1.0f, dst[0]);
        for (int i = 1; i <= len; ++i)
            ASSERT_EQ(2.0f, dst[i]);
        ASSERT_EQ(0, DspZero32f(dst.data() + 1, len));
        for (int i = 1; i <= len; ++i)
            ASSERT_EQ(0.0f, dst[i]);
        EXPECT_EQ(-1.0f, dst[len + 1]);
    }
    EmuCpuidReset();
}

// A fill of a 2-byte aligned destination lays down the same byte pattern.
TEST(VectorBasics, FillOfAHalfAlignedDestination)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len : {1, 2, 3, 5, 17, 100})
        {
            std::vector<uint8_t> raw(4u * len + 40, 0xEE);
            uint8_t* p =
                raw.data() + ((16 - reinterpret_cast<uintptr_t>(raw.data()) % 16) % 16) + 2;
            // The integer fill has no entry routine: its level implementations directly.
            decltype(&DspSet32s_Gen)
                const fills[4] = {DspSet32s_Gen, DspSet32s_Sse3, DspSet32s_Ssse3, DspSet32s_Sse4};
            ASSERT_EQ(0, fills[level](0x11223344, reinterpret_cast<int32_t*>(p), len));
            ASSERT_EQ(
                0, DspSet32f(std::bit_cast<float>(0x11223344), reinterpret_cast<float*>(p), len));
            for (int i = 0; i < len; ++i)
            {
                int32_t v;
                memcpy(&v, p + 4 * i, 4);
                ASSERT_EQ(0x11223344, v) << level << " " << len;
            }
            EXPECT_EQ(0xEE, p[-1]);
            EXPECT_EQ(0xEE, p[4 * len]);
        }
    }
}

TEST(VectorBasics, ConstantShortcuts)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        float v[3] = {NaN, Inf, -2.0f};
        ASSERT_EQ(0, DspMulConstInPlace32f(1.0f, v, 3));
        EXPECT_TRUE(std::isnan(v[0]));
        EXPECT_EQ(Inf, v[1]);
        ASSERT_EQ(0, DspMulConstInPlace32f(-0.0f, v, 3));
        for (float x : v)
            EXPECT_EQ(0u, std::bit_cast<uint32_t>(x)) << level;

        float w[12] = {NaN, Inf, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        ASSERT_EQ(0, DspMulConst32f(w, 1.0f, w, 12));
        EXPECT_TRUE(std::isnan(w[0]));
        EXPECT_EQ(10.0f, w[11]);
        float z[12];
        ASSERT_EQ(0, DspMulConst32f(w, 0.0f, z, 12));
        for (float x : z)
            EXPECT_EQ(0u, std::bit_cast<uint32_t>(x));

        float a[2] = {-0.0f, 1.0f};
        ASSERT_EQ(0, DspAddConstInPlace32f(0.0f, a, 2));
        EXPECT_EQ(0x80000000u, std::bit_cast<uint32_t>(a[0]));
        ASSERT_EQ(0, DspAddConstInPlace32f(-0.0f, a, 2));
        EXPECT_EQ(0x80000000u, std::bit_cast<uint32_t>(a[0]));
    }
}

TEST(VectorBasics, DivideByConstant)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        float v[13];
        for (int i = 0; i < 13; ++i)
            v[i] = static_cast<float>(i) + 0.1f;
        EXPECT_EQ(DspStsDivByZeroErr, DspDivConstInPlace32f(0.0f, v, 13));
        EXPECT_EQ(DspStsDivByZeroErr, DspDivConstInPlace32f(-0.0f, v, 13));
        EXPECT_EQ(12.1f, v[12]);
        ASSERT_EQ(0, DspDivConstInPlace32f(4.0f, v, 13));
        EXPECT_EQ(12.1f * 0.25f, v[12]);
        // The reciprocal is rounded first: compare with the product, not a quotient.
        float w[13], expected[13];
        bool differs = false;
        for (int i = 0; i < 13; ++i)
        {
            w[i] = 1.0f + static_cast<float>(i) * 0.37f;
            expected[i] = w[i] * (1.0f / 3.0f);
            differs = differs || expected[i] != w[i] / 3.0f;
        }
        ASSERT_EQ(0, DspDivConstInPlace32f(3.0f, w, 13));
        for (int i = 0; i < 13; ++i)
            EXPECT_EQ(std::bit_cast<uint32_t>(expected[i]), std::bit_cast<uint32_t>(w[i]));
        EXPECT_TRUE(differs);
        ASSERT_EQ(0, DspDivConstInPlace32f(Inf, w, 13));
        for (float x : w)
            EXPECT_EQ(0u, std::bit_cast<uint32_t>(x));
        ASSERT_EQ(0, DspDivConstInPlace32f(NaN, w, 13));
        for (float x : w)
            EXPECT_TRUE(std::isnan(x));
    }
}

TEST(VectorBasics, ArithmeticLoopsMatchSinglePrecisionReference)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len = 1; len <= 40; ++len)
            for (size_t off = 0; off < 16; off += 4)
            {
                GuardedFloats a(len, off), b(len, (off + 4) % 16);
                for (int i = 0; i < len; ++i)
                {
                    a[i] = Sample(i) * 0.37f;
                    b[i] = Sample(i + 5) * 1.3f;
                }
                ASSERT_EQ(0, DspMulConstInPlace32f(0.77f, a.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(Sample(i) * 0.37f * 0.77f),
                              std::bit_cast<uint32_t>(a[i]));
                ASSERT_EQ(0, DspAddConstInPlace32f(3.25f, a.Data(), len));
                ASSERT_EQ(0, DspAddInPlace32f(b.Data(), a.Data(), len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(Sample(i + 5) * 1.3f +
                                                      (Sample(i) * 0.37f * 0.77f + 3.25f)),
                              std::bit_cast<uint32_t>(a[i]));
                ASSERT_EQ(0, DspMulInPlace32f(b.Data(), a.Data(), len));
                GuardedFloats c(len, off);
                ASSERT_EQ(0, DspMulConst32f(b.Data(), -1.5f, c.Data(), len));
                for (int i = 0; i < len; ++i)
                {
                    const float sum = Sample(i + 5) * 1.3f + (Sample(i) * 0.37f * 0.77f + 3.25f);
                    ASSERT_EQ(std::bit_cast<uint32_t>(Sample(i + 5) * 1.3f * sum),
                              std::bit_cast<uint32_t>(a[i]));
                    ASSERT_EQ(std::bit_cast<uint32_t>(Sample(i + 5) * 1.3f * -1.5f),
                              std::bit_cast<uint32_t>(c[i]));
                }
                ASSERT_TRUE(a.GuardsIntact() && b.GuardsIntact() && c.GuardsIntact());
            }
    }
}

TEST(VectorBasics, MoveHandlesOverlapInBothDirections)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        for (int len : {1, 2, 7, 16, 40, 100})
        {
            std::vector<float> v(len + 2);
            auto fill = [&]
            {
                for (int i = 0; i < len + 2; ++i)
                    v[i] = static_cast<float>(i);
            };
            fill();
            ASSERT_EQ(0, DspMove32f(v.data(), v.data(), len));
            for (int i = 0; i < len + 2; ++i)
                ASSERT_EQ(static_cast<float>(i), v[i]);
            ASSERT_EQ(0, DspMove32f(v.data(), v.data() + 1, len)); // up by one
            EXPECT_EQ(0.0f, v[0]);
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(static_cast<float>(i), v[i + 1]) << level << " " << len;
            EXPECT_EQ(static_cast<float>(len + 1), v[len + 1]);
            fill();
            ASSERT_EQ(0, DspMove32f(v.data() + 1, v.data(), len)); // down by one
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(static_cast<float>(i + 1), v[i]);
            EXPECT_EQ(static_cast<float>(len), v[len]);
        }
    }
}

// A source a fraction of an element above the destination is still moved.
TEST(VectorBasics, MoveBySubElementDistance)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        alignas(16) uint8_t bytes[64];
        for (int i = 0; i < 64; ++i)
            bytes[i] = static_cast<uint8_t>(i);
        ASSERT_EQ(0, DspMove32f(reinterpret_cast<const float*>(bytes + 5),
                                reinterpret_cast<float*>(bytes + 4), 10));
        for (int i = 0; i < 40; ++i)
            ASSERT_EQ(i + 5, bytes[4 + i]) << level;
        EXPECT_EQ(44, bytes[44]);
    }
}

TEST(VectorBasics, ChecksComeInOrderAndWriteNothing)
{
    for (int level = 0; level < 4; ++level)
    {
        LevelScope scope(level);
        float v[2] = {3.0f, 4.0f};
        EXPECT_EQ(DspStsNullPtrErr, DspZero32f(nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspZero32f(v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspSet32f(1.0f, nullptr, -1));
        EXPECT_EQ(DspStsSizeErr, DspSet32f(1.0f, v, -1));
        EXPECT_EQ(DspStsNullPtrErr, DspCopy32f(nullptr, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspCopy32f(v, nullptr, 2));
        EXPECT_EQ(DspStsSizeErr, DspCopy32f(v, v + 1, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMove32f(nullptr, v, 0));
        EXPECT_EQ(DspStsSizeErr, DspMove32f(v, v + 1, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMulConstInPlace32f(0.0f, nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspMulConstInPlace32f(0.0f, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMulConst32f(v, 0.0f, nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspMulConst32f(v, 0.0f, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspDivConstInPlace32f(0.0f, nullptr, 0));
        EXPECT_EQ(DspStsSizeErr, DspDivConstInPlace32f(0.0f, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspAddConstInPlace32f(1.0f, nullptr, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspAddInPlace32f(nullptr, v, 1));
        EXPECT_EQ(DspStsSizeErr, DspAddInPlace32f(v, v, 0));
        EXPECT_EQ(DspStsNullPtrErr, DspMulInPlace32f(v, nullptr, 1));
        EXPECT_EQ(DspStsSizeErr, DspMulInPlace32f(v, v, -7));
        EXPECT_EQ(3.0f, v[0]);
        EXPECT_EQ(4.0f, v[1]);
    }
}
} // namespace
