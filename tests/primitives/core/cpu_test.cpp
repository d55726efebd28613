// Processor identification from injected CPUID results, the level setters and
// the cache-size lookup from leaf-2 descriptors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/cpu/cpu.h"
#include "primitives/core/DspCpu.h"

namespace
{
constexpr unsigned Sse = 1u << 25, Sse2 = 1u << 26, Htt = 1u << 28; // leaf 1 edx
constexpr unsigned Sse3 = 1u << 0, Ssse3 = 1u << 9, Sse41 = 1u << 19, Sse42 = 1u << 20; // ecx

class CpuTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        EmuCpuidHideReal(true);
        DspCpuLevel = 0;
    }
    void TearDown() override
    {
        DspCpuLevel = 0;
        EmuCpuidReset();
    }

    static void Vendor(const char* name, unsigned maxLeaf = 4)
    {
        unsigned w[3];
        memcpy(w, name, 12); // ebx, edx, ecx in the order the name is spelt
        EmuCpuidOverride(0, maxLeaf, w[0], w[2], w[1]);
    }
    static void Leaf1(unsigned family, unsigned model, unsigned ecx, unsigned edx,
                      unsigned extModel = 0, unsigned extFamily = 0, unsigned ebx = 0)
    {
        unsigned eax = (family << 8) | (model << 4) | (extModel << 16) | (extFamily << 20);
        EmuCpuidOverride(1, eax, ebx, ecx, edx);
    }
    static void Cores(unsigned n) { EmuCpuidOverride(4, (n - 1) << 26, 0, 0, 0); }
    static void LongMode(bool on)
    {
        EmuCpuidOverride(0x80000000u, 0x80000008u, 0, 0, 0);
        EmuCpuidOverride(0x80000001u, 0, 0, 0, on ? (1u << 29) : 0);
    }
};

TEST_F(CpuTest, IntelModelsGetTheirOwnCodes)
{
    Vendor("GenuineIntel");
    LongMode(true);
    Cores(2);
    Leaf1(6, 0xF, Sse3 | Ssse3, Sse | Sse2);
    EXPECT_EQ(33, DspDetectCpuType());
    Cores(4);
    EXPECT_EQ(34, DspDetectCpuType());
    Leaf1(6, 0xA, Sse3 | Ssse3 | Sse41 | Sse42, Sse | Sse2, 1); // model 0x1A
    EXPECT_EQ(35, DspDetectCpuType());
    Leaf1(6, 0xC, Sse3 | Ssse3, Sse | Sse2, 1); // model 0x1C
    EXPECT_EQ(36, DspDetectCpuType());
    Leaf1(6, 0x7, Sse3 | Ssse3 | Sse41, Sse | Sse2, 1); // model 0x17
    EXPECT_EQ(68, DspDetectCpuType());
    Leaf1(15, 0x4, 0, Sse | Sse2); // family 15, extended family 0
    EXPECT_EQ(66, DspDetectCpuType());
}

TEST_F(CpuTest, IntelModelsWithoutTheirFeatureFallThroughToFeatures)
{
    Vendor("GenuineIntel");
    Leaf1(6, 0xF, Sse3, Sse | Sse2); // model 15 without SSSE3
    EXPECT_EQ(66, DspDetectCpuType());
    Leaf1(6, 0xA, Sse3 | Ssse3 | Sse41, Sse | Sse2, 1); // model 0x1A without SSE4.2
    EXPECT_EQ(68, DspDetectCpuType());
    Leaf1(15, 0x2, 0, Sse | Sse2, 0, 1); // family 15 + extended family 1
    EXPECT_EQ(65, DspDetectCpuType());
    Leaf1(6, 0xE, Sse3 | Ssse3 | Sse41 | Sse42, Sse | Sse2, 2); // an unlisted model
    EXPECT_EQ(69, DspDetectCpuType());
}

TEST_F(CpuTest, OtherVendorsAreIdentifiedByTheirHighestFeature)
{
    Vendor("AuthenticAMD");
    LongMode(false);
    Leaf1(6, 0xF, Sse3 | Ssse3, Sse | Sse2); // the Intel model rule does not apply
    EXPECT_EQ(67, DspDetectCpuType());
    const struct
    {
        unsigned ecx, edx;
        int code;
    } cases[] = {{Sse3 | Ssse3 | Sse41 | Sse42, Sse | Sse2, 69},
                 {Sse41, 0, 68},
                 {Ssse3, Sse2, 67},
                 {Sse3, Sse | Sse2, 66},
                 {0, Sse | Sse2, 65},
                 {0, Sse, 64},
                 {0, 0, 0}};
    for (const auto& c : cases)
    {
        Leaf1(15, 1, c.ecx, c.edx);
        EXPECT_EQ(c.code, DspDetectCpuType()) << std::hex << c.ecx << " " << c.edx;
    }
    LongMode(true);
    EXPECT_EQ(96, DspDetectCpuType());
}

