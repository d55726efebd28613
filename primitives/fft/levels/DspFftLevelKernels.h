// The FFT kernels of processor levels 1 to 3, written once and compiled in
// each level's own file with that level's instruction set. Everything here has
// internal linkage, so every level keeps its own copy built for its flags.
//
// After the first radix-4 stage the data lives in the four-lane split layout:
// each four consecutive points as four real parts, then four imaginary parts,
// so every butterfly works on four points at once without shuffles.
#pragma once

#include <pmmintrin.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "primitives/fft/DspFftComplex.h"

namespace
{
// Order thresholds of one level (complex orders).
template <int Lvl> struct FftLevel
{
    static constexpr int32_t kSmallBelow = Lvl == 1 ? 16 : 17; // one-piece kernel below
    static constexpr int32_t kLargeFrom = kSmallBelow + 1;     // large-order driver from
    static constexpr int32_t kTiledFrom = Lvl == 1 ? 20 : 19;  // 64 x 64 tiled reversal from
    static constexpr int32_t kLeafLimit = kSmallBelow;         // recursion above this inner order
};

// Outer orders and tile orders of the large path, by complex order.
constexpr int32_t kOuterOrder[31] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                     0, 3, 4, 4, 4, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8};
constexpr int32_t kTileOrder[31] = {0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 0,
                                    0, 9, 10, 10, 10, 13, 15, 15, 15, 15, 15, 15, 15, 15, 15};

// One unit in the last place above the float nearest 1/sqrt(2).
const float kR = std::bit_cast<float>(0x3f3504f4u);

// Radix of the twiddled stage that starts at log-length done of an order-m
// transform: 8 or 4 by the level's plan. Plan B (levels 2 and 3): a radix-4
// stage to length 16 unless only radix-8 stages fit, a second one for the
// orders that would otherwise end on two radix-4 stages, then radix 8 while
// more than eight sub-transforms remain, and a last stage of the radix left.
// The second radix-4 stage belongs to orders 9, 12 and 15 only.
template <int Lvl> constexpr int32_t StageRadix(int32_t m, int32_t done)
{
    const int32_t rem = m - done;
    if constexpr (Lvl == 1)
    {
        const bool eight = rem == 3 || (rem >= 5 && done >= 3) ||
                           (done == 2 && m < 31 && ((0x6c80u >> m) & 1u) != 0);
        return eight ? 8 : 4;
    }
    if (rem <= 3)
    {
        return rem == 3 ? 8 : 4;
    }
    if (done == 2)
    {
        return m % 3 == 2 ? 8 : 4;
    }
    return done == 4 && m % 3 == 0 && m <= 15 ? 4 : 8;
}

// Outer pass radix after done of A outer orders.
constexpr int32_t OuterRadix(int32_t a, int32_t done)
{
    return (a == done + 2 || a == done + 4) ? 4 : 8;
}

struct Cv
{
    __m128 re, im;
};

