// The FIR kernels of levels 1 to 3, written once and built in one file per
// level with that level's instruction set (SSE and SSE2 instructions only).
// Everything here has internal linkage: each level's file keeps its own copy,
// so no copy built for a higher level can stand in for a lower one.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstdint>

#include "primitives/fft/levels/DspFftLevels.h"
#include "primitives/filters/DspFirRoutines.h"
#include "primitives/vector/DspVector.h"

namespace
{
namespace DspFirLevel
{
// ---- direct form: four-tap groups, oldest group first

// The products of one tap group against four outputs from x[..], the
// group's oldest tap first, summed as (p0 + p1) + (p2 + p3); for fewer taps
// the same shape cut short.
template <int C> inline __m128 Shape(__m128 h0, __m128 h1, __m128 h2, __m128 h3, const float* x)
{
    const __m128 p0 = _mm_mul_ps(_mm_loadu_ps(x), h0);
    if constexpr (C == 1)
        return p0;
    const __m128 p01 = _mm_add_ps(p0, _mm_mul_ps(_mm_loadu_ps(x + 1), h1));
    if constexpr (C == 2)
        return p01;
    const __m128 p2 = _mm_mul_ps(_mm_loadu_ps(x + 2), h2);
    if constexpr (C == 3)
        return _mm_add_ps(p01, p2);
    return _mm_add_ps(p01, _mm_add_ps(p2, _mm_mul_ps(_mm_loadu_ps(x + 3), h3)));
}

struct Quad
{
    __m128 v0, v1, v2, v3;
};

// One group against V (1 or 4) vectors of outputs; tap vector k holds h[k]
// in all lanes, and the group starts at tap oldest, going down.
template <int C, int V> inline Quad Group(const float* tv, int32_t oldest, const float* x)
{
    const __m128 h0 = _mm_load_ps(tv + 4 * oldest);
    const __m128 h1 = C > 1 ? _mm_load_ps(tv + 4 * (oldest - 1)) : h0;
    const __m128 h2 = C > 2 ? _mm_load_ps(tv + 4 * (oldest - 2)) : h0;
    const __m128 h3 = C > 3 ? _mm_load_ps(tv + 4 * (oldest - 3)) : h0;
    Quad q;
    q.v0 = Shape<C>(h0, h1, h2, h3, x);
    q.v1 = V > 1 ? Shape<C>(h0, h1, h2, h3, x + 4) : q.v0;
    q.v2 = V > 2 ? Shape<C>(h0, h1, h2, h3, x + 8) : q.v0;
    q.v3 = V > 3 ? Shape<C>(h0, h1, h2, h3, x + 12) : q.v0;
    return q;
}

inline Quad Add(const Quad& a, const Quad& b)
{
    return {_mm_add_ps(a.v0, b.v0), _mm_add_ps(a.v1, b.v1), _mm_add_ps(a.v2, b.v2),
            _mm_add_ps(a.v3, b.v3)};
}

// The same sum for one output, in the order of one lane.
template <int C> inline float GroupOne(const float* tv, int32_t oldest, const float* x)
{
    const float p0 = x[0] * tv[4 * oldest];
    if constexpr (C == 1)
        return p0;
    const float p01 = p0 + x[1] * tv[4 * (oldest - 1)];
    if constexpr (C == 2)
        return p01;
    const float p2 = x[2] * tv[4 * (oldest - 2)];
    if constexpr (C == 3)
        return p01 + p2;
    return p01 + (p2 + x[3] * tv[4 * (oldest - 3)]);
}

// 4V outputs: the first group's sum, then each further group's sum added to
// it, oldest group first; Last taps in the last group. These are the sums a
// pass of four taps over the whole block leaves in y after every pass, kept
// in registers from one group to the next.
template <int Last, int V, bool Aligned>
inline void Outputs(const float* tv, const float* x, float* y, int32_t t)
{
    const int32_t groups = (t + 3) / 4;
    Quad acc;
    if (groups == 1)
    {
        acc = Group<Last, V>(tv, t - 1, x);
    }
    else
    {
        acc = Group<4, V>(tv, t - 1, x);
        for (int32_t k = 1; k < groups - 1; ++k)
            acc = Add(acc, Group<4, V>(tv, t - 1 - 4 * k, x + 4 * k));
        acc = Add(acc, Group<Last, V>(tv, t - 1 - 4 * (groups - 1), x + 4 * (groups - 1)));
    }
    const __m128 out[4] = {acc.v0, acc.v1, acc.v2, acc.v3};
    for (int v = 0; v < V; ++v)
    {
        if constexpr (Aligned)
            _mm_store_ps(y + 4 * v, out[v]);
        else
            _mm_storeu_ps(y + 4 * v, out[v]);
    }
}

template <int Last> inline float OutputOne(const float* tv, const float* x, int32_t t)
{
    const int32_t groups = (t + 3) / 4;
    if (groups == 1)
        return GroupOne<Last>(tv, t - 1, x);
    float acc = GroupOne<4>(tv, t - 1, x);
    for (int32_t k = 1; k < groups - 1; ++k)
        acc = acc + GroupOne<4>(tv, t - 1 - 4 * k, x + 4 * k);
    return acc + GroupOne<Last>(tv, t - 1 - 4 * (groups - 1), x + 4 * (groups - 1));
}

// Sixteen outputs per step for one tap group, eight for longer filters (their
// running sums and taps then stay in registers), then four, then single ones.
template <int Last, bool Aligned, int BlockVectors>
void Block(const float* tv, const float* x, float* y, int32_t n, int32_t t)
{
    int32_t i = 0;
    for (; i + 4 * BlockVectors <= n; i += 4 * BlockVectors)
        Outputs<Last, BlockVectors, Aligned>(tv, x + i, y + i, t);
    for (; i + 4 <= n; i += 4)
        Outputs<Last, 1, Aligned>(tv, x + i, y + i, t);
    for (; i < n; ++i)
        y[i] = OutputOne<Last>(tv, x + i, t);
}

template <bool Aligned>
inline void Blocks(const float* tv, const float* x, float* y, int32_t n, int32_t t)
{
    using BlockFn = void (*)(const float*, const float*, float*, int32_t, int32_t);
    static constexpr BlockFn ByLast[2][4] = {
        {Block<4, Aligned, 4>, Block<1, Aligned, 4>, Block<2, Aligned, 4>, Block<3, Aligned, 4>},
        {Block<4, Aligned, 2>, Block<1, Aligned, 2>, Block<2, Aligned, 2>, Block<3, Aligned, 2>}};
    ByLast[t > 4 ? 1 : 0][t % 4](tv, x, y, n, t);
}

// y[i] = sum over k of h[t-1-k] * x[i+k].
inline void DirectKernel(const float* tv, const float* x, float* y, int32_t n, int32_t t)
{
    if ((reinterpret_cast<uintptr_t>(y) & 3) != 0)
    {
        Blocks<false>(tv, x, y, n, t);
        return;
    }
    // Scalar outputs up to the first 16-byte boundary, in the order of the
    // generic loop: oldest sample first from a zero start.
    for (; n > 0 && (reinterpret_cast<uintptr_t>(y) & 15) != 0; --n, ++x, ++y)
    {
        float a = 0.0f;
        for (int32_t k = 0; k < t; ++k)
            a += x[k] * tv[4 * (t - 1 - k)];
        *y = a;
    }
    if (n > 0)
        Blocks<true>(tv, x, y, n, t);
}

// ---- multirate kernels

// One output's dot product of t inputs and t contiguous taps: four lanes,
// a pair into lanes 0 and 1, a single tap into lane 0.
inline __m128 Dot(const float* x, const float* c, int32_t t)
{
    __m128 acc = _mm_setzero_ps();
    int32_t k = 0;
    for (; k + 4 <= t; k += 4)
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x + k), _mm_loadu_ps(c + k)));
    if (k + 2 <= t)
    {
        const __m128 z = _mm_setzero_ps();
        const __m128 xp = _mm_loadl_pi(z, reinterpret_cast<const __m64*>(x + k));
        const __m128 cp = _mm_loadl_pi(z, reinterpret_cast<const __m64*>(c + k));
        acc = _mm_add_ps(acc, _mm_mul_ps(xp, cp));
        k += 2;
    }
    if (k < t)
        acc = _mm_add_ss(acc, _mm_mul_ss(_mm_load_ss(x + k), _mm_load_ss(c + k)));
    return acc;
}

