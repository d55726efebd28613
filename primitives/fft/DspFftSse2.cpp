#include "primitives/fft/DspFftSse2.h"
#include "primitives/fft/DspFftRadix4Sizes.h"

#if defined(__SSE2__)
#include <emmintrin.h>

namespace
{
using V = __m128;

constexpr int kSign = static_cast<int>(0x80000000u);

inline V SignEven()
{
    return _mm_castsi128_ps(_mm_setr_epi32(kSign, 0, kSign, 0));
}

inline V SignOdd()
{
    return _mm_castsi128_ps(_mm_setr_epi32(0, kSign, 0, kSign));
}

inline V Swap(V a)
{
    return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1));
}

inline V SwapHalves(V a)
{
    return _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2));
}

inline V Load2(const float* lo, const float* hi)
{
    const V l = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(lo));
    return _mm_loadh_pi(l, reinterpret_cast<const __m64*>(hi));
}

// The low point of keep, the high point of take.
inline V KeepLow(V keep, V take)
{
    return _mm_castpd_ps(_mm_move_sd(_mm_castps_pd(take), _mm_castps_pd(keep)));
}

// a * w per point, wr and wi holding each point's twiddle parts twice; the
// inverse multiplies by the conjugate. The lanes round as
// (ar*wr - ai*wi, ar*wi + ai*wr) does.
template <bool Inv> inline V CMul(V a, V wr, V wi)
{
    const V cross = _mm_mul_ps(Swap(a), wi);
    return _mm_add_ps(_mm_mul_ps(a, wr), _mm_xor_ps(cross, Inv ? SignOdd() : SignEven()));
}

// u * -j forward, u * +j inverse: an exchange and a sign, exact.
template <bool Inv> inline V Rot(V u)
{
    return _mm_xor_ps(Swap(u), Inv ? SignEven() : SignOdd());
}

struct Quad
{
    V q0, q1, q2, q3;
};

template <bool Inv> inline Quad Butterfly4(V p0, V p1, V p2, V p3)
{
    const V s = _mm_add_ps(p0, p1);
    const V d = _mm_sub_ps(p0, p1);
    const V t = _mm_add_ps(p2, p3);
    const V r = Rot<Inv>(_mm_sub_ps(p2, p3));
    return {_mm_add_ps(s, t), _mm_add_ps(d, r), _mm_sub_ps(s, t), _mm_sub_ps(d, r)};
}

// Span-4 butterfly of the four points held in a (p0, p1) and b (p2, p3).
template <bool Inv> inline void Span4(V a, V b, V* o0, V* o1)
{
    const V x = _mm_movelh_ps(a, b); // p0 p2
    const V y = _mm_movehl_ps(b, a); // p1 p3
    const V s = _mm_add_ps(x, y);    // s t
    const V d = _mm_sub_ps(x, y);    // d u
    const V e = _mm_movelh_ps(s, d); // s d
    const V f = _mm_movehl_ps(d, s); // t u
    const V rotHigh = Inv ? _mm_castsi128_ps(_mm_setr_epi32(0, 0, kSign, 0))
                          : _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, kSign));
    const V g = _mm_xor_ps(_mm_shuffle_ps(f, f, _MM_SHUFFLE(2, 3, 1, 0)), rotHigh); // t, ju
    *o0 = _mm_add_ps(e, g);
    *o1 = _mm_sub_ps(e, g);
}

constexpr int32_t Log2(int32_t n)
{
    int32_t m = 0;
    while ((1 << m) < n)
    {
        ++m;
    }
    return m;
}

// Span-4 stage, and for odd orders the span-8 radix-2 stage, on the eight
// points v0 = (p0, p1) .. v3 = (p6, p7), written to out.
template <bool Inv, bool Odd>
inline void Eight(V v0, V v1, V v2, V v3, V wr, V wi, V negWr, float* out)
{
    V a0, a1, c0, c1;
    Span4<Inv>(v0, v1, &a0, &a1);
    Span4<Inv>(v2, v3, &c0, &c1);
    if constexpr (Odd)
    {
        const V t0 = KeepLow(c0, CMul<Inv>(c0, wr, wi));
        const V t1 = KeepLow(Rot<Inv>(c1), CMul<Inv>(c1, negWr, wi));
        _mm_storeu_ps(out, _mm_add_ps(a0, t0));
        _mm_storeu_ps(out + 4, _mm_add_ps(a1, t1));
        _mm_storeu_ps(out + 8, _mm_sub_ps(a0, t0));
        _mm_storeu_ps(out + 12, _mm_sub_ps(a1, t1));
    }
    else
    {
        _mm_storeu_ps(out, a0);
        _mm_storeu_ps(out + 4, a1);
        _mm_storeu_ps(out + 8, c0);
        _mm_storeu_ps(out + 12, c1);
    }
}