[[gnu::always_inline]] inline Cv Load(const float* p)
{
    return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)};
}
[[gnu::always_inline]] inline void Store(float* p, Cv v)
{
    _mm_storeu_ps(p, v.re);
    _mm_storeu_ps(p + 4, v.im);
}
[[gnu::always_inline]] inline void StoreInterleaved(float* p, Cv v)
{
    _mm_storeu_ps(p, _mm_unpacklo_ps(v.re, v.im));
    _mm_storeu_ps(p + 4, _mm_unpackhi_ps(v.re, v.im));
}
[[gnu::always_inline]] inline Cv Add(Cv a, Cv b)
{
    return {_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)};
}
[[gnu::always_inline]] inline Cv Sub(Cv a, Cv b)
{
    return {_mm_sub_ps(a.re, b.re), _mm_sub_ps(a.im, b.im)};
}
// Times the factor (wr, wi) = (cos, -sin); the inverse takes its conjugate.
template <bool Inv> [[gnu::always_inline]] inline Cv MulBy(Cv x, __m128 wr, __m128 wi)
{
    if constexpr (Inv)
    {
        return {_mm_add_ps(_mm_mul_ps(x.re, wr), _mm_mul_ps(x.im, wi)),
                _mm_sub_ps(_mm_mul_ps(x.im, wr), _mm_mul_ps(x.re, wi))};
    }
    return {_mm_sub_ps(_mm_mul_ps(x.re, wr), _mm_mul_ps(x.im, wi)),
            _mm_add_ps(_mm_mul_ps(x.re, wi), _mm_mul_ps(x.im, wr))};
}
// Times a table factor.
template <bool Inv> [[gnu::always_inline]] inline Cv MulTw(Cv x, const float* w)
{
    return MulBy<Inv>(x, _mm_loadu_ps(w), _mm_loadu_ps(w + 4));
}
// b - j d and b + j d (forward; the inverse exchanges them): the products by
// j are exchanges of the real and imaginary parts folded into the adds, with
// no negation of their own.
template <bool Inv> [[gnu::always_inline]] inline void TurnJ(Cv b, Cv d, Cv* minus, Cv* plus)
{
    const Cv m = {_mm_add_ps(b.re, d.im), _mm_sub_ps(b.im, d.re)};
    const Cv p = {_mm_sub_ps(b.re, d.im), _mm_add_ps(b.im, d.re)};
    *minus = Inv ? p : m;
    *plus = Inv ? m : p;
}

template <bool Inv> [[gnu::always_inline]] inline void Dft4(const Cv* u, Cv* y)
{
    const Cv a = Add(u[0], u[2]);
    const Cv b = Sub(u[0], u[2]);
    const Cv c = Add(u[1], u[3]);
    const Cv d = Sub(u[1], u[3]);
    y[0] = Add(a, c);
    y[2] = Sub(a, c);
    TurnJ<Inv>(b, d, &y[1], &y[3]);
}

// The radix-8 butterfly from the 4-point transforms of the even and odd
// inputs: the odd ones turned by the eighth roots of unity.
template <bool Inv> [[gnu::always_inline]] inline void Combine8(const Cv* e, Cv* o, Cv* y)
{
    const __m128 r = _mm_set1_ps(kR);
    const __m128 nr = _mm_set1_ps(-kR);
    const __m128 s1 = _mm_add_ps(o[1].re, o[1].im);
    const __m128 d1 = _mm_sub_ps(o[1].im, o[1].re);
    const __m128 s3 = _mm_add_ps(o[3].re, o[3].im);
    const __m128 d3 = _mm_sub_ps(o[3].im, o[3].re);
    if constexpr (Inv)
    {
        o[1] = {_mm_mul_ps(nr, d1), _mm_mul_ps(r, s1)};
        o[3] = {_mm_mul_ps(nr, s3), _mm_mul_ps(nr, d3)};
    }
    else
    {
        o[1] = {_mm_mul_ps(r, s1), _mm_mul_ps(r, d1)};
        o[3] = {_mm_mul_ps(r, d3), _mm_mul_ps(nr, s3)};
    }
    TurnJ<Inv>(e[2], o[2], &y[2], &y[6]);
    y[0] = Add(e[0], o[0]);
    y[4] = Sub(e[0], o[0]);
    y[1] = Add(e[1], o[1]);
    y[5] = Sub(e[1], o[1]);
    y[3] = Add(e[3], o[3]);
    y[7] = Sub(e[3], o[3]);
}

// Four split vectors of four lanes turned so that vector l holds lane l.
[[gnu::always_inline]] inline void Transpose(Cv* v)
{
    _MM_TRANSPOSE4_PS(v[0].re, v[1].re, v[2].re, v[3].re);
    _MM_TRANSPOSE4_PS(v[0].im, v[1].im, v[2].im, v[3].im);
}

// Four radix-4 butterflies without twiddles, one per lane; y[l] then holds
// the four outputs of lane l as one split block.
template <bool Inv> [[gnu::always_inline]] inline void Dft4Lanes(const Cv* u, Cv* y)
{
    Dft4<Inv>(u, y);
    Transpose(y);
}

