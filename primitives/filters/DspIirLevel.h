// The IIR filter of levels 1 to 3 and its 32-bit float kernels, written once
// and built in one file per level with that level's instruction set. Long
// chunks take the block path: the numerator part of every output is formed
// four lanes at a time, and the recursion then yields four outputs per step
// from the look-ahead table built at init.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include "primitives/filters/DspIirState.h"
#include "primitives/vector/DspVector.h"

// Internal linkage: each level's file keeps its own copy, so a copy built for
// a higher level can never stand in for a lower one at link time.
namespace
{
namespace DspIirLevel
{
inline __m128 Splat(float v)
{
    return _mm_set1_ps(v);
}

// y = b0*x + d0, then the delay line moves one step, four entries per pass.
inline float StepDirect(const float* t, float* d, int32_t n, float x)
{
    const float y = t[0] * x + d[0];
    const __m128 vx = Splat(x), vy = Splat(y);
    int32_t k = 0;
    for (; k + 4 <= n; k += 4)
    {
        const __m128 b = _mm_loadu_ps(t + k + 1), a = _mm_loadu_ps(t + n + k + 1);
        const __m128 next = _mm_loadu_ps(d + k + 1);
        _mm_storeu_ps(d + k, _mm_add_ps(_mm_sub_ps(_mm_mul_ps(b, vx), _mm_mul_ps(a, vy)), next));
    }
    for (; k < n; ++k)
        d[k] = (t[k + 1] * x - t[n + k + 1] * y) + d[k + 1];
    return y;
}

inline float StepBiquad(const float* rec, float* d, int32_t m, float x)
{
    for (int32_t s = 0; s < m; ++s, rec += 8, d += 2)
    {
        const float t0 = rec[0] * x + d[0], t1 = rec[1] * x + d[1], t2 = rec[2] * x;
        d[0] = t1 + rec[4] * t0;
        d[1] = t2 + rec[5] * t0;
        x = t0;
    }
    return x;
}

// out[i] = sum over k of b_k * x[i + N - k], four outputs per vector.
inline void NumeratorDirect(const float* x, float* out, int32_t count, const float* num, int32_t n)
{
    int32_t i = 0;
    for (; i + 4 <= count; i += 4)
    {
        __m128 acc = _mm_mul_ps(_mm_load_ps(num), _mm_loadu_ps(x + i + n));
        for (int32_t k = 1; k <= n; ++k)
            acc =
                _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(num + 4 * k), _mm_loadu_ps(x + i + n - k)));
        _mm_storeu_ps(out + i, acc);
    }
    for (; i < count; ++i)
    {
        float acc = num[0] * x[i + n];
        for (int32_t k = 1; k <= n; ++k)
            acc = acc + num[4 * k] * x[i + n - k];
        out[i] = acc;
    }
}

// y[n] for n = N .. N + count - 1 from the numerator part w[n - N] and the N
// outputs before it: four per step by the look-ahead table.
inline void RecursionDirect(const float* w, float* y, int32_t count, const float* rec, int32_t n)
{
    const __m128 g0 = _mm_load_ps(rec + 4 * n), g1 = _mm_load_ps(rec + 4 * n + 4),
                 g2 = _mm_load_ps(rec + 4 * n + 8);
    const __m128 last = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
    int32_t i = 0;
    for (; i + 4 <= count; i += 4)
    {
        float* out = y + n + i;
        __m128 acc = _mm_mul_ps(g0, Splat(w[i]));
        acc = _mm_add_ps(acc, _mm_mul_ps(g1, Splat(w[i + 1])));
        acc = _mm_add_ps(acc, _mm_mul_ps(g2, Splat(w[i + 2])));
        acc = _mm_add_ps(acc, _mm_and_ps(last, Splat(w[i + 3])));
        for (int32_t k = 1; k <= n; ++k)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(rec + 4 * (k - 1)), Splat(out[-k])));
        _mm_storeu_ps(out, acc);
    }
    for (; i < count; ++i)
    {
        float* out = y + n + i;
        float acc = w[i];
        for (int32_t k = 1; k <= n; ++k)
            acc = acc + rec[4 * (k - 1)] * out[-k];
        *out = acc;
    }
}

