// The dispatch tables, one line per row: the implementations of levels 0
// (generic), 1 (SSE3), 2 (SSSE3) and 3 (SSE4.x). Where levels share one
// implementation the same routine stands in several slots. Rows whose routines
// are not built yet hold DSP_NOT_BUILT(entry).
#include "primitives/core/DspDispatch.h"

#include "primitives/convert/DspConvert.h"
#include "primitives/core/DspAlloc.h"
#include "primitives/fft/DspFftReal.h"

#define NB(entry) DSP_NOT_BUILT(entry)

// clang-format off
const DspCodePtr DspDispatchTable[DspDispatchRows * 4] = {
    /*  0 */ DSP_ROW(DspZero32f, NB(DspZero32f), NB(DspZero32f), NB(DspZero32f), NB(DspZero32f)),
    /*  1 */ DSP_ROW(DspConvert32fTo16sScaled, DspConvert32fTo16sScaled_Gen, DspConvert32fTo16sScaled_Sse3, DspConvert32fTo16sScaled_Ssse3, DspConvert32fTo16sScaled_Sse4),
    /*  2 */ DSP_ROW(DspConvert32fTo32sScaled, DspConvert32fTo32sScaled_Gen, DspConvert32fTo32sScaled_Sse3, DspConvert32fTo32sScaled_Ssse3, DspConvert32fTo32sScaled_Sse4),
    /*  3 */ DSP_ROW(DspConvert16sTo32fScaled, DspConvert16sTo32fScaled_Gen, DspConvert16sTo32fScaled_Sse3, DspConvert16sTo32fScaled_Ssse3, DspConvert16sTo32fScaled_Sse4),
    /*  4 */ DSP_ROW(DspConvert32sTo32fScaled, DspConvert32sTo32fScaled_Gen, DspConvert32sTo32fScaled_Gen, DspConvert32sTo32fScaled_Ssse3, DspConvert32sTo32fScaled_Ssse3),
    /*  5 */ DSP_ROW(DspConvert24sTo32f, DspConvert24sTo32f_Gen, DspConvert24sTo32f_Sse3, DspConvert24sTo32f_Ssse3, DspConvert24sTo32f_Sse4),
    /*  6 */ DSP_ROW(DspConvert32fTo24sScaled, DspConvert32fTo24sScaled_Gen, DspConvert32fTo24sScaled_Sse3, DspConvert32fTo24sScaled_Ssse3, DspConvert32fTo24sScaled_Sse4),
    /*  7 */ DSP_ROW(DspAddInPlace32f, NB(DspAddInPlace32f), NB(DspAddInPlace32f), NB(DspAddInPlace32f), NB(DspAddInPlace32f)),
    /*  8 */ DSP_ROW(DspDivConstInPlace32f, NB(DspDivConstInPlace32f), NB(DspDivConstInPlace32f), NB(DspDivConstInPlace32f), NB(DspDivConstInPlace32f)),
    /*  9 */ DSP_ROW(DspMove32f, NB(DspMove32f), NB(DspMove32f), NB(DspMove32f), NB(DspMove32f)),
    /* 10 */ DSP_ROW(DspMulConstInPlace32f, NB(DspMulConstInPlace32f), NB(DspMulConstInPlace32f), NB(DspMulConstInPlace32f), NB(DspMulConstInPlace32f)),
    /* 11 */ DSP_ROW(DspFirInit32f, NB(DspFirInit32f), NB(DspFirInit32f), NB(DspFirInit32f), NB(DspFirInit32f)),
    /* 12 */ DSP_ROW(DspFirStateSize32f, NB(DspFirStateSize32f), NB(DspFirStateSize32f), NB(DspFirStateSize32f), NB(DspFirStateSize32f)),
    /* 13 */ DSP_ROW(DspFirMultirateInit32f, NB(DspFirMultirateInit32f), NB(DspFirMultirateInit32f), NB(DspFirMultirateInit32f), NB(DspFirMultirateInit32f)),
    /* 14 */ DSP_ROW(DspFirMultirateStateSize32f, NB(DspFirMultirateStateSize32f), NB(DspFirMultirateStateSize32f), NB(DspFirMultirateStateSize32f), NB(DspFirMultirateStateSize32f)),
    /* 15 */ DSP_ROW(DspFirFilter32f, NB(DspFirFilter32f), NB(DspFirFilter32f), NB(DspFirFilter32f), NB(DspFirFilter32f)),
    /* 16 */ DSP_ROW(DspFirOneSample32f, NB(DspFirOneSample32f), NB(DspFirOneSample32f), NB(DspFirOneSample32f), NB(DspFirOneSample32f)),
    /* 17 */ DSP_ROW(DspIirFilterInPlace32f, NB(DspIirFilterInPlace32f), NB(DspIirFilterInPlace32f), NB(DspIirFilterInPlace32f), NB(DspIirFilterInPlace32f)),
    /* 18 */ DSP_ROW(DspIirStateSize32f, NB(DspIirStateSize32f), NB(DspIirStateSize32f), NB(DspIirStateSize32f), NB(DspIirStateSize32f)),
    /* 19 */ DSP_ROW(DspIirInit32f, NB(DspIirInit32f), NB(DspIirInit32f), NB(DspIirInit32f), NB(DspIirInit32f)),
    /* 20 */ DSP_ROW(DspConvert32sTo32f, DspConvert32sTo32f_Gen, DspConvert32sTo32f_Sse3, DspConvert32sTo32f_Ssse3, DspConvert32sTo32f_Sse4),
    /* 21 */ DSP_ROW(DspAddConstInPlace32f, NB(DspAddConstInPlace32f), NB(DspAddConstInPlace32f), NB(DspAddConstInPlace32f), NB(DspAddConstInPlace32f)),
    /* 22 */ DSP_ROW(DspInterleave32f, NB(DspInterleave32f), NB(DspInterleave32f), NB(DspInterleave32f), NB(DspInterleave32f)),
    /* 23 */ DSP_ROW(DspDeinterleave32f, NB(DspDeinterleave32f), NB(DspDeinterleave32f), NB(DspDeinterleave32f), NB(DspDeinterleave32f)),
    /* 24 */ DSP_ROW(DspPow32f, NB(DspPow32f), NB(DspPow32f), NB(DspPow32f), NB(DspPow32f)),
};

