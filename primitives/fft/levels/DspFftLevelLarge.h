// Bit reversal and the large-order drivers of the processor levels: the
// permutation (by the index table, or by 64 x 64 tiles for the largest
// orders), leaf transforms of contiguous sub-sequences, then the outer radix-8
// and radix-4 passes over cache-sized tiles gathered from the data.
#pragma once

#include "platform/kernel/kernel.h"
#include "primitives/fft/levels/DspFftLevelBitRev.h"
#include "primitives/fft/levels/DspFftLevelKernels.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
// The permutation of n >= 4096 points by tiles, the index read as row, tile
// and column of 6, m - 12 and 6 bits: one tile of 64 rows of 64 points, rows
// rowStride apart, into or out of a 4096-point buffer; a tile read in is
// reversed on 12 bits by the swap list.
void TileIn(const float* data, int64_t col, int64_t rowStride, float* tile,
            const uint32_t* swapList)
{
    for (int64_t r = 0; r < 64; ++r)
    {
        memcpy(tile + 128 * r, data + 2 * (col + r * rowStride), 512);
    }
    BitRevTileSwap64(tile, 4096, swapList);
}
void TileOut(float* data, int64_t col, int64_t rowStride, const float* tile)
{
    for (int64_t r = 0; r < 64; ++r)
    {
        memcpy(data + 2 * (col + r * rowStride), tile + 128 * r, 512);
    }
}

// In place: tile t pairs with tile table[t] / 64.
void BitRevTiled(float* data, int32_t n, const uint32_t* table, float* work)
{
    if (n < 4096)
    {
        return;
    }
    const int64_t rowStride = n / 64;
    const int64_t tiles = n / 4096;
    const uint32_t* swapList = table + tiles;
    float* first = work;
    float* second = work + 8192;
    for (int64_t t = 0; t < tiles; ++t)
    {
        const int64_t own = 64 * t;
        const int64_t partner = table[t];
        if (partner < own)
        {
            continue;
        }
        TileIn(data, own, rowStride, first, swapList);
        if (partner == own)
        {
            TileOut(data, own, rowStride, first);
            continue;
        }
        TileIn(data, partner, rowStride, second, swapList);
        TileOut(data, partner, rowStride, first);
        TileOut(data, own, rowStride, second);
    }
}

// Out of place: every tile of dst is its partner tile of src, reordered.
void BitRevTiledGather(const float* src, float* dst, int32_t n, const uint32_t* table, float* work)
{
    const int64_t rowStride = n / 64;
    const int64_t tiles = n / 4096;
    for (int64_t t = 0; t < tiles; ++t)
    {
        TileIn(src, table[t], rowStride, work, table + tiles);
        TileOut(dst, 64 * t, rowStride, work);
    }
}

void TileGather(const float* data, float* tile, int64_t rowStride, int64_t rows, int64_t cols)
{
    for (int64_t r = 0; r < rows; ++r)
    {
        memcpy(tile + 2 * r * cols, data + 2 * r * rowStride, static_cast<size_t>(8 * cols));
    }
}

void TileScatter(float* data, const float* tile, int64_t rowStride, int64_t rows, int64_t cols,
                 bool top)
{
    for (int64_t r = 0; r < rows; ++r)
    {
        float* d = data + 2 * r * rowStride;
        const float* t = tile + 2 * r * cols;
        if (!top)
        {
            memcpy(d, t, static_cast<size_t>(8 * cols));
            continue;
        }
        for (int64_t c = 0; c < cols; c += 4)
        {
            StoreInterleaved(d + 2 * c, Load(t + 2 * c));
        }
    }
}

// Tile rows between separate real and imaginary arrays and the split layout.
void TileGatherPlanar(const float* re, const float* im, float* tile, int64_t rowStride,
                      int64_t rows, int64_t cols)
{
    for (int64_t r = 0; r < rows; ++r)
    {
        for (int64_t c = 0; c < cols; c += 4)
        {
            const int64_t at = r * rowStride + c;
            Store(tile + 2 * (r * cols + c), {_mm_loadu_ps(re + at), _mm_loadu_ps(im + at)});
        }
    }
}

void TileScatterPlanar(float* re, float* im, const float* tile, int64_t rowStride, int64_t rows,
                       int64_t cols)
{
    for (int64_t r = 0; r < rows; ++r)
    {
        for (int64_t c = 0; c < cols; c += 4)
        {
            PlanarOut{re, im}(r * rowStride + c, Load(tile + 2 * (r * cols + c)));
        }
    }
}

// The radix-2 outer pass and the planar tile moves have no caller; their
// arguments are checked before any memory is touched.
template <bool Inv>
void OuterRadix2(const float* src, float* dst, int64_t span, int64_t groups, const float* tw)
{
    const void* const pointers[] = {src, dst, tw};
    if (DspFftBlockArgsFit(span, groups, pointers, 3))
    {
        Pass<2, Inv>(src, span, groups, tw, SplitOut{dst});
    }
}

