// Processor-level kernels of the vector math rows: element multiply and
// square, exponential, element divide and natural logarithm. Each level's
// members are built in that level's own translation unit with its own
// instruction set; the routine entries of levels 1 to 3 call them after
// checking their arguments, so a kernel assumes valid pointers and a length
// of at least 1. None of them runs while the processor level stays 0.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

// ---- element multiply and square (levels 2 and 3 share the multiply kernel)
void DspMulKernel32f_Sse3(const float* src1, const float* src2, float* dst, int32_t len);
void DspMulKernel32f_Ssse3(const float* src1, const float* src2, float* dst, int32_t len);
void DspSqrKernel32f_Sse3(const float* src, float* dst, int32_t len);
void DspSqrKernel32f_Ssse3(const float* src, float* dst, int32_t len);
void DspSqrKernel32f_Sse4(const float* src, float* dst, int32_t len);

// ---- exponential: clears the SSE exception flags when any is set at its end
void DspExpKernel32f_Sse3(const float* src, float* dst, int32_t len);
void DspExpKernel32f_Ssse3(const float* src, float* dst, int32_t len);
void DspExpKernel32f_Sse4(const float* src, float* dst, int32_t len);

// ---- element divide: dst = src2 / src1; nonzero when a divisor was zero.
// Complex elements are (real, imaginary) pairs and count once in `len`; a
// complex 16-bit element is one 32-bit word, the real part in its low half.
// The by-value kernels test no zero value and return nothing.
#define DSP_VM_DIV_LEVEL(sfx)                                                                      \
    int32_t DspDivKernel32f_##sfx(const float* src1, const float* src2, float* dst, int32_t len);  \
    int32_t DspDivRevConstKernel32f_##sfx(const float* src, const float* value, float* dst,        \
                                          int32_t len);                                            \
    int32_t DspDivKernel32fc_##sfx(const float* src1, const float* src2, float* dst, int32_t len); \
    int32_t DspDivKernel64f_##sfx(const double* src1, const double* src2, double* dst,             \
                                  int32_t len);                                                    \
    int32_t DspDivKernel64fc_##sfx(const double* src1, const double* src2, double* dst,            \
                                   int32_t len);                                                   \
    int32_t DspDivKernel32sScaled_##sfx(const int32_t* src1, const int32_t* src2, int32_t* dst,    \
                                        int32_t len, int32_t scaleFactor);                         \
    int32_t DspDivKernel32s16sScaled_##sfx(const int16_t* src1, const int32_t* src2, int16_t* dst, \
                                           int32_t len, int32_t scaleFactor);                      \
    int32_t DspDivKernel16sScaled_##sfx(const int16_t* src1, const int16_t* src2, int16_t* dst,    \
                                        int32_t len, int32_t scaleFactor);                         \
    int32_t DspDivKernel16scScaled_##sfx(const int32_t* src1, const int32_t* src2, int32_t* dst,   \
                                         int32_t len, int32_t scaleFactor);                        \
    void DspDivConstKernel16sScaled_##sfx(const int16_t* src, int16_t value, int16_t* dst,         \
                                          int32_t len, int32_t scaleFactor);                       \
    void DspDivConstKernel16scScaled_##sfx(const int32_t* src, int32_t value, int32_t* dst,        \
                                           int32_t len, int32_t scaleFactor);                      \
    int32_t DspDivKernel8uScaled_##sfx(const uint8_t* src1, const uint8_t* src2, uint8_t* dst,     \
                                       int32_t len, int32_t scaleFactor);                          \
    void DspDivConstKernel8uScaled_##sfx(const uint8_t* src, uint8_t value, uint8_t* dst,          \
                                         int32_t len, int32_t scaleFactor);                        \
    int32_t DspDivRevConstKernel16u_##sfx(const uint16_t* src, uint16_t value, uint16_t* dst,      \
                                          int32_t len)
DSP_VM_DIV_LEVEL(Sse3);
DSP_VM_DIV_LEVEL(Ssse3);
DSP_VM_DIV_LEVEL(Sse4);
#undef DSP_VM_DIV_LEVEL