TEST_F(CpuTest, InitCpuLevelMapsCodesToLevelsAndReportsOtherVendors)
{
    Vendor("GenuineIntel");
    Leaf1(15, 0x4, Sse3, Sse | Sse2); // code 66
    EXPECT_EQ(0, DspInitCpuLevel());
    EXPECT_EQ(1, DspCpuLevel);
    Leaf1(6, 0xC, Sse3 | Ssse3, Sse | Sse2, 1); // 36
    EXPECT_EQ(0, DspInitCpuLevel());
    EXPECT_EQ(2, DspCpuLevel);
    Leaf1(6, 0xA, Sse3 | Ssse3 | Sse41 | Sse42, Sse | Sse2, 1); // 35
    EXPECT_EQ(0, DspInitCpuLevel());
    EXPECT_EQ(3, DspCpuLevel);
    Leaf1(6, 0x1, 0, Sse | Sse2); // 65
    EXPECT_EQ(0, DspInitCpuLevel());
    EXPECT_EQ(0, DspCpuLevel);

    Vendor("AuthenticAMD");
    Leaf1(6, 0x1, Ssse3, Sse | Sse2); // 67: level set all the same
    EXPECT_EQ(20, DspInitCpuLevel());
    EXPECT_EQ(2, DspCpuLevel);
}

TEST_F(CpuTest, SetCpuLevelAcceptsOnlyItsCodes)
{
    const struct
    {
        int code, level;
    } accepted[] = {{-1, 0}, {0, 0},  {96, 0}, {32, 1}, {33, 2}, {34, 2},
                    {36, 2}, {67, 2}, {35, 3}, {37, 3}, {68, 3}, {69, 3}};
    for (const auto& a : accepted)
    {
        DspCpuLevel = a.level == 0 ? 3 : 0;
        EXPECT_EQ(0, DspSetCpuLevel(a.code)) << a.code;
        EXPECT_EQ(a.level, DspCpuLevel) << a.code;
    }
    for (int code : {66, 64, 65, 1, 31, 38, 70, 97, -2, 100000})
    {
        DspCpuLevel = 2;
        EXPECT_EQ(21, DspSetCpuLevel(code)) << code;
        EXPECT_EQ(2, DspCpuLevel) << code;
    }
}

TEST_F(CpuTest, ProbeSetReadsTheFeatureBits)
{
    Vendor("GenuineIntel", 1); // highest leaf below 4: one core per package
    Leaf1(6, 0x5, Sse3 | Sse41, (1u << 4) | (1u << 23) | Sse | Htt, 0, 0, 1u << 16);
    EXPECT_EQ(1u, DspCpuMaxLeaf());
    EXPECT_EQ(1, DspCpuIsGenuineIntel());
    EXPECT_EQ(1, DspCpuHasTsc());
    EXPECT_EQ(1, DspCpuHasMmx());
    EXPECT_EQ(1, DspCpuHasSse());
    EXPECT_EQ(0, DspCpuHasSse2());
    EXPECT_EQ(0, DspCpuHasHtt()); // one logical processor
    EXPECT_EQ(1, DspCpuHasSse3());
    EXPECT_EQ(0, DspCpuHasSsse3());
    EXPECT_EQ(1, DspCpuHasSse41());
    EXPECT_EQ(0, DspCpuHasSse42());
    EXPECT_EQ(0, DspCpuHasLongMode()); // extended leaves missing
    EXPECT_EQ(1, DspCpuCoresPerPackage());
    Leaf1(6, 0x5, 0, Htt, 0, 0, 2u << 16);
    EXPECT_EQ(1, DspCpuHasHtt());
    Vendor("GenuineIntel", 11);
    Cores(6);
    EXPECT_EQ(6, DspCpuCoresPerPackage());
}

TEST_F(CpuTest, CpuInfoFillsTheRecordInOrder)
{
    Vendor("GenuineIntel");
    Cores(4);
    LongMode(true);
    EmuCpuidOverride(2, 0x665B5001, 0, 0, 0x007A7000);
    EmuCpuidOverride(1, 0x000306A9 | (1u << 12), 2u << 16, Sse3 | Ssse3 | Sse42,
                     Sse | Sse2 | (1u << 23) | Htt);
    DspCpuInfoRecord r;
    memset(&r, 0xEE, sizeof r);
    DspCpuInfo(&r);
    EXPECT_EQ(6u, r.Family);
    EXPECT_EQ(9u, r.Stepping);
    EXPECT_EQ(0xAu, r.Model);
    EXPECT_EQ(2u, r.TypeBits);
    EXPECT_EQ(Sse | Sse2 | (1u << 23) | Htt, r.FeatureEdx);
    EXPECT_EQ(0x665B5001u, r.Leaf2Eax);
    EXPECT_EQ(0x007A7000u, r.Leaf2Edx);
    EXPECT_EQ(1u, r.HasMmx);
    EXPECT_EQ(0xEEEEEEEEu, r.Unwritten);
    EXPECT_EQ(1u, r.HasSse);
    EXPECT_EQ(1u, r.HasSse2);
    EXPECT_EQ(1u, r.HasHtt);
    EXPECT_EQ(1u, r.HasSse3);
    EXPECT_EQ(1u, r.HasLongMode);
    EXPECT_EQ(1u, r.HasSsse3);
    EXPECT_EQ(4u, r.CoresPerPackage);
    EXPECT_EQ(0u, r.HasSse41);
    EXPECT_EQ(1u, r.HasSse42);
    EXPECT_EQ(0u, r.ExtendedFamily);
    EXPECT_EQ(3u, r.ExtendedModel);
}