// The twiddle of the span-8 stage, (c, -c), and its real part negated.
struct Span8Twiddle
{
    explicit Span8Twiddle(const float* entry)
        : wr(_mm_set1_ps(entry[0])), wi(_mm_set1_ps(entry[1])), negWr(_mm_set1_ps(-entry[0]))
    {
    }
    V wr, wi, negWr;
};

template <bool Inv, int32_t N> void FirstStages(float* d, const float* tw)
{
    const Span8Twiddle w(tw + 6 * (N / 8));
    for (int32_t g = 0; g < N; g += 8)
    {
        float* p = d + 2 * g;
        Eight<Inv, (Log2(N) & 1) != 0>(_mm_loadu_ps(p), _mm_loadu_ps(p + 4), _mm_loadu_ps(p + 8),
                                       _mm_loadu_ps(p + 12), w.wr, w.wi, w.negWr, p);
    }
}

// The twiddles of points k and k + 1 (entries wa and wb), each part in both
// lanes of its point: W^e, W^2e and W^3e, real and imaginary.
struct PairTwiddles
{
    PairTwiddles(const float* wa, const float* wb)
    {
        const V a = _mm_loadu_ps(wa); // W^e, W^2e of k
        const V b = _mm_loadu_ps(wb); // the same of k + 1
        const V c = Load2(wa + 4, wb + 4);
        w1r = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 0, 0));
        w1i = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 1, 1));
        w2r = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 2, 2, 2));
        w2i = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 3, 3, 3));
        w3r = _mm_shuffle_ps(c, c, _MM_SHUFFLE(2, 2, 0, 0));
        w3i = _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 1, 1));
    }
    V w1r, w1i, w2r, w2i, w3r, w3i;
};

// Points k and k + 1 of the four quarters. Point 0 takes no multiplication
// (First).
template <bool Inv, bool First>
[[gnu::always_inline]] inline void PairButterfly(float* q0, float* q1, float* q2, float* q3,
                                                 const PairTwiddles& w)
{
    const V x1 = _mm_loadu_ps(q1);
    const V x2 = _mm_loadu_ps(q2);
    const V x3 = _mm_loadu_ps(q3);
    V p1 = CMul<Inv>(x1, w.w2r, w.w2i);
    V p2 = CMul<Inv>(x2, w.w1r, w.w1i);
    V p3 = CMul<Inv>(x3, w.w3r, w.w3i);
    if constexpr (First)
    {
        p1 = KeepLow(x1, p1);
        p2 = KeepLow(x2, p2);
        p3 = KeepLow(x3, p3);
    }
    const Quad r = Butterfly4<Inv>(_mm_loadu_ps(q0), p1, p2, p3);
    _mm_storeu_ps(q0, r.q0);
    _mm_storeu_ps(q1, r.q1);
    _mm_storeu_ps(q2, r.q2);
    _mm_storeu_ps(q3, r.q3);
}

// Every block of the pass uses the same twiddles at the same k: the blocks
// go innermost, so that each pair's twiddles are spread into lanes once.
template <bool Inv, int32_t N, int32_t L> void Radix4Pass(float* d, const float* tw)
{
    constexpr int32_t quarter = L / 4;
    constexpr int32_t stride = N / L;
    constexpr int64_t q = 2 * quarter;
    const PairTwiddles first(tw, tw + 6 * stride);
    for (int32_t b = 0; b < N; b += L)
    {
        float* p = d + 2 * b;
        PairButterfly<Inv, true>(p, p + q, p + 2 * q, p + 3 * q, first);
    }
    for (int32_t k = 2; k < quarter; k += 2)
    {
        const PairTwiddles w(tw + 6 * k * stride, tw + 6 * (k + 1) * stride);
        for (int32_t b = 0; b < N; b += L)
        {
            float* p = d + 2 * (b + k);
            PairButterfly<Inv, false>(p, p + q, p + 2 * q, p + 3 * q, w);
        }
    }
}

