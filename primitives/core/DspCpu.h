// Processor identification, the processor level and the probe set that reads
// the processor's control and status registers.
#pragma once

#include <cstdint>

#include "primitives/dsp.h"

// Twenty words filled by DspCpuInfo, in this order.
struct DspCpuInfoRecord
{
    uint32_t Family;     // leaf 1 eax bits 8-11
    uint32_t Stepping;   // bits 0-3
    uint32_t Model;      // bits 4-7
    uint32_t TypeBits;   // bits 11-12
    uint32_t FeatureEdx; // leaf 1 edx
    uint32_t Leaf2Eax;
    uint32_t Leaf2Edx;
    uint32_t HasMmx;
    uint32_t Unwritten; // left as the caller had it
    uint32_t HasSse;
    uint32_t HasSse2;
    uint32_t HasHtt;
    uint32_t HasSse3;
    uint32_t HasLongMode;
    uint32_t HasSsse3;
    uint32_t CoresPerPackage;
    uint32_t HasSse41;
    uint32_t HasSse42;
    uint32_t ExtendedFamily; // eax bits 20-27
    uint32_t ExtendedModel;  // eax bits 16-19
};
static_assert(sizeof(DspCpuInfoRecord) == 80);

// Processor-type codes returned by DspDetectCpuType.
enum : int32_t
{
    DspCpuTypeUnknown = 0,
    DspCpuTypeIntelCore2Duo = 33,  // family 6 model 15, SSSE3, at most 2 cores
    DspCpuTypeIntelCore2Quad = 34, // the same with more cores
    DspCpuTypeIntelCoreI7 = 35,    // family 6 model 26, SSE4.2
    DspCpuTypeIntelAtom = 36,      // family 6 model 28, SSSE3
    DspCpuTypeSse = 64,
    DspCpuTypeSse2 = 65,
    DspCpuTypeSse3 = 66,
    DspCpuTypeSsse3 = 67,
    DspCpuTypeSse41 = 68,
    DspCpuTypeSse42 = 69,
    DspCpuTypeLongMode = 96
};

void DspCpuid(uint32_t regs[4], int32_t leaf, int32_t subleaf);
int32_t DspProbeCpu();
int32_t DspCpuIsGenuineIntel();

uint32_t DspCpuMaxLeaf();
int32_t DspCpuHasTsc();
int32_t DspCpuHasMmx();
int32_t DspCpuHasSse();
int32_t DspCpuHasSse2();
int32_t DspCpuHasHtt();
int32_t DspCpuHasSse3();
int32_t DspCpuHasSsse3();
int32_t DspCpuHasSse41();
int32_t DspCpuHasSse42();
int32_t DspCpuHasLongMode();
int32_t DspCpuCoresPerPackage();
void DspCpuInfo(DspCpuInfoRecord* record);
uint64_t DspReadTimeStamp();

// Table of pairs {descriptor in the low byte of the first word, result}; a
// first word of 0 ends it. Returns the result of the first entry matching a
// leaf-2 descriptor byte, or -1.
int32_t DspCacheSizeFromDescriptors(const uint32_t* table);
// Cache size in bytes from the built-in descriptor table, or -1 when unknown
// (also on processors other than "GenuineIntel"). Used by the cache-aware kernels.
int64_t DspCacheSizeBytes();

int32_t DspCpuHasDaz();
uint32_t DspGetMxcsr();
void DspSetMxcsr(uint32_t value);
uint32_t DspResetMxcsr();
uint32_t DspSetMxcsrMasked(uint32_t value, uint32_t mask);
uint32_t DspSetMxcsrRounding(uint32_t bits);

uint16_t DspGetX87Control();
void DspSetX87Control(uint16_t value);
uint16_t DspSetX87ControlMasked(uint16_t value, uint16_t mask);
uint16_t DspSetX87ControlIfChanged(uint16_t value, uint16_t mask);
uint16_t DspGetX87Status();
uint16_t DspGetAndClearX87Status();
uint32_t DspControlFp(uint32_t value, uint32_t mask);
uint32_t DspStatusFp();
uint32_t DspClearFp();

int32_t DspIsNan64f(double v);
int32_t DspIsFinite64f(double v);
