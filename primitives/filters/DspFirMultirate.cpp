// Multirate FIR: upsampling by U, filtering and downsampling by D in one step.
// Outputs come four at a time from interleaved coefficient rows: kind 1 over
// the union of four windows, kind 2 (pure decimation) and kind 3 (polyphase)
// over each output's own window.
#include <emmintrin.h>

#include <cstring>
#include <utility>

#include "primitives/filters/DspFirRoutines.h"

namespace
{
constexpr int64_t RoundUp16(int64_t x)
{
    return (x + 15) & ~static_cast<int64_t>(15);
}

uint8_t* AlignUp16(uint8_t* p)
{
    auto a = (reinterpret_cast<uintptr_t>(p) + 15) & ~static_cast<uintptr_t>(15);
    return reinterpret_cast<uint8_t*>(a);
}

int64_t CeilDiv(int64_t a, int64_t b) // b > 0
{
    int64_t q = a / b;
    if (a % b != 0 && a > 0)
    {
        ++q;
    }
    return q;
}

int64_t FloorDiv(int64_t a, int64_t b) // b > 0
{
    int64_t q = a / b;
    if (a % b != 0 && a < 0)
    {
        --q;
    }
    return q;
}

// Everything that follows from the taps and factors.
struct Geometry
{
    int32_t kind = 0; // 0: single rate
    int64_t n = 0, u = 0, d = 0;
    int64_t tpp = 0, m = 0, q = 0, v = 0, l1 = 0;
    int64_t bytes = 0;
};

int32_t ChooseKind(int64_t n, int64_t u, int64_t d)
{
    if (u == 1 && d == 1)
    {
        return 0;
    }
    const float r = static_cast<float>(n) / static_cast<float>(3 * d + n);
    if (u == 1)
    {
        return r > 0.5f ? 1 : 2;
    }
    return static_cast<double>(r) > 0.3 ? 1 : 3;
}

Geometry Measure(int32_t tapsLen, int32_t upFactor, int32_t downFactor)
{
    Geometry g;
    g.n = tapsLen;
    g.u = upFactor;
    g.d = downFactor;
    g.kind = ChooseKind(g.n, g.u, g.d);
    g.tpp = CeilDiv(g.n, g.u);
    g.m = CeilDiv(3 * g.d + g.n, g.u) * g.u;
    g.q = g.m / g.u;
    g.v = CeilDiv(g.tpp, g.d) * g.u;
    int64_t steps = 0;
    while (g.v % (4 * g.u) != 0)
    {
        g.v += g.u;
        ++steps;
    }
    const int64_t over = g.kind == 1 ? g.q : g.tpp;
    g.l1 = (over / (4 * g.d) + 1) * 4 * g.d + 1 + steps * g.d;
    if (g.kind == 1)
    {
        g.bytes = 176 + RoundUp16(4 * g.n) + 16 * g.m + RoundUp16(4 * g.u + 4) +
                  4 * (4 * g.m > 4096 ? 4 * g.m : 4096) + RoundUp16(4 * (g.tpp + g.l1) + 4);
    }
    else
    {
        g.bytes = 176 + RoundUp16(4 * g.n) + 16 * g.m + RoundUp16(16 * g.u + 4) +
                  4 * (8 * g.m > 4096 ? 8 * g.m : 4096) + RoundUp16(4 * (g.tpp + g.l1) + 4);
    }
    return g;
}

// Rows of the coefficient table for one tap index k (0 outside the taps).
float Tap(const float* h, int64_t n, int64_t k)
{
    return k >= 0 && k < n ? h[k] : 0.0f;
}

void BuildKind1(DspFirState32f* st, const Geometry& g, const float* h, int64_t pu, int64_t pd)
{
    int64_t previous = 0;
    for (int64_t b = 0; b < g.u; ++b)
    {
        const int64_t c = g.tpp + CeilDiv(4 * b * g.d + pd - (g.n - 1) - pu, g.u);
        st->indexTable[b] = static_cast<int32_t>(b == 0 ? c : c - previous);
        previous = c;
        for (int64_t t = 0; t < g.q; ++t)
        {
            float* row = st->tapVectors + 4 * (b * g.q + t);
            for (int64_t q = 0; q < 4; ++q)
            {
                const int64_t k = (4 * b + q) * g.d + pd - (c - g.tpp + t) * g.u - pu;
                row[q] = Tap(h, g.n, k);
            }
        }
    }
    st->indexTable[g.u] = static_cast<int32_t>(4 * g.d - previous);
}

// Where tap t of output q of group b sits: levels 1 to 3 keep each output's
// taps contiguous, level 0 interleaves the four outputs of a group by four.
struct Layout
{
    int64_t column;
    int64_t tap;
};
Layout PolyphaseLayout(int64_t tpp, bool levelLayout)
{
    return levelLayout ? Layout{tpp, 1} : Layout{1, 4};
}

void BuildPolyphase(DspFirState32f* st, const Geometry& g, const float* h, int64_t pu, int64_t pd,
                    bool levelLayout)
{
    const Layout at = PolyphaseLayout(g.tpp, levelLayout);
    for (int64_t m = 0; m < 4 * g.u; ++m)
    {
        const int64_t newest = m * g.d + pd - pu;
        const int64_t lo = CeilDiv(newest - (g.n - 1), g.u);
        const int64_t hi = FloorDiv(newest, g.u);
        int64_t first = g.tpp + lo;
        if (lo > hi)
        {
            // No input sample in this window: its coefficients are all zero,
            // any index inside the history serves.
            first = m > 0 ? st->indexTable[m - 1] : 0;
        }
        st->indexTable[m] = static_cast<int32_t>(first);
        const int64_t group = m / 4;
        const int64_t column = m % 4;
        for (int64_t t = 0; t < g.tpp; ++t)
        {
            const int64_t k = newest - (first - g.tpp + t) * g.u;
            st->tapVectors[4 * group * g.tpp + column * at.column + t * at.tap] = Tap(h, g.n, k);
        }
    }
    st->indexTable[4 * g.u] = static_cast<int32_t>(4 * g.d);
}

// Position in the working sequence xx of a call: the history and the first
// inputs live in the delay line, later inputs are read from the source.
struct Sequence
{
    const float* data;
    int64_t offset; // xx[i] = data[i - offset]
    int64_t length; // T
    const float* At(int64_t i) const { return data + (i - offset); }
};

struct Run
{
    int64_t group = 0;
    int64_t index = 0; // kind 1: running window start
};

// count outputs from the run's position; four per group, by group sums when
// grouped (count then a multiple of 4), else one at a time.
void Outputs(const DspFirState32f* st, Run& run, int64_t count, const Sequence& xx, float* dst,
             bool grouped, bool levelLayout)
{
    const Layout at = PolyphaseLayout(st->historyLength, levelLayout);
    const int64_t u = st->upFactor;
    const int64_t d = st->downFactor;
    const int64_t tpp = st->historyLength;
    const int32_t* e = st->indexTable;
    const float* coef = st->tapVectors;
    while (count > 0)
    {
        const int64_t b = run.group % u;
        const int64_t cycle = run.group / u;
        const int64_t outputs = count < 4 ? count : 4;
        float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        switch (st->multirateKind)
        {
        case 1:
        {
            const int64_t start = run.index + e[b];
            const int64_t rows = st->tapsPerGroup;
            const float* c = coef + 4 * b * rows;
            const float* x = xx.At(start);
            int64_t limit = rows;
            if (!grouped && start + limit > xx.length)
            {
                limit = xx.length - start;
            }
            // The four columns side by side, each its own sum in row order.
            __m128 a = _mm_setzero_ps();
            for (int64_t t = 0; t < limit; ++t)
            {
                a = _mm_add_ps(a, _mm_mul_ps(_mm_set1_ps(x[t]), _mm_load_ps(c + 4 * t)));
            }
            _mm_storeu_ps(acc, a);
            run.index = start + (b == u - 1 ? e[u] : 0);
            break;
        }
        case 2:
        {
            const int64_t n = st->tapCount;
            for (int64_t q = 0; q < outputs; ++q)
            {
                const float* x = xx.At(e[0] + 4 * d * run.group + q * d);
                float a = 0.0f;
                for (int64_t t = 0; t < n; ++t)
                {
                    a += x[t] * coef[at.tap * t];
                }
                acc[q] = a;
            }
            break;
        }
        default:
        {
            for (int64_t q = 0; q < outputs; ++q)
            {
                const int64_t start = 4 * d * cycle + e[4 * b + q];
                const float* x = xx.At(start);
                const float* c = coef + 4 * (b * tpp) + q * at.column;
                int64_t limit = tpp;
                if (!grouped && start + limit > xx.length)
                {
                    limit = xx.length - start;
                }
                float a = 0.0f;
                for (int64_t t = 0; t < limit; ++t)
                {
                    a += x[t] * c[at.tap * t];
                }
                acc[q] = a;
            }
            break;
        }
        }
        for (int64_t q = 0; q < outputs; ++q)
        {
            dst[q] = acc[q];
        }
        dst += outputs;
        count -= outputs;
        ++run.group;
    }
}

Run CycleStart(const DspFirState32f* st, int64_t cycle)
{
    return Run{cycle * st->upFactor, cycle * 4 * st->downFactor};
}

// Where the next kind-1 group reads its samples and rows; moves the run on,
// its group within the cycle (b) kept beside it.
struct Kind1Group
{
    const float* x;
    const float* c;
};
inline Kind1Group NextKind1Group(const DspFirState32f* st, Run& run, int64_t& b, const Sequence& xx)
{
    const int64_t u = st->upFactor;
    const int32_t* e = st->indexTable;
    const int64_t start = run.index + e[b];
    const Kind1Group g{xx.At(start), st->tapVectors + 4 * b * st->tapsPerGroup};
    const bool last = b == u - 1;
    run.index = start + (last ? e[u] : 0);
    ++run.group;
    b = last ? 0 : b + 1;
    return g;
}

inline __m128 Kind1Row(__m128 acc, const Kind1Group& g, int64_t t)
{
    return _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(g.x[t]), _mm_load_ps(g.c + 4 * t)));
}