// Four outputs from their lane sums: output j = (l0 + l2) + (l1 + l3).
inline __m128 Reduce4(__m128 a0, __m128 a1, __m128 a2, __m128 a3)
{
    _MM_TRANSPOSE4_PS(a0, a1, a2, a3);
    return _mm_add_ps(_mm_add_ps(a0, a2), _mm_add_ps(a1, a3));
}

inline void StorePairs(float* y, __m128 v)
{
    _mm_storel_pi(reinterpret_cast<__m64*>(y), v);
    _mm_storeh_pi(reinterpret_cast<__m64*>(y + 2), v);
}

// Short windows: a scalar sum in tap order.
inline float Chain(const float* x, const float* c, int32_t t)
{
    float a = x[0] * c[0];
    for (int32_t k = 1; k < t; ++k)
        a = a + x[k] * c[k];
    return a;
}

// Four outputs per group over the union of their windows: each input sample
// broadcast against its row of four phase taps.
inline int64_t Kind1(const float* coef, const float* data, float* y, int64_t n,
                     const int32_t* table, const int32_t* end, int64_t base, int32_t q)
{
    const float* c = coef;
    const int32_t* e = table;
    for (int64_t g = 0; g < n; g += 4)
    {
        base += *e++;
        const float* x = data + base;
        auto p = [&](int32_t k) { return _mm_mul_ps(_mm_set1_ps(x[k]), _mm_load_ps(c + 4 * k)); };
        __m128 acc = _mm_setzero_ps();
        int32_t k = 0;
        for (; k + 8 <= q; k += 8)
        {
            acc = _mm_add_ps(
                acc, _mm_add_ps(_mm_add_ps(p(k), p(k + 1)), _mm_add_ps(p(k + 2), p(k + 3))));
            acc = _mm_add_ps(
                acc, _mm_add_ps(_mm_add_ps(p(k + 4), p(k + 5)), _mm_add_ps(p(k + 6), p(k + 7))));
        }
        if (k + 4 <= q)
        {
            acc = _mm_add_ps(
                acc, _mm_add_ps(_mm_add_ps(p(k), p(k + 1)), _mm_add_ps(p(k + 2), p(k + 3))));
            k += 4;
        }
        if (q - k == 3)
            acc = _mm_add_ps(_mm_add_ps(acc, p(k)), _mm_add_ps(p(k + 1), p(k + 2)));
        else if (q - k == 2)
            acc = _mm_add_ps(acc, _mm_add_ps(p(k), p(k + 1)));
        else if (q - k == 1)
            acc = _mm_add_ps(acc, p(k));
        StorePairs(y + g, acc);
        if (e == end)
        {
            base += *end;
            e = table;
            c = coef;
        }
        else
        {
            c += 4 * q;
        }
    }
    return base;
}