inline void FilterDirectChunk(float* x, int32_t len, DspIirState32f* st)
{
    const float* t = st->taps;
    float* d = st->delay;
    const int32_t n = st->order;
    if (len <= 4 * n)
    {
        for (int32_t i = 0; i < len; ++i)
            x[i] = StepDirect(t, d, n, x[i]);
        return;
    }
    NumeratorDirect(x, st->work, len - n, st->numTable, n);
    for (int32_t i = 0; i < n; ++i)
        x[i] = StepDirect(t, d, n, x[i]);
    for (int32_t k = 0; k < n; ++k)
    {
        float acc = 0.0f;
        for (int32_t j = 0; j <= n - 1 - k; ++j)
            acc = acc + t[n - j] * x[len - n + k + j];
        d[k] = acc;
    }
    RecursionDirect(st->work, x, len - n, st->recTable, n);
    for (int32_t k = 0; k < n; ++k)
        for (int32_t j = 0; j <= n - 1 - k; ++j)
            d[k] = d[k] - t[2 * n - j] * x[len - n + k + j];
}

// out[i] = b2*x[i] + b1*x[i+1] + b0*x[i+2].
inline void NumeratorBiquad(const float* x, float* out, int32_t count, const float* num)
{
    const __m128 b0 = _mm_load_ps(num), b1 = _mm_load_ps(num + 4), b2 = _mm_load_ps(num + 8);
    int32_t i = 0;
    for (; i + 4 <= count; i += 4)
    {
        const __m128 acc = _mm_add_ps(_mm_mul_ps(b2, _mm_loadu_ps(x + i)),
                                      _mm_mul_ps(b1, _mm_loadu_ps(x + i + 1)));
        _mm_storeu_ps(out + i, _mm_add_ps(acc, _mm_mul_ps(b0, _mm_loadu_ps(x + i + 2))));
    }
    for (; i < count; ++i)
        out[i] = (num[8] * x[i] + num[4] * x[i + 1]) + num[0] * x[i + 2];
}

inline void RecursionBiquad(const float* w, float* y, int32_t count, const float* rec)
{
    RecursionDirect(w, y, count - count % 4, rec, 2);
    const float a1 = rec[0], a2 = rec[4];
    for (int32_t i = count - count % 4; i < count; ++i)
        y[i + 2] = (w[i] + a2 * y[i]) + a1 * y[i + 1];
}

inline void FilterBiquadChunk(float* x, int32_t len, DspIirState32f* st)
{
    const int32_t m = st->sectionCount;
    if (m <= 0 || len <= 4 * m)
    {
        for (int32_t i = 0; i < len; ++i)
            x[i] = StepBiquad(st->sectionTable, st->delay, m, x[i]);
        return;
    }
    for (int32_t s = 0; s < m; ++s)
    {
        const float* t = st->taps + 5 * s;
        const float* r = st->sectionTable + 8 * s;
        float* d = st->delay + 2 * s;
        NumeratorBiquad(x, st->work, len - 2, st->numTable + 12 * s);
        const float x0 = x[0], x1 = x[1];
        x[0] = t[0] * x0 + d[0];
        x[1] = ((d[1] - t[3] * x[0]) + t[0] * x1) + t[1] * x0;
        d[0] = t[2] * x[len - 2] + t[1] * x[len - 1];
        d[1] = t[2] * x[len - 1];
        RecursionBiquad(st->work, x, len - 2, st->recTable + 20 * s);
        d[0] = d[0] + (r[5] * x[len - 2] + r[4] * x[len - 1]);
        d[1] = d[1] + r[5] * x[len - 1];
    }
}

