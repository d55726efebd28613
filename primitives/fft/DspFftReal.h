// Real FFT of N = 2^order samples in the packed layout
// [X0, X(N/2), Re X1, Im X1, ..., Re X(N/2-1), Im X(N/2-1)] and back. Orders 0
// to 3 run fixed kernels; from order 4 on the samples are transformed as N/2
// complex points by the complex engine and separated by a split step (inverse:
// a merge step before the inverse complex transform).
#pragma once

#include <cstdint>

#include "primitives/fft/DspFftSpec.h"

DspStatus DspFftFwdRToPacked32f_Gen(const float* src, float* dst, const DspFftSpecR32f* spec,
                                    uint8_t* workBuffer);
DspStatus DspFftInvPackedToR32f_Gen(const float* src, float* dst, const DspFftSpecR32f* spec,
                                    uint8_t* workBuffer);
DspStatus DspFftFwdRInPlace32f_Gen(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer);
DspStatus DspFftInvRInPlace32f_Gen(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer);

// srcDst = srcDst * src over len floats of the packed layout (no conjugation).
DspStatus DspMulPackedSpectra32f_Gen(const float* src, float* srcDst, int32_t len);

// The packed multiply with the complex pairs (count of them, srcDst *= src)
// left to the given kernel.
using DspMulPairsFn = void (*)(const float* src, float* srcDst, int32_t count);
DspStatus DspMulPackedWith(const float* src, float* srcDst, int32_t len, DspMulPairsFn pairs);

// Split (forward, mode 1) and merge (inverse, mode -1) steps over n complex
// points of the half-length spectrum.
void DspFftRealFwdPostSplit_Gen(float* data, int32_t n, int32_t mode, const float* splitTable);
void DspFftRealInvPreSplit_Gen(const float* src, float* dst, int32_t n, int32_t mode,
                               const float* mergeTable);

// Fixed kernels of orders 0 to 3; source and destination may be the same array.
using DspFftKernel = void (*)(const float* src, float* dst);
using DspFftScaledKernel = void (*)(const float* src, float* dst, float scale);

void DspFftOrder0Copy32f(const float* src, float* dst);
void DspFftOrder0Scale32f(const float* src, float* dst, float scale);
void DspFftOrder1_32f(const float* src, float* dst);
void DspFftOrder1Scale32f(const float* src, float* dst, float scale);
void DspFftFwdROrder2_32f(const float* src, float* dst);
void DspFftFwdROrder2Scale32f(const float* src, float* dst, float scale);
void DspFftFwdROrder3_32f(const float* src, float* dst);
void DspFftFwdROrder3Scale32f(const float* src, float* dst, float scale);
void DspFftInvROrder2_32f(const float* src, float* dst);
void DspFftInvROrder2Scale32f(const float* src, float* dst, float scale);
void DspFftInvROrder3_32f(const float* src, float* dst);
void DspFftInvROrder3Scale32f(const float* src, float* dst, float scale);

// 16 kernels per processor level: forward plain orders 0-3, forward scaled,
// inverse plain, inverse scaled.
struct DspFftSmallKernelGroup
{
    DspFftKernel forward[4];
    DspFftScaledKernel forwardScaled[4];
    DspFftKernel inverse[4];
    DspFftScaledKernel inverseScaled[4];
};
extern const DspFftSmallKernelGroup DspFftSmallKernelTable[4];