template <bool Inv, int32_t N> void Radix4Passes(float* d, const float* tw)
{
    constexpr int32_t first = (Log2(N) & 1) ? 32 : 16;
    if constexpr (first <= N)
    {
        Radix4Pass<Inv, N, first>(d, tw);
    }
    if constexpr (first * 4 <= N)
    {
        Radix4Pass<Inv, N, first * 4>(d, tw);
    }
    if constexpr (first * 16 <= N)
    {
        Radix4Pass<Inv, N, first * 16>(d, tw);
    }
    if constexpr (first * 64 <= N)
    {
        Radix4Pass<Inv, N, first * 64>(d, tw);
    }
}

template <bool Inv, int32_t N> void Radix4Sized(float* d, const float* tw)
{
    FirstStages<Inv, N>(d, tw);
    Radix4Passes<Inv, N>(d, tw);
}

// The first stages of two destination groups of G points (G = 4, or 8 for
// odd orders), one per lane: group g at lo takes the natural-order points
// rev(l) * N/G + r, l = 0..G-1, group g + groups/2 at hi the points + 1 (r
// even, g = rev(r)); pair(k) loads those two points of stream k = rev(l).
template <bool Inv, bool Odd, class Pair>
[[gnu::always_inline]] inline void GroupPair(const Pair& pair, float* lo, float* hi,
                                             const Span8Twiddle& w)
{
    // Streams in the order of the points they fill: l = 0, 1, 2, 3 come from
    // rev(l) = 0, 2, 1, 3 quarters (eighths 0, 4, 2, 6 when odd).
    const Quad a =
        Butterfly4<Inv>(pair(0), pair(Odd ? 4 : 2), pair(Odd ? 2 : 1), pair(Odd ? 6 : 3));
    if constexpr (Odd)
    {
        const Quad c = Butterfly4<Inv>(pair(1), pair(5), pair(3), pair(7));
        const V t1 = CMul<Inv>(c.q1, w.wr, w.wi);
        const V t2 = Rot<Inv>(c.q2);
        const V t3 = CMul<Inv>(c.q3, w.negWr, w.wi);
        const V o[8] = {_mm_add_ps(a.q0, c.q0), _mm_add_ps(a.q1, t1),   _mm_add_ps(a.q2, t2),
                        _mm_add_ps(a.q3, t3),   _mm_sub_ps(a.q0, c.q0), _mm_sub_ps(a.q1, t1),
                        _mm_sub_ps(a.q2, t2),   _mm_sub_ps(a.q3, t3)};
        for (int32_t k = 0; k < 8; k += 2)
        {
            _mm_storeu_ps(lo + 2 * k, _mm_movelh_ps(o[k], o[k + 1]));
            _mm_storeu_ps(hi + 2 * k, _mm_movehl_ps(o[k + 1], o[k]));
        }
    }
    else
    {
        _mm_storeu_ps(lo, _mm_movelh_ps(a.q0, a.q1));
        _mm_storeu_ps(lo + 4, _mm_movelh_ps(a.q2, a.q3));
        _mm_storeu_ps(hi, _mm_movehl_ps(a.q1, a.q0));
        _mm_storeu_ps(hi + 4, _mm_movehl_ps(a.q3, a.q2));
    }
}

// The permuting copy fused with the first stages: walking r = rev(g)
// upwards reads G sequential streams, two neighbouring r fill the two lanes.
template <bool Inv, int32_t N, bool Strided>
void PermuteFirstStages(const float* src, int64_t srcStride, float* d, const float* tw)
{
    constexpr bool odd = Log2(N) & 1;
    constexpr int32_t groups = odd ? N / 8 : N / 4; // destination groups
    constexpr int64_t stream = N / (odd ? 8 : 4);   // distance between streams
    constexpr uint32_t half = groups / 2;           // rev(r + 1) - rev(r) for even r
    const Span8Twiddle w(tw + 6 * (N / 8));
    uint32_t g = 0; // rev(r) over the group bits, stepped as r counts up by two
    for (int32_t r = 0; r < groups; r += 2)
    {
        // Source points x and x + 1 of the natural order, x = r + k * stream.
        const auto pair = [=](int64_t k)
        {
            if constexpr (Strided)
            {
                const float* p = src + 2 * (r + k * stream) * srcStride;
                return Load2(p, p + 2 * srcStride);
            }
            return _mm_loadu_ps(src + 2 * (r + k * stream));
        };
        float* lo = d + 2 * static_cast<int64_t>(g) * (odd ? 8 : 4);
        GroupPair<Inv, odd>(pair, lo, lo + N, w);
        const int32_t next = r / 2 + 1;
        g ^= half - (half >> (__builtin_ctz(static_cast<uint32_t>(next)) + 1));
    }
}

