// The members every level's kernel file defines over the shared bodies. Each
// level's file includes this once, compiled for its own instruction set.
#pragma once

#include "primitives/vector/kernels/DspVmDivIntBody.h"
#include "primitives/vector/kernels/DspVmEntries.h"

#define DSP_VM_DEFINE_MUL(sfx)                                                                     \
    void DspMulKernel32f_##sfx(const float* src1, const float* src2, float* dst, int32_t len)      \
    {                                                                                              \
        VmMulKernel32f(src1, src2, dst, len);                                                      \
    }                                                                                              \
    DSP_VM_MUL_ENTRY(sfx)

#define DSP_VM_DEFINE_COMMON(sfx)                                                                  \
    void DspSqrKernel32f_##sfx(const float* src, float* dst, int32_t len)                          \
    {                                                                                              \
        VmSqrKernel32f(src, dst, len);                                                             \
    }                                                                                              \
    void DspExpKernel32f_##sfx(const float* src, float* dst, int32_t len)                          \
    {                                                                                              \
        VmExpKernel32f(src, dst, len);                                                             \
    }                                                                                              \
    int32_t DspDivKernel32f_##sfx(const float* src1, const float* src2, float* dst, int32_t len)   \
    {                                                                                              \
        return VmDivKernel32f(src1, src2, dst, len);                                               \
    }                                                                                              \
    int32_t DspDivRevConstKernel32f_##sfx(const float* src, const float* value, float* dst,        \
                                          int32_t len)                                             \
    {                                                                                              \
        return VmDivRevConstKernel32f(src, value, dst, len);                                       \
    }                                                                                              \
    int32_t DspDivKernel32fc_##sfx(const float* src1, const float* src2, float* dst, int32_t len)  \
    {                                                                                              \
        return VmDivKernel32fc(src1, src2, dst, len);                                              \
    }                                                                                              \
    int32_t DspDivKernel64f_##sfx(const double* src1, const double* src2, double* dst,             \
                                  int32_t len)                                                     \
    {                                                                                              \
        return VmDivKernel64f(src1, src2, dst, len);                                               \
    }                                                                                              \
    int32_t DspDivKernel64fc_##sfx(const double* src1, const double* src2, double* dst,            \
                                   int32_t len)                                                    \
    {                                                                                              \
        return VmDivKernel64fc(src1, src2, dst, len);                                              \
    }                                                                                              \
    int32_t DspDivKernel32sScaled_##sfx(const int32_t* src1, const int32_t* src2, int32_t* dst,    \
                                        int32_t len, int32_t scaleFactor)                          \
    {                                                                                              \
        return VmDivKernel32sScaled(src1, src2, dst, len, scaleFactor);                            \
    }                                                                                              \
    int32_t DspDivKernel32s16sScaled_##sfx(const int16_t* src1, const int32_t* src2, int16_t* dst, \
                                           int32_t len, int32_t scaleFactor)                       \
    {                                                                                              \
        return VmDivKernel32s16sScaled(src1, src2, dst, len, scaleFactor);                         \
    }                                                                                              \
    int32_t DspDivKernel16sScaled_##sfx(const int16_t* src1, const int16_t* src2, int16_t* dst,    \
                                        int32_t len, int32_t scaleFactor)                          \
    {                                                                                              \
        return VmDivKernel16sScaled(src1, src2, dst, len, scaleFactor);                            \
    }                                                                                              \
    int32_t DspDivKernel16scScaled_##sfx(const int32_t* src1, const int32_t* src2, int32_t* dst,   \
                                         int32_t len, int32_t scaleFactor)                         \
    {                                                                                              \
        return VmDivKernel16scScaled(src1, src2, dst, len, scaleFactor);                           \
    }                                                                                              \
    void DspDivConstKernel16sScaled_##sfx(const int16_t* src, int16_t value, int16_t* dst,         \
                                          int32_t len, int32_t scaleFactor)                        \
    {                                                                                              \
        VmDivConstScaled(src, value, dst, len, scaleFactor, -32768, 32767);                        \
    }                                                                                              \
    void DspDivConstKernel16scScaled_##sfx(const int32_t* src, int32_t value, int32_t* dst,        \
                                           int32_t len, int32_t scaleFactor)                       \
    {                                                                                              \
        VmDivConstKernel16scScaled(src, value, dst, len, scaleFactor);                             \
    }                                                                                              \
    int32_t DspDivKernel8uScaled_##sfx(const uint8_t* src1, const uint8_t* src2, uint8_t* dst,     \
                                       int32_t len, int32_t scaleFactor)                           \
    {                                                                                              \
        return VmDivKernel8uScaled(src1, src2, dst, len, scaleFactor);                             \
    }                                                                                              \
    void DspDivConstKernel8uScaled_##sfx(const uint8_t* src, uint8_t value, uint8_t* dst,          \
                                         int32_t len, int32_t scaleFactor)                         \
    {                                                                                              \
        VmDivConstScaled(src, value, dst, len, scaleFactor, 0, 255);                               \
    }                                                                                              \
    int32_t DspDivRevConstKernel16u_##sfx(const uint16_t* src, uint16_t value, uint16_t* dst,      \
                                          int32_t len)                                             \
    {                                                                                              \
        return VmDivRevConstKernel16u(src, value, dst, len);                                       \
    }

