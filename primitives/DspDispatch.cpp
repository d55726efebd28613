// The dispatch tables, one line per row: the implementations of levels 0
// (generic), 1 (SSE3), 2 (SSSE3) and 3 (SSE4.x). Where levels share one
// implementation the same routine stands in several slots.
#include "primitives/core/DspDispatch.h"

#include "primitives/convert/DspConvert.h"
#include "primitives/core/DspAlloc.h"
#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/levels/DspFftLevels.h"
#include "primitives/filters/DspFirState.h"
#include "primitives/filters/DspIirState.h"
#include "primitives/vector/DspVector.h"
#include "primitives/vector/kernels/DspVmKernels.h"
#include "primitives/vector/kernels/DspVmReduceKernels.h"

// clang-format off
const DspCodePtr DspDispatchTable[DspDispatchRows * 4] = {
    /*  0 */ DSP_ROW(DspZero32f, DspZero32f_Gen, DspZero32f_Sse3, DspZero32f_Ssse3, DspZero32f_Sse4),
    /*  1 */ DSP_ROW(DspConvert32fTo16sScaled, DspConvert32fTo16sScaled_Gen, DspConvert32fTo16sScaled_Sse3, DspConvert32fTo16sScaled_Ssse3, DspConvert32fTo16sScaled_Sse4),
    /*  2 */ DSP_ROW(DspConvert32fTo32sScaled, DspConvert32fTo32sScaled_Gen, DspConvert32fTo32sScaled_Sse3, DspConvert32fTo32sScaled_Ssse3, DspConvert32fTo32sScaled_Sse4),
    /*  3 */ DSP_ROW(DspConvert16sTo32fScaled, DspConvert16sTo32fScaled_Gen, DspConvert16sTo32fScaled_Sse3, DspConvert16sTo32fScaled_Ssse3, DspConvert16sTo32fScaled_Sse4),
    /*  4 */ DSP_ROW(DspConvert32sTo32fScaled, DspConvert32sTo32fScaled_Gen, DspConvert32sTo32fScaled_Gen, DspConvert32sTo32fScaled_Ssse3, DspConvert32sTo32fScaled_Ssse3),
    /*  5 */ DSP_ROW(DspConvert24sTo32f, DspConvert24sTo32f_Gen, DspConvert24sTo32f_Sse3, DspConvert24sTo32f_Ssse3, DspConvert24sTo32f_Sse4),
    /*  6 */ DSP_ROW(DspConvert32fTo24sScaled, DspConvert32fTo24sScaled_Gen, DspConvert32fTo24sScaled_Sse3, DspConvert32fTo24sScaled_Ssse3, DspConvert32fTo24sScaled_Sse4),
    /*  7 */ DSP_ROW(DspAddInPlace32f, DspAddInPlace32f_Gen, DspAddInPlace32f_Sse3, DspAddInPlace32f_Ssse3, DspAddInPlace32f_Ssse3),
    /*  8 */ DSP_ROW(DspDivConstInPlace32f, DspDivConstInPlace32f_Gen, DspDivConstInPlace32f_Sse3, DspDivConstInPlace32f_Ssse3, DspDivConstInPlace32f_Sse4),
    /*  9 */ DSP_ROW(DspMove32f, DspMove32f_Gen, DspMove32f_Sse3, DspMove32f_Ssse3, DspMove32f_Sse4),
    /* 10 */ DSP_ROW(DspMulConstInPlace32f, DspMulConstInPlace32f_Gen, DspMulConstInPlace32f_Sse3, DspMulConstInPlace32f_Ssse3, DspMulConstInPlace32f_Sse4),
    /* 11 */ DSP_ROW(DspFirInit32f, DspFirInit32f_Gen, DspFirInit32f_Sse3, DspFirInit32f_Ssse3, DspFirInit32f_Sse4),
    /* 12 */ DSP_ROW(DspFirStateSize32f, DspFirStateSize32f_Gen, DspFirStateSize32f_Sse3, DspFirStateSize32f_Ssse3, DspFirStateSize32f_Sse4),
    /* 13 */ DSP_ROW(DspFirMultirateInit32f, DspFirMultirateInit32f_Gen, DspFirMultirateInit32f_Sse3, DspFirMultirateInit32f_Ssse3, DspFirMultirateInit32f_Sse4),
    /* 14 */ DSP_ROW(DspFirMultirateStateSize32f, DspFirMultirateStateSize32f_Gen, DspFirMultirateStateSize32f_Sse3, DspFirMultirateStateSize32f_Ssse3, DspFirMultirateStateSize32f_Sse4),
    /* 15 */ DSP_ROW(DspFirFilter32f, DspFirFilter32f_Gen, DspFirFilter32f_Sse3, DspFirFilter32f_Ssse3, DspFirFilter32f_Sse4),
    /* 16 */ DSP_ROW(DspFirOneSample32f, DspFirOneSample32f_Gen, DspFirOneSample32f_Sse3, DspFirOneSample32f_Ssse3, DspFirOneSample32f_Sse4),
    /* 17 */ DSP_ROW(DspIirFilterInPlace32f, DspIirFilterInPlace32f_Gen, DspIirFilterInPlace32f_Sse3, DspIirFilterInPlace32f_Ssse3, DspIirFilterInPlace32f_Sse4),
    /* 18 */ DSP_ROW(DspIirStateSize32f, DspIirStateSize32f_Gen, DspIirStateSize32f_Sse3, DspIirStateSize32f_Ssse3, DspIirStateSize32f_Ssse3),
    /* 19 */ DSP_ROW(DspIirInit32f, DspIirInit32f_Gen, DspIirInit32f_Sse3, DspIirInit32f_Ssse3, DspIirInit32f_Sse4),
    /* 20 */ DSP_ROW(DspConvert32sTo32f, DspConvert32sTo32f_Gen, DspConvert32sTo32f_Sse3, DspConvert32sTo32f_Ssse3, DspConvert32sTo32f_Sse4),
    /* 21 */ DSP_ROW(DspAddConstInPlace32f, DspAddConstInPlace32f_Gen, DspAddConstInPlace32f_Sse3, DspAddConstInPlace32f_Ssse3, DspAddConstInPlace32f_Ssse3),
    /* 22 */ DSP_ROW(DspInterleave32f, DspInterleave32f_Gen, DspInterleave32f_Sse3, DspInterleave32f_Ssse3, DspInterleave32f_Sse4),
    /* 23 */ DSP_ROW(DspDeinterleave32f, DspDeinterleave32f_Gen, DspDeinterleave32f_Sse3, DspDeinterleave32f_Ssse3, DspDeinterleave32f_Sse4),
    /* 24 */ DSP_ROW(DspPow32f, DspPow32f_Gen, DspPow32f_Sse3, DspPow32f_Ssse3, DspPow32f_Sse4),
};