// In place, N >= 64, through the lane pairs of the copy above: with rows a
// of N/8 points, the 8 x 8 points a * N/8 + mid * 8 + c (tile mid) make the
// groups of tile rev(mid) (row rev(c), and for even orders, whose groups are
// half a row, row a's low bit picks the half). Tile mid is saved before
// tile rev(mid) turns into its place, then turns from the copy; a tile of
// its own turns from the copy only.
template <bool Inv, int32_t N> void PermuteFirstStagesInPlace(float* d, const float* tw)
{
    constexpr bool odd = Log2(N) & 1;
    constexpr int32_t midBits = Log2(N) - 6;
    constexpr int64_t rowFloats = 2 * (N / 8);
    constexpr uint32_t rev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const Span8Twiddle w(tw + 6 * (N / 8));
    // Tile `from` (row a at tile + a * tileRow) into the place of tile `to`.
    const auto turn = [&](const float* tile, int64_t tileRow, uint32_t to)
    {
        for (uint32_t c = 0; c < 8; c += 2)
        {
            for (uint32_t b = 0; b < (odd ? 1u : 2u); ++b)
            {
                const float* base = tile + b * tileRow + 2 * c;
                const int64_t step = (odd ? 1 : 2) * tileRow;
                const auto pair = [=](int64_t k) { return _mm_loadu_ps(base + k * step); };
                float* lo = d + rev3[c] * rowFloats + 16 * to + 8 * b;
                GroupPair<Inv, odd>(pair, lo, lo + N, w);
            }
        }
    };
    alignas(16) float saved[8][16];
    uint32_t rm = 0; // rev(mid) over the middle bits
    for (uint32_t mid = 0; mid < (1u << midBits); ++mid)
    {
        if (rm >= mid)
        {
            for (int32_t a = 0; a < 8; ++a)
            {
                const float* row = d + a * rowFloats + 16 * mid;
                for (int32_t i = 0; i < 16; i += 4)
                {
                    _mm_store_ps(&saved[a][i], _mm_loadu_ps(row + i));
                }
            }
            if (rm != mid)
            {
                turn(d + 16 * rm, rowFloats, mid);
            }
            turn(&saved[0][0], 16, rm);
        }
        const uint32_t next = mid + 1;
        if (midBits > 0 && next < (1u << midBits))
        {
            const uint32_t topHalf = 1u << (midBits - 1);
            rm ^= (topHalf << 1) - (topHalf >> __builtin_ctz(next));
        }
    }
}

// --- Four columns side by side: each point is four complex values (two
// registers), so every butterfly runs on independent columns and the
// twiddle of a point is broadcast.

inline V At(const float* w, int32_t point, int32_t half)
{
    return _mm_load_ps(w + 8 * point + 4 * half);
}

inline void Put(float* w, int32_t point, int32_t half, V v)
{
    _mm_store_ps(w + 8 * point + 4 * half, v);
}

template <bool Inv, int32_t R> void WideFirstStages(float* w, const float* tw)
{
    for (int32_t g = 0; g < R; g += 4)
    {
        for (int32_t h = 0; h < 2; ++h)
        {
            const Quad r =
                Butterfly4<Inv>(At(w, g, h), At(w, g + 1, h), At(w, g + 2, h), At(w, g + 3, h));
            Put(w, g, h, r.q0);
            Put(w, g + 1, h, r.q1);
            Put(w, g + 2, h, r.q2);
            Put(w, g + 3, h, r.q3);
        }
    }
    if constexpr (Log2(R) & 1)
    {
        const Span8Twiddle s8(tw + 6 * (R / 8));
        for (int32_t g = 0; g < R; g += 8)
        {
            for (int32_t h = 0; h < 2; ++h)
            {
                const V t[4] = {At(w, g + 4, h), CMul<Inv>(At(w, g + 5, h), s8.wr, s8.wi),
                                Rot<Inv>(At(w, g + 6, h)),
                                CMul<Inv>(At(w, g + 7, h), s8.negWr, s8.wi)};
                for (int32_t k = 0; k < 4; ++k)
                {
                    const V a = At(w, g + k, h);
                    Put(w, g + k, h, _mm_add_ps(a, t[k]));
                    Put(w, g + k + 4, h, _mm_sub_ps(a, t[k]));
                }
            }
        }
    }
}