// The logarithm object of the SSSE3 and SSE4.1 levels.
#define DSP_VM_DEFINE_LN(sfx)                                                                      \
    int64_t DspLnKernel32f_##sfx(float* srcDst, int64_t len, uint8_t* work)                        \
    {                                                                                              \
        return VmLnKernel32f(srcDst, len, work);                                                   \
    }                                                                                              \
    int64_t DspLnKernelOut32f_##sfx(const float* src, float* dst, int64_t len, uint8_t* work)      \
    {                                                                                              \
        return VmLnKernelOut32f(src, dst, len, work);                                              \
    }                                                                                              \
    int64_t DspLnKernel64f_##sfx(const double* src, double* dst, int64_t len)                      \
    {                                                                                              \
        return VmLnKernel64f(src, dst, len);                                                       \
    }                                                                                              \
    int64_t DspLnKernel64fTo32f_##sfx(const double* src, float* dst, int64_t len)                  \
    {                                                                                              \
        return VmLnKernel64f(src, dst, len);                                                       \
    }                                                                                              \
    int64_t DspLnKernel32sScaled_##sfx(const int32_t* src, int32_t* dst, int64_t len,              \
                                       const float* multiplier, uint8_t* work)                     \
    {                                                                                              \
        return VmLnKernel32sScaled(src, dst, len, multiplier, work);                               \
    }                                                                                              \
    int64_t DspLnKernelInPlace32sScaled_##sfx(int32_t* srcDst, int64_t len,                        \
                                              const float* multiplier, uint8_t* work)              \
    {                                                                                              \
        return VmLnKernelInPlace32sScaled(srcDst, len, multiplier, work);                          \
    }                                                                                              \
    int64_t DspLnKernel32sTo16sScaled_##sfx(const int32_t* src, int16_t* dst, int64_t len,         \
                                            int32_t scaleFactor, uint8_t* work)                    \
    {                                                                                              \
        return VmLnKernel32sTo16sScaled(src, dst, len, scaleFactor, work);                         \
    }                                                                                              \
    int64_t DspLnKernel16sScaled_##sfx(const int16_t* src, int16_t* dst, int64_t len,              \
                                       int32_t scaleFactor, uint8_t* work)                         \
    {                                                                                              \
        return VmLnKernel16sScaled(src, dst, len, scaleFactor, work);                              \
    }                                                                                              \
    int64_t DspLnKernelInPlace16sScaled_##sfx(int16_t* srcDst, int64_t len, int32_t scaleFactor,   \
                                              uint8_t* work)                                       \
    {                                                                                              \
        return VmLnKernelInPlace16sScaled(srcDst, len, scaleFactor, work);                         \
    }                                                                                              \
    void DspLnScaleMultiplier_##sfx(int32_t scaleFactor, float* out)                               \
    {                                                                                              \
        *out = DspScaleFactor<float>(scaleFactor);                                                 \
    }
