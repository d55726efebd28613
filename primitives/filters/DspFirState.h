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