const DspCodePtr DspDispatchTable2[DspDispatch2Rows * 4] = {
    /*  0 */ DSP_ROW(DspCopy32f, NB(DspCopy32f), NB(DspCopy32f), NB(DspCopy32f), NB(DspCopy32f)),
    /*  1 */ DSP_ROW(DspSet32f, NB(DspSet32f), NB(DspSet32f), NB(DspSet32f), NB(DspSet32f)),
    /*  2 */ DSP_ROW(DspMulConst32f, NB(DspMulConst32f), NB(DspMulConst32f), NB(DspMulConst32f), NB(DspMulConst32f)),
    /*  3 */ DSP_ROW(DspSqrtInPlace32f, NB(DspSqrtInPlace32f), NB(DspSqrtInPlace32f), NB(DspSqrtInPlace32f), NB(DspSqrtInPlace32f)),
    /*  4 */ DSP_ROW(DspAbsInPlace32f, NB(DspAbsInPlace32f), NB(DspAbsInPlace32f), NB(DspAbsInPlace32f), NB(DspAbsInPlace32f)),
    /*  5 */ DSP_ROW(DspMax32f, NB(DspMax32f), NB(DspMax32f), NB(DspMax32f), NB(DspMax32f)),
    /*  6 */ DSP_ROW(DspMin32f, NB(DspMin32f), NB(DspMin32f), NB(DspMin32f), NB(DspMin32f)),
    /*  7 */ DSP_ROW(DspFftSpecCreateC32f, NB(DspFftSpecCreateC32f), NB(DspFftSpecCreateC32f), NB(DspFftSpecCreateC32f), NB(DspFftSpecCreateC32f)),
    /*  8 */ DSP_ROW(DspFftSpecFreeC32f, NB(DspFftSpecFreeC32f), NB(DspFftSpecFreeC32f), NB(DspFftSpecFreeC32f), NB(DspFftSpecFreeC32f)),
    /*  9 */ DSP_ROW(DspFftFwdC32f, NB(DspFftFwdC32f), NB(DspFftFwdC32f), NB(DspFftFwdC32f), NB(DspFftFwdC32f)),
    /* 10 */ DSP_ROW(DspMalloc32f, DspMalloc32f_Gen, DspMalloc32f_Gen, DspMalloc32f_Gen, DspMalloc32f_Gen),
    /* 11 */ DSP_ROW(DspFree, DspFree_Gen, DspFree_Gen, DspFree_Gen, DspFree_Gen),
    /* 12 */ DSP_ROW(DspMulInPlace32f, NB(DspMulInPlace32f), NB(DspMulInPlace32f), NB(DspMulInPlace32f), NB(DspMulInPlace32f)),
    /* 13 */ DSP_ROW(DspAdd32f, NB(DspAdd32f), NB(DspAdd32f), NB(DspAdd32f), NB(DspAdd32f)),
    /* 14 */ DSP_ROW(DspSub32f, NB(DspSub32f), NB(DspSub32f), NB(DspSub32f), NB(DspSub32f)),
    /* 15 */ DSP_ROW(DspMul32f, NB(DspMul32f), NB(DspMul32f), NB(DspMul32f), NB(DspMul32f)),
    /* 16 */ DSP_ROW(DspAddProduct32f, NB(DspAddProduct32f), NB(DspAddProduct32f), NB(DspAddProduct32f), NB(DspAddProduct32f)),
    /* 17 */ DSP_ROW(DspSqr32f, NB(DspSqr32f), NB(DspSqr32f), NB(DspSqr32f), NB(DspSqr32f)),
    /* 18 */ DSP_ROW(DspDiv32f, NB(DspDiv32f), NB(DspDiv32f), NB(DspDiv32f), NB(DspDiv32f)),
    /* 19 */ DSP_ROW(DspExpInPlace32f, NB(DspExpInPlace32f), NB(DspExpInPlace32f), NB(DspExpInPlace32f), NB(DspExpInPlace32f)),
    /* 20 */ DSP_ROW(DspLnInPlace32f, NB(DspLnInPlace32f), NB(DspLnInPlace32f), NB(DspLnInPlace32f), NB(DspLnInPlace32f)),
    /* 21 */ DSP_ROW(DspSum32f, NB(DspSum32f), NB(DspSum32f), NB(DspSum32f), NB(DspSum32f)),
    /* 22 */ DSP_ROW(DspMean32f, NB(DspMean32f), NB(DspMean32f), NB(DspMean32f), NB(DspMean32f)),
    /* 23 */ DSP_ROW(DspMinEvery32f, NB(DspMinEvery32f), NB(DspMinEvery32f), NB(DspMinEvery32f), NB(DspMinEvery32f)),
    /* 24 */ DSP_ROW(DspMaxEvery32f, NB(DspMaxEvery32f), NB(DspMaxEvery32f), NB(DspMaxEvery32f), NB(DspMaxEvery32f)),
    /* 25 */ DSP_ROW(DspDotProd32f, NB(DspDotProd32f), NB(DspDotProd32f), NB(DspDotProd32f), NB(DspDotProd32f)),
    /* 26 */ DSP_ROW(DspFftSpecCreateR32f, DspFftSpecCreateR32f_Gen, DspFftSpecCreateR32f_Gen, DspFftSpecCreateR32f_Gen, DspFftSpecCreateR32f_Gen),
    /* 27 */ DSP_ROW(DspFftSpecFreeR32f, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen, DspFftSpecFreeR32f_Gen),
    /* 28 */ DSP_ROW(DspFftFwdRInPlace32f, DspFftFwdRInPlace32f_Gen, DspFftFwdRInPlace32f_Gen, DspFftFwdRInPlace32f_Gen, DspFftFwdRInPlace32f_Gen),
    /* 29 */ DSP_ROW(DspFftInvRInPlace32f, DspFftInvRInPlace32f_Gen, DspFftInvRInPlace32f_Gen, DspFftInvRInPlace32f_Gen, DspFftInvRInPlace32f_Gen),
};
// clang-format on
