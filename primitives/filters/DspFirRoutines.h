// The FIR family written once for every processor level: the size routines,
// builders and block filters take the routines of their level (vector basics,
// FFT members, direct and multirate kernels) from one table, so a level calls
// nothing of another level and the procedure stays the same at all four.
#pragma once

#include <cstdint>

#include "primitives/filters/DspFirState.h"

struct DspFirRoutines
{
    DspStatus (*copy)(const float*, float*, int32_t);
    DspStatus (*zero)(float*, int32_t);
    DspStatus (*move)(const float*, float*, int32_t);
    DspStatus (*fftSize)(int32_t, DspFftScaleFlag, int32_t, int32_t*, int32_t*, int32_t*);
    DspStatus (*fftInit)(DspFftSpecR32f**, int32_t, DspFftScaleFlag, int32_t, uint8_t*, uint8_t*);
    DspStatus (*fftFwd)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
    DspStatus (*mulSpectra)(const float*, float*, int32_t);
    DspStatus (*fftInv)(const float*, float*, const DspFftSpecR32f*, uint8_t*);
    // count (>= 1) direct-form outputs y[i] = sum_k h[n-1-k] * x[i+k] for i below
    // split (1 .. count), and the same over x2[i - split ..] from split on.
    void (*direct)(const DspFirState32f*, const float* x, float* y, int32_t split, const float* x2,
                   int32_t count);
    // count outputs of a multirate call in whole cycles of 4U, starting at
    // cycle firstCycle; the working sequence is xx[i] = data[i - offset].
    void (*groups)(const DspFirState32f*, const float* data, int64_t offset, int64_t firstCycle,
                   float* dst, int64_t count);
    // Levels 1 to 3: the tap-vector array behind the delay line, and the
    // multirate kinds 2 and 3 with each output's coefficients contiguous.
    bool levelLayout;
};

DspStatus DspFirStateSizeWith(const DspFirRoutines& r, int32_t tapsLen, int32_t* pSize);
DspStatus DspFirInitWith(const DspFirRoutines& r, DspFirState32f** ppState, const float* taps,
                         int32_t tapsLen, const float* dlyLine, uint8_t* buffer);
DspStatus DspFirFilterWith(const DspFirRoutines& r, const float* src, float* dst, int32_t len,
                           DspFirState32f* state);

DspStatus DspFirMultirateStateSizeWith(const DspFirRoutines& r, int32_t tapsLen, int32_t upFactor,
                                       int32_t downFactor, int32_t* pSize);
DspStatus DspFirMultirateInitWith(const DspFirRoutines& r, DspFirState32f** ppState,
                                  const float* taps, int32_t tapsLen, int32_t upFactor,
                                  int32_t upPhase, int32_t downFactor, int32_t downPhase,
                                  const float* dlyLine, uint8_t* buffer);
// The multirate branch; the state's kind word was checked by the caller.
DspStatus DspFirMultirateFilterWith(const DspFirRoutines& r, const float* src, float* dst,
                                    int32_t len, DspFirState32f* state);

// Level 0: the generic members and the four-outputs-per-tap direct loops.
extern const DspFirRoutines DspFirRoutinesGen;
void DspFirMultirateGroups_Gen(const DspFirState32f* st, const float* data, int64_t offset,
                               int64_t firstCycle, float* dst, int64_t count);
// One multirate output at a time, as every level computes its remainder:
// count outputs from the start of cycle firstCycle, each stopping at the end
// (length) of the working sequence.
void DspFirMultirateSingles(const DspFirState32f* st, const float* data, int64_t offset,
                            int64_t length, int64_t firstCycle, float* dst, int64_t count,
                            bool levelLayout);
