// Direct-form FIR outputs. One output's sum is a dependent chain of adds, so
// neighbouring outputs run side by side: with SSE2 each lane of a register
// holds one output, thirty-two outputs share every broadcast tap, and each
// lane still adds its own products in the same order as a scalar loop would,
// so the results are bit for bit those of the one-output loop.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "primitives/filters/DspFirDirect.h"

namespace
{
void OneOutput(const float* taps, int32_t n, const float* x, float* out)
{
    float a = 0.0f;
    for (int32_t k = 0; k < n; ++k)
    {
        a += taps[k] * x[k];
    }
    *out = a;
}

#if defined(__SSE2__)
// A call with this many blocks of 32 outputs or more, over at most TableTaps
// taps, broadcasts its taps once into a table on the stack (1 KB): a
// broadcast read from memory is one load, where one made from a float costs
// a shuffle as well, once per tap of every block.
constexpr int32_t TableTaps = 64;
constexpr int64_t TableBlocks = 4;

inline __m128 AddProduct(__m128 acc, __m128 h, const float* x)
{
    return _mm_add_ps(acc, _mm_mul_ps(h, _mm_loadu_ps(x)));
}

inline __m128 Tap(const __m128* table, int32_t k)
{
    return table[k];
}

inline __m128 Tap(const float* taps, int32_t k)
{
    return _mm_set1_ps(taps[k]);
}

// Thirty-two neighbouring outputs from x[0 ..]: eight independent chains of
// adds cover the adders' latency.
template <typename Taps> void ThirtyTwoOutputs(Taps taps, int32_t n, const float* x, float* out)
{
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (int32_t k = 0; k < n; ++k)
    {
        const __m128 h = Tap(taps, k);
        const float* p = x + k;
        a0 = AddProduct(a0, h, p);
        a1 = AddProduct(a1, h, p + 4);
        a2 = AddProduct(a2, h, p + 8);
        a3 = AddProduct(a3, h, p + 12);
        a4 = AddProduct(a4, h, p + 16);
        a5 = AddProduct(a5, h, p + 20);
        a6 = AddProduct(a6, h, p + 24);
        a7 = AddProduct(a7, h, p + 28);
    }
    const __m128 sums[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (int v = 0; v < 8; ++v)
    {
        _mm_storeu_ps(out + 4 * v, sums[v]);
    }
}

void FourOutputs(const float* taps, int32_t n, const float* x, float* out)
{
    __m128 a = _mm_setzero_ps();
    for (int32_t k = 0; k < n; ++k)
    {
        a = AddProduct(a, _mm_set1_ps(taps[k]), x + k);
    }
    _mm_storeu_ps(out, a);
}
#else
// Four outputs with four scalar sums sharing each tap load.
void FourOutputs(const float* taps, int32_t n, const float* x, float* out)
{
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
    for (int32_t k = 0; k < n; ++k)
    {
        const float h = taps[k];
        a0 += h * x[k];
        a1 += h * x[k + 1];
        a2 += h * x[k + 2];
        a3 += h * x[k + 3];
    }
    out[0] = a0;
    out[1] = a1;
    out[2] = a2;
    out[3] = a3;
}
#endif

// Outputs [0, last) from s; the blocks of 32 take their taps from wide (the
// broadcast table or the floats themselves), the rest from the floats.
template <typename Wide>
void Outputs(Wide wide, const float* taps, int32_t n, const float* s, float* dst, int64_t last)
{
    int64_t t = 0;
#if defined(__SSE2__)
    for (; t + 32 <= last; t += 32)
    {
        ThirtyTwoOutputs(wide, n, s + t, dst + t);
    }
#else
    (void)wide;
#endif
    for (; t + 4 <= last; t += 4)
    {
        FourOutputs(taps, n, s + t, dst + t);
    }
    for (; t < last; ++t)
    {
        OneOutput(taps, n, s + t, dst + t);
    }
}
} // namespace

void DspFirDirectOutputs32f(const float* taps, int32_t n, const float* s, float* dst, int64_t first,
                            int64_t last)
{
    Outputs(taps, taps, n, s + first, dst + first, last - first);
}

void DspFirDirectOutputsSplit32f(const float* taps, int32_t n, const float* s, float* dst,
                                 int64_t split, const float* s2, int64_t count)
{
#if defined(__SSE2__)
    if (n <= TableTaps && split / 32 + (count - split) / 32 >= TableBlocks)
    {
        __m128 table[TableTaps];
        for (int32_t k = 0; k < n; ++k)
        {
            table[k] = _mm_set1_ps(taps[k]);
        }
        const __m128* wide = table;
        Outputs(wide, taps, n, s, dst, split);
        Outputs(wide, taps, n, s2, dst + split, count - split);
        return;
    }
#endif
    Outputs(taps, taps, n, s, dst, split);
    Outputs(taps, taps, n, s2, dst + split, count - split);
}