// Kind-1 group sums, several groups side by side: each lane of each group
// still adds one product per row, oldest sample first, from 0, in single
// precision, so every output is the sum Outputs forms; the groups only share
// the time. Where the windows of consecutive groups start a fixed step apart
// (the converter's stages: 2 or 1 samples going up, 4D going down), one
// broadcast of sample u serves every group j whose window holds it, at its
// row u - Step * j of its own rows; the spans of u below take the groups in
// and out, so each group still adds its rows in increasing order. At least
// eight groups run at once wherever the spans allow, enough sums in flight
// to hide the adds' latency.

// Group j reads its rows from c + offset * (j mod U) and keeps its sum in
// a[j].
template <int U, int Step, int First, int Last, int G, int... J>
[[gnu::always_inline]] inline void SharedRow(__m128 (&a)[G], const __m128 s, const float* c,
                                             int64_t offset, int64_t u,
                                             std::integer_sequence<int, J...>)
{
    ((a[J] = J >= First && J <= Last
                 ? _mm_add_ps(a[J],
                              _mm_mul_ps(s, _mm_load_ps(c + offset * (J % U) + 4 * (u - Step * J))))
                 : a[J]),
     ...);
}

template <int U, int Step, int G, int First, int Last>
[[gnu::always_inline]] inline void SharedSpan(__m128 (&a)[G], const float* x, const float* c,
                                              int64_t offset, int64_t from, int64_t to)
{
    for (int64_t u = from; u < to; ++u)
    {
        SharedRow<U, Step, First, Last>(a, _mm_set1_ps(x[u]), c, offset, u,
                                        std::make_integer_sequence<int, G>{});
    }
}