// ---- natural logarithm. The kernels return 0, or the kind of the first
// zero (2) or negative (4) element. `work` is 16-byte aligned scratch: 64 bytes
// per 8 elements for the float kernels (32 for the source-to-destination
// form), and a 32-byte header plus 64 (in place) or 32 bytes per 8 elements
// for the scaled integer kernels.
inline constexpr int32_t DspLnCodeZero = 2;
inline constexpr int32_t DspLnCodeNegative = 4;
// The SSE3 level's object.
int32_t DspLnKernel32f_Sse3(float* srcDst, int32_t len, uint8_t* work);
int32_t DspLnKernel32fOut_Sse3(const float* src, float* dst, int32_t len, uint8_t* work);
int32_t DspLnKernel64fOut_Sse3(const double* src, double* dst, int32_t len);
int32_t DspLnKernel64fTo32f_Sse3(const double* src, float* dst, int32_t len);
void DspScaleFactorToFloat_Sse3(int32_t scaleFactor, float* out);
int32_t DspLnKernel32sScaledOut_Sse3(const int32_t* src, int32_t* dst, int32_t len,
                                     const float* scale, uint8_t* work);
int32_t DspLnKernel32sScaled_Sse3(int32_t* srcDst, int32_t len, const float* scale, uint8_t* work);
int32_t DspLnKernel32sTo16sScaled_Sse3(const int32_t* src, int16_t* dst, int32_t len,
                                       int32_t scaleFactor, uint8_t* work);
int32_t DspLnKernel16sScaledOut_Sse3(const int16_t* src, int16_t* dst, int32_t len,
                                     int32_t scaleFactor, uint8_t* work);
int32_t DspLnKernel16sScaled_Sse3(int16_t* srcDst, int32_t len, int32_t scaleFactor, uint8_t* work);
// The SSSE3 and SSE4.1 levels' objects.
#define DSP_VM_LN_LEVEL(sfx)                                                                       \
    int64_t DspLnKernel32f_##sfx(float* srcDst, int64_t len, uint8_t* work);                       \
    int64_t DspLnKernelOut32f_##sfx(const float* src, float* dst, int64_t len, uint8_t* work);     \
    int64_t DspLnKernel64f_##sfx(const double* src, double* dst, int64_t len);                     \
    int64_t DspLnKernel64fTo32f_##sfx(const double* src, float* dst, int64_t len);                 \
    int64_t DspLnKernel32sScaled_##sfx(const int32_t* src, int32_t* dst, int64_t len,              \
                                       const float* multiplier, uint8_t* work);                    \
    int64_t DspLnKernelInPlace32sScaled_##sfx(int32_t* srcDst, int64_t len,                        \
                                              const float* multiplier, uint8_t* work);             \
    int64_t DspLnKernel32sTo16sScaled_##sfx(const int32_t* src, int16_t* dst, int64_t len,         \
                                            int32_t scaleFactor, uint8_t* work);                   \
    int64_t DspLnKernel16sScaled_##sfx(const int16_t* src, int16_t* dst, int64_t len,              \
                                       int32_t scaleFactor, uint8_t* work);                        \
    int64_t DspLnKernelInPlace16sScaled_##sfx(int16_t* srcDst, int64_t len, int32_t scaleFactor,   \
                                              uint8_t* work);                                      \
    void DspLnScaleMultiplier_##sfx(int32_t scaleFactor, float* out)
DSP_VM_LN_LEVEL(Ssse3);
DSP_VM_LN_LEVEL(Sse4);
#undef DSP_VM_LN_LEVEL

// Work area of the logarithm entries: a chunk of up to 256 elements, the
// largest area any level's kernel needs for it.
inline constexpr int32_t DspLnChunk = 256;
inline constexpr int32_t DspLnWorkBytes = 2088;

// ---- routine entries of levels 1 to 3 of the rows these kernels serve
#define DSP_VM_ENTRIES(sfx)                                                                        \
    DspStatus DspSqr32f_##sfx(const float* src, float* dst, int32_t len);                          \
    DspStatus DspDiv32f_##sfx(const float* src1, const float* src2, float* dst, int32_t len);      \
    DspStatus DspExpInPlace32f_##sfx(float* srcDst, int32_t len);                                  \
    DspStatus DspLnInPlace32f_##sfx(float* srcDst, int32_t len)
DSP_VM_ENTRIES(Sse3);
DSP_VM_ENTRIES(Ssse3);
DSP_VM_ENTRIES(Sse4);
#undef DSP_VM_ENTRIES
// Levels 2 and 3 share the multiply entry.
DspStatus DspMul32f_Sse3(const float* src1, const float* src2, float* dst, int32_t len);
DspStatus DspMul32f_Ssse3(const float* src1, const float* src2, float* dst, int32_t len);
