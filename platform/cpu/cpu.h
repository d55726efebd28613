// The processor as the primitives see it: identification (CPUID), the SSE
// control and status register, the x87 control and status words and the time
// stamp counter, by the compiler's intrinsic names. CPUID results can be
// injected so tests choose the processor the dispatch code identifies.
#pragma once

#include <cstdint>

// cpuInfo receives EAX, EBX, ECX, EDX of the leaf.
void __cpuid(int cpuInfo[4], int function);
void __cpuidex(int cpuInfo[4], int function, int subfunction);
unsigned int EmuGetMxcsr();       // same as _mm_getcsr, portable
void EmuSetMxcsr(unsigned int v); // same as _mm_setcsr, portable
uint16_t EmuX87ControlWord();
void EmuSetX87ControlWord(uint16_t v);
uint16_t EmuX87StatusWord();
uint64_t EmuRdtsc();

// Injection: while set, __cpuid answers `leaf` (and any sub-leaf) with these
// registers; leaves not overridden answer from the real processor, or zeros
// off x86-64.
void EmuCpuidOverride(unsigned int leaf, unsigned int eax, unsigned int ebx, unsigned int ecx,
                      unsigned int edx);
// Makes every leaf not overridden answer zeros (a processor that reports nothing).
void EmuCpuidHideReal(bool hide);
void EmuCpuidReset();