const DspCodePtr DspDispatchTable2[DspDispatch2Rows * 4] = {
    /*  0 */ DSP_ROW(DspCopy32f, DspCopy32f_Gen, DspCopy32f_Sse3, DspCopy32f_Ssse3, DspCopy32f_Sse4),
    /*  1 */ DSP_ROW(DspSet32f, DspSet32f_Gen, DspSet32f_Sse3, DspSet32f_Ssse3, DspSet32f_Sse4),
    /*  2 */ DSP_ROW(DspMulConst32f, DspMulConst32f_Gen, DspMulConst32f_Sse3, DspMulConst32f_Ssse3, DspMulConst32f_Sse4),
    /*  3 */ DSP_ROW(DspSqrtInPlace32f, DspSqrtInPlace32f_Gen, DspSqrtInPlace32f_Sse3, DspSqrtInPlace32f_Ssse3, DspSqrtInPlace32f_Sse4),
    /*  4 */ DSP_ROW(DspAbsInPlace32f, DspAbsInPlace32f_Gen, DspAbsInPlace32f_Sse3, DspAbsInPlace32f_Ssse3, DspAbsInPlace32f_Sse4),
    /*  5 */ DSP_ROW(DspMax32f, DspMax32f_Gen, DspMax32f_Sse3, DspMax32f_Ssse3, DspMax32f_Sse4),
    /*  6 */ DSP_ROW(DspMin32f, DspMin32f_Gen, DspMin32f_Sse3, DspMin32f_Ssse3, DspMin32f_Sse4),
    /*  7 */ DSP_ROW(DspFftSpecCreateC32f, DspFftSpecCreateC32f_Gen, DspFftSpecCreateC32f_Sse3, DspFftSpecCreateC32f_Ssse3, DspFftSpecCreateC32f_Sse4),
    /*  8 */ DSP_ROW(DspFftSpecFreeC32f, DspFftSpecFreeC32f_Gen, DspFftSpecFreeC32f_Gen, DspFftSpecFreeC32f_Gen, DspFftSpecFreeC32f_Gen),
    /*  9 */ DSP_ROW(DspFftFwdC32f, DspFftFwdC32f_Gen, DspFftFwdC32f_Sse3, DspFftFwdC32f_Ssse3, DspFftFwdC32f_Sse4),
    /* 10 */ DSP_ROW(DspMalloc32f, DspMalloc32f_Gen, DspMalloc32f_Gen, DspMalloc32f_Gen, DspMalloc32f_Gen),
    /* 11 */ DSP_ROW(DspFree, DspFree_Gen, DspFree_Gen, DspFree_Gen, DspFree_Gen),
    /* 12 */ DSP_ROW(DspMulInPlace32f, DspMulInPlace32f_Gen, DspMulInPlace32f_Sse3, DspMulInPlace32f_Ssse3, DspMulInPlace32f_Ssse3),
    /* 13 */ DSP_ROW(DspAdd32f, DspAdd32f_Gen, DspAdd32f_Sse3, DspAdd32f_Ssse3, DspAdd32f_Ssse3),
    /* 14 */ DSP_ROW(DspSub32f, DspSub32f_Gen, DspSub32f_Sse3, DspSub32f_Ssse3, DspSub32f_Ssse3),
    /* 15 */ DSP_ROW(DspMul32f, DspMul32f_Gen, DspMul32f_Sse3, DspMul32f_Ssse3, DspMul32f_Ssse3),
    /* 16 */ DSP_ROW(DspAddProduct32f, DspAddProduct32f_Gen, DspAddProduct32f_Gen, DspAddProduct32f_Gen, DspAddProduct32f_Gen),
    /* 17 */ DSP_ROW(DspSqr32f, DspSqr32f_Gen, DspSqr32f_Sse3, DspSqr32f_Ssse3, DspSqr32f_Sse4),
    /* 18 */ DSP_ROW(DspDiv32f, DspDiv32f_Gen, DspDiv32f_Sse3, DspDiv32f_Ssse3, DspDiv32f_Sse4),
    /* 19 */ DSP_ROW(DspExpInPlace32f, DspExpInPlace32f_Gen, DspExpInPlace32f_Sse3, DspExpInPlace32f_Ssse3, DspExpInPlace32f_Sse4),
    /* 20 */ DSP_ROW(DspLnInPlace32f, DspLnInPlace32f_Gen, DspLnInPlace32f_Sse3, DspLnInPlace32f_Ssse3, DspLnInPlace32f_Sse4),
    /* 21 */ DSP_ROW(DspSum32f, DspSum32f_Gen, DspSum32f_Sse3, DspSum32f_Ssse3, DspSum32f_Sse4),
    /* 22 */ DSP_ROW(DspMean32f, DspMean32f_Gen, DspMean32f_Sse3, DspMean32f_Ssse3, DspMean32f_Sse4),
    /* 23 */ DSP_ROW(DspMinEvery32f, DspMinEvery32f_Gen, DspMinEvery32f_Sse3, DspMinEvery32f_Ssse3, DspMinEvery32f_Sse4),
    /* 24 */ DSP_ROW(DspMaxEvery32f, DspMaxEvery32f_Gen, DspMaxEvery32f_Sse3, DspMaxEvery32f_Ssse3, DspMaxEvery32f_Sse4),
    /* 25 */ DSP_ROW(DspDotProd32f, DspDotProd32f_Gen, DspDotProd32f_Sse3, DspDotProd32f_Ssse3, DspDotProd32f_Sse4),
    /* 26 */ DSP_ROW(DspFftSpecCreateR32f, DspFftSpecCreateR32f_Gen, DspFftSpecCreateR32f_Sse3, DspFftSpecCreateR32f_Ssse3, DspFftSpecCreateR32f_Sse4),
    /* 27 */ DSP_ROW(DspFftSpecFreeR32f, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen),
    /* 28 */ DSP_ROW(DspFftFwdRInPlace32f, DspFftFwdRInPlace32f_Gen, DspFftFwdRInPlace32f_Sse3, DspFftFwdRInPlace32f_Ssse3, DspFftFwdRInPlace32f_Sse4),
    /* 29 */ DSP_ROW(DspFftInvRInPlace32f, DspFftInvRInPlace32f_Gen, DspFftInvRInPlace32f_Sse3, DspFftInvRInPlace32f_Ssse3, DspFftInvRInPlace32f_Sse4),
};
// clang-format on