constexpr int kRev4[4] = {0, 2, 1, 3};
constexpr int kRev8[8] = {0, 4, 2, 6, 1, 5, 3, 7};

// Where a pass puts the result of one position: split blocks, interleaved
// points, or real and imaginary parts in two arrays; point is the index of the
// first of the four points. The first two also take the address itself, the
// same byte offset as the position's input.
struct SplitOut
{
    float* base;
    [[gnu::always_inline]] static void Put(float* p, Cv v) { Store(p, v); }
    [[gnu::always_inline]] void operator()(int64_t point, Cv v) const { Put(base + 2 * point, v); }
};
struct InterleavedOut
{
    float* base;
    [[gnu::always_inline]] static void Put(float* p, Cv v) { StoreInterleaved(p, v); }
    [[gnu::always_inline]] void operator()(int64_t point, Cv v) const { Put(base + 2 * point, v); }
};
template <class Out>
concept AddressedOut = requires(float* p, Cv v)
{
    Out::Put(p, v);
};
struct PlanarOut
{
    float* re;
    float* im;
    [[gnu::always_inline]] void operator()(int64_t point, Cv v) const
    {
        _mm_storeu_ps(re + point, v.re);
        _mm_storeu_ps(im + point, v.im);
    }
};

// The radix-8 butterfly of one k-block: t(e) gives the twiddled value of
// residue e; the result y[j] belongs to output j.
template <bool Inv, class Twiddled> [[gnu::always_inline]] inline void Butterfly8(Twiddled t, Cv* y)
{
    // Even residues first, then the odd ones, to keep few values live.
    const Cv ev[4] = {t(0), t(2), t(4), t(6)};
    Cv e[4];
    Dft4<Inv>(ev, e);
    const Cv od[4] = {t(1), t(3), t(5), t(7)};
    Cv o[4];
    Dft4<Inv>(od, o);
    Combine8<Inv>(e, o, y);
}

// The twiddles of one k-block of a radix-R pass. Radix 2 and 4 hold theirs in
// registers, so they are loaded once for every group of the pass; radix 8
// needs more registers than there are and reads its seven from the table.
template <int R, bool Inv> struct KBlockTwiddles
{
    static constexpr int kHeld = R < 8 ? R - 1 : 0;
    const float* w;
    __m128 re[kHeld > 0 ? kHeld : 1];
    __m128 im[kHeld > 0 ? kHeld : 1];
    [[gnu::always_inline]] explicit KBlockTwiddles(const float* at) : w(at)
    {
        for (int q = 0; q < kHeld; ++q)
        {
            re[q] = _mm_loadu_ps(at + 8 * q);
            im[q] = _mm_loadu_ps(at + 8 * q + 4);
        }
    }
    // x times twiddle q (1 .. R - 1).
    [[gnu::always_inline]] Cv Mul(Cv x, int q) const
    {
        if constexpr (kHeld == 0)
        {
            return MulTw<Inv>(x, w + 8 * (q - 1));
        }
        else
        {
            return MulBy<Inv>(x, re[q - 1], im[q - 1]);
        }
    }
};

// The radix-R butterfly of one k-block whose inputs in(s) are the
// sub-transform values in bit-reversed order, input s taking twiddle rev(s);
// y[j] gets output j.
template <int R, bool Inv, class In>
[[gnu::always_inline]] inline void ButterflyR(In in, const KBlockTwiddles<R, Inv>& w, Cv* y)
{
    if constexpr (R == 2)
    {
        const Cv t = w.Mul(in(1), 1);
        const Cv x0 = in(0);
        y[0] = Add(x0, t);
        y[1] = Sub(x0, t);
    }
    else if constexpr (R == 4)
    {
        const Cv u[4] = {in(0), w.Mul(in(2), 1), w.Mul(in(1), 2), w.Mul(in(3), 3)};
        Dft4<Inv>(u, y);
    }
    else
    {
        // Residue e sits at input rev(e) and takes twiddle e.
        auto t = [&](int e) { return e == 0 ? in(0) : w.Mul(in(kRev8[e]), e); };
        Butterfly8<Inv>(t, y);
    }
}

