// IIR filter states in caller memory: one record for the direct-form ("II01")
// and biquad-cascade ("II02") kinds. Levels 1 to 3 add the tables of their
// four-sample block recursion and a work buffer behind the record, so a state
// is valid only at the level that built it.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

inline constexpr uint32_t DspIirKindDirect = 0x49493031; // "II01"
inline constexpr uint32_t DspIirKindBiquad = 0x49493032; // "II02"

// Room the record takes at the start of a state, and the work buffer of the
// block path: one chunk's numerator part.
inline constexpr int32_t DspIirRecordBytes = 96;
inline constexpr int32_t DspIirChunk = 1024;

struct DspIirState32f
{
    uint32_t kind;
    float* taps;  // b0..bN then a1..aN, divided by a0
    float* delay; // d0..d(N-1) of the transposed direct form, then a 0.0
    int32_t order;
    float* numTable; // levels 1-3: each b_k four times
    float* recTable; // levels 1-3: four-sample look-ahead weights
    int32_t sectionCount;
    float* sectionTable; // "II02", levels 1-3: 8-float section records
    float* work;         // levels 1-3: DspIirChunk floats
    float* work2;
    uint32_t spare;
};
static_assert(sizeof(DspIirState32f) <= DspIirRecordBytes);

#define DSP_IIR_DECLARE_LEVEL(sfx)                                                                 \
    DspStatus DspIirFilterInPlace32f_##sfx(float* srcDst, int32_t len, DspIirState32f* state);     \
    DspStatus DspIirInit32f_##sfx(DspIirState32f** ppState, const float* taps, int32_t order,      \
                                  const float* dlyLine, uint8_t* buffer);                          \
    void DspIirOneSampleKernel_##sfx(const float* src, float* dst, DspIirState32f* state);         \
    void DspBiquadOneSampleKernel_##sfx(const float* src, float* dst, DspIirState32f* state);      \
    void DspIirBlockKernelA_##sfx(const float* src, float* work, int32_t count,                    \
                                  const float* numTable, int32_t order);                           \
    void DspIirBlockKernelB_##sfx(const float* work, float* dst, int32_t count,                    \
                                  const float* recTable, int32_t order);                           \
    void DspBiquadBlockKernelA_##sfx(const float* src, float* work, int32_t count,                 \
                                     const float* numTable);                                       \
    void DspBiquadBlockKernelB_##sfx(const float* work, float* dst, int32_t count,                 \
                                     const float* recTable)

DspStatus DspIirFilterInPlace32f_Gen(float* srcDst, int32_t len, DspIirState32f* state);
DspStatus DspIirStateSize32f_Gen(int32_t order, int32_t* pSize);
DspStatus DspIirInit32f_Gen(DspIirState32f** ppState, const float* taps, int32_t order,
                            const float* dlyLine, uint8_t* buffer);
DSP_IIR_DECLARE_LEVEL(Sse3);
DSP_IIR_DECLARE_LEVEL(Ssse3);
DSP_IIR_DECLARE_LEVEL(Sse4);
// Levels 2 and 3 share the level-2 size: the tables are the same.
DspStatus DspIirStateSize32f_Sse3(int32_t order, int32_t* pSize);
DspStatus DspIirStateSize32f_Ssse3(int32_t order, int32_t* pSize);

// Shared by the builders of every level.
int32_t DspIirStateSizeCore(int32_t order, uint32_t kind, bool withTables);
// The checks before any write; 0 when the arguments may be built on.
DspStatus DspIirInitCheck(DspIirState32f* const* ppState, const float* taps, int32_t order,
                          const uint8_t* buffer);
// Header, delay line (through the level's copy and zero routines) and, with
// tables, the table pointers; returns the state.
using DspIirCopyFn = DspStatus (*)(const float*, float*, int32_t);
using DspIirZeroFn = DspStatus (*)(float*, int32_t);
DspIirState32f* DspIirBuildState(uint8_t* buffer, int32_t order, const float* dlyLine,
                                 bool withTables, DspIirCopyFn copy, DspIirZeroFn zero);
// Normalises the taps by one reciprocal of a0; -10 when a0 equals zero. With
// tables it also fills the numerator and recursion tables.
DspStatus DspIirNormTaps(DspIirState32f* state, const float* taps, bool withTables);
// The four-sample look-ahead weights, 4N + 12 floats, of an order-N recursion
// whose feedback alpha_k is feedback[k - 1] * negInv.
void DspIirRecursionTable(const float* feedback, float negInv, int32_t order, float* table);
