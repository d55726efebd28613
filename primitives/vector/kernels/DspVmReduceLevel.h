// The square-root, sum, mean, minimum, maximum and dot-product members every
// level's file defines over the shared bodies, with their routine entries
// beside them. Each level's file includes this once, built for its own
// instruction set.
#pragma once

#include "primitives/vector/kernels/DspVmComplexRootBody.h"
#include "primitives/vector/kernels/DspVmIntSqrtBody.h"
#include "primitives/vector/kernels/DspVmRoot16scBody.h"
#include "primitives/vector/kernels/DspVmReduceBody.h"
#include "primitives/vector/kernels/DspVmReduceKernels.h"
#include "primitives/vector/kernels/DspVmSqrtBody.h"
#include "primitives/vector/kernels/DspVmSumKindsBody.h"

namespace
{
inline DspStatus VmCheck(const void* a, const void* b, int32_t len)
{
    if (a == nullptr || b == nullptr)
        return DspStsNullPtrErr;
    return len < 1 ? DspStsSizeErr : DspStsNoErr;
}
} // namespace

#define DSP_VM_REDUCE_DEFINE(sfx, sse4, dot)                                                       \
    int32_t DspSqrtKernel32f_##sfx(const float* src, float* dst, int32_t len)                      \
    {                                                                                              \
        return VmSqrtKernel32f<sse4>(src, dst, len);                                               \
    }                                                                                              \
    int32_t DspSqrtKernel64f_##sfx(const double* src, double* dst, int32_t len)                    \
    {                                                                                              \
        return VmSqrtKernel64f(src, dst, len);                                                     \
    }                                                                                              \
    void DspDotProdKernel32f_##sfx(const float* src1, const float* src2, int32_t len, float* out)  \
    {                                                                                              \
        dot(src1, src2, len, out);                                                                 \
    }                                                                                              \
    double DspSumHint32f_##sfx(const float* src, int32_t len, int32_t hint)                        \
    {                                                                                              \
        return VmSumHint32f(src, len, hint);                                                       \
    }                                                                                              \
    float DspMeanKernel32f_##sfx(const float* src, int32_t len, int32_t hint)                      \
    {                                                                                              \
        return VmMeanKernel32f(src, len, hint);                                                    \
    }                                                                                              \
    void DspSumFast32f_##sfx(const float* src, int32_t len, double* out)                           \
    {                                                                                              \
        *out = VmSumFast32f(src, len);                                                             \
    }                                                                                              \
    void DspSumAccurate32f_##sfx(const float* src, int32_t len, double* out)                       \
    {                                                                                              \
        *out = VmSumAccurate32f(src, len);                                                         \
    }                                                                                              \
    void DspMinEveryKernel32f_##sfx(const float* src, float* srcDst, uint32_t len)                 \
    {                                                                                              \
        VmEveryKernel32f<VmMinOp>(src, srcDst, len);                                               \
    }                                                                                              \
    void DspMaxEveryKernel32f_##sfx(const float* src, float* srcDst, uint32_t len)                 \
    {                                                                                              \
        VmEveryKernel32f<VmMaxOp>(src, srcDst, len);                                               \
    }                                                                                              \
    void DspSqrtKernel16uScaled_##sfx(const uint16_t* src, uint16_t* dst, int32_t len,             \
                                      int32_t scaleFactor)                                         \
    {                                                                                              \
        VmSqrtKernel16uScaled(src, dst, len, scaleFactor);                                         \
    }                                                                                              \
    int32_t DspSqrtKernel64sScaled_##sfx(const int64_t* src, int64_t* dst, int32_t len,            \
                                         int32_t scaleFactor)                                      \
    {                                                                                              \
        return VmSqrtKernel64sScaled(src, dst, len, scaleFactor);                                  \
    }                                                                                              \
    void DspTableLookup8u_##sfx(const uint8_t* src, uint8_t* dst, int32_t len,                     \
                                const uint8_t* table)                                              \
    {                                                                                              \
        VmTableLookup8u(src, dst, len, table);                                                     \
    }                                                                                              \
    int32_t DspSqrtKernel16sScaled_##sfx(const int16_t* src, int16_t* dst, int32_t len,            \
                                         int32_t scaleFactor)                                      \
    {                                                                                              \
        return VmSqrtKernel16sScaled(src, dst, len, scaleFactor);                                  \
    }                                                                                              \
    int32_t DspSqrtKernel32sTo16sScaled_##sfx(const int32_t* src, int16_t* dst, int32_t len,       \
                                              int32_t scaleFactor)                                 \
    {                                                                                              \
        return VmSqrtKernel32sTo16sScaled(src, dst, len, scaleFactor);                             \
    }                                                                                              \
    int32_t DspSqrtKernel64sTo16sScaled_##sfx(const int64_t* src, int16_t* dst, int32_t len,       \
                                              int32_t scaleFactor)                                 \
    {                                                                                              \
        return VmSqrtKernel64sTo16sScaled(src, dst, len, scaleFactor);                             \
    }                                                                                              \
    void DspSqrtKernel16sc_##sfx(const int32_t* src, int32_t* dst, int32_t len)                    \
    {                                                                                              \
        VmSqrtKernel16sc(src, dst, len);                                                           \
    }                                                                                              \
    void DspSqrtKernel16scScaledDirect_##sfx(const int32_t* src, int32_t* dst, int32_t len,        \
                                             int32_t scaleFactor)                                  \
    {                                                                                              \
        VmSqrtKernel16scScaled(src, dst, len, scaleFactor, false);                                 \
    }                                                                                              \
    void DspSqrtKernel16scScaledStable_##sfx(const int32_t* src, int32_t* dst, int32_t len,        \
                                             int32_t scaleFactor)                                  \
    {                                                                                              \
        VmSqrtKernel16scScaled(src, dst, len, scaleFactor, true);                                  \
    }                                                                                              \
    void DspSqrtKernel32fc_##sfx(const float* src, float* dst, int32_t len)                        \
    {                                                                                              \
        VmSqrtKernel32fc(src, dst, len);                                                           \
    }                                                                                              \
    void DspSqrtKernel64fc_##sfx(const double* src, double* dst, int32_t len)                      \
    {                                                                                              \
        VmSqrtKernel64fc(src, dst, len);                                                           \
    }                                                                                              \
    void DspSumFast32fc_##sfx(const float* src, int32_t len, double* out)                          \
    {                                                                                              \
        VmSumFast32fc(src, len, out);                                                              \
    }                                                                                              \
    void DspSumAccurate32fc_##sfx(const float* src, int32_t len, double* out)                      \
    {                                                                                              \
        VmSumAccurate32fc(src, len, out);                                                          \
    }                                                                                              \
    void DspSumKernel64f_##sfx(const double* src, int32_t len, double* out)                        \
    {                                                                                              \
        VmSumKernel64f(src, len, out);                                                             \
    }                                                                                              \
    void DspSumKernel64fc_##sfx(const double* src, int32_t len, double* out)                       \
    {                                                                                              \
        VmSumKernel64fc(src, len, out);                                                            \
    }                                                                                              \
    void DspSumKernel16sTo64f_##sfx(const int16_t* src, double* out, int32_t len)                  \
    {                                                                                              \
        VmSumKernel16sTo64f(src, out, len);                                                        \
    }                                                                                              \
    void DspSumKernel16scTo64fc_##sfx(const int16_t* src, double* out, int32_t len)                \
    {                                                                                              \
        VmSumKernel16scTo64fc(src, out, len);                                                      \
    }                                                                                              \
    int32_t DspScaleRound64fTo32s_##sfx(const double* x, int32_t scaleFactor)                      \
    {                                                                                              \
        return VmScaleRound64fTo32s(x, scaleFactor);                                               \
    }                                                                                              \
    void DspScaleRound64fTo32sPair_##sfx(const double* x, int32_t* out, int32_t scaleFactor)       \
    {                                                                                              \
        VmScaleRound64fTo32sPair(x, out, scaleFactor);                                             \
    }                                                                                              \
    DspStatus DspSqrtInPlace32f_##sfx(float* srcDst, int32_t len)                                  \
    {                                                                                              \
        const DspStatus st = VmCheck(srcDst, srcDst, len);                                         \
        if (st != DspStsNoErr)                                                                     \
            return st;                                                                             \
        return VmSqrtKernel32f<sse4>(srcDst, srcDst, len) != 0 ? DspStsSqrtNegArg : DspStsNoErr;   \
    }                                                                                              \
    DspStatus DspSum32f_##sfx(const float* src, int32_t len, float* pSum, int32_t hint)            \
    {                                                                                              \
        const DspStatus st = VmCheck(src, pSum, len);                                              \
        if (st == DspStsNoErr)                                                                     \
            *pSum = static_cast<float>(VmSumHint32f(src, len, hint));                              \
        return st;                                                                                 \
    }                                                                                              \
    DspStatus DspMean32f_##sfx(const float* src, int32_t len, float* pMean, int32_t hint)          \
    {                                                                                              \
        const DspStatus st = VmCheck(src, pMean, len);                                             \
        if (st == DspStsNoErr)                                                                     \
            *pMean = VmMeanKernel32f(src, len, hint);                                              \
        return st;                                                                                 \
    }                                                                                              \
    DspStatus DspMinEvery32f_##sfx(const float* src, float* srcDst, int32_t len)                   \
    {                                                                                              \
        const DspStatus st = VmCheck(src, srcDst, len);                                            \
        if (st == DspStsNoErr)                                                                     \
            VmEveryKernel32f<VmMinOp>(src, srcDst, static_cast<uint32_t>(len));                    \
        return st;                                                                                 \
    }                                                                                              \
    DspStatus DspMaxEvery32f_##sfx(const float* src, float* srcDst, int32_t len)                   \
    {                                                                                              \
        const DspStatus st = VmCheck(src, srcDst, len);                                            \
        if (st == DspStsNoErr)                                                                     \
            VmEveryKernel32f<VmMaxOp>(src, srcDst, static_cast<uint32_t>(len));                    \
        return st;                                                                                 \
    }                                                                                              \
    DspStatus DspDotProd32f_##sfx(const float* src1, const float* src2, int32_t len, float* pDot)  \
    {                                                                                              \
        if (pDot == nullptr)                                                                       \
            return DspStsNullPtrErr;                                                               \
        const DspStatus st = VmCheck(src1, src2, len);                                             \
        if (st == DspStsNoErr)                                                                     \
            dot(src1, src2, len, pDot);                                                            \
        return st;                                                                                 \
    }