// One radix-R butterfly of a pass at float offset at of its input (and of an
// addressed output; other outputs take the point index).
template <int R, bool Inv, class Out>
[[gnu::always_inline]] inline void PassStep(const float* in, Out out, int64_t at, int64_t stride,
                                            const KBlockTwiddles<R, Inv>& w, int64_t point,
                                            int64_t span)
{
    Cv y[R];
    ButterflyR<R, Inv>([&](int s) { return Load(in + at + s * stride); }, w, y);
#pragma GCC unroll 8
    for (int t = 0; t < R; ++t)
    {
        if constexpr (AddressedOut<Out>)
        {
            Out::Put(out.base + at + t * stride, y[t]);
        }
        else
        {
            out(point + t * span, y[t]);
        }
    }
}

// One radix-R pass on split data: G groups of R x S points; outputs in
// natural order; every group uses the same twiddles at the same k-block; the
// inputs and outputs of a position lie stride floats apart.
// Radix 2 and 4, and passes whose groups have a single k-block, run the
// k-blocks outside and the groups inside, so the twiddles stay in registers
// (or in one cache line) for the whole inner loop. Radix 8 with several
// k-blocks goes group by group, which measured faster there.
template <int R, bool Inv, class Out>
void Pass(const float* in, int64_t span, int64_t groups, const float* tw, Out out)
{
    const int64_t stride = 2 * span;
    const int64_t groupStep = R * stride;
    if (R < 8 || span == 4)
    {
        for (int64_t p = 0; p < span; p += 4, tw += 8 * (R - 1))
        {
            const KBlockTwiddles<R, Inv> w(tw);
            for (int64_t g = 0; g < groups; ++g)
            {
                PassStep<R, Inv>(in, out, g * groupStep + 2 * p, stride, w, g * R * span + p, span);
            }
        }
        return;
    }
    for (int64_t g = 0; g < groups; ++g)
    {
        const float* k = tw;
        for (int64_t p = 0; p < span; p += 4, k += 8 * (R - 1))
        {
            PassStep<R, Inv>(in, out, g * groupStep + 2 * p, stride, KBlockTwiddles<R, Inv>(k),
                             g * R * span + p, span);
        }
    }
}

// The radix-2 stage that ends an 8-point transform: the odd half times the
// eighth roots of unity.
template <bool Inv> void Radix2Of8(const float* in, float* out, bool inter)
{
    const Cv x0 = Load(in);
    Cv w = {_mm_setr_ps(1.0f, kR, 0.0f, -kR), _mm_setr_ps(0.0f, -kR, -1.0f, -kR)};
    if constexpr (Inv)
    {
        w.im = _mm_sub_ps(_mm_setzero_ps(), w.im);
    }
    const Cv x1 = Load(in + 8);
    const Cv t = {_mm_sub_ps(_mm_mul_ps(x1.re, w.re), _mm_mul_ps(x1.im, w.im)),
                  _mm_add_ps(_mm_mul_ps(x1.re, w.im), _mm_mul_ps(x1.im, w.re))};
    const Cv y0 = Add(x0, t);
    const Cv y1 = Sub(x0, t);
    if (inter)
    {
        StoreInterleaved(out, y0);
        StoreInterleaved(out + 8, y1);
    }
    else
    {
        Store(out, y0);
        Store(out + 8, y1);
    }
}

// Points a and b in the low and high halves; the points may be only 4-byte
// aligned, so neither load asks for more.
inline __m128 LoadPair2(const float* a, const float* b)
{
    const __m128 lo = _mm_castsi128_ps(_mm_loadu_si64(a));
    return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(b));
}

