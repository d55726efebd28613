// The radix-8 pass that joins eight sub-transforms of L points, held one after
// another as split blocks in natural residue order, into the transform of 8L
// points, written as interleaved points or as two arrays of real and imaginary
// parts. Compiled in each level's own file.
#pragma once

#include "primitives/fft/levels/DspFftLevelKernels.h"
#include "primitives/fft/DspFftVariants.h"

namespace
{
// Per k-block seven twiddle pairs, j = 1 .. 7: four cosines, four -sines.
constexpr int64_t kCombine8BlockFloats = 56;

template <bool Inv, class Out>
void Combine8Pass(const float* src, uint64_t L, int64_t count, const float* tw, Out out)
{
    const auto span = static_cast<int64_t>(L);
    for (int64_t k = 0; k < count; k += 4, tw += kCombine8BlockFloats)
    {
        auto t = [&](int q)
        {
            const Cv f = Load(src + 2 * (q * span + k));
            return q == 0 ? f : MulTw<Inv>(f, tw + 8 * (q - 1));
        };
        // Every input of the k-block is read before the first store, so the
        // pass also runs in place.
        Cv y[8];
        Butterfly8<Inv>(t, y);
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
        {
            out(j * span + k, y[j]);
        }
    }
}

template <bool Inv>
void Combine8Interleaved(const float* src, float* dst, uint64_t L, int64_t count, const float* tw)
{
    if (DspFftRadix8ArgsFit(src, dst, dst, L, count, tw))
    {
        Combine8Pass<Inv>(src, L, count, tw, InterleavedOut{dst});
    }
}

template <bool Inv>
void Combine8Planar(const float* src, float* dstRe, float* dstIm, uint64_t L, int32_t count,
                    const float* tw)
{
    if (DspFftRadix8ArgsFit(src, dstRe, dstIm, L, count, tw))
    {
        Combine8Pass<Inv>(src, L, count, tw, PlanarOut{dstRe, dstIm});
    }
}
} // namespace

#define DSP_FFT_DEFINE_COMBINE8(Sfx)                                                               \
    void DspFftCplxFwdRadix8_##Sfx(const float* src, float* dst, uint64_t L, int64_t count,        \
                                   const float* tw)                                                \
    {                                                                                              \
        Combine8Interleaved<false>(src, dst, L, count, tw);                                        \
    }                                                                                              \
    void DspFftCplxInvRadix8_##Sfx(const float* src, float* dst, uint64_t L, int64_t count,        \
                                   const float* tw)                                                \
    {                                                                                              \
        Combine8Interleaved<true>(src, dst, L, count, tw);                                         \
    }                                                                                              \
    void DspFftSplitFwdRadix8_##Sfx(const float* src, float* dstRe, float* dstIm, uint64_t L,      \
                                    int32_t count, const float* tw)                                \
    {                                                                                              \
        Combine8Planar<false>(src, dstRe, dstIm, L, count, tw);                                    \
    }                                                                                              \
    void DspFftSplitInvRadix8_##Sfx(const float* src, float* dstRe, float* dstIm, uint64_t L,      \
                                    int32_t count, const float* tw)                                \
    {                                                                                              \
        Combine8Planar<true>(src, dstRe, dstIm, L, count, tw);                                     \
    }
