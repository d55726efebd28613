// Routine entries of levels 1 to 3 for element multiply, square, divide,
// exponential and logarithm: they check the arguments (pointers before the
// length, nothing touched on an error) and hand the vector to their level's
// kernel. Each level's kernel file defines its entries beside its kernels and
// over the same bodies, so that the kernel is inlined into the entry.
#pragma once

#include "primitives/vector/kernels/DspVmDivBody.h"
#include "primitives/vector/kernels/DspVmExpBody.h"
#include "primitives/vector/kernels/DspVmKernels.h"
#include "primitives/vector/kernels/DspVmLnBody.h"
#include "primitives/vector/kernels/DspVmMulSqrBody.h"

namespace
{
template <void (*Kernel)(const float*, const float*, float*, int32_t)>
DspStatus MulEntry(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    Kernel(src1, src2, dst, len);
    return DspStsNoErr;
}

template <void (*Kernel)(const float*, float*, int32_t)>
DspStatus UnaryEntry(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    Kernel(src, dst, len);
    return DspStsNoErr;
}

// The destination is written in full either way; a zero divisor is a warning.
template <int32_t (*Kernel)(const float*, const float*, float*, int32_t)>
DspStatus DivEntry(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    return Kernel(src1, src2, dst, len) != 0 ? DspStsDivByZero : DspStsNoErr;
}

// Chunks of at most 256 elements keep the work area a fixed stack buffer; the
// first chunk that meets a zero or negative element decides the warning.
template <class Len, Len (*Kernel)(float*, Len, uint8_t*)>
DspStatus LnEntry(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    alignas(16) uint8_t work[DspLnWorkBytes];
    Len code = 0;
    for (int32_t done = 0; done < len; done += DspLnChunk)
    {
        const int32_t chunk = len - done < DspLnChunk ? len - done : DspLnChunk;
        const Len chunkCode = Kernel(srcDst + done, chunk, work);
        if (code == 0)
            code = chunkCode;
    }
    if (code == 0)
        return DspStsNoErr;
    return code == DspLnCodeZero ? DspStsLnZeroArg : DspStsLnNegArg;
}
} // namespace

#define DSP_VM_MUL_ENTRY(sfx)                                                                      \
    DspStatus DspMul32f_##sfx(const float* a, const float* b, float* d, int32_t n)                 \
    {                                                                                              \
        return MulEntry<VmMulKernel32f>(a, b, d, n);                                               \
    }

#define DSP_VM_ENTRY_LEVEL(sfx)                                                                    \
    DspStatus DspSqr32f_##sfx(const float* s, float* d, int32_t n)                                 \
    {                                                                                              \
        return UnaryEntry<VmSqrKernel32f>(s, d, n);                                                \
    }                                                                                              \
    DspStatus DspDiv32f_##sfx(const float* a, const float* b, float* d, int32_t n)                 \
    {                                                                                              \
        return DivEntry<VmDivKernel32f>(a, b, d, n);                                               \
    }                                                                                              \
    DspStatus DspExpInPlace32f_##sfx(float* v, int32_t n)                                          \
    {                                                                                              \
        return UnaryEntry<VmExpKernel32f>(v, v, n);                                                \
    }                                                                                              \
    DspStatus DspLnInPlace32f_##sfx(float* v, int32_t n)                                           \
    {                                                                                              \
        return LnEntry<int64_t, VmLnKernel32f>(v, n);                                              \
    }
