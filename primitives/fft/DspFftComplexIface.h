// The complex FFT interface: records of kind 4 over 2^order interleaved
// complex points and their forward transform (there is no complex inverse).
#pragma once

#include <cstdint>

#include "primitives/fft/DspFftSpec.h"

DspStatus DspFftSpecSizeC32f_Gen(int32_t order, DspFftScaleFlag flag, int32_t hint,
                                 int32_t* outSpecBytes, int32_t* outInitBytes,
                                 int32_t* outWorkBytes);
DspStatus DspFftSpecInitC32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                 int32_t hint, uint8_t* specMemory, uint8_t* initBuffer);
DspStatus DspFftSpecCreateC32f_Gen(DspFftSpecC32f** outSpec, int32_t order, int32_t flag,
                                   int32_t hint);
DspStatus DspFftSpecFreeC32f_Gen(DspFftSpecC32f* spec);
DspStatus DspFftFwdC32f_Gen(const float* src, float* dst, const DspFftSpecC32f* spec,
                            uint8_t* workBuffer);

// Checks shared by every level's forward entry: spec, kind, then pointers.
DspStatus DspFftCheckArgs(const float* src, const float* dst, const DspFftSpecR32f* spec,
                          uint32_t kind);

// Fixed forward kernels of complex orders 0 to 3, natural order in and out;
// source and destination may be the same array. 8 per level: plain orders
// 0-3, then scaled orders 0-3.
using DspFftCKernel = void (*)(const float* src, float* dst);
using DspFftCScaledKernel = void (*)(const float* src, float* dst, float scale);
struct DspFftSmallKernelGroupC
{
    DspFftCKernel plain[4];
    DspFftCScaledKernel scaled[4];
};
extern const DspFftSmallKernelGroupC DspFftSmallKernelTableC[4];
