#include "platform/cpu/cpu.h"

#include <map>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define EMU_X86 1
#endif

namespace
{
struct Regs
{
    unsigned int r[4];
};
std::map<unsigned int, Regs> g_Overrides;
bool g_HideReal = false;

void RealCpuid(unsigned int leaf, unsigned int sub, unsigned int out[4])
{
#ifdef EMU_X86
    unsigned int a, b, c, d;
    __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(sub));
    out[0] = a;
    out[1] = b;
    out[2] = c;
    out[3] = d;
#else
    (void)leaf;
    (void)sub;
    out[0] = out[1] = out[2] = out[3] = 0;
#endif
}
} // namespace

void __cpuidex(int cpuInfo[4], int function, int subfunction)
{
    auto it = g_Overrides.find((unsigned int)function);
    unsigned int r[4] = {0, 0, 0, 0};
    if (it != g_Overrides.end())
    {
        for (int i = 0; i < 4; ++i)
            r[i] = it->second.r[i];
    }
    else if (!g_HideReal)
        RealCpuid((unsigned int)function, (unsigned int)subfunction, r);
    for (int i = 0; i < 4; ++i)
        cpuInfo[i] = (int)r[i];
}

void __cpuid(int cpuInfo[4], int function)
{
    __cpuidex(cpuInfo, function, 0);
}

void EmuCpuidOverride(unsigned int leaf, unsigned int eax, unsigned int ebx, unsigned int ecx,
                      unsigned int edx)
{
    g_Overrides[leaf] = Regs{{eax, ebx, ecx, edx}};
}

void EmuCpuidHideReal(bool hide)
{
    g_HideReal = hide;
}

void EmuCpuidReset()
{
    g_Overrides.clear();
    g_HideReal = false;
}

#ifdef EMU_X86
unsigned int EmuGetMxcsr()
{
    return _mm_getcsr();
}
void EmuSetMxcsr(unsigned int v)
{
    _mm_setcsr(v);
}
uint16_t EmuX87ControlWord()
{
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return cw;
}
void EmuSetX87ControlWord(uint16_t v)
{
    __asm__ volatile("fldcw %0" : : "m"(v));
}
uint16_t EmuX87StatusWord()
{
    uint16_t sw;
    __asm__ volatile("fnstsw %0" : "=m"(sw));
    return sw;
}
uint64_t EmuRdtsc()
{
    return __rdtsc();
}
#else
// Off x86-64 the registers are kept in memory with their reset values, so the
// save/restore discipline of callers can still be tested.
namespace
{
unsigned int g_Mxcsr = 0x1F80;
uint16_t g_X87Cw = 0x037F;
uint64_t g_Tsc = 0;
} // namespace
unsigned int EmuGetMxcsr()
{
    return g_Mxcsr;
}
void EmuSetMxcsr(unsigned int v)
{
    g_Mxcsr = v;
}
uint16_t EmuX87ControlWord()
{
    return g_X87Cw;
}
void EmuSetX87ControlWord(uint16_t v)
{
    g_X87Cw = v;
}
uint16_t EmuX87StatusWord()
{
    return 0;
}
uint64_t EmuRdtsc()
{
    return g_Tsc += 1000;
}
#endif