template <bool Inv, int32_t R, int32_t L> void WideRadix4Pass(float* w, const float* tw)
{
    constexpr int32_t quarter = L / 4;
    constexpr int32_t stride = R / L;
    for (int32_t b = 0; b < R; b += L)
    {
        for (int32_t h = 0; h < 2; ++h)
        {
            const Quad r = Butterfly4<Inv>(At(w, b, h), At(w, b + quarter, h),
                                           At(w, b + 2 * quarter, h), At(w, b + 3 * quarter, h));
            Put(w, b, h, r.q0);
            Put(w, b + quarter, h, r.q1);
            Put(w, b + 2 * quarter, h, r.q2);
            Put(w, b + 3 * quarter, h, r.q3);
        }
        for (int32_t k = 1; k < quarter; ++k)
        {
            const float* e = tw + 6 * k * stride;
            const V w1r = _mm_set1_ps(e[0]), w1i = _mm_set1_ps(e[1]);
            const V w2r = _mm_set1_ps(e[2]), w2i = _mm_set1_ps(e[3]);
            const V w3r = _mm_set1_ps(e[4]), w3i = _mm_set1_ps(e[5]);
            const int32_t i0 = b + k;
            for (int32_t h = 0; h < 2; ++h)
            {
                const V p1 = CMul<Inv>(At(w, i0 + quarter, h), w2r, w2i);
                const V p2 = CMul<Inv>(At(w, i0 + 2 * quarter, h), w1r, w1i);
                const V p3 = CMul<Inv>(At(w, i0 + 3 * quarter, h), w3r, w3i);
                const Quad r = Butterfly4<Inv>(At(w, i0, h), p1, p2, p3);
                Put(w, i0, h, r.q0);
                Put(w, i0 + quarter, h, r.q1);
                Put(w, i0 + 2 * quarter, h, r.q2);
                Put(w, i0 + 3 * quarter, h, r.q3);
            }
        }
    }
}

template <bool Inv, int32_t R> void WideRadix4(float* w, const float* tw)
{
    WideFirstStages<Inv, R>(w, tw);
    constexpr int32_t first = (Log2(R) & 1) ? 32 : 16;
    if constexpr (first <= R)
    {
        WideRadix4Pass<Inv, R, first>(w, tw);
    }
    if constexpr (first * 4 <= R)
    {
        WideRadix4Pass<Inv, R, first * 4>(w, tw);
    }
    if constexpr (first * 16 <= R)
    {
        WideRadix4Pass<Inv, R, first * 16>(w, tw);
    }
    if constexpr (first * 64 <= R)
    {
        WideRadix4Pass<Inv, R, first * 64>(w, tw);
    }
}

// Four columns of row r times their cross twiddles into the work row r.
template <bool Inv> inline void GatherRow(float* work, int32_t r, const float* src, const float* w)
{
    const V c0 = _mm_loadu_ps(w);
    const V c1 = _mm_loadu_ps(w + 4);
    Put(work, r, 0,
        CMul<Inv>(_mm_loadu_ps(src), _mm_shuffle_ps(c0, c0, _MM_SHUFFLE(2, 2, 0, 0)),
                  _mm_shuffle_ps(c0, c0, _MM_SHUFFLE(3, 3, 1, 1))));
    Put(work, r, 1,
        CMul<Inv>(_mm_loadu_ps(src + 4), _mm_shuffle_ps(c1, c1, _MM_SHUFFLE(2, 2, 0, 0)),
                  _mm_shuffle_ps(c1, c1, _MM_SHUFFLE(3, 3, 1, 1))));
}

// The rows lie a power of two apart, so a group's R rows crowd a few cache
// sets and are gone by the time the group is written back. Writing a group
// back and gathering the next one in the same sweep touches each row's line
// once for both, where the next group shares it.
template <bool Inv, int32_t R>
void ColumnsSized(float* data, int32_t cols, const float* cross, const float* columnTw, float* work)
{
    const int64_t rowFloats = 2 * static_cast<int64_t>(cols);
    for (int32_t r = 0; r < R; ++r)
    {
        GatherRow<Inv>(work, r, data + r * rowFloats, cross + 8 * r);
    }
    for (int32_t g = 0; g < cols; g += 4)
    {
        WideRadix4<Inv, R>(work, columnTw);
        float* row = data + 2 * g;
        const float* nextCross = cross + 8 * static_cast<int64_t>(g / 4 + 1) * R;
        const bool more = g + 4 < cols;
        for (int32_t r = 0; r < R; ++r, row += rowFloats)
        {
            _mm_storeu_ps(row, At(work, r, 0));
            _mm_storeu_ps(row + 4, At(work, r, 1));
            if (more)
            {
                GatherRow<Inv>(work, r, row + 8, nextCross + 8 * r);
            }
        }
    }
}