// Every group's window holds the last group's start (rows >= (G - 1) Step):
// groups 0..J come in one by one, then all run, then they leave.
template <int U, int Step, int G, int... J>
[[gnu::always_inline]] inline void RampedSpans(__m128 (&a)[G], const float* x, const float* c,
                                               int64_t rows, std::integer_sequence<int, J...>)
{
    const int64_t offset = 4 * rows;
    (SharedSpan<U, Step, G, 0, J>(a, x, c, offset, J * Step, (J + 1) * Step), ...);
    SharedSpan<U, Step, G, 0, G - 1>(a, x, c, offset, (G - 1) * Step, rows);
    (SharedSpan<U, Step, G, J + 1, G - 1>(a, x, c, offset, rows + J * Step, rows + (J + 1) * Step),
     ...);
}

// Decimation with rows of exactly A steps: span K (Step samples) holds
// groups K - A + 1 .. K, the group of age d reading its rows from d steps on,
// so at most A sums are live however many groups the call has. Group j keeps
// its sum in a[(j + 1) mod A]: the spans of every run of A steady spans meet
// the same registers in the same places, R = (K + 1) mod A naming them.
template <int Step, int A, int R, int FirstAge, int LastAge, int... D>
[[gnu::always_inline]] inline void RollingRow(__m128 (&a)[A], const __m128 s, const float* c,
                                              int64_t v, std::integer_sequence<int, D...>)
{
    ((a[(R - D + A) % A] =
          D >= FirstAge && D <= LastAge
              ? _mm_add_ps(a[(R - D + A) % A], _mm_mul_ps(s, _mm_load_ps(c + 4 * (Step * D + v))))
              : a[(R - D + A) % A]),
     ...);
}

