// Entry routines: each continues, with its arguments unchanged, in the
// implementation of the current processor level. They check nothing themselves.
#include "primitives/core/DspDispatch.h"

#define DSP_ENTRY1(row, entry) DSP_TARGET(DspDispatchTable, row, entry)
#define DSP_ENTRY2(row, entry) DSP_TARGET(DspDispatchTable2, row, entry)

// ---- DspDispatchTable
DspStatus DspZero32f(float* dst, int32_t len)
{
    return DSP_ENTRY1(0, DspZero32f)(dst, len);
}

DspStatus DspConvert32fTo16sScaled(const float* src, int16_t* dst, int32_t len,
                                   DspRoundMode rndMode, int32_t scaleFactor)
{
    return DSP_ENTRY1(1, DspConvert32fTo16sScaled)(src, dst, len, rndMode, scaleFactor);
}

DspStatus DspConvert32fTo32sScaled(const float* src, int32_t* dst, int32_t len,
                                   DspRoundMode rndMode, int32_t scaleFactor)
{
    return DSP_ENTRY1(2, DspConvert32fTo32sScaled)(src, dst, len, rndMode, scaleFactor);
}

DspStatus DspConvert16sTo32fScaled(const int16_t* src, float* dst, int32_t len, int32_t scaleFactor)
{
    return DSP_ENTRY1(3, DspConvert16sTo32fScaled)(src, dst, len, scaleFactor);
}

DspStatus DspConvert32sTo32fScaled(const int32_t* src, float* dst, int32_t len, int32_t scaleFactor)
{
    return DSP_ENTRY1(4, DspConvert32sTo32fScaled)(src, dst, len, scaleFactor);
}

DspStatus DspConvert24sTo32f(const uint8_t* src, float* dst, int32_t len)
{
    return DSP_ENTRY1(5, DspConvert24sTo32f)(src, dst, len);
}

DspStatus DspConvert32fTo24sScaled(const float* src, uint8_t* dst, int32_t len, int32_t scaleFactor)
{
    return DSP_ENTRY1(6, DspConvert32fTo24sScaled)(src, dst, len, scaleFactor);
}

DspStatus DspAddInPlace32f(const float* src, float* srcDst, int32_t len)
{
    return DSP_ENTRY1(7, DspAddInPlace32f)(src, srcDst, len);
}

DspStatus DspDivConstInPlace32f(float value, float* srcDst, int32_t len)
{
    return DSP_ENTRY1(8, DspDivConstInPlace32f)(value, srcDst, len);
}

DspStatus DspMove32f(const float* src, float* dst, int32_t len)
{
    return DSP_ENTRY1(9, DspMove32f)(src, dst, len);
}

DspStatus DspMulConstInPlace32f(float value, float* srcDst, int32_t len)
{
    return DSP_ENTRY1(10, DspMulConstInPlace32f)(value, srcDst, len);
}

DspStatus DspFirInit32f(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                        const float* dlyLine, uint8_t* buffer)
{
    return DSP_ENTRY1(11, DspFirInit32f)(ppState, taps, tapsLen, dlyLine, buffer);
}

DspStatus DspFirStateSize32f(int32_t tapsLen, int32_t* pSize)
{
    return DSP_ENTRY1(12, DspFirStateSize32f)(tapsLen, pSize);
}

DspStatus DspFirMultirateInit32f(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                                 int32_t upFactor, int32_t upPhase, int32_t downFactor,
                                 int32_t downPhase, const float* dlyLine, uint8_t* buffer)
{
    return DSP_ENTRY1(13, DspFirMultirateInit32f)(ppState, taps, tapsLen, upFactor, upPhase,
                                                  downFactor, downPhase, dlyLine, buffer);
}

DspStatus DspFirMultirateStateSize32f(int32_t tapsLen, int32_t upFactor, int32_t downFactor,
                                      int32_t* pSize)
{
    return DSP_ENTRY1(14, DspFirMultirateStateSize32f)(tapsLen, upFactor, downFactor, pSize);
}

DspStatus DspFirFilter32f(const float* src, float* dst, int32_t len, DspFirState32f* state)
{
    return DSP_ENTRY1(15, DspFirFilter32f)(src, dst, len, state);
}

DspStatus DspFirOneSample32f(float src, float* pDst, const float* taps, int32_t tapsLen,
                             float* dlyLine, int32_t* pDlyIndex)
{
    return DSP_ENTRY1(16, DspFirOneSample32f)(src, pDst, taps, tapsLen, dlyLine, pDlyIndex);
}

DspStatus DspIirFilterInPlace32f(float* srcDst, int32_t len, DspIirState32f* state)
{
    return DSP_ENTRY1(17, DspIirFilterInPlace32f)(srcDst, len, state);
}

DspStatus DspIirStateSize32f(int32_t order, int32_t* pSize)
{
    return DSP_ENTRY1(18, DspIirStateSize32f)(order, pSize);
}

DspStatus DspIirInit32f(DspIirState32f** ppState, const float* taps, int32_t order,
                        const float* dlyLine, uint8_t* buffer)
{
    return DSP_ENTRY1(19, DspIirInit32f)(ppState, taps, order, dlyLine, buffer);
}

DspStatus DspConvert32sTo32f(const int32_t* src, float* dst, int32_t len)
{
    return DSP_ENTRY1(20, DspConvert32sTo32f)(src, dst, len);
}

DspStatus DspAddConstInPlace32f(float value, float* srcDst, int32_t len)
{
    return DSP_ENTRY1(21, DspAddConstInPlace32f)(value, srcDst, len);
}

DspStatus DspInterleave32f(const float* const* srcChannels, int32_t channelCount, int32_t len,
                           float* dst)
{
    return DSP_ENTRY1(22, DspInterleave32f)(srcChannels, channelCount, len, dst);
}

