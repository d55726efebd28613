// Processor identification injection and control-register access.
#include <gtest/gtest.h>

#include "platform/cpu/cpu.h"

TEST(Cpuid, InjectedLeavesAnswerAndOthersFollowTheMode)
{
    EmuCpuidOverride(1, 0x000306C3, 0x1, 0x7FFAFBBF, 0xBFEBFBFF);
    int r[4];
    __cpuid(r, 1);
    EXPECT_EQ((unsigned)r[0], 0x000306C3u);
    EXPECT_EQ((unsigned)r[2], 0x7FFAFBBFu);
    EXPECT_EQ((unsigned)r[3], 0xBFEBFBFFu);
    __cpuidex(r, 1, 3); // any sub-leaf of an injected leaf
    EXPECT_EQ((unsigned)r[0], 0x000306C3u);
    EmuCpuidHideReal(true);
    __cpuid(r, 0x80000000);
    EXPECT_EQ(r[0] | r[1] | r[2] | r[3], 0);
    EmuCpuidReset();
#if defined(__x86_64__)
    __cpuid(r, 0);
    EXPECT_GE(r[0], 1); // a real processor reports at least leaf 1
#endif
}

TEST(ControlRegisters, MxcsrAndX87WordsRoundTrip)
{
    unsigned int saved = EmuGetMxcsr();
    EmuSetMxcsr((saved & ~0x6000u) | 0x8040u); // flush-to-zero, denormals-are-zero
    EXPECT_EQ(EmuGetMxcsr() & 0xE040u, 0x8040u);
    EmuSetMxcsr(saved);
    EXPECT_EQ(EmuGetMxcsr(), saved);

    uint16_t cw = EmuX87ControlWord();
    EmuSetX87ControlWord((uint16_t)((cw & ~0x0300) | 0x0200)); // 53-bit precision
    EXPECT_EQ(EmuX87ControlWord() & 0x0300, 0x0200);
    EmuSetX87ControlWord(cw);
    EXPECT_EQ(EmuX87ControlWord(), cw);
    uint64_t a = EmuRdtsc();
    uint64_t b = EmuRdtsc();
    EXPECT_GE(b, a);
}