TEST_F(CpuTest, CacheSizeTakesTheFirstTableEntryThatMatches)
{
    Vendor("GenuineIntel");
    // 0x22 (512 KB) comes first in the registers, but 0x4D (16 MB) first in the table.
    EmuCpuidOverride(2, 0x00220001, 0x4D000000, 0, 0);
    EXPECT_EQ(16ll << 20, DspCacheSizeBytes());
    EmuCpuidOverride(2, 0x00000001, 0, 0x00000048, 0); // 3 MB
    EXPECT_EQ(3ll << 20, DspCacheSizeBytes());
    EmuCpuidOverride(2, 0x00430001, 0x80004D00, 0, 0); // bit 31: register ignored
    EXPECT_EQ(512ll << 10, DspCacheSizeBytes());
    EmuCpuidOverride(2, 0x4D220002, 0, 0, 0); // al not 1: unknown
    EXPECT_EQ(-1, DspCacheSizeBytes());
    EmuCpuidOverride(2, 0x01020301, 0, 0, 0); // no known descriptor
    EXPECT_EQ(-1, DspCacheSizeBytes());
    EmuCpuidOverride(2, 0x4D000001, 0, 0, 0); // eax byte 3 is a descriptor too
    EXPECT_EQ(16ll << 20, DspCacheSizeBytes());
    Vendor("AuthenticAMD");
    EXPECT_EQ(-1, DspCacheSizeBytes());

    // The caller's table: vendor not looked at.
    const uint32_t table[] = {0x7C, 111, 0x22, 222, 0, 0};
    EmuCpuidOverride(2, 0x00220001, 0, 0, 0x0000007C);
    EXPECT_EQ(111, DspCacheSizeFromDescriptors(table));
    EmuCpuidOverride(2, 0x00010001, 0, 0, 0);
    EXPECT_EQ(-1, DspCacheSizeFromDescriptors(table));
}

TEST(CpuControl, MxcsrHelpersChangeOnlyWhatTheyAreAskedTo)
{
    const uint32_t saved = DspGetMxcsr();
    const uint32_t keep = ~0xE07Fu; // everything but the fields touched and the flags
    EXPECT_EQ(saved, DspSetMxcsrRounding(0x6000));
    EXPECT_EQ(0x6000u, DspGetMxcsr() & 0x6000u);
    const uint32_t before = DspGetMxcsr();
    EXPECT_EQ(before, DspSetMxcsrMasked(0x8040, 0x8040));
    EXPECT_EQ(0xE040u, DspGetMxcsr() & 0xE040u);
    EXPECT_EQ(saved & keep, DspGetMxcsr() & keep);
    const uint32_t current = DspGetMxcsr();
    EXPECT_EQ(current, DspResetMxcsr());
    EXPECT_EQ(0x1F80u, DspGetMxcsr());
    DspSetMxcsr(saved);
    EXPECT_EQ(saved, DspGetMxcsr());
}

TEST(CpuControl, ControlFpTranslatesPrecisionAndRounding)
{
    const uint16_t saved = DspGetX87Control();
    // Round toward zero (0x300 portable), 53-bit precision (0x10000).
    const uint32_t flags = DspControlFp(0x10300, 0x30300);
    EXPECT_EQ(0x10300u, flags & 0x30300u);
    EXPECT_EQ(0x0E00, DspGetX87Control() & 0x0F00);
    EXPECT_EQ(0x20000u, DspControlFp(0x20000, 0x30000) & 0x30000u);
    EXPECT_EQ(0x0000, DspGetX87Control() & 0x0300);
    DspSetX87Control(saved);
    EXPECT_EQ(saved, DspGetX87Control());
    EXPECT_EQ(1, DspIsNan64f(std::nan("")));
    EXPECT_EQ(0, DspIsFinite64f(-HUGE_VAL));
    EXPECT_EQ(1, DspIsFinite64f(1e308));
}
} // namespace
