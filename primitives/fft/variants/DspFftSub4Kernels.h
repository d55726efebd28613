// The first four decimated sub-transforms of an 8n-point span: the n-point
// transforms of the streams x[8m + s], s = 0 .. 3, one after another as split
// blocks. The gather through the block bit-reversal table carries the first
// radix-4 stage of all four streams; the later stages of the level's plan then
// finish one stream at a time. Compiled in each level's own file.
#pragma once

#include <bit>

#include "primitives/fft/levels/DspFftLevelKernels.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
// Four consecutive points (one per stream) from interleaved points or from two
// arrays, as one real and one imaginary vector.
struct InterleavedPoints
{
    const float* base;
    [[gnu::always_inline]] Cv operator()(int64_t point) const
    {
        const __m128 v01 = _mm_loadu_ps(base + 2 * point);
        const __m128 v23 = _mm_loadu_ps(base + 2 * point + 4);
        return {_mm_shuffle_ps(v01, v23, 0x88), _mm_shuffle_ps(v01, v23, 0xDD)};
    }
};
struct PlanarPoints
{
    const float* re;
    const float* im;
    [[gnu::always_inline]] Cv operator()(int64_t point) const
    {
        return {_mm_loadu_ps(re + point), _mm_loadu_ps(im + point)};
    }
};

// Table position i names the group of points 4 e .. 4 e + 3 (e = entry i, 0
// for i = 0): one point of each stream. Its four quarters of the span give
// the first radix-4 butterfly of every stream, stored as block i of each.
// Only points whose index is 0 to 3 modulo 8 are read.
template <bool Inv, class Points>
void Sub4FirstStage(Points points, int64_t n, const int32_t* table, float* area)
{
    const int64_t blocks = n / 4;
    for (int64_t i = 0; i < blocks; ++i)
    {
        const int64_t first = 4 * (i == 0 ? 0 : static_cast<int64_t>(table[i]));
        Cv u[4];
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j)
        {
            u[j] = points(first + 2 * n * j);
        }
        Cv y[4];
        Dft4Lanes<Inv>(u, y);
#pragma GCC unroll 4
        for (int s = 0; s < 4; ++s)
        {
            Store(area + 2 * (s * n + 4 * i), y[s]);
        }
    }
}

// The remaining stages of every stream, from the start of the twiddle table
// each time; the last one writes the stream's part of dst.
template <int Lvl, bool Inv> void Sub4Streams(float* area, float* dst, int64_t n, const float* tw)
{
    const int32_t m = std::countr_zero(static_cast<uint64_t>(n));
    for (int64_t s = 0; s < 4; ++s)
    {
        StagesTo<Lvl, Inv>(area + 2 * s * n, m, tw, SplitOut{dst + 2 * s * n});
    }
}

template <int Lvl, bool Inv>
void Sub4Interleaved(const float* src, float* dst, uint64_t n, const float* tw,
                     const int32_t* table, float* work)
{
    const bool inDst = src != dst && (reinterpret_cast<uintptr_t>(dst) & 15u) == 0;
    const void* const pointers[] = {src, dst, tw, table, inDst ? dst : work};
    if (!DspFftVariantArgsFit(DspFftVariantKind::Decimated, static_cast<int64_t>(n), pointers, 5))
    {
        return;
    }
    float* area = inDst ? dst : work;
    const auto count = static_cast<int64_t>(n);
    Sub4FirstStage<Inv>(InterleavedPoints{src}, count, table, area);
    Sub4Streams<Lvl, Inv>(area, dst, count, tw);
}

template <int Lvl, bool Inv>
void Sub4Planar(const float* srcRe, const float* srcIm, float* dst, uint64_t n, const float* tw,
                const int32_t* table)
{
    const void* const pointers[] = {srcRe, srcIm, dst, tw, table};
    if (!DspFftVariantArgsFit(DspFftVariantKind::Decimated, static_cast<int64_t>(n), pointers, 5))
    {
        return;
    }
    const auto count = static_cast<int64_t>(n);
    Sub4FirstStage<Inv>(PlanarPoints{srcRe, srcIm}, count, table, dst);
    Sub4Streams<Lvl, Inv>(dst, dst, count, tw);
}
} // namespace

#define DSP_FFT_DEFINE_SUB4(Sfx, Lvl)                                                              \
    void DspFftCplxFwdSub4_##Sfx(const float* src, float* dst, uint64_t n, const float* tw,        \
                                 const int32_t* table, float* work)                                \
    {                                                                                              \
        Sub4Interleaved<Lvl, false>(src, dst, n, tw, table, work);                                 \
    }                                                                                              \
    void DspFftCplxInvSub4_##Sfx(const float* src, float* dst, uint64_t n, const float* tw,        \
                                 const int32_t* table, float* work)                                \
    {                                                                                              \
        Sub4Interleaved<Lvl, true>(src, dst, n, tw, table, work);                                  \
    }                                                                                              \
    void DspFftSplitFwdSub4_##Sfx(const float* re, const float* im, float* dst, uint64_t n,        \
                                  const float* tw, const int32_t* table)                           \
    {                                                                                              \
        Sub4Planar<Lvl, false>(re, im, dst, n, tw, table);                                         \
    }                                                                                              \
    void DspFftSplitInvSub4_##Sfx(const float* re, const float* im, float* dst, uint64_t n,        \
                                  const float* tw, const int32_t* table)                           \
    {                                                                                              \
        Sub4Planar<Lvl, true>(re, im, dst, n, tw, table);                                          \
    }
