// The one-sample FIR of levels 1 to 3, written once and built in one file per
// level with that level's instruction set: single-precision sums, a plain
// chain up to 16 taps and four-lane products beyond.
#pragma once

#include <xmmintrin.h>

#include <utility>

#include "primitives/filters/DspFirState.h"

// Internal linkage: each level's file keeps its own copy, so a copy built for
// a higher level can never stand in for a lower one at link time.
namespace
{
namespace DspFirOneLevel
{
// The chain of up to 16 taps, unrolled for each count: oldest sample first,
// one single-precision sum.
template <int32_t N> float Chain(const float* w, const float* taps)
{
    float sum = 0.0f;
    [&]<int32_t... K>(std::integer_sequence<int32_t, K...>)
    {
        ((sum = sum + w[K] * taps[N - 1 - K]), ...);
    }
    (std::make_integer_sequence<int32_t, N>{});
    return sum;
}
using ChainFn = float (*)(const float*, const float*);
inline constexpr ChainFn Chains[17] = {
    nullptr,  Chain<1>,  Chain<2>,  Chain<3>,  Chain<4>,  Chain<5>,  Chain<6>,  Chain<7>, Chain<8>,
    Chain<9>, Chain<10>, Chain<11>, Chain<12>, Chain<13>, Chain<14>, Chain<15>, Chain<16>};

inline void Kernel(const float* pSrc, float* pDst, const float* taps, int32_t n, float* dly,
                   int32_t* pIndex)
{
    int32_t i = *pIndex;
    dly[i] = *pSrc;
    dly[i + n] = *pSrc;
    i = i + 1 == n ? 0 : i + 1;
    *pIndex = i;
    const float* w = dly + i;
    if (n <= 16)
    {
        *pDst = Chains[n](w, taps);
        return;
    }
    // taps[n-1-k .. n-4-k] reversed meet w[k .. k+3].
    __m128 acc = _mm_setzero_ps();
    int32_t k = 0;
    for (; k + 8 <= n; k += 8)
    {
        const __m128 t0 = _mm_shuffle_ps(_mm_loadu_ps(taps + n - 4 - k),
                                         _mm_loadu_ps(taps + n - 4 - k), _MM_SHUFFLE(0, 1, 2, 3));
        const __m128 t1 = _mm_shuffle_ps(_mm_loadu_ps(taps + n - 8 - k),
                                         _mm_loadu_ps(taps + n - 8 - k), _MM_SHUFFLE(0, 1, 2, 3));
        const __m128 p = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(w + k), t0),
                                    _mm_mul_ps(_mm_loadu_ps(w + k + 4), t1));
        acc = _mm_add_ps(acc, p);
    }
    for (; k + 4 <= n; k += 4)
    {
        const __m128 t = _mm_loadu_ps(taps + n - 4 - k);
        acc = _mm_add_ps(
            acc, _mm_mul_ps(_mm_loadu_ps(w + k), _mm_shuffle_ps(t, t, _MM_SHUFFLE(0, 1, 2, 3))));
    }
    for (; k < n; ++k)
        acc = _mm_add_ss(acc, _mm_mul_ss(_mm_load_ss(w + k), _mm_load_ss(taps + n - 1 - k)));
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, acc);
    *pDst = (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
}

inline DspStatus
Entry(float src, float* pDst, const float* taps, int32_t n, float* dly, int32_t* pIndex,
      void (*kernel)(const float*, float*, const float*, int32_t, float*, int32_t*))
{
    if (pDst == nullptr || taps == nullptr)
        return DspStsNullPtrErr;
    if (n < 1)
        return DspStsFirLenErr;
    if (dly == nullptr || pIndex == nullptr)
        return DspStsNullPtrErr;
    // The index comes from the caller: outside 0..n-1 it would write past the
    // delay line.
    if (*pIndex < 0 || *pIndex >= n)
        return DspStsSizeErr;
    kernel(&src, pDst, taps, n, dly, pIndex);
    return DspStsNoErr;
}
} // namespace DspFirOneLevel
} // namespace

#define DSP_FIR_ONE_DEFINE_LEVEL(sfx)                                                              \
    void DspFirOneKernel_##sfx(const float* pSrc, float* pDst, const float* taps, int32_t tapsLen, \
                               float* dlyLine, int32_t* pDlyIndex)                                 \
    {                                                                                              \
        DspFirOneLevel::Kernel(pSrc, pDst, taps, tapsLen, dlyLine, pDlyIndex);                     \
    }                                                                                              \
    DspStatus DspFirOneSample32f_##sfx(float src, float* pDst, const float* taps, int32_t tapsLen, \
                                       float* dlyLine, int32_t* pDlyIndex)                         \
    {                                                                                              \
        return DspFirOneLevel::Entry(src, pDst, taps, tapsLen, dlyLine, pDlyIndex,                 \
                                     DspFirOneKernel_##sfx);                                       \
    }
