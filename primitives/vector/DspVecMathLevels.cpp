// Routine entries of levels 1 to 3 for element multiply, square, divide,
// exponential and logarithm: they check the arguments (pointers before the
// length, nothing touched on an error) and hand the vector to their level's
// kernel.
#include "primitives/vector/kernels/DspVmKernels.h"

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

DspStatus DspMul32f_Sse3(const float* a, const float* b, float* d, int32_t n)
{
    return MulEntry<DspMulKernel32f_Sse3>(a, b, d, n);
}
DspStatus DspMul32f_Ssse3(const float* a, const float* b, float* d, int32_t n)
{
    return MulEntry<DspMulKernel32f_Ssse3>(a, b, d, n);
}

#define DSP_VM_ENTRY_LEVEL(sfx, LnLen)                                                             \
    DspStatus DspSqr32f_##sfx(const float* s, float* d, int32_t n)                                 \
    {                                                                                              \
        return UnaryEntry<DspSqrKernel32f_##sfx>(s, d, n);                                         \
    }                                                                                              \
    DspStatus DspDiv32f_##sfx(const float* a, const float* b, float* d, int32_t n)                 \
    {                                                                                              \
        return DivEntry<DspDivKernel32f_##sfx>(a, b, d, n);                                        \
    }                                                                                              \
    DspStatus DspExpInPlace32f_##sfx(float* v, int32_t n)                                          \
    {                                                                                              \
        return UnaryEntry<DspExpKernel32f_##sfx>(v, v, n);                                         \
    }                                                                                              \
    DspStatus DspLnInPlace32f_##sfx(float* v, int32_t n)                                           \
    {                                                                                              \
        return LnEntry<LnLen, DspLnKernel32f_##sfx>(v, n);                                         \
    }
DSP_VM_ENTRY_LEVEL(Sse3, int32_t)
DSP_VM_ENTRY_LEVEL(Ssse3, int64_t)
DSP_VM_ENTRY_LEVEL(Sse4, int64_t)
#undef DSP_VM_ENTRY_LEVEL