// The two parts of each point of q with those of p exchanged in place:
// (Re p, Im q) and (Re q, Im p) per point, as unpack and shuffle give them.
inline void CrossParts(V p, V q, V* pReQIm, V* qRePIm)
{
    const V lo = _mm_unpacklo_ps(p, q); // pr qr pi qi
    const V hi = _mm_unpackhi_ps(p, q);
    *pReQIm = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 0, 3, 0));
    *qRePIm = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 1, 2, 1));
}

// Points k0 .. k0 + chunk - 1 of a block pair, two at a time; an odd chunk
// width leaves its last point to the low lane alone.
template <bool Inv, bool SecondHalf>
void JoinChunk(float* a, float* b, const float* table, int32_t k0, int32_t chunk, int32_t step)
{
    const int32_t end = k0 + chunk;
    for (int32_t k = k0; k < end; k += 2)
    {
        const float* w = table + 2 * k * step;
        const bool pair = k + 1 < end;
        const V tw = pair ? Load2(w, w + 2 * step) : Load2(w, w);
        V wr = _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(2, 2, 0, 0));
        V wi = _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(3, 3, 1, 1));
        if constexpr (SecondHalf)
        {
            const V r = wr;
            wr = wi;
            wi = _mm_xor_ps(r, _mm_set1_ps(-0.0f));
        }
        float* pa = a + 2 * k;
        float* pb = b + 2 * k;
        if (pair)
        {
            const V t = CMul<Inv>(_mm_loadu_ps(pb), wr, wi);
            const V x = _mm_loadu_ps(pa);
            _mm_storeu_ps(pa, _mm_add_ps(x, t));
            _mm_storeu_ps(pb, _mm_sub_ps(x, t));
        }
        else
        {
            const V t = CMul<Inv>(Load2(pb, pb), wr, wi);
            const V x = Load2(pa, pa);
            _mm_storel_pi(reinterpret_cast<__m64*>(pa), _mm_add_ps(x, t));
            _mm_storel_pi(reinterpret_cast<__m64*>(pb), _mm_sub_ps(x, t));
        }
    }
}

// Four bins k .. k+3 and their mirrors n-k .. n-k-3 with parts split into
// registers (real parts, imaginary parts, in bin order), and the two table
// values of each k.
struct MirrorQuad
{
    V ar, ai, br, bi, w0, w1;
};

inline MirrorQuad LoadMirrorQuad(const float* x, int32_t n, int32_t k, const float* w)
{
    const V a0 = _mm_loadu_ps(x + 2 * k);
    const V a1 = _mm_loadu_ps(x + 2 * k + 4);
    const V b0 = _mm_loadu_ps(x + 2 * (n - k - 3));
    const V b1 = _mm_loadu_ps(x + 2 * (n - k - 1));
    const V t0 = _mm_loadu_ps(w + 2 * k);
    const V t1 = _mm_loadu_ps(w + 2 * k + 4);
    return {_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0)),
            _mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1)),
            _mm_shuffle_ps(b1, b0, _MM_SHUFFLE(0, 2, 0, 2)),
            _mm_shuffle_ps(b1, b0, _MM_SHUFFLE(1, 3, 1, 3)),
            _mm_shuffle_ps(t0, t1, _MM_SHUFFLE(2, 0, 2, 0)),
            _mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 1, 3, 1))};
}

inline void StoreMirrorQuad(float* y, int32_t n, int32_t k, V ar, V ai, V br, V bi)
{
    _mm_storeu_ps(y + 2 * k, _mm_unpacklo_ps(ar, ai));
    _mm_storeu_ps(y + 2 * k + 4, _mm_unpackhi_ps(ar, ai));
    _mm_storeu_ps(y + 2 * (n - k - 1), SwapHalves(_mm_unpacklo_ps(br, bi)));
    _mm_storeu_ps(y + 2 * (n - k - 3), SwapHalves(_mm_unpackhi_ps(br, bi)));
}
} // namespace

