// The FFT engine's inner kernels in SSE2 lanes. Each register holds two
// complex points that take no part in each other's butterfly (neighbouring k
// of one pass, or neighbouring columns), so every lane performs the same
// operations in the same order as the plain loops: products, sums and the
// rotations by j round exactly as they do there.
#pragma once

#if defined(__SSE2__)

#include <cstdint>

namespace DspFftSse2
{
// Whole radix-4 transform of n = 8..1024 points, bit-reversed in, natural out.
template <bool Inv> void Radix4(float* data, int32_t n, const float* twiddles);

// The same transform of n = 16..1024 points whose natural order is
// src[0], src[srcStride], src[2 * srcStride], ... (in points) into dst (no
// overlap): the bit-reversed copy and the first stages in one sweep.
template <bool Inv>
void PermuteRadix4(const float* src, int64_t srcStride, float* dst, int32_t n,
                   const float* twiddles);

// The same transform of n = 64..1024 points in place from natural order: the
// permutation by tiles and the first stages in one sweep.
template <bool Inv> void InPlaceRadix4(float* data, int32_t n, const float* twiddles);

// Column phase of one depth of the block scheme: every group of four columns
// is multiplied by its cross twiddles, gathered into work (32 * rows bytes),
// transformed there as rows-point radix-4 transforms, and written back.
template <bool Inv>
void Columns(float* data, int32_t rows, int32_t cols, const float* cross, const float* columnTw,
             float* work);

// Joins of transformed blocks, in the column-chunk order of the plain loop.
template <bool Inv>
void Radix2Passes(float* data, int32_t n, int32_t blockPoints, const float* table,
                  int32_t chunkFloats);

// Mirrored-bin steps of the real transform over the n complex points of the
// half-length spectrum, two bins k at a time from k = 1; each returns the
// first k it left to the caller's loop (at most one, below n/2).
int32_t PostSplit(float* x, int32_t n, const float* w);
int32_t PreSplit(const float* x, float* y, int32_t n, const float* w);
} // namespace DspFftSse2

#endif