// First stage: radix 4 without twiddles over groups of four points, whose
// natural-order inputs u_q are the points base(g) + off[q] (base(g) = 4 g, or
// rev(g) from the index table); writes each group as one split block of out.
// Four groups run at once, one per lane.
template <bool Inv>
[[gnu::always_inline]] inline void FirstBlock(const float* const* base, const int64_t* off,
                                              float* out, int64_t lanes)
{
    Cv u[4];
#pragma GCC unroll 8
    for (int q = 0; q < 4; ++q)
    {
        const int64_t o = 2 * off[q];
        const __m128 v01 = LoadPair2(base[0] + o, base[1] + o);
        const __m128 v23 = LoadPair2(base[2] + o, base[3] + o);
        u[q] = {_mm_shuffle_ps(v01, v23, 0x88), _mm_shuffle_ps(v01, v23, 0xDD)};
    }
    Cv y[4];
    Dft4<Inv>(u, y);
    __m128 r0 = y[0].re, r1 = y[1].re, r2 = y[2].re, r3 = y[3].re;
    __m128 i0 = y[0].im, i1 = y[1].im, i2 = y[2].im, i3 = y[3].im;
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    _MM_TRANSPOSE4_PS(i0, i1, i2, i3);
    Store(out, {r0, i0});
    if (lanes == 4)
    {
        Store(out + 8, {r1, i1});
        Store(out + 16, {r2, i2});
        Store(out + 24, {r3, i3});
    }
    else
    {
        Store(out + 8, {r1, i1}); // the order-3 transform has two groups
    }
}

// Two groups at once from interleaved pairs: each load holds one input of
// both groups, the butterfly runs on the pairs as they are, and only the
// outputs are turned into split blocks. The products by j exchange the
// parts of a pair and flip one sign; the sums are those of Dft4.
template <bool Inv>
[[gnu::always_inline]] inline void FirstPair(const float* a, const int64_t* off, float* outLo,
                                             float* outHi)
{
    const __m128 v0 = _mm_loadu_ps(a + 2 * off[0]);
    const __m128 v1 = _mm_loadu_ps(a + 2 * off[1]);
    const __m128 v2 = _mm_loadu_ps(a + 2 * off[2]);
    const __m128 v3 = _mm_loadu_ps(a + 2 * off[3]);
    const __m128 s02 = _mm_add_ps(v0, v2);
    const __m128 d02 = _mm_sub_ps(v0, v2);
    const __m128 s13 = _mm_add_ps(v1, v3);
    const __m128 d13 = _mm_sub_ps(v1, v3);
    const __m128 y0 = _mm_add_ps(s02, s13);
    const __m128 y2 = _mm_sub_ps(s02, s13);
    // (d.im, -d.re): -j d; b + that is b - j d, b - that is b + j d.
    const __m128 sign = _mm_castsi128_ps(_mm_setr_epi32(0, INT32_MIN, 0, INT32_MIN));
    const __m128 mj = _mm_xor_ps(_mm_shuffle_ps(d13, d13, 0xB1), sign);
    const __m128 lo = _mm_add_ps(d02, mj);
    const __m128 hi = _mm_sub_ps(d02, mj);
    const __m128 y1 = Inv ? hi : lo;
    const __m128 y3 = Inv ? lo : hi;
    const __m128 a01 = _mm_unpacklo_ps(y0, y1);
    const __m128 b01 = _mm_unpackhi_ps(y0, y1);
    const __m128 a23 = _mm_unpacklo_ps(y2, y3);
    const __m128 b23 = _mm_unpackhi_ps(y2, y3);
    Store(outLo, {_mm_movelh_ps(a01, a23), _mm_movehl_ps(a23, a01)});
    Store(outHi, {_mm_movelh_ps(b01, b23), _mm_movehl_ps(b23, b01)});
}