template <int Step, int A, int R, int FirstAge, int LastAge>
[[gnu::always_inline]] inline void RollingSpan(__m128 (&a)[A], const float* x, const float* c)
{
    for (int64_t v = 0; v < Step; ++v)
    {
        RollingRow<Step, A, R, FirstAge, LastAge>(a, _mm_set1_ps(x[v]), c, v,
                                                  std::make_integer_sequence<int, A>{});
    }
}

// The group that has seen its last span leaves its register for the next.
template <int A, int R> [[gnu::always_inline]] inline void RollingDone(__m128 (&a)[A], float* dst)
{
    _mm_storeu_ps(dst, a[(R + 1) % A]);
    a[(R + 1) % A] = _mm_setzero_ps();
}

template <int Step, int A, int... K>
[[gnu::always_inline]] inline void RollingStart(__m128 (&a)[A], const float* x, const float* c,
                                                std::integer_sequence<int, K...>)
{
    (RollingSpan<Step, A, (K + 1) % A, 0, K>(a, x + Step * K, c), ...);
}

template <int Step, int A, int... R>
[[gnu::always_inline]] inline void RollingSteady(__m128 (&a)[A], const float* x, const float* c,
                                                 float* dst, std::integer_sequence<int, R...>)
{
    ((RollingSpan<Step, A, R, 0, A - 1>(a, x + Step * R, c), RollingDone<A, R>(a, dst + 4 * R)),
     ...);
}

template <int Step, int A, int... R>
[[gnu::always_inline]] inline void RollingEnd(__m128 (&a)[A], const float* x, const float* c,
                                              float* dst, std::integer_sequence<int, R...>)
{
    ((RollingSpan<Step, A, R, R + 1, A - 1>(a, x + Step * R, c), RollingDone<A, R>(a, dst + 4 * R)),
     ...);
}

// Groups from a cycle start while the shape holds: A - 1 + A * blocks of
// them (0 when fewer than A - 1 are left or the state has another shape).
template <int Step, int A>
int64_t Kind1RollingGroups(const DspFirState32f* st, Run& run, const Sequence& xx, float* dst,
                           int64_t groups)
{
    const int32_t* e = st->indexTable;
    if (groups < A - 1 || st->upFactor != 1 || st->tapsPerGroup != A * Step || e[1] + e[0] != Step)
    {
        return 0;
    }
    const int64_t blocks = (groups - (A - 1)) / A;
    const int64_t done = A - 1 + A * blocks;
    const float* x = xx.At(run.index + e[0]);
    const float* c = st->tapVectors;
    run.index += done * Step;
    run.group += done;
    __m128 a[A];
    for (__m128& v : a)
    {
        v = _mm_setzero_ps();
    }
    RollingStart<Step, A>(a, x, c, std::make_integer_sequence<int, A - 1>{});
    x += Step * (A - 1);
    for (int64_t b = 0; b < blocks; ++b, x += Step * A, dst += 4 * A)
    {
        RollingSteady<Step, A>(a, x, c, dst, std::make_integer_sequence<int, A>{});
    }
    RollingEnd<Step, A>(a, x, c, dst, std::make_integer_sequence<int, A - 1>{});
    return done;
}

