// FFT specification records: one block of memory holding the header of a
// transform (kind, order, scaling) and every table its transforms read. The
// real FFT, the complex engine and the FFT-based filters all run from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/core/DspStatus.h"

// Scaling choice fixed in a record at set-up.
using DspFftScaleFlag = int32_t;
enum : DspFftScaleFlag
{
    DspFftScaleForward = 1, // forward scaled by 1/N
    DspFftScaleInverse = 2, // inverse scaled by 1/N
    DspFftScaleBoth = 4,    // both scaled by 1/sqrt(N)
    DspFftScaleNone = 8     // neither scaled
};

// Kind words of the records.
inline constexpr uint32_t DspFftKindComplex = 4;
inline constexpr uint32_t DspFftKindReal = 6;

inline constexpr int32_t DspFftMaxOrder = 30;
inline constexpr int32_t DspFftHeaderBytes = 136;
inline constexpr int32_t DspFftMaxDepth = 3;

struct DspFftSpecR32f
{
    uint32_t kind;
    int32_t order;
    uint32_t forwardScaled;
    uint32_t inverseScaled;
    float scale;
    uint32_t hint;
    int32_t workBytes;
    uint32_t libraryOwned;
    uint64_t reserved;
    uint32_t* bitRevList;
    float* radix4Twiddles;
    float* joinTwiddles;
    float* chunkJoinTwiddles;
    float* splitTable;
    float* mergeTable;
    float* columnTwiddles[DspFftMaxDepth];
    float* crossTwiddles[DspFftMaxDepth];
};
static_assert(sizeof(DspFftSpecR32f) == DspFftHeaderBytes);
static_assert(offsetof(DspFftSpecR32f, bitRevList) == 40);
static_assert(offsetof(DspFftSpecR32f, crossTwiddles) == 112);

// The complex record: the same header and tables, kind 4.
struct DspFftSpecC32f : DspFftSpecR32f
{
};

// Quarter-wave sine table of 1024 points (257 floats).
extern const float DspFftSineTable1024[257];
// Block order per complex order (index 0..30; only 11..29 are read).
extern const int32_t DspFftBlockOrderTable[DspFftMaxOrder + 1];

// Byte helpers with argument checks: -8 for a null pointer, -6 for a count
// below 1.
DspStatus DspZeroBytes(void* dst, int32_t bytes);
DspStatus DspCopyChecked32f(const void* src, void* dst, int32_t bytes);

// A size query: the checks it makes before it computes anything, in the
// order its statuses rank (the order -5, the three result pointers -8, the
// scaling flag -16), then its answer from the 64-bit sizes that sizes gives;
// -9 where 32 bits, less the 40 bytes the aligned allocation adds, cannot
// describe one of them (such a record cannot be allocated either).
using DspFftSizesFn = void (*)(int32_t order, int64_t* spec, int64_t* init, int64_t* work);
DspStatus DspFftAnswerSizeQuery(int32_t order, DspFftScaleFlag flag, int32_t* outSpec,
                                int32_t* outInit, int32_t* outWork, DspFftSizesFn sizes);

// Clears the header and writes order, hint, scaling and kind; a bad flag
// leaves kind 0 and returns -16.
DspStatus DspFftInitHeader(DspFftSpecR32f* rec, int32_t order, DspFftScaleFlag flag, int32_t hint,
                           uint32_t kind);
using DspFftSizeFn = DspStatus (*)(int32_t, DspFftScaleFlag, int32_t, int32_t*, int32_t*, int32_t*);
using DspFftInitFn = DspStatus (*)(DspFftSpecR32f**, int32_t, DspFftScaleFlag, int32_t, uint8_t*,
                                   uint8_t*);
// The start every initialiser shares: the checks it makes before it writes
// (the result pointer -8, the order -5, the record memory -8, and that size
// answers for the order, -9 where it does not), then the header of a record
// of the kind at the first 32-byte boundary of specMemory (-16 for a bad
// flag), handed back in rec.
DspStatus DspFftBeginInit(DspFftSpecR32f* const* outSpec, int32_t order, DspFftScaleFlag flag,
                          int32_t hint, uint8_t* specMemory, DspFftSizeFn size, uint32_t kind,
                          DspFftSpecR32f** rec);
// Size query, allocation and init of a library-owned record.
DspStatus DspFftCreateWith(DspFftSizeFn size, DspFftInitFn init, DspFftSpecR32f** outSpec,
                           int32_t order, DspFftScaleFlag flag, int32_t hint);
// Invalidates a record of the given kind and frees it when library-owned.
DspStatus DspFftFreeKind(DspFftSpecR32f* spec, uint32_t kind);
// The sine table of a record of the given order: the built-in one up to
// order 10, else computed into the init buffer (null: kind 0 and -8).
DspStatus DspFftSineFor(DspFftSpecR32f* rec, int32_t order, uint8_t* initBuffer, const float** sine,
                        int32_t* sineOrder);
// The tables of the large-order scheme of complex order m from start.
uint8_t* DspFftPassSetup_Gen(DspFftSpecR32f* rec, int32_t m, uint8_t* start, const float* sine,
                             int32_t sineOrder);

// Set-up of real records (kind 6).
DspStatus DspFftSpecSizeR32f_Gen(int32_t order, DspFftScaleFlag flag, int32_t hint,
                                 int32_t* outSpecBytes, int32_t* outInitBytes,
                                 int32_t* outWorkBytes);
DspStatus DspFftSpecInitR32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                 int32_t hint, uint8_t* specMemory, uint8_t* initBuffer);
DspStatus DspFftSpecCreateR32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                   int32_t hint);
DspStatus DspFftSpecFreeR32f_Gen(DspFftSpecR32f* spec);

// Table builders. Each returns the first 32-byte boundary after what it wrote.
uint8_t* DspFftSineTable_Gen(float* table, int32_t order);
uint8_t* DspFftBitRevSwapList(int32_t bits, uint32_t* list);
uint8_t* DspFftTwiddleTable_Gen(float* table, int32_t pointsOrder, const float* sine,
                                int32_t sineOrder);
uint8_t* DspFftRealTwiddle_Gen(float* table, int32_t order, const float* sine, int32_t sineOrder);
uint8_t* DspFftConjTwiddle_Gen(float* table, int32_t order, const float* sine, int32_t sineOrder);

// Sizes of the large-order scheme of complex order m (11..29): table bytes,
// init scratch bytes and work bytes, in 64 bits.
void DspFftWorkSize_Gen(int32_t m, int64_t* tableBytes, int64_t* initBytes, int64_t* workBytes);