namespace DspFftSse2
{
template <bool Inv> void Radix4(float* data, int32_t n, const float* twiddles)
{
    DspFftForRadix4Size(n, [&](auto size)
                        { Radix4Sized<Inv, decltype(size)::value>(data, twiddles); });
}

template <bool Inv, int32_t N>
void PermuteRadix4Sized(const float* src, int64_t srcStride, float* dst, const float* tw)
{
    if (srcStride == 1)
    {
        PermuteFirstStages<Inv, N, false>(src, 1, dst, tw);
    }
    else
    {
        PermuteFirstStages<Inv, N, true>(src, srcStride, dst, tw);
    }
    Radix4Passes<Inv, N>(dst, tw);
}

template <bool Inv>
void PermuteRadix4(const float* src, int64_t srcStride, float* dst, int32_t n, const float* tw)
{
    switch (n)
    {
    case 16:
        return PermuteRadix4Sized<Inv, 16>(src, srcStride, dst, tw);
    case 32:
        return PermuteRadix4Sized<Inv, 32>(src, srcStride, dst, tw);
    case 64:
        return PermuteRadix4Sized<Inv, 64>(src, srcStride, dst, tw);
    case 128:
        return PermuteRadix4Sized<Inv, 128>(src, srcStride, dst, tw);
    case 256:
        return PermuteRadix4Sized<Inv, 256>(src, srcStride, dst, tw);
    case 512:
        return PermuteRadix4Sized<Inv, 512>(src, srcStride, dst, tw);
    default:
        return PermuteRadix4Sized<Inv, 1024>(src, srcStride, dst, tw);
    }
}

template <bool Inv> void InPlaceRadix4(float* data, int32_t n, const float* tw)
{
    switch (n)
    {
    case 64:
        PermuteFirstStagesInPlace<Inv, 64>(data, tw);
        return Radix4Passes<Inv, 64>(data, tw);
    case 128:
        PermuteFirstStagesInPlace<Inv, 128>(data, tw);
        return Radix4Passes<Inv, 128>(data, tw);
    case 256:
        PermuteFirstStagesInPlace<Inv, 256>(data, tw);
        return Radix4Passes<Inv, 256>(data, tw);
    case 512:
        PermuteFirstStagesInPlace<Inv, 512>(data, tw);
        return Radix4Passes<Inv, 512>(data, tw);
    default:
        PermuteFirstStagesInPlace<Inv, 1024>(data, tw);
        return Radix4Passes<Inv, 1024>(data, tw);
    }
}

template <bool Inv>
void Columns(float* data, int32_t rows, int32_t cols, const float* cross, const float* columnTw,
             float* work)
{
    switch (rows)
    {
    case 8:
        return ColumnsSized<Inv, 8>(data, cols, cross, columnTw, work);
    case 16:
        return ColumnsSized<Inv, 16>(data, cols, cross, columnTw, work);
    case 32:
        return ColumnsSized<Inv, 32>(data, cols, cross, columnTw, work);
    case 64:
        return ColumnsSized<Inv, 64>(data, cols, cross, columnTw, work);
    case 128:
        return ColumnsSized<Inv, 128>(data, cols, cross, columnTw, work);
    case 256:
        return ColumnsSized<Inv, 256>(data, cols, cross, columnTw, work);
    case 512:
        return ColumnsSized<Inv, 512>(data, cols, cross, columnTw, work);
    default:
        return ColumnsSized<Inv, 1024>(data, cols, cross, columnTw, work);
    }
}

template <bool Inv>
void Radix2Passes(float* d, int32_t n, int32_t blockPoints, const float* table, int32_t chunkFloats)
{
    if (n / blockPoints < 2)
    {
        return;
    }
    const int32_t chunk = chunkFloats / 2;
    for (int32_t span = blockPoints; span < n; span *= 2)
    {
        const int32_t step = n / (2 * span);
        const int32_t half = span / 2;
        for (int32_t k0 = 0; k0 < half; k0 += chunk)
        {
            for (int32_t base = 0; base < n; base += 2 * span)
            {
                float* a = d + 2 * static_cast<int64_t>(base);
                float* b = a + 2 * static_cast<int64_t>(span);
                // W_2B(k + B/2) = -j * W_2B(k): the second halves take (wi, -wr).
                JoinChunk<Inv, false>(a, b, table, k0, chunk, step);
                JoinChunk<Inv, true>(a + 2 * half, b + 2 * half, table, k0, chunk, step);
            }
        }
    }
}

int32_t PostSplit(float* x, int32_t n, const float* w)
{
    int32_t k = 1;
    for (; k + 3 < n / 2; k += 4)
    {
        const MirrorQuad q = LoadMirrorQuad(x, n, k, w);
        const V d = _mm_sub_ps(q.ar, q.br);
        const V s = _mm_add_ps(q.ai, q.bi);
        const V t = _mm_add_ps(_mm_mul_ps(q.w1, d), _mm_mul_ps(q.w0, s));
        const V u = _mm_sub_ps(_mm_mul_ps(s, q.w1), _mm_mul_ps(d, q.w0));
        StoreMirrorQuad(x, n, k, _mm_add_ps(t, q.br), _mm_sub_ps(u, q.bi), _mm_sub_ps(q.ar, t),
                        _mm_sub_ps(u, q.ai));
    }
    for (; k + 1 < n / 2; k += 2)
    {
        float* pi = x + 2 * k;
        float* pj = x + 2 * (n - k - 1);
        const V a = _mm_loadu_ps(pi);
        const V b = SwapHalves(_mm_loadu_ps(pj)); // bins n-k, n-k-1
        const V tw = _mm_loadu_ps(w + 2 * k);
        const V ds = _mm_add_ps(a, _mm_xor_ps(b, SignEven())); // d = ar - br, s = ai + bi
        const V p = _mm_mul_ps(ds, _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(3, 3, 1, 1)));
        const V q = _mm_mul_ps(Swap(ds), _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(2, 2, 0, 0)));
        const V tu = _mm_add_ps(p, _mm_xor_ps(q, SignOdd())); // t, u
        V arU, tAi;
        CrossParts(a, tu, &arU, &tAi);
        _mm_storeu_ps(pi, _mm_add_ps(tu, _mm_xor_ps(b, SignOdd()))); // t + br, u - bi
        _mm_storeu_ps(pj, SwapHalves(_mm_sub_ps(arU, tAi)));         // ar - t, u - ai
    }
    return k;
}

