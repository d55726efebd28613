// Complex FFT of n points whose real and imaginary parts lie in two arrays:
// the gather form reads natural order through the block bit-reversal table,
// the in-place form reads arrays already in bit-reversed order. Both run the
// level's pass plan on split blocks in the work buffer and write the last
// stage straight into the two arrays, in natural order. Compiled in each
// level's own file.
#pragma once

#include <bit>

#include "primitives/fft/levels/DspFftLevelKernels.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
// Eight points: two 4-point transforms side by side (even points in lane 0,
// odd points in lane 1), the odd one turned by the eighth roots of unity.
template <bool Inv> void Split8(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm)
{
    const __m128 rl = _mm_loadu_ps(srcRe);
    const __m128 rh = _mm_loadu_ps(srcRe + 4);
    const __m128 il = _mm_loadu_ps(srcIm);
    const __m128 ih = _mm_loadu_ps(srcIm + 4);
    const Cv u[4] = {{rl, il},
                     {_mm_movehl_ps(rl, rl), _mm_movehl_ps(il, il)},
                     {rh, ih},
                     {_mm_movehl_ps(rh, rh), _mm_movehl_ps(ih, ih)}};
    Cv y[4];
    Dft4<Inv>(u, y);
    const __m128 r01 = _mm_unpacklo_ps(y[0].re, y[1].re);
    const __m128 r23 = _mm_unpacklo_ps(y[2].re, y[3].re);
    const __m128 i01 = _mm_unpacklo_ps(y[0].im, y[1].im);
    const __m128 i23 = _mm_unpacklo_ps(y[2].im, y[3].im);
    const Cv even = {_mm_movelh_ps(r01, r23), _mm_movelh_ps(i01, i23)};
    const Cv odd = {_mm_movehl_ps(r23, r01), _mm_movehl_ps(i23, i01)};
    alignas(16) const float roots[8] = {1.0f, kR, 0.0f, -kR, 0.0f, -kR, -1.0f, -kR};
    const Cv t = MulTw<Inv>(odd, roots);
    const Cv lo = Add(even, t);
    const Cv hi = Sub(even, t);
    _mm_storeu_ps(dstRe, lo.re);
    _mm_storeu_ps(dstRe + 4, hi.re);
    _mm_storeu_ps(dstIm, lo.im);
    _mm_storeu_ps(dstIm + 4, hi.im);
}

// First stage of the gather form: iteration i takes the four points from
// j = 4 rev(i) in each quarter of the arrays (entry 4 i of the table is
// 2 rev(i)); lane l's butterfly is block i of quarter rev2(l) of work.
template <bool Inv>
void SplitGatherFirst(const float* re, const float* im, int64_t n, const uint32_t* table,
                      float* work)
{
    const int64_t quarter = n / 4;
    const int64_t rows = n / 16;
    for (int64_t i = 0; i < rows; ++i)
    {
        const int64_t j = 2 * static_cast<int64_t>(table[4 * i]);
        Cv u[4];
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q)
        {
            u[q] = {_mm_loadu_ps(re + j + q * quarter), _mm_loadu_ps(im + j + q * quarter)};
        }
        Cv y[4];
        Dft4Lanes<Inv>(u, y);
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l)
        {
            Store(work + 8 * (kRev4[l] * rows + i), y[l]);
        }
    }
}

// First stage of the in-place form: each four consecutive points of the
// bit-reversed arrays make one radix-4 butterfly; four run at once.
template <bool Inv> void SplitInPlaceFirst(const float* re, const float* im, int64_t n, float* work)
{
    for (int64_t p = 0; p < n; p += 16)
    {
        Cv g[4];
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l)
        {
            g[l] = {_mm_loadu_ps(re + p + 4 * l), _mm_loadu_ps(im + p + 4 * l)};
        }
        Transpose(g);
        const Cv u[4] = {g[0], g[2], g[1], g[3]};
        Cv y[4];
        Dft4Lanes<Inv>(u, y);
#pragma GCC unroll 4
        for (int l = 0; l < 4; ++l)
        {
            Store(work + 2 * (p + 4 * l), y[l]);
        }
    }
}

template <int Lvl, bool Inv>
void SplitGather(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                 const float* tw, const uint32_t* table, float* work)
{
    // Eight points need neither table nor work buffer.
    const bool eight = n == 8;
    const void* const pointers[] = {srcRe, srcIm, dstRe, dstIm, tw, table, work};
    if (!DspFftVariantArgsFit(DspFftVariantKind::SplitGather, n, pointers, eight ? 4 : 7))
    {
        return;
    }
    if (eight)
    {
        Split8<Inv>(srcRe, srcIm, dstRe, dstIm);
        return;
    }
    // The whole source is in work before the last stage writes, so the
    // destination may be the source.
    SplitGatherFirst<Inv>(srcRe, srcIm, n, table, work);
    const int32_t m = std::countr_zero(static_cast<uint32_t>(n));
    StagesTo<Lvl, Inv>(work, m, tw, PlanarOut{dstRe, dstIm});
}

template <int Lvl, bool Inv>
void SplitInPlace(float* re, float* im, int64_t n, const float* tw, float* work)
{
    const void* const pointers[] = {re, im, tw, work};
    if (!DspFftVariantArgsFit(DspFftVariantKind::SplitInPlace, n, pointers, 4))
    {
        return;
    }
    SplitInPlaceFirst<Inv>(re, im, n, work);
    const int32_t m = std::countr_zero(static_cast<uint64_t>(n));
    StagesTo<Lvl, Inv>(work, m, tw, PlanarOut{re, im});
}
} // namespace

#define DSP_FFT_DEFINE_SPLIT(Sfx, Lvl)                                                             \
    void DspFftSplitFwdSmall_##Sfx(const float* sr, const float* si, float* dr, float* di,         \
                                   int32_t n, const float* tw, const uint32_t* rev, float* work)   \
    {                                                                                              \
        SplitGather<Lvl, false>(sr, si, dr, di, n, tw, rev, work);                                 \
    }                                                                                              \
    void DspFftSplitInvSmall_##Sfx(const float* sr, const float* si, float* dr, float* di,         \
                                   int32_t n, const float* tw, const uint32_t* rev, float* work)   \
    {                                                                                              \
        SplitGather<Lvl, true>(sr, si, dr, di, n, tw, rev, work);                                  \
    }                                                                                              \
    void DspFftSplitFwdPasses_##Sfx(float* re, float* im, int64_t n, const float* tw, float* work) \
    {                                                                                              \
        SplitInPlace<Lvl, false>(re, im, n, tw, work);                                             \
    }                                                                                              \
    void DspFftSplitInvPasses_##Sfx(float* re, float* im, int64_t n, const float* tw, float* work) \
    {                                                                                              \
        SplitInPlace<Lvl, true>(re, im, n, tw, work);                                              \
    }
