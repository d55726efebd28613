// Implementations behind the vector rows of the dispatch tables: vector basics,
// interleaving, element-wise math and power, generic (level 0) and processor
// level variants. Library routines call the generic members directly.
#pragma once

#include <cstddef>

#include "primitives/dsp.h"

// ---- byte and word kernels of the generic level
void* DspZeroBytesKernel_Gen(void* dst, int64_t n);
void* DspCopyBytesKernel_Gen(const void* src, void* dst, int64_t n);
void DspSetKernel32f_Gen(uint32_t pattern, void* dst, int64_t count);

// ---- cache-aware kernels of levels 1 to 3
void* DspZeroBytesKernel_Sse3(void* dst, int64_t n);
void* DspZeroBytesKernel_Ssse3(void* dst, int64_t n);
void* DspZeroBytesKernel_Sse4(void* dst, int64_t n);
void* DspCopyBytesKernel_Sse3(const void* src, void* dst, int64_t n);
void* DspCopyBytesKernel_Ssse3(const void* src, void* dst, int64_t n);
void* DspCopyBytesKernel_Sse4(const void* src, void* dst, int64_t n);
void DspMoveBytesKernel_Sse3(const void* src, void* dst, int64_t n);
void DspMoveBytesKernel_Ssse3(const void* src, void* dst, int64_t n);
void DspMoveBytesKernel_Sse4(const void* src, void* dst, int64_t n);

// ---- vector basics
#define DSP_DECLARE_LEVELS(ret, name, ...)                                                         \
    ret name##_Gen(__VA_ARGS__);                                                                   \
    ret name##_Sse3(__VA_ARGS__);                                                                  \
    ret name##_Ssse3(__VA_ARGS__);                                                                 \
    ret name##_Sse4(__VA_ARGS__)

DSP_DECLARE_LEVELS(DspStatus, DspZero32f, float* dst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspSet32f, float value, float* dst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspSet32s, int32_t value, int32_t* dst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspCopy32f, const float* src, float* dst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspMove32f, const float* src, float* dst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspMulConstInPlace32f, float value, float* srcDst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspMulConst32f, const float* src, float value, float* dst,
                   int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspDivConstInPlace32f, float value, float* srcDst, int32_t len);
// Levels 2 and 3 share the _Ssse3 routine of the following rows.
DspStatus DspAddConstInPlace32f_Gen(float value, float* srcDst, int32_t len);
DspStatus DspAddConstInPlace32f_Sse3(float value, float* srcDst, int32_t len);
DspStatus DspAddConstInPlace32f_Ssse3(float value, float* srcDst, int32_t len);
DspStatus DspAddInPlace32f_Gen(const float* src, float* srcDst, int32_t len);
DspStatus DspAddInPlace32f_Sse3(const float* src, float* srcDst, int32_t len);
DspStatus DspAddInPlace32f_Ssse3(const float* src, float* srcDst, int32_t len);
DspStatus DspMulInPlace32f_Gen(const float* src, float* srcDst, int32_t len);
DspStatus DspMulInPlace32f_Sse3(const float* src, float* srcDst, int32_t len);
DspStatus DspMulInPlace32f_Ssse3(const float* src, float* srcDst, int32_t len);

// ---- interleaving, with the two-channel block kernels of levels 1 to 3
void DspInterleave2ChKernel32f_Sse3(const float* src0, const float* src1, float* dst, uint32_t len);
void DspInterleave2ChKernel32f_Ssse3(const float* src0, const float* src1, float* dst,
                                     uint32_t len);
void DspInterleave2ChKernel32f_Sse4(const float* src0, const float* src1, float* dst, uint32_t len);
void DspDeinterleave2ChKernel32f_Sse3(const float* src, float* dst0, float* dst1, uint32_t len);
void DspDeinterleave2ChKernel32f_Ssse3(const float* src, float* dst0, float* dst1, uint32_t len);
void DspDeinterleave2ChKernel32f_Sse4(const float* src, float* dst0, float* dst1, uint32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspInterleave32f, const float* const* srcChannels,
                   int32_t channelCount, int32_t len, float* dst);
DSP_DECLARE_LEVELS(DspStatus, DspDeinterleave32f, const float* src, int32_t channelCount,
                   int32_t len, float* const* dstChannels);

// ---- element-wise math
DspStatus DspSqrtInPlace32f_Gen(float* srcDst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspAbsInPlace32f, float* srcDst, int32_t len);
DSP_DECLARE_LEVELS(DspStatus, DspMax32f, const float* src, int32_t len, float* pMax);
DSP_DECLARE_LEVELS(DspStatus, DspMin32f, const float* src, int32_t len, float* pMin);
DspStatus DspAdd32f_Gen(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspAdd32f_Sse3(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspAdd32f_Ssse3(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspSub32f_Gen(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspSub32f_Sse3(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspSub32f_Ssse3(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspMul32f_Gen(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspAddProduct32f_Gen(const float* src1, const float* src2, float* srcDst, int32_t len);
DspStatus DspSqr32f_Gen(const float* src, float* dst, int32_t len);
DspStatus DspDiv32f_Gen(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspExpInPlace32f_Gen(float* srcDst, int32_t len);
DspStatus DspLnInPlace32f_Gen(float* srcDst, int32_t len);
DspStatus DspSum32f_Gen(const float* src, int32_t len, float* pSum, int32_t hint);
DspStatus DspMean32f_Gen(const float* src, int32_t len, float* pMean, int32_t hint);
DspStatus DspMinEvery32f_Gen(const float* src, float* srcDst, int32_t len);
DspStatus DspMaxEvery32f_Gen(const float* src, float* srcDst, int32_t len);
DspStatus DspDotProd32f_Gen(const float* src1, const float* src2, int32_t len, float* pDot);
void DspDotProdKernel32f_Gen(const float* src1, const float* src2, int32_t len, float* pDot);

// ---- power
DSP_DECLARE_LEVELS(DspStatus, DspPow32f, const float* src1, const float* src2, float* dst,
                   int32_t len);
void DspPowKernel32f_Gen(const float* src1, const float* src2, float* dst, int32_t index,
                         DspStatus* status);
void DspPowRaiseFpException_Gen(int32_t code);

#undef DSP_DECLARE_LEVELS

// The library's own NaN.
inline constexpr uint32_t DspNaNBits = 0xFFC00000u;