int32_t PreSplit(const float* x, float* y, int32_t n, const float* w)
{
    int32_t k = 1;
    for (; k + 3 < n / 2; k += 4)
    {
        const MirrorQuad q = LoadMirrorQuad(x, n, k, w);
        const V d = _mm_sub_ps(q.ar, q.br);
        const V s = _mm_add_ps(q.ai, q.bi);
        const V sum = _mm_add_ps(q.ar, q.br);
        const V diff = _mm_sub_ps(q.ai, q.bi);
        const V p = _mm_sub_ps(_mm_mul_ps(q.w1, d), _mm_mul_ps(q.w0, s));
        const V r = _mm_add_ps(_mm_mul_ps(d, q.w0), _mm_mul_ps(s, q.w1));
        StoreMirrorQuad(y, n, k, _mm_add_ps(sum, p), _mm_add_ps(diff, r), _mm_sub_ps(sum, p),
                        _mm_sub_ps(r, diff));
    }
    for (; k + 1 < n / 2; k += 2)
    {
        const V a = _mm_loadu_ps(x + 2 * k);
        const V b = SwapHalves(_mm_loadu_ps(x + 2 * (n - k - 1)));
        const V tw = _mm_loadu_ps(w + 2 * k);
        const V ds = _mm_add_ps(a, _mm_xor_ps(b, SignEven())); // a - b, c + e
        const V sd = _mm_add_ps(a, _mm_xor_ps(b, SignOdd()));  // a + b, c - e
        const V p = _mm_mul_ps(ds, _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(3, 3, 1, 1)));
        const V q = _mm_mul_ps(Swap(ds), _mm_shuffle_ps(tw, tw, _MM_SHUFFLE(2, 2, 0, 0)));
        const V pq = _mm_add_ps(p, _mm_xor_ps(q, SignEven())); // p, q
        V sdrQ, pSdi;
        CrossParts(sd, pq, &sdrQ, &pSdi);
        _mm_storeu_ps(y + 2 * k, _mm_add_ps(sd, pq));
        _mm_storeu_ps(y + 2 * (n - k - 1), SwapHalves(_mm_sub_ps(sdrQ, pSdi)));
    }
    return k;
}

template void Radix4<false>(float*, int32_t, const float*);
template void Radix4<true>(float*, int32_t, const float*);
template void PermuteRadix4<false>(const float*, int64_t, float*, int32_t, const float*);
template void PermuteRadix4<true>(const float*, int64_t, float*, int32_t, const float*);
template void InPlaceRadix4<false>(float*, int32_t, const float*);
template void InPlaceRadix4<true>(float*, int32_t, const float*);
template void Columns<false>(float*, int32_t, int32_t, const float*, const float*, float*);
template void Columns<true>(float*, int32_t, int32_t, const float*, const float*, float*);
template void Radix2Passes<false>(float*, int32_t, int32_t, const float*, int32_t);
template void Radix2Passes<true>(float*, int32_t, int32_t, const float*, int32_t);
} // namespace DspFftSse2

#endif
