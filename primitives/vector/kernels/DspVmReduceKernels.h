// Processor-level kernels and routine entries of the square-root, sum, mean,
// element minimum and maximum and dot-product rows of the second table. Each
// level's members are built in that level's own translation unit with its own
// instruction set. The kernels assume valid pointers and a length of at least
// 1; the entries check both before they touch an element.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

#define DSP_VM_REDUCE_LEVEL(sfx)                                                                   \
    /* nonzero when an element was negative */                                                     \
    int32_t DspSqrtKernel32f_##sfx(const float* src, float* dst, int32_t len);                     \
    int32_t DspSqrtKernel64f_##sfx(const double* src, double* dst, int32_t len);                   \
    void DspDotProdKernel32f_##sfx(const float* src1, const float* src2, int32_t len, float* out); \
    /* the sum rounded to float; hint 1 asks for the fast sum */                                   \
    double DspSumHint32f_##sfx(const float* src, int32_t len, int32_t hint);                       \
    float DspMeanKernel32f_##sfx(const float* src, int32_t len, int32_t hint);                     \
    void DspSumFast32f_##sfx(const float* src, int32_t len, double* out);                          \
    void DspSumAccurate32f_##sfx(const float* src, int32_t len, double* out);                      \
    void DspMinEveryKernel32f_##sfx(const float* src, float* srcDst, uint32_t len);                \
    void DspMaxEveryKernel32f_##sfx(const float* src, float* srcDst, uint32_t len);                \
    /* scaled integer roots, rounded to nearest (16u: halves to even) and */                       \
    /* saturated; the 64s kernel returns 1 when an element was negative */                         \
    void DspSqrtKernel16uScaled_##sfx(const uint16_t* src, uint16_t* dst, int32_t len,             \
                                      int32_t scaleFactor);                                        \
    int32_t DspSqrtKernel64sScaled_##sfx(const int64_t* src, int64_t* dst, int32_t len,            \
                                         int32_t scaleFactor);                                     \
    void DspTableLookup8u_##sfx(const uint8_t* src, uint8_t* dst, int32_t len,                     \
                                const uint8_t* table);                                             \
    /* signed integer roots to 16-bit results, rounded to nearest (halves to */                    \
    /* even when scaling down) and saturated; nonzero when an element was */                       \
    /* negative */                                                                                 \
    int32_t DspSqrtKernel16sScaled_##sfx(const int16_t* src, int16_t* dst, int32_t len,            \
                                         int32_t scaleFactor);                                     \
    int32_t DspSqrtKernel32sTo16sScaled_##sfx(const int32_t* src, int16_t* dst, int32_t len,       \
                                              int32_t scaleFactor);                                \
    int32_t DspSqrtKernel64sTo16sScaled_##sfx(const int64_t* src, int16_t* dst, int32_t len,       \
                                              int32_t scaleFactor);                                \
    /* principal roots of complex vectors; a complex 16-bit element is one */                      \
    /* 32-bit word, the real part in its low half */                                               \
    void DspSqrtKernel16sc_##sfx(const int32_t* src, int32_t* dst, int32_t len);                   \
    void DspSqrtKernel16scScaledDirect_##sfx(const int32_t* src, int32_t* dst, int32_t len,        \
                                             int32_t scaleFactor);                                 \
    void DspSqrtKernel16scScaledStable_##sfx(const int32_t* src, int32_t* dst, int32_t len,        \
                                             int32_t scaleFactor);                                 \
    void DspSqrtKernel32fc_##sfx(const float* src, float* dst, int32_t len);                       \
    void DspSqrtKernel64fc_##sfx(const double* src, double* dst, int32_t len);                     \
    /* sums of further element types; the 16-bit sums are exact */                                 \
    void DspSumFast32fc_##sfx(const float* src, int32_t len, double* out);                         \
    void DspSumAccurate32fc_##sfx(const float* src, int32_t len, double* out);                     \
    void DspSumKernel64f_##sfx(const double* src, int32_t len, double* out);                       \
    void DspSumKernel64fc_##sfx(const double* src, int32_t len, double* out);                      \
    void DspSumKernel16sTo64f_##sfx(const int16_t* src, double* out, int32_t len);                 \
    void DspSumKernel16scTo64fc_##sfx(const int16_t* src, double* out, int32_t len);               \
    /* x 2^-scaleFactor to int32: NaN and values below the range give */                           \
    /* INT32_MIN, values above it INT32_MAX, the rest the caller's rounding */                     \
    int32_t DspScaleRound64fTo32s_##sfx(const double* x, int32_t scaleFactor);                     \
    void DspScaleRound64fTo32sPair_##sfx(const double* x, int32_t* out, int32_t scaleFactor);      \
    DspStatus DspSqrtInPlace32f_##sfx(float* srcDst, int32_t len);                                 \
    DspStatus DspSum32f_##sfx(const float* src, int32_t len, float* pSum, int32_t hint);           \
    DspStatus DspMean32f_##sfx(const float* src, int32_t len, float* pMean, int32_t hint);         \
    DspStatus DspMinEvery32f_##sfx(const float* src, float* srcDst, int32_t len);                  \
    DspStatus DspMaxEvery32f_##sfx(const float* src, float* srcDst, int32_t len);                  \
    DspStatus DspDotProd32f_##sfx(const float* src1, const float* src2, int32_t len, float* pDot)
DSP_VM_REDUCE_LEVEL(Sse3);
DSP_VM_REDUCE_LEVEL(Ssse3);
DSP_VM_REDUCE_LEVEL(Sse4);
#undef DSP_VM_REDUCE_LEVEL

// Dot products of further element types, at the SSE3 level only. Complex
// vectors are (re, im) pairs of their element type; `scale` multiplies the
// double sum of the scaled kernels before it is rounded to nearest and
// saturated to int32; the 16-bit kernels' 64-bit results are exact.
void DspDotProdKernel32fTo64f_Sse3(const float* src1, const float* src2, int32_t len, double* out);
void DspDotProdKernel32f32fcTo64fc_Sse3(const float* src1, const float* src2, int32_t len,
                                        double* out);
void DspDotProdKernel32fcTo64fc_Sse3(const float* src1, const float* src2, int32_t len,
                                     double* out);
void DspDotProdKernel32f32fc_Sse3(const float* src1, const float* src2, int32_t len, float* out);
void DspDotProdKernel32fc_Sse3(const float* src1, const float* src2, int32_t len, float* out);
void DspDotProdKernel64f_Sse3(const double* src1, const double* src2, int32_t len, double* out);
void DspDotProdKernel64f64fc_Sse3(const double* src1, const double* src2, int32_t len, double* out);
void DspDotProdKernel64fc_Sse3(const double* src1, const double* src2, int32_t len, double* out);
void DspDotProdKernel32sScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                    int32_t* out, const double* scale);
void DspDotProdKernel32s32scScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                        int32_t* out, const double* scale);
void DspDotProdKernel32scScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                     int32_t* out, const double* scale);
void DspDotProdKernel16s32sScaled_Sse3(const int16_t* src1, const int32_t* src2, int32_t len,
                                       int32_t* out, const double* scale);
void DspDotProdKernel16sTo64s_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                   int64_t* out);
void DspDotProdKernel16sTo64sDirect_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                         int64_t* out);
void DspDotProdKernel16s16scTo64sc_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                        int64_t* out);
void DspDotProdKernel16scTo64sc_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                     int64_t* out);
