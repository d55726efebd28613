// Direct-form FIR outputs. One output's sum is a dependent chain of adds, so
// neighbouring outputs run side by side: with SSE2 each lane of a register
// holds one output, 32 or 48 outputs share every broadcast tap, and each lane
// still adds its own products in the same order as a scalar loop would, so
// the results are bit for bit those of the one-output loop.
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
constexpr int64_t TableBlocks = 2;

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

// 4V neighbouring outputs from x[0 ..]: V independent chains of adds (8 or
// 12) cover the adders' latency, every accumulator held in a register.
template <int V, typename Taps> void BlockOutputs(Taps taps, int32_t n, const float* x, float* out)
{
    __m128 a[V];
#pragma GCC unroll 12
    for (int v = 0; v < V; ++v)
    {
        a[v] = _mm_setzero_ps();
    }
    // Two taps a pass: this loop is bound by how many instructions the core
    // takes in, and at one tap a pass its count and steps are a tenth of them.
#pragma GCC unroll 2
    for (int32_t k = 0; k < n; ++k)
    {
        const __m128 h = Tap(taps, k);
        const float* p = x + k;
#pragma GCC unroll 12
        for (int v = 0; v < V; ++v)
        {
            a[v] = AddProduct(a[v], h, p + 4 * v);
        }
    }
#pragma GCC unroll 12
    for (int v = 0; v < V; ++v)
    {
        _mm_storeu_ps(out + 4 * v, a[v]);
    }
}

// table[k] = taps[k] in all four lanes; four taps per load.
void BroadcastTaps(const float* taps, int32_t n, __m128* table)
{
    int32_t k = 0;
    for (; k + 4 <= n; k += 4)
    {
        const __m128 q = _mm_loadu_ps(taps + k);
        table[k] = _mm_shuffle_ps(q, q, _MM_SHUFFLE(0, 0, 0, 0));
        table[k + 1] = _mm_shuffle_ps(q, q, _MM_SHUFFLE(1, 1, 1, 1));
        table[k + 2] = _mm_shuffle_ps(q, q, _MM_SHUFFLE(2, 2, 2, 2));
        table[k + 3] = _mm_shuffle_ps(q, q, _MM_SHUFFLE(3, 3, 3, 3));
    }
    for (; k < n; ++k)
    {
        table[k] = _mm_set1_ps(taps[k]);
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

// Outputs [0, last) from s; the blocks of 32 and 48 take their taps from
// wide (the broadcast table or the floats themselves), the rest from the
// floats.
template <typename Wide>
void Outputs(Wide wide, const float* taps, int32_t n, const float* s, float* dst, int64_t last)
{
    int64_t t = 0;
#if defined(__SSE2__)
    // Blocks of 48 while what follows them is none or at least a block of 32.
    for (; last - t == 48 || last - t >= 80; t += 48)
    {
        BlockOutputs<12>(wide, n, s + t, dst + t);
    }
    for (; t + 32 <= last; t += 32)
    {
        BlockOutputs<8>(wide, n, s + t, dst + t);
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
        BroadcastTaps(taps, n, table);
        const __m128* wide = table;
        Outputs(wide, taps, n, s, dst, split);
        Outputs(wide, taps, n, s2, dst + split, count - split);
        return;
    }
#endif
    Outputs(taps, taps, n, s, dst, split);
    Outputs(taps, taps, n, s2, dst + split, count - split);
}