// Pure decimation: output j of a group reads t inputs from x + offset + j*s;
// every output shares the first row of taps.
inline int64_t Kind2(const float* coef, const float* x, float* y, int64_t n, int64_t offset,
                     int32_t t, int64_t s)
{
    for (int64_t g = 0; g < n; g += 4, offset += 4 * s)
    {
        const float* xg = x + offset;
        if (t >= 4)
        {
            StorePairs(y + g, Reduce4(Dot(xg, coef, t), Dot(xg + s, coef, t),
                                      Dot(xg + 2 * s, coef, t), Dot(xg + 3 * s, coef, t)));
            continue;
        }
        for (int32_t j = 0; j < 4; ++j)
            y[g + j] = Chain(xg + j * s, coef + j * t, t);
    }
    return offset;
}

// Polyphase: every output with its own index entry and its own row of t taps.
inline int64_t Kind3(const float* coef, const float* data, float* y, int64_t n,
                     const int32_t* table, const int32_t* end, int64_t base, int32_t t)
{
    const float* c = coef;
    const int32_t* e = table;
    for (int64_t g = 0; g < n; g += 4)
    {
        if (t >= 4)
        {
            __m128 a[4];
            for (int32_t j = 0; j < 4; ++j, c += t)
                a[j] = Dot(data + (base + *e++), c, t);
            StorePairs(y + g, Reduce4(a[0], a[1], a[2], a[3]));
        }
        else
        {
            for (int32_t j = 0; j < 4; ++j, c += t)
                y[g + j] = Chain(data + (base + *e++), c, t);
        }
        if (e == end)
        {
            base += *end;
            e = table;
            c = coef;
        }
    }
    return base;
}
using Kind1Fn = int64_t (*)(const float*, const float*, float*, int64_t, const int32_t*,
                            const int32_t*, int64_t, int32_t);