// Every group's window holds the last group's start (rows >= (G - 1) Step):
// G groups from a cycle start (0 when fewer are left or the state has
// another shape).
template <int U, int Step, int G>
int64_t Kind1RampedGroups(const DspFirState32f* st, Run& run, const Sequence& xx, float* dst,
                          int64_t groups)
{
    static_assert(G % U == 0, "a run of groups starts and ends on cycles");
    const int64_t rows = st->tapsPerGroup;
    const int32_t* e = st->indexTable;
    // A group starts e[b] after the one before it; a cycle's first group
    // e[U] + e[0] after the last group of the cycle before.
    bool even = groups >= G && st->upFactor == U && rows >= (G - 1) * Step;
    for (int j = 1; j < U + 1; ++j)
    {
        even = even && (j % U == 0 ? e[U] + e[0] : e[j % U]) == Step;
    }
    if (!even)
    {
        return 0;
    }
    const float* x = xx.At(run.index + e[0]);
    run.index += static_cast<int64_t>(G / U) * 4 * st->downFactor;
    run.group += G;
    __m128 a[G];
    for (__m128& v : a)
    {
        v = _mm_setzero_ps();
    }
    RampedSpans<U, Step, G>(a, x, st->tapVectors, rows, std::make_integer_sequence<int, G - 1>{});
    for (int j = 0; j < G; ++j)
    {
        _mm_storeu_ps(dst + 4 * j, a[j]);
    }
    return G;
}

// N groups from group b on, side by side: each keeps its own sum, row by
// row from 0; named sums in an unrolled array stay in registers.
template <int N>
void Kind1SideBySide(const DspFirState32f* st, Run& run, int64_t& b, const Sequence& xx, float* dst)
{
    Kind1Group g[N];
    __m128 a[N];
    for (int i = 0; i < N; ++i)
    {
        g[i] = NextKind1Group(st, run, b, xx);
        a[i] = _mm_setzero_ps();
    }
    const int64_t rows = st->tapsPerGroup;
    for (int64_t t = 0; t < rows; ++t)
    {
#pragma GCC unroll 4
        for (int i = 0; i < N; ++i)
        {
            a[i] = Kind1Row(a[i], g[i], t);
        }
    }
    for (int i = 0; i < N; ++i)
    {
        _mm_storeu_ps(dst + 4 * i, a[i]);
    }
}

using SharedGroupsRoutine = int64_t (*)(const DspFirState32f*, Run&, const Sequence&, float*,
                                        int64_t);

// The converter's stages: up by 2 and 4 (66 and 132 taps: rows of 35 and
// 34), down by 2 and 4 (rows of 72 and 144, nine steps).
constexpr struct
{
    int32_t Up, Down;
    SharedGroupsRoutine Routine;
} c_SharedGroups[] = {{2, 1, Kind1RampedGroups<2, 2, 8>},
                      {4, 1, Kind1RampedGroups<4, 1, 8>},
                      {1, 2, Kind1RollingGroups<8, 9>},
                      {1, 4, Kind1RollingGroups<16, 9>}};

void Kind1Groups(const DspFirState32f* st, Run& run, int64_t count, const Sequence& xx, float* dst)
{
    // Every call starts at a cycle start and counts whole cycles, so each
    // run of groups (a multiple of U) starts a cycle too.
    for (const auto& shared : c_SharedGroups)
    {
        int64_t done = shared.Up == st->upFactor && shared.Down == st->downFactor ? 1 : 0;
        while (done > 0)
        {
            done = shared.Routine(st, run, xx, dst, count / 4);
            count -= 4 * done;
            dst += 4 * done;
        }
    }
    int64_t b = run.group % st->upFactor;
    for (; count >= 16; count -= 16, dst += 16)
    {
        Kind1SideBySide<4>(st, run, b, xx, dst);
    }
    // The last one to three groups side by side too: one alone would wait
    // on its own adds' latency at every row.
    constexpr void (*c_Last[])(const DspFirState32f*, Run&, int64_t&, const Sequence&, float*) = {
        nullptr, Kind1SideBySide<1>, Kind1SideBySide<2>, Kind1SideBySide<3>};
    if (count > 0)
    {
        c_Last[count / 4](st, run, b, xx, dst);
    }
}
} // namespace

