// The FFT members of processor levels 1 (_Sse3), 2 (_Ssse3) and 3 (_Sse4),
// each built in its own file with its level's instruction set.
#pragma once

#include <cstdint>

#include "primitives/fft/DspFftSpec.h"

#define DSP_FFT_DECLARE_LEVEL(Sfx)                                                                 \
    DspStatus DspFftSpecSizeR32f_##Sfx(int32_t, DspFftScaleFlag, int32_t, int32_t*, int32_t*,      \
                                       int32_t*);                                                  \
    DspStatus DspFftSpecSizeC32f_##Sfx(int32_t, DspFftScaleFlag, int32_t, int32_t*, int32_t*,      \
                                       int32_t*);                                                  \
    DspStatus DspFftSpecInitR32f_##Sfx(DspFftSpecR32f**, int32_t, DspFftScaleFlag, int32_t,        \
                                       uint8_t*, uint8_t*);                                        \
    DspStatus DspFftSpecInitC32f_##Sfx(DspFftSpecR32f**, int32_t, DspFftScaleFlag, int32_t,        \
                                       uint8_t*, uint8_t*);                                        \
    DspStatus DspFftSpecCreateR32f_##Sfx(DspFftSpecR32f**, int32_t, int32_t, int32_t);             \
    DspStatus DspFftSpecCreateC32f_##Sfx(DspFftSpecC32f**, int32_t, int32_t, int32_t);             \
    DspStatus DspFftFwdRToPacked32f_##Sfx(const float*, float*, const DspFftSpecR32f*, uint8_t*);  \
    DspStatus DspFftInvPackedToR32f_##Sfx(const float*, float*, const DspFftSpecR32f*, uint8_t*);  \
    DspStatus DspFftFwdRInPlace32f_##Sfx(float*, const DspFftSpecR32f*, uint8_t*);                 \
    DspStatus DspFftInvRInPlace32f_##Sfx(float*, const DspFftSpecR32f*, uint8_t*);                 \
    DspStatus DspFftFwdC32f_##Sfx(const float*, float*, const DspFftSpecC32f*, uint8_t*);          \
    DspStatus DspMulPackedSpectra32f_##Sfx(const float*, float*, int32_t);                         \
    void DspFftRealFwdPostSplit_##Sfx(float*, int32_t, int32_t, const float*);                     \
    void DspFftRealInvPreSplit_##Sfx(const float*, float*, int32_t, int32_t, const float*);        \
    void DspMulPackedPairs_##Sfx(const float*, float*, int32_t);                                   \
    void DspMulPackedPairsOut_##Sfx(const float*, const float*, float*, int32_t);                  \
    void DspBitRevTiled64_##Sfx(float*, int32_t, const uint32_t*, uint8_t*);                       \
    void DspFftCplxFwdPasses_##Sfx(float*, int32_t, const float*, uint8_t*, int32_t);              \
    void DspFftCplxInvPasses_##Sfx(float*, int32_t, const float*, uint8_t*, int32_t);              \
    void DspFftCplxFwdSmall_##Sfx(const float*, float*, int32_t, const float*, const uint32_t*,    \
                                  uint8_t*);                                                       \
    void DspFftCplxInvSmall_##Sfx(const float*, float*, int32_t, const float*, const uint32_t*,    \
                                  uint8_t*);                                                       \
    uint8_t* DspFftBitRevTable_##Sfx(int32_t, uint32_t*);                                          \
    void DspFftTiledBitRevTable_##Sfx(int32_t, int32_t, uint32_t*);                                \
    uint8_t* DspFftTwiddleTable_##Sfx(int32_t, const float*, int32_t, float*);                     \
    uint8_t* DspFftRealTwiddle_##Sfx(int32_t, const float*, int32_t, float*);                      \
    uint8_t* DspFftConjTwiddle_##Sfx(int32_t, const float*, int32_t, float*);                      \
    void DspFftWorkSize_##Sfx(int32_t, int64_t*, int64_t*, int64_t*);

// Fixed kernels of the levels: order 3 at every level, orders 1 and 2 (and
// the complex order 2) at levels 1 and 2, level 3 using those of level 2.
#define DSP_FFT_DECLARE_SMALL_ORDER3(Sfx)                                                          \
    void DspFftFwdROrder3_32f_##Sfx(const float*, float*);                                         \
    void DspFftFwdROrder3Scale32f_##Sfx(const float*, float*, float);                              \
    void DspFftInvROrder3_32f_##Sfx(const float*, float*);                                         \
    void DspFftInvROrder3Scale32f_##Sfx(const float*, float*, float);                              \
    void DspFftFwdCOrder3_32f_##Sfx(const float*, float*);                                         \
    void DspFftFwdCOrder3Scale32f_##Sfx(const float*, float*, float);