// First stage: radix 4 without twiddles over groups of four points, whose
// natural-order inputs u_q are the points base(g) + off[q] (base(g) = 4 g, or
// rev(g) from the index table); writes each group as one split block of out.
// Four groups run at once, one per lane.
template <bool Inv>
void FirstStage(const float* src, float* out, int64_t groupCount, const uint32_t* table,
                const int64_t* off)
{
    if (groupCount < 4)
    {
        const float* base[4] = {src + (table ? table[0] : 0), src + (table ? table[1] : 8), src,
                                src};
        FirstBlock<Inv>(base, off, out, groupCount);
        return;
    }
    if (table != nullptr)
    {
        // Groups g and g + count/2 gather neighbouring points (their reversals
        // differ in the lowest bit only), so one 16-byte load serves both.
        const int64_t half = groupCount / 2;
        for (int64_t g = 0; g < half; g += 2)
        {
            FirstPair<Inv>(src + table[g], off, out + 8 * g, out + 8 * (g + half));
            FirstPair<Inv>(src + table[g + 1], off, out + 8 * (g + 1), out + 8 * (g + 1 + half));
        }
        return;
    }
    for (int64_t g0 = 0; g0 < groupCount; g0 += 4)
    {
        const float* base[4] = {src + 8 * g0, src + 8 * g0 + 8, src + 8 * g0 + 16,
                                src + 8 * g0 + 24};
        FirstBlock<Inv>(base, off, out + 8 * g0, 4);
    }
}

// The twiddled stages of an order-m transform (m >= 4) on split data in buf,
// in place but for the last one, whose outputs go to last.
template <int Lvl, bool Inv, class Out>
void StagesTo(float* buf, int32_t m, const float* tw, Out last)
{
    const int64_t n = int64_t{1} << m;
    int32_t done = 2;
    while (done < m)
    {
        const int32_t r = StageRadix<Lvl>(m, done);
        const int32_t next = done + (r == 8 ? 3 : 2);
        const int64_t span = int64_t{1} << done;
        const int64_t groups = n / (span * r);
        if (next == m)
        {
            r == 8 ? Pass<8, Inv>(buf, span, groups, tw, last)
                   : Pass<4, Inv>(buf, span, groups, tw, last);
            return;
        }
        r == 8 ? Pass<8, Inv>(buf, span, groups, tw, SplitOut{buf})
               : Pass<4, Inv>(buf, span, groups, tw, SplitOut{buf});
        tw += 2 * (r - 1) * span;
        done = next;
    }
}

// The twiddled stages of an order-m transform on split data in buf, the last
// one writing to out (interleaved when inter).
template <int Lvl, bool Inv>
void Stages(float* buf, float* out, int32_t m, const float* tw, bool inter)
{
    if (m == 3)
    {
        Radix2Of8<Inv>(buf, out, inter);
        return;
    }
    if (m == 2)
    {
        if (inter)
        {
            StoreInterleaved(out, Load(buf));
        }
        else if (out != buf)
        {
            Store(out, Load(buf));
        }
        return;
    }
    if (inter)
    {
        StagesTo<Lvl, Inv>(buf, m, tw, InterleavedOut{out});
    }
    else
    {
        StagesTo<Lvl, Inv>(buf, m, tw, SplitOut{out});
    }
}

// All stages in place over n bit-reversed points; top leaves interleaved
// pairs, otherwise the split layout.
template <int Lvl, bool Inv> void Passes(float* data, int32_t n, const float* tw, bool top)
{
    const int32_t m = std::countr_zero(static_cast<uint32_t>(n));
    static constexpr int64_t kOff[4] = {0, 2, 1, 3};
    FirstStage<Inv>(data, data, n / 4, nullptr, kOff);
    Stages<Lvl, Inv>(data, data, m, tw, top);
}

// Whole transform of n points from natural-order src: the bit-reversed gather
// fused into the first stage (into dst, or into work when src is dst).
template <int Lvl, bool Inv>
void Small(const float* src, float* dst, int32_t n, const float* tw, const uint32_t* rev,
           float* work)
{
    const int32_t m = std::countr_zero(static_cast<uint32_t>(n));
    float* buf = src == dst ? work : dst;
    const int64_t quarter = n / 4;
    const int64_t off[4] = {0, quarter, 2 * quarter, 3 * quarter};
    FirstStage<Inv>(src, buf, quarter, rev, off);
    Stages<Lvl, Inv>(buf, dst, m, tw, true);
}
} // namespace
