// FIR filter states in caller memory: one record layout for the single-rate
// ("FI01") and multirate ("FI03") kinds, followed by the pieces each kind lays
// out behind it. Nothing here allocates; callers size, supply and reuse.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"
#include "primitives/fft/DspFftSpec.h"

inline constexpr uint32_t DspFirKindSingleRate = 0x46493031; // "FI01"
inline constexpr uint32_t DspFirKindMultirate = 0x46493033;  // "FI03"

// Room the record takes at the start of a state.
inline constexpr int32_t DspFirRecordBytes = 160;

struct DspFirState32f
{
    uint32_t kind;
    float* taps;      // h reversed: taps[i] = h[n-1-i]
    float* delayLine; // history, oldest first
    int32_t tapCount;
    int32_t upFactor;
    int32_t blockThreshold;
    int32_t downFactor;
    int32_t bufferedOutputs;
    DspFftSpecR32f* fftSpec;
    float* tapsSpectrum;
    int32_t fftLength; // -1 without FFT
    int32_t delayIndex;
    int32_t* indexTable;
    float* tapVectors; // multirate: coefficient table
    int32_t tapsPerGroup;
    int32_t multirateKind;
    int32_t historyLength;
    float* fftBlock;
    uint8_t* fftWork;
    int32_t fftWorkSize;
    int32_t upPhase;
    int32_t downPhase;
};
static_assert(sizeof(DspFirState32f) <= DspFirRecordBytes);

// Single-rate FIR (taps h[0] weighting the newest sample).
DspStatus DspFirStateSize32f_Gen(int32_t tapsLen, int32_t* pSize);
DspStatus DspFirInit32f_Gen(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                            const float* dlyLine, uint8_t* buffer);
DspStatus DspFirFilter32f_Gen(const float* src, float* dst, int32_t len, DspFirState32f* state);

// Multirate FIR: upsample by U, filter, downsample by D.
DspStatus DspFirMultirateStateSize32f_Gen(int32_t tapsLen, int32_t upFactor, int32_t downFactor,
                                          int32_t* pSize);
DspStatus DspFirMultirateInit32f_Gen(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                                     int32_t upFactor, int32_t upPhase, int32_t downFactor,
                                     int32_t downPhase, const float* dlyLine, uint8_t* buffer);
DspStatus DspFirMultirateFilter32f_Gen(const float* src, float* dst, int32_t len,
                                       DspFirState32f* state);

// One output of a direct FIR over a doubled delay line of 2 * tapsLen floats.
DspStatus DspFirOneSample32f_Gen(float src, float* pDst, const float* taps, int32_t tapsLen,
                                 float* dlyLine, int32_t* pDlyIndex);
// Levels 1 to 3: the entry's checks, then the level's kernel, which sums in
// single precision.
#define DSP_FIR_ONE_DECLARE_LEVEL(sfx)                                                             \
    void DspFirOneKernel_##sfx(const float* pSrc, float* pDst, const float* taps, int32_t tapsLen, \
                               float* dlyLine, int32_t* pDlyIndex);                                \
    DspStatus DspFirOneSample32f_##sfx(float src, float* pDst, const float* taps, int32_t tapsLen, \
                                       float* dlyLine, int32_t* pDlyIndex)
DSP_FIR_ONE_DECLARE_LEVEL(Sse3);
DSP_FIR_ONE_DECLARE_LEVEL(Ssse3);
DSP_FIR_ONE_DECLARE_LEVEL(Sse4);

// The block filter of levels 1 to 3, its initialisers and size routines, and
// the direct-form and multirate kernels behind it.
#define DSP_FIR_LEVEL_DECLARE(sfx)                                                                 \
    void DspFirDirectKernel_##sfx(const float* tapVectors, const float* x, float* y, int32_t n,    \
                                  int32_t tapsLen, int32_t reserved);                              \
    int64_t DspFirMultirateKind1Kernel_##sfx(const float* coef, const float* data, float* y,       \
                                             int64_t n, const int32_t* table, const int32_t* end,  \
                                             int64_t base, int32_t tapsPerGroup);                  \
    int64_t DspFirMultirateKind2Kernel_##sfx(const float* coef, const float* x, float* y,          \
                                             int64_t n, int64_t offset, int32_t tapsLen,           \
                                             int64_t step);                                        \
    int64_t DspFirMultirateKind3Kernel_##sfx(const float* coef, const float* data, float* y,       \
                                             int64_t n, const int32_t* table, const int32_t* end,  \
                                             int64_t base, int32_t tapsLen);                       \
    DspStatus DspFirStateSize32f_##sfx(int32_t tapsLen, int32_t* pSize);                           \
    DspStatus DspFirInit32f_##sfx(DspFirState32f** ppState, const float* taps, int32_t tapsLen,    \
                                  const float* dlyLine, uint8_t* buffer);                          \
    DspStatus DspFirFilter32f_##sfx(const float* src, float* dst, int32_t len,                     \
                                    DspFirState32f* state);                                        \
    DspStatus DspFirMultirateStateSize32f_##sfx(int32_t tapsLen, int32_t upFactor,                 \
                                                int32_t downFactor, int32_t* pSize);               \
    DspStatus DspFirMultirateInit32f_##sfx(DspFirState32f** ppState, const float* taps,            \
                                           int32_t tapsLen, int32_t upFactor, int32_t upPhase,     \
                                           int32_t downFactor, int32_t downPhase,                  \
                                           const float* dlyLine, uint8_t* buffer)
DSP_FIR_LEVEL_DECLARE(Sse3);
DSP_FIR_LEVEL_DECLARE(Ssse3);
DSP_FIR_LEVEL_DECLARE(Sse4);