bool TilePlanarFits(const void* re, const void* im, const void* tile, int64_t rowStride,
                    int64_t rows, int64_t cols)
{
    const void* const pointers[] = {re, im, tile};
    const bool rowsApart = rowStride >= cols;
    ASSERT(rowsApart);
    return DspFftBlockArgsFit(cols, rows, pointers, 3) && rowsApart;
}

struct LargeArgs
{
    const DspFftSpecR32f* spec;
    float* work;
    bool scaled;
    DspStatus (*mulConst)(float, float*, int32_t);
};

// One depth: leaves (or the next depth), then the outer passes by tiles; the
// depth-0 scatter turns the split layout back into interleaved pairs.
template <int Lvl, bool Inv>
void LargeStep(const LargeArgs& a, float* block, int32_t k, int32_t depth)
{
    const int32_t outer = kOuterOrder[k];
    const int32_t inner = k - outer;
    const int64_t rows = int64_t{1} << outer;
    const int64_t innerN = int64_t{1} << inner;
    for (int64_t j = 0; j < rows; ++j)
    {
        float* sub = block + 2 * j * innerN;
        if (inner > FftLevel<Lvl>::kLeafLimit)
        {
            LargeStep<Lvl, Inv>(a, sub, inner, depth + 1);
            continue;
        }
        Passes<Lvl, Inv>(sub, static_cast<int32_t>(innerN), a.spec->radix4Twiddles, false);
        if (a.scaled)
        {
            a.mulConst(a.spec->scale, sub, static_cast<int32_t>(2 * innerN));
        }
    }
    const int64_t cols = int64_t{1} << (kTileOrder[k] - outer);
    const float* cursor = a.spec->crossTwiddles[depth];
    for (int64_t col0 = 0; col0 < innerN; col0 += cols)
    {
        TileGather(block + 2 * col0, a.work, innerN, rows, cols);
        int64_t span = cols;
        int64_t groups = rows;
        for (int32_t done = 0; done < outer;)
        {
            const int32_t r = OuterRadix(outer, done);
            groups /= r;
            if (r == 4)
            {
                Pass<4, Inv>(a.work, span, groups, cursor, SplitOut{a.work});
                done += 2;
            }
            else
            {
                Pass<8, Inv>(a.work, span, groups, cursor, SplitOut{a.work});
                done += 3;
            }
            cursor += 2 * (r - 1) * span;
            span *= r;
        }
        TileScatter(block + 2 * col0, a.work, innerN, rows, cols, depth == 0);
    }
}

template <int Lvl, bool Inv> void Large(const LargeArgs& a, const float* src, float* dst, int32_t m)
{
    const int32_t n = 1 << m;
    const uint32_t* table = a.spec->bitRevList;
    if (m < FftLevel<Lvl>::kTiledFrom)
    {
        if (src == dst)
        {
            BitRevInPlace64(dst, n, table);
        }
        else if (m < 18)
        {
            BitRevCopy64(src, dst, n, table);
        }
        else
        {
            memcpy(dst, src, static_cast<size_t>(8) * n);
            BitRevInPlace64(dst, n, table);
        }
    }
    else if (src != dst && Lvl > 1 && m <= 20)
    {
        BitRevTiledGather(src, dst, n, table, a.work);
    }
    else
    {
        if (src != dst)
        {
            memcpy(dst, src, static_cast<size_t>(8) * n);
        }
        BitRevTiled(dst, n, table, a.work);
    }
    LargeStep<Lvl, Inv>(a, dst, m, 0);
}
} // namespace

#define DSP_FFT_DEFINE_OUTER(Sfx)                                                                  \
    void DspFftOuterRadix2Fwd_##Sfx(const float* src, float* dst, int64_t span, int64_t groups,    \
                                    const float* tw)                                               \
    {                                                                                              \
        OuterRadix2<false>(src, dst, span, groups, tw);                                            \
    }                                                                                              \
    void DspFftOuterRadix2Inv_##Sfx(const float* src, float* dst, int64_t span, int64_t groups,    \
                                    const float* tw)                                               \
    {                                                                                              \
        OuterRadix2<true>(src, dst, span, groups, tw);                                             \
    }                                                                                              \
    void DspFftTileGatherPlanar_##Sfx(const float* re, const float* im, float* tile,               \
                                      int64_t rowStride, int64_t rows, int64_t cols)               \
    {                                                                                              \
        if (TilePlanarFits(re, im, tile, rowStride, rows, cols))                                   \
        {                                                                                          \
            TileGatherPlanar(re, im, tile, rowStride, rows, cols);                                 \
        }                                                                                          \
    }                                                                                              \
    void DspFftTileScatterPlanar_##Sfx(float* re, float* im, const float* tile, int64_t rowStride, \
                                       int64_t rows, int64_t cols)                                 \
    {                                                                                              \
        if (TilePlanarFits(re, im, tile, rowStride, rows, cols))                                   \
        {                                                                                          \
            TileScatterPlanar(re, im, tile, rowStride, rows, cols);                                \
        }                                                                                          \
    }