inline DspStatus Filter(float* x, int32_t len, DspIirState32f* st,
                        DspStatus (*mulConst)(const float*, float, float*, int32_t))
{
    if (st == nullptr || x == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (st->kind != DspIirKindDirect && st->kind != DspIirKindBiquad)
        return DspStsContextMatchErr;
    for (int32_t at = 0; at < len; at += DspIirChunk)
    {
        const int32_t l = len - at < DspIirChunk ? len - at : DspIirChunk;
        if (st->kind == DspIirKindBiquad)
            FilterBiquadChunk(x + at, l, st);
        else if (st->order <= 0)
            mulConst(x + at, st->numTable[0], x + at, l);
        else
            FilterDirectChunk(x + at, l, st);
    }
    return DspStsNoErr;
}

inline DspStatus Init(DspIirState32f** pp, const float* taps, int32_t order, const float* dly,
                      uint8_t* buffer, DspIirCopyFn copy, DspIirZeroFn zero)
{
    if (const DspStatus s = DspIirInitCheck(pp, taps, order, buffer); s != DspStsNoErr)
        return s;
    DspIirState32f* st = DspIirBuildState(buffer, order, dly, true, copy, zero);
    if (const DspStatus s = DspIirNormTaps(st, taps, true); s != DspStsNoErr)
        return s;
    *pp = st;
    return DspStsNoErr;
}
} // namespace DspIirLevel
} // namespace

#define DSP_IIR_DEFINE_LEVEL(sfx)                                                                  \
    DspStatus DspIirFilterInPlace32f_##sfx(float* srcDst, int32_t len, DspIirState32f* state)      \
    {                                                                                              \
        return DspIirLevel::Filter(srcDst, len, state, DspMulConst32f_##sfx);                      \
    }                                                                                              \
    DspStatus DspIirInit32f_##sfx(DspIirState32f** ppState, const float* taps, int32_t order,      \
                                  const float* dlyLine, uint8_t* buffer)                           \
    {                                                                                              \
        return DspIirLevel::Init(ppState, taps, order, dlyLine, buffer, DspCopy32f_##sfx,          \
                                 DspZero32f_##sfx);                                                \
    }                                                                                              \
    void DspIirOneSampleKernel_##sfx(const float* src, float* dst, DspIirState32f* state)          \
    {                                                                                              \
        *dst = DspIirLevel::StepDirect(state->taps, state->delay, state->order, *src);             \
    }                                                                                              \
    void DspBiquadOneSampleKernel_##sfx(const float* src, float* dst, DspIirState32f* state)       \
    {                                                                                              \
        *dst =                                                                                     \
            DspIirLevel::StepBiquad(state->sectionTable, state->delay, state->sectionCount, *src); \
    }                                                                                              \
    void DspIirBlockKernelA_##sfx(const float* src, float* work, int32_t count,                    \
                                  const float* numTable, int32_t order)                            \
    {                                                                                              \
        DspIirLevel::NumeratorDirect(src, work, count, numTable, order);                           \
    }                                                                                              \
    void DspIirBlockKernelB_##sfx(const float* work, float* dst, int32_t count,                    \
                                  const float* recTable, int32_t order)                            \
    {                                                                                              \
        DspIirLevel::RecursionDirect(work, dst, count, recTable, order);                           \
    }                                                                                              \
    void DspBiquadBlockKernelA_##sfx(const float* src, float* work, int32_t count,                 \
                                     const float* numTable)                                        \
    {                                                                                              \
        DspIirLevel::NumeratorBiquad(src, work, count, numTable);                                  \
    }                                                                                              \
    void DspBiquadBlockKernelB_##sfx(const float* work, float* dst, int32_t count,                 \
                                     const float* recTable)                                        \
    {                                                                                              \
        DspIirLevel::RecursionBiquad(work, dst, count, recTable);                                  \
    }

// The state size of the block path, shared by levels 2 and 3.
#define DSP_IIR_DEFINE_SIZE(sfx)                                                                   \
    DspStatus DspIirStateSize32f_##sfx(int32_t order, int32_t* pSize)                              \
    {                                                                                              \
        if (pSize == nullptr)                                                                      \
            return DspStsNullPtrErr;                                                               \
        if (order < 1 || order > (1 << 24))                                                        \
            return DspStsIirOrderErr;                                                              \
        *pSize = DspIirStateSizeCore(order, DspIirKindDirect, true);                               \
        return DspStsNoErr;                                                                        \
    }