using Kind2Fn = int64_t (*)(const float*, const float*, float*, int64_t, int64_t, int32_t, int64_t);
using Kind3Fn = Kind1Fn;

// Whole cycles of a multirate call through the kind's kernel. The working
// sequence is xx[i] = data[i - offset]; the kernels index data directly.
inline void Groups(const DspFirState32f* st, const float* data, int64_t offset, int64_t firstCycle,
                   float* dst, int64_t count, Kind1Fn kind1, Kind2Fn kind2, Kind3Fn kind3)
{
    if (count <= 0)
        return;
    const int32_t* e = st->indexTable;
    const int64_t u = st->upFactor;
    const int64_t start = 4 * static_cast<int64_t>(st->downFactor) * firstCycle - offset;
    switch (st->multirateKind)
    {
    case 1:
        kind1(st->tapVectors, data, dst, count, e, e + u, start, st->tapsPerGroup);
        break;
    case 2:
        kind2(st->tapVectors, data, dst, count, start + e[0], st->historyLength, e[1] - e[0]);
        break;
    default:
        kind3(st->tapVectors, data, dst, count, e, e + 4 * u, start, st->historyLength);
        break;
    }
}
} // namespace DspFirLevel
} // namespace

// The level's kernels and entries; sfx names the level, and the vector basics
// and FFT members of that level are the ones called.
#define DSP_FIR_LEVEL_DEFINE(sfx)                                                                  \
    void DspFirDirectKernel_##sfx(const float* tapVectors, const float* x, float* y, int32_t n,    \
                                  int32_t tapsLen, int32_t)                                        \
    {                                                                                              \
        DspFirLevel::DirectKernel(tapVectors, x, y, n, tapsLen);                                   \
    }                                                                                              \
    int64_t DspFirMultirateKind1Kernel_##sfx(const float* coef, const float* data, float* y,       \
                                             int64_t n, const int32_t* table, const int32_t* end,  \
                                             int64_t base, int32_t tapsPerGroup)                   \
    {                                                                                              \
        return DspFirLevel::Kind1(coef, data, y, n, table, end, base, tapsPerGroup);               \
    }                                                                                              \
    int64_t DspFirMultirateKind2Kernel_##sfx(const float* coef, const float* x, float* y,          \
                                             int64_t n, int64_t offset, int32_t tapsLen,           \
                                             int64_t step)                                         \
    {                                                                                              \
        return DspFirLevel::Kind2(coef, x, y, n, offset, tapsLen, step);                           \
    }                                                                                              \
    int64_t DspFirMultirateKind3Kernel_##sfx(const float* coef, const float* data, float* y,       \
                                             int64_t n, const int32_t* table, const int32_t* end,  \
                                             int64_t base, int32_t tapsLen)                        \
    {                                                                                              \
        return DspFirLevel::Kind3(coef, data, y, n, table, end, base, tapsLen);                    \
    }                                                                                              \
    namespace                                                                                      \
    {                                                                                              \
    void Direct_##sfx(const DspFirState32f* st, const float* x, float* y, int32_t split,           \
                      const float* x2, int32_t count)                                              \
    {                                                                                              \
        DspFirDirectKernel_##sfx(st->tapVectors, x, y, split, st->tapCount, 0);                    \
        if (count > split)                                                                         \
            DspFirDirectKernel_##sfx(st->tapVectors, x2, y + split, count - split, st->tapCount,   \
                                     0);                                                           \
    }                                                                                              \
    void Groups_##sfx(const DspFirState32f* st, const float* data, int64_t offset,                 \
                      int64_t firstCycle, float* dst, int64_t count)                               \
    {                                                                                              \
        DspFirLevel::Groups(st, data, offset, firstCycle, dst, count,                              \
                            DspFirMultirateKind1Kernel_##sfx, DspFirMultirateKind2Kernel_##sfx,    \
                            DspFirMultirateKind3Kernel_##sfx);                                     \
    }                                                                                              \
    const DspFirRoutines Routines_##sfx = {DspCopy32f_##sfx,                                       \
                                           DspZero32f_##sfx,                                       \
                                           DspMove32f_##sfx,                                       \
                                           DspFftSpecSizeR32f_##sfx,                               \
                                           DspFftSpecInitR32f_##sfx,                               \
                                           DspFftFwdRToPacked32f_##sfx,                            \
                                           DspMulPackedSpectra32f_##sfx,                           \
                                           DspFftInvPackedToR32f_##sfx,                            \
                                           Direct_##sfx,                                           \
                                           Groups_##sfx,                                           \
                                           true};                                                  \
    }                                                                                              \
    DspStatus DspFirStateSize32f_##sfx(int32_t tapsLen, int32_t* pSize)                            \
    {                                                                                              \
        return DspFirStateSizeWith(Routines_##sfx, tapsLen, pSize);                                \
    }                                                                                              \
    DspStatus DspFirInit32f_##sfx(DspFirState32f** ppState, const float* taps, int32_t tapsLen,    \
                                  const float* dlyLine, uint8_t* buffer)                           \
    {                                                                                              \
        return DspFirInitWith(Routines_##sfx, ppState, taps, tapsLen, dlyLine, buffer);            \
    }                                                                                              \
    DspStatus DspFirFilter32f_##sfx(const float* src, float* dst, int32_t len,                     \
                                    DspFirState32f* state)                                         \
    {                                                                                              \
        return DspFirFilterWith(Routines_##sfx, src, dst, len, state);                             \
    }                                                                                              \
    DspStatus DspFirMultirateStateSize32f_##sfx(int32_t tapsLen, int32_t upFactor,                 \
                                                int32_t downFactor, int32_t* pSize)                \
    {                                                                                              \
        return DspFirMultirateStateSizeWith(Routines_##sfx, tapsLen, upFactor, downFactor, pSize); \
    }                                                                                              \
    DspStatus DspFirMultirateInit32f_##sfx(DspFirState32f** ppState, const float* taps,            \
                                           int32_t tapsLen, int32_t upFactor, int32_t upPhase,     \
                                           int32_t downFactor, int32_t downPhase,                  \
                                           const float* dlyLine, uint8_t* buffer)                  \
    {                                                                                              \
        return DspFirMultirateInitWith(Routines_##sfx, ppState, taps, tapsLen, upFactor, upPhase,  \
                                       downFactor, downPhase, dlyLine, buffer);                    \
    }