#define DSP_FFT_DECLARE_SMALL_SHARED(Sfx)                                                          \
    void DspFftOrder1_32f_##Sfx(const float*, float*);                                             \
    void DspFftOrder1Scale32f_##Sfx(const float*, float*, float);                                  \
    void DspFftFwdROrder2_32f_##Sfx(const float*, float*);                                         \
    void DspFftFwdROrder2Scale32f_##Sfx(const float*, float*, float);                              \
    void DspFftInvROrder2_32f_##Sfx(const float*, float*);                                         \
    void DspFftInvROrder2Scale32f_##Sfx(const float*, float*, float);                              \
    void DspFftFwdCOrder2_32f_##Sfx(const float*, float*);                                         \
    void DspFftFwdCOrder2Scale32f_##Sfx(const float*, float*, float);

DSP_FFT_DECLARE_SMALL_ORDER3(Sse3)
DSP_FFT_DECLARE_SMALL_ORDER3(Ssse3)
DSP_FFT_DECLARE_SMALL_ORDER3(Sse4)
DSP_FFT_DECLARE_SMALL_SHARED(Sse3)
DSP_FFT_DECLARE_SMALL_SHARED(Ssse3)

// Outer pass and tile moves of the large path that no driver calls: radix 2
// over split data (one twiddle per position) and tiles between separate real
// and imaginary arrays and the split layout.
#define DSP_FFT_DECLARE_OUTER(Sfx)                                                                 \
    void DspFftOuterRadix2Fwd_##Sfx(const float*, float*, int64_t, int64_t, const float*);         \
    void DspFftOuterRadix2Inv_##Sfx(const float*, float*, int64_t, int64_t, const float*);         \
    void DspFftTileGatherPlanar_##Sfx(const float*, const float*, float*, int64_t, int64_t,        \
                                      int64_t);                                                    \
    void DspFftTileScatterPlanar_##Sfx(float*, float*, const float*, int64_t, int64_t, int64_t);

DSP_FFT_DECLARE_OUTER(Sse3)
DSP_FFT_DECLARE_OUTER(Ssse3)
DSP_FFT_DECLARE_OUTER(Sse4)

// The bit-reversal members: in place (data, n, table) and copies (source,
// destination, n, table); block table or swap-pair list by member.
#define DSP_BITREV_DECLARE_IN_PLACE(Name, Sfx)                                                     \
    void DspBitRev##Name##_##Sfx(float*, int64_t, const uint32_t*);
#define DSP_BITREV_DECLARE_COPY(Name, Sfx)                                                         \
    void DspBitRev##Name##_##Sfx(const float*, float*, int64_t, const uint32_t*);
#define DSP_FFT_DECLARE_BITREV(Sfx)                                                                \
    DSP_BITREV_DECLARE_IN_PLACE(Swap32, Sfx)                                                       \
    DSP_BITREV_DECLARE_IN_PLACE(Swap32Dup, Sfx)                                                    \
    DSP_BITREV_DECLARE_IN_PLACE(Swap64Scalar, Sfx)                                                 \
    DSP_BITREV_DECLARE_IN_PLACE(Swap64Vec, Sfx)                                                    \
    DSP_BITREV_DECLARE_IN_PLACE(TileSwap64, Sfx)                                                   \
    DSP_BITREV_DECLARE_IN_PLACE(Swap128, Sfx)                                                      \
    DSP_BITREV_DECLARE_COPY(SwapCopy32, Sfx)                                                       \
    DSP_BITREV_DECLARE_COPY(SwapCopy64, Sfx)                                                       \
    DSP_BITREV_DECLARE_IN_PLACE(InPlace32, Sfx)                                                    \
    DSP_BITREV_DECLARE_IN_PLACE(InPlace64, Sfx)                                                    \
    DSP_BITREV_DECLARE_IN_PLACE(InPlace64d, Sfx)                                                   \
    DSP_BITREV_DECLARE_IN_PLACE(InPlace128, Sfx)                                                   \
    DSP_BITREV_DECLARE_COPY(Copy32, Sfx)                                                           \
    DSP_BITREV_DECLARE_COPY(Copy64, Sfx)                                                           \
    DSP_BITREV_DECLARE_COPY(Copy64d, Sfx)                                                          \
    DSP_BITREV_DECLARE_COPY(Copy128, Sfx)

DSP_FFT_DECLARE_BITREV(Sse3)
DSP_FFT_DECLARE_BITREV(Ssse3)
DSP_FFT_DECLARE_BITREV(Sse4)

DSP_FFT_DECLARE_LEVEL(Sse3)
DSP_FFT_DECLARE_LEVEL(Ssse3)
DSP_FFT_DECLARE_LEVEL(Sse4)
