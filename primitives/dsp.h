// Public interface of the signal-processing primitives. Every routine declared
// here is an entry routine: it continues in the implementation of the current
// processor level (DspCpuLevel) through the dispatch tables, so callers outside
// the library always come through here. All routines run at any IRQL up to
// DISPATCH_LEVEL on non-paged memory and keep no state of their own.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

// States and specifications live in caller memory; their layouts belong to the
// FFT and filter families.
struct DspFftSpecR32f;
struct DspFftSpecC32f;
struct DspFirState32f;
struct DspIirState32f;

// ---------------------------------------------------------------------------
// Processor level and identification
extern int32_t DspCpuLevel; // 0 generic, 1 SSE3, 2 SSSE3, 3 SSE4.x

DspStatus DspInitCpuLevel();
DspStatus DspSetCpuLevel(int32_t cpuType);
int32_t DspDetectCpuType();

// Aligned work buffers (32-byte boundary) from the allocation hooks.
void* DspAllocAligned(int32_t size);

// ---------------------------------------------------------------------------
// DspDispatchTable (table 1)
DspStatus DspZero32f(float* dst, int32_t len);                                  // row 0
DspStatus DspConvert32fTo16sScaled(const float* src, int16_t* dst, int32_t len, // row 1
                                   DspRoundMode rndMode, int32_t scaleFactor);
DspStatus DspConvert32fTo32sScaled(const float* src, int32_t* dst, int32_t len, // row 2
                                   DspRoundMode rndMode, int32_t scaleFactor);
DspStatus DspConvert16sTo32fScaled(const int16_t* src, float* dst, int32_t len, // row 3
                                   int32_t scaleFactor);
DspStatus DspConvert32sTo32fScaled(const int32_t* src, float* dst, int32_t len, // row 4
                                   int32_t scaleFactor);
DspStatus DspConvert24sTo32f(const uint8_t* src, float* dst, int32_t len);      // row 5
DspStatus DspConvert32fTo24sScaled(const float* src, uint8_t* dst, int32_t len, // row 6
                                   int32_t scaleFactor);
DspStatus DspAddInPlace32f(const float* src, float* srcDst, int32_t len);             // row 7
DspStatus DspDivConstInPlace32f(float value, float* srcDst, int32_t len);             // row 8
DspStatus DspMove32f(const float* src, float* dst, int32_t len);                      // row 9
DspStatus DspMulConstInPlace32f(float value, float* srcDst, int32_t len);             // row 10
DspStatus DspFirInit32f(DspFirState32f** ppState, const float* taps, int32_t tapsLen, // row 11
                        const float* dlyLine, uint8_t* buffer);
DspStatus DspFirStateSize32f(int32_t tapsLen, int32_t* pSize);                // row 12
DspStatus DspFirMultirateInit32f(DspFirState32f** ppState, const float* taps, // row 13
                                 int32_t tapsLen, int32_t upFactor, int32_t upPhase,
                                 int32_t downFactor, int32_t downPhase, const float* dlyLine,
                                 uint8_t* buffer);
DspStatus DspFirMultirateStateSize32f(int32_t tapsLen, int32_t upFactor, // row 14
                                      int32_t downFactor, int32_t* pSize);
DspStatus DspFirFilter32f(const float* src, float* dst, int32_t len, // row 15
                          DspFirState32f* state);
DspStatus DspFirOneSample32f(float src, float* pDst, const float* taps, int32_t tapsLen, // row 16
                             float* dlyLine, int32_t* pDlyIndex);
DspStatus DspIirFilterInPlace32f(float* srcDst, int32_t len, DspIirState32f* state); // row 17
DspStatus DspIirStateSize32f(int32_t order, int32_t* pSize);                         // row 18
DspStatus DspIirInit32f(DspIirState32f** ppState, const float* taps, int32_t order,  // row 19
                        const float* dlyLine, uint8_t* buffer);
DspStatus DspConvert32sTo32f(const int32_t* src, float* dst, int32_t len);        // row 20
DspStatus DspAddConstInPlace32f(float value, float* srcDst, int32_t len);         // row 21
DspStatus DspInterleave32f(const float* const* srcChannels, int32_t channelCount, // row 22
                           int32_t len, float* dst);
DspStatus DspDeinterleave32f(const float* src, int32_t channelCount, int32_t len, // row 23
                             float* const* dstChannels);
DspStatus DspPow32f(const float* src1, const float* src2, float* dst, int32_t len); // row 24

// ---------------------------------------------------------------------------
// DspDispatchTable2 (table 2)
DspStatus DspCopy32f(const float* src, float* dst, int32_t len);                     // row 0
DspStatus DspSet32f(float value, float* dst, int32_t len);                           // row 1
DspStatus DspMulConst32f(const float* src, float value, float* dst, int32_t len);    // row 2
DspStatus DspSqrtInPlace32f(float* srcDst, int32_t len);                             // row 3
DspStatus DspAbsInPlace32f(float* srcDst, int32_t len);                              // row 4
DspStatus DspMax32f(const float* src, int32_t len, float* pMax);                     // row 5
DspStatus DspMin32f(const float* src, int32_t len, float* pMin);                     // row 6
DspStatus DspFftSpecCreateC32f(DspFftSpecC32f** ppSpec, int32_t order, int32_t flag, // row 7
                               int32_t hint);
DspStatus DspFftSpecFreeC32f(DspFftSpecC32f* spec);                               // row 8
DspStatus DspFftFwdC32f(const float* src, float* dst, const DspFftSpecC32f* spec, // row 9
                        uint8_t* workBuffer);
float* DspMalloc32f(int32_t len);                                                   // row 10
void DspFree(void* block);                                                          // row 11
DspStatus DspMulInPlace32f(const float* src, float* srcDst, int32_t len);           // row 12
DspStatus DspAdd32f(const float* src1, const float* src2, float* dst, int32_t len); // row 13
DspStatus DspSub32f(const float* src1, const float* src2, float* dst, int32_t len); // row 14
DspStatus DspMul32f(const float* src1, const float* src2, float* dst, int32_t len); // row 15
DspStatus DspAddProduct32f(const float* src1, const float* src2, float* srcDst,     // row 16
                           int32_t len);
DspStatus DspSqr32f(const float* src, float* dst, int32_t len);                     // row 17
DspStatus DspDiv32f(const float* src1, const float* src2, float* dst, int32_t len); // row 18
DspStatus DspExpInPlace32f(float* srcDst, int32_t len);                             // row 19
DspStatus DspLnInPlace32f(float* srcDst, int32_t len);                              // row 20
DspStatus DspSum32f(const float* src, int32_t len, float* pSum, int32_t hint);      // row 21
DspStatus DspMean32f(const float* src, int32_t len, float* pMean, int32_t hint);    // row 22
DspStatus DspMinEvery32f(const float* src, float* srcDst, int32_t len);             // row 23
DspStatus DspMaxEvery32f(const float* src, float* srcDst, int32_t len);             // row 24
DspStatus DspDotProd32f(const float* src1, const float* src2, int32_t len,          // row 25
                        float* pDot);
DspStatus DspFftSpecCreateR32f(DspFftSpecR32f** ppSpec, int32_t order, int32_t flag, // row 26
                               int32_t hint);
DspStatus DspFftSpecFreeR32f(DspFftSpecR32f* spec);                       // row 27
DspStatus DspFftFwdRInPlace32f(float* srcDst, const DspFftSpecR32f* spec, // row 28
                               uint8_t* workBuffer);
DspStatus DspFftInvRInPlace32f(float* srcDst, const DspFftSpecR32f* spec, // row 29
                               uint8_t* workBuffer);