DspStatus DspDeinterleave32f(const float* src, int32_t channelCount, int32_t len,
                             float* const* dstChannels)
{
    return DSP_ENTRY1(23, DspDeinterleave32f)(src, channelCount, len, dstChannels);
}

DspStatus DspPow32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return DSP_ENTRY1(24, DspPow32f)(src1, src2, dst, len);
}

// ---- DspDispatchTable2
DspStatus DspCopy32f(const float* src, float* dst, int32_t len)
{
    return DSP_ENTRY2(0, DspCopy32f)(src, dst, len);
}

DspStatus DspSet32f(float value, float* dst, int32_t len)
{
    return DSP_ENTRY2(1, DspSet32f)(value, dst, len);
}

DspStatus DspMulConst32f(const float* src, float value, float* dst, int32_t len)
{
    return DSP_ENTRY2(2, DspMulConst32f)(src, value, dst, len);
}

DspStatus DspSqrtInPlace32f(float* srcDst, int32_t len)
{
    return DSP_ENTRY2(3, DspSqrtInPlace32f)(srcDst, len);
}

DspStatus DspAbsInPlace32f(float* srcDst, int32_t len)
{
    return DSP_ENTRY2(4, DspAbsInPlace32f)(srcDst, len);
}

DspStatus DspMax32f(const float* src, int32_t len, float* pMax)
{
    return DSP_ENTRY2(5, DspMax32f)(src, len, pMax);
}

DspStatus DspMin32f(const float* src, int32_t len, float* pMin)
{
    return DSP_ENTRY2(6, DspMin32f)(src, len, pMin);
}

DspStatus DspFftSpecCreateC32f(DspFftSpecC32f** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return DSP_ENTRY2(7, DspFftSpecCreateC32f)(ppSpec, order, flag, hint);
}

DspStatus DspFftSpecFreeC32f(DspFftSpecC32f* spec)
{
    return DSP_ENTRY2(8, DspFftSpecFreeC32f)(spec);
}

DspStatus DspFftFwdC32f(const float* src, float* dst, const DspFftSpecC32f* spec,
                        uint8_t* workBuffer)
{
    return DSP_ENTRY2(9, DspFftFwdC32f)(src, dst, spec, workBuffer);
}

float* DspMalloc32f(int32_t len)
{
    return DSP_ENTRY2(10, DspMalloc32f)(len);
}

void DspFree(void* block)
{
    DSP_ENTRY2(11, DspFree)(block);
}

DspStatus DspMulInPlace32f(const float* src, float* srcDst, int32_t len)
{
    return DSP_ENTRY2(12, DspMulInPlace32f)(src, srcDst, len);
}

DspStatus DspAdd32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return DSP_ENTRY2(13, DspAdd32f)(src1, src2, dst, len);
}

DspStatus DspSub32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return DSP_ENTRY2(14, DspSub32f)(src1, src2, dst, len);
}

DspStatus DspMul32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return DSP_ENTRY2(15, DspMul32f)(src1, src2, dst, len);
}

DspStatus DspAddProduct32f(const float* src1, const float* src2, float* srcDst, int32_t len)
{
    return DSP_ENTRY2(16, DspAddProduct32f)(src1, src2, srcDst, len);
}

DspStatus DspSqr32f(const float* src, float* dst, int32_t len)
{
    return DSP_ENTRY2(17, DspSqr32f)(src, dst, len);
}

DspStatus DspDiv32f(const float* src1, const float* src2, float* dst, int32_t len)
{
    return DSP_ENTRY2(18, DspDiv32f)(src1, src2, dst, len);
}

DspStatus DspExpInPlace32f(float* srcDst, int32_t len)
{
    return DSP_ENTRY2(19, DspExpInPlace32f)(srcDst, len);
}

DspStatus DspLnInPlace32f(float* srcDst, int32_t len)
{
    return DSP_ENTRY2(20, DspLnInPlace32f)(srcDst, len);
}

DspStatus DspSum32f(const float* src, int32_t len, float* pSum, int32_t hint)
{
    return DSP_ENTRY2(21, DspSum32f)(src, len, pSum, hint);
}

DspStatus DspMean32f(const float* src, int32_t len, float* pMean, int32_t hint)
{
    return DSP_ENTRY2(22, DspMean32f)(src, len, pMean, hint);
}

DspStatus DspMinEvery32f(const float* src, float* srcDst, int32_t len)
{
    return DSP_ENTRY2(23, DspMinEvery32f)(src, srcDst, len);
}

DspStatus DspMaxEvery32f(const float* src, float* srcDst, int32_t len)
{
    return DSP_ENTRY2(24, DspMaxEvery32f)(src, srcDst, len);
}

DspStatus DspDotProd32f(const float* src1, const float* src2, int32_t len, float* pDot)
{
    return DSP_ENTRY2(25, DspDotProd32f)(src1, src2, len, pDot);
}

DspStatus DspFftSpecCreateR32f(DspFftSpecR32f** ppSpec, int32_t order, int32_t flag, int32_t hint)
{
    return DSP_ENTRY2(26, DspFftSpecCreateR32f)(ppSpec, order, flag, hint);
}

DspStatus DspFftSpecFreeR32f(DspFftSpecR32f* spec)
{
    return DSP_ENTRY2(27, DspFftSpecFreeR32f)(spec);
}

DspStatus DspFftFwdRInPlace32f(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer)
{
    return DSP_ENTRY2(28, DspFftFwdRInPlace32f)(srcDst, spec, workBuffer);
}

DspStatus DspFftInvRInPlace32f(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer)
{
    return DSP_ENTRY2(29, DspFftInvRInPlace32f)(srcDst, spec, workBuffer);
}
