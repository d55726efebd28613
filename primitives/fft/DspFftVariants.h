// FFT kernel variants of the processor levels that no transform calls: the
// split real/imaginary complex FFT (levels 1 to 3), the radix-4 first stage of
// four decimated streams and the radix-8 pass that joins eight such streams
// (levels 2 and 3). Each is built in its level's own file with that level's
// instruction set; arguments outside their contract are reported and the
// call returns without touching memory.
#pragma once

#include <cstdint>

#define DSP_FFT_DECLARE_SPLIT(Sfx)                                                                 \
    void DspFftSplitFwdSmall_##Sfx(const float*, const float*, float*, float*, int32_t,            \
                                   const float*, const uint32_t*, float*);                         \
    void DspFftSplitInvSmall_##Sfx(const float*, const float*, float*, float*, int32_t,            \
                                   const float*, const uint32_t*, float*);                         \
    void DspFftSplitFwdPasses_##Sfx(float*, float*, int64_t, const float*, float*);                \
    void DspFftSplitInvPasses_##Sfx(float*, float*, int64_t, const float*, float*);

#define DSP_FFT_DECLARE_DECIMATED(Sfx)                                                             \
    void DspFftCplxFwdRadix8_##Sfx(const float*, float*, uint64_t, int64_t, const float*);         \
    void DspFftCplxInvRadix8_##Sfx(const float*, float*, uint64_t, int64_t, const float*);         \
    void DspFftSplitFwdRadix8_##Sfx(const float*, float*, float*, uint64_t, int32_t,               \
                                    const float*);                                                 \
    void DspFftSplitInvRadix8_##Sfx(const float*, float*, float*, uint64_t, int32_t,               \
                                    const float*);                                                 \
    void DspFftCplxFwdSub4_##Sfx(const float*, float*, uint64_t, const float*, const int32_t*,     \
                                 float*);                                                          \
    void DspFftCplxInvSub4_##Sfx(const float*, float*, uint64_t, const float*, const int32_t*,     \
                                 float*);                                                          \
    void DspFftSplitFwdSub4_##Sfx(const float*, const float*, float*, uint64_t, const float*,      \
                                  const int32_t*);                                                 \
    void DspFftSplitInvSub4_##Sfx(const float*, const float*, float*, uint64_t, const float*,      \
                                  const int32_t*);

DSP_FFT_DECLARE_SPLIT(Sse3)
DSP_FFT_DECLARE_SPLIT(Ssse3)
DSP_FFT_DECLARE_SPLIT(Sse4)
DSP_FFT_DECLARE_DECIMATED(Ssse3)
DSP_FFT_DECLARE_DECIMATED(Sse4)

// The contracts of the variant kernels, checked once per call before any
// memory is touched; a call outside them is reported as a failed assertion
// and does nothing. Shared by every level.
enum class DspFftVariantKind
{
    SplitGather,  // split arrays in natural order, 8 to 131072 points
    SplitInPlace, // split arrays in bit-reversed order, 64 to 131072 points
    Decimated,    // four streams of an 8n-point span, n from 64 to 524288
};
bool DspFftVariantArgsFit(DspFftVariantKind kind, int64_t n, const void* const* pointers,
                          int32_t pointerCount);
// The join of eight sub-transforms of L points: L and count multiples of 4
// with 0 < count <= L, a 16-byte aligned source and every pointer given.
bool DspFftRadix8ArgsFit(const float* src, const void* dst0, const void* dst1, uint64_t L,
                         int64_t count, const float* twiddles);
// Split-layout blocks of four points: a positive multiple of 4 points per
// row or span, a count of rows or groups not below 0, every pointer given.
bool DspFftBlockArgsFit(int64_t points, int64_t count, const void* const* pointers,
                        int32_t pointerCount);