void DspFirMultirateGroups_Gen(const DspFirState32f* st, const float* data, int64_t offset,
                               int64_t firstCycle, float* dst, int64_t count)
{
    Run run = CycleStart(st, firstCycle);
    if (st->multirateKind == 1)
    {
        Kind1Groups(st, run, count, Sequence{data, offset, 0}, dst);
        return;
    }
    Outputs(st, run, count, Sequence{data, offset, 0}, dst, true, false);
}

void DspFirMultirateSingles(const DspFirState32f* st, const float* data, int64_t offset,
                            int64_t length, int64_t firstCycle, float* dst, int64_t count,
                            bool levelLayout)
{
    Run run = CycleStart(st, firstCycle);
    Outputs(st, run, count, Sequence{data, offset, length}, dst, false, levelLayout);
}

DspStatus DspFirMultirateStateSizeWith(const DspFirRoutines& r, int32_t tapsLen, int32_t upFactor,
                                       int32_t downFactor, int32_t* pSize)
{
    if (pSize == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (tapsLen < 1)
    {
        return DspStsFirLenErr;
    }
    if (upFactor < 1 || downFactor < 1)
    {
        return DspStsFirMrFactorErr;
    }
    if (upFactor == 1 && downFactor == 1)
    {
        // The single-rate state of the same level, tap vectors included.
        return DspFirStateSizeWith(r, tapsLen, pSize);
    }
    const Geometry g = Measure(tapsLen, upFactor, downFactor);
    if (g.bytes > INT32_MAX)
    {
        // Taps and factors whose state cannot be described by a 32-bit size.
        return DspStsFirLenErr;
    }
    *pSize = static_cast<int32_t>(g.bytes);
    return DspStsNoErr;
}

DspStatus DspFirMultirateInitWith(const DspFirRoutines& r, DspFirState32f** ppState,
                                  const float* taps, int32_t tapsLen, int32_t upFactor,
                                  int32_t upPhase, int32_t downFactor, int32_t downPhase,
                                  const float* dlyLine, uint8_t* buffer)
{
    if (ppState == nullptr || taps == nullptr || buffer == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (tapsLen < 1)
    {
        return DspStsFirLenErr;
    }
    if (upFactor < 1 || downFactor < 1)
    {
        return DspStsFirMrFactorErr;
    }
    if (upPhase < 0 || upPhase >= upFactor || downPhase < 0 || downPhase >= downFactor)
    {
        return DspStsFirMrPhaseErr;
    }
    if (upFactor == 1 && downFactor == 1)
    {
        return DspFirInitWith(r, ppState, taps, tapsLen, dlyLine, buffer);
    }
    const Geometry g = Measure(tapsLen, upFactor, downFactor);
    if (g.bytes > INT32_MAX)
    {
        return DspStsFirLenErr;
    }

    uint8_t* base = AlignUp16(buffer);
    auto* st = reinterpret_cast<DspFirState32f*>(base);
    memset(st, 0, sizeof(*st));
    uint8_t* cur = base + DspFirRecordBytes;
    st->taps = reinterpret_cast<float*>(cur);
    cur += RoundUp16(4 * g.n);
    st->tapVectors = reinterpret_cast<float*>(cur);
    cur += 16 * g.m;
    st->indexTable = reinterpret_cast<int32_t*>(cur);
    cur += g.kind == 1 ? RoundUp16(4 * g.u + 4) : RoundUp16(16 * g.u + 4);
    st->delayLine = reinterpret_cast<float*>(cur);

    st->tapCount = tapsLen;
    st->upFactor = upFactor;
    st->downFactor = downFactor;
    st->upPhase = upPhase;
    st->downPhase = downPhase;
    st->blockThreshold = static_cast<int32_t>(g.l1);
    st->bufferedOutputs = static_cast<int32_t>(g.v);
    st->historyLength = static_cast<int32_t>(g.tpp);
    st->multirateKind = g.kind;
    st->fftSpec = nullptr;
    st->tapsSpectrum = nullptr;
    st->fftLength = -1;
    st->delayIndex = 0;
    for (int64_t i = 0; i < g.n; ++i)
    {
        st->taps[i] = taps[g.n - 1 - i];
    }
    r.zero(st->tapVectors, static_cast<int32_t>(4 * g.m));
    if (g.kind == 1)
    {
        st->tapsPerGroup = static_cast<int32_t>(g.q);
        BuildKind1(st, g, taps, upPhase, downPhase);
    }
    else
    {
        BuildPolyphase(st, g, taps, upPhase, downPhase, r.levelLayout);
    }
    r.zero(st->delayLine, static_cast<int32_t>(g.tpp + g.l1 + 1));
    if (dlyLine != nullptr)
    {
        for (int64_t i = 0; i < g.tpp; ++i)
        {
            st->delayLine[i] = dlyLine[g.tpp - 1 - i];
        }
    }
    st->kind = DspFirKindMultirate;
    *ppState = st;
    return DspStsNoErr;
}

DspStatus DspFirMultirateFilterWith(const DspFirRoutines& r, const float* src, float* dst,
                                    int32_t len, DspFirState32f* state)
{
    const int32_t kind = state->multirateKind;
    if (kind < 1 || kind > 3)
    {
        return DspStsContextMatchErr;
    }
    const int64_t u = state->upFactor;
    const int64_t tpp = state->historyLength;
    const int64_t l1 = state->blockThreshold;
    const int64_t inputs = static_cast<int64_t>(state->downFactor) * len;
    const int64_t total = u * len;
    const int64_t cycle = 4 * u;
    float* delay = state->delayLine;
    const int64_t t = tpp + inputs;
    const bool shortCall = kind == 2 ? inputs < l1 : inputs <= l1;
    // Group sums may run past the call's samples into the rest of the delay
    // line, where only zero coefficients meet them; clear that room so a stale
    // infinity from an earlier call cannot turn those products into NaN.
    const int64_t room = tpp + l1 + 1;
    if (shortCall)
    {
        r.copy(src, delay + tpp, static_cast<int32_t>(inputs));
        r.zero(delay + t, static_cast<int32_t>(room - t));
        const int64_t whole = total - total % cycle;
        r.groups(state, delay, 0, 0, dst, whole);
        DspFirMultirateSingles(state, delay, 0, t, whole / cycle, dst + whole, total - whole,
                               r.levelLayout);
        r.move(delay + inputs, delay, static_cast<int32_t>(tpp));
        return DspStsNoErr;
    }
    r.copy(src, delay + tpp, static_cast<int32_t>(l1));
    delay[room - 1] = 0.0f;
    const int64_t v = state->bufferedOutputs;
    r.groups(state, delay, 0, 0, dst, v);
    r.copy(src + inputs - tpp, delay, static_cast<int32_t>(tpp));
    const int64_t rest = total - v;
    int64_t grouped = rest - rest % cycle;
    if (grouped > 0)
    {
        grouped -= cycle;
    }
    r.groups(state, src, tpp, v / cycle, dst + v, grouped);
    DspFirMultirateSingles(state, src, tpp, t, (v + grouped) / cycle, dst + v + grouped,
                           rest - grouped, r.levelLayout);
    return DspStsNoErr;
}

DspStatus DspFirMultirateStateSize32f_Gen(int32_t tapsLen, int32_t upFactor, int32_t downFactor,
                                          int32_t* pSize)
{
    return DspFirMultirateStateSizeWith(DspFirRoutinesGen, tapsLen, upFactor, downFactor, pSize);
}

DspStatus DspFirMultirateInit32f_Gen(DspFirState32f** ppState, const float* taps, int32_t tapsLen,
                                     int32_t upFactor, int32_t upPhase, int32_t downFactor,
                                     int32_t downPhase, const float* dlyLine, uint8_t* buffer)
{
    return DspFirMultirateInitWith(DspFirRoutinesGen, ppState, taps, tapsLen, upFactor, upPhase,
                                   downFactor, downPhase, dlyLine, buffer);
}

DspStatus DspFirMultirateFilter32f_Gen(const float* src, float* dst, int32_t len,
                                       DspFirState32f* state)
{
    if (state == nullptr || src == nullptr || dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (len < 1)
    {
        return DspStsSizeErr;
    }
    if (state->kind != DspFirKindMultirate)
    {
        return DspStsContextMatchErr;
    }
    return DspFirMultirateFilterWith(DspFirRoutinesGen, src, dst, len, state);
}
